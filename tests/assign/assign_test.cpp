// Edit-tolerant index assignment through the public entry points: argument
// checks, the worked cases of every path and of the status-only form, the
// differential backbone against brute force and the naive oracle (records and
// counters), memory exhaustion inside each path, and the routing of a mixed
// batch.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <map>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "assign/assign_internal.h"
#include "assign_fixture.h"
#include "support/alloc_hooks.h"
#include "test_util.h"
#include "velmora.h"

using namespace assign_test;
using oracle::seq;
using velmora_test::alloc_fault_sweep;
using velmora_test::alloc_injected;
using velmora_test::poisoned;
using velmora_test::rng;
using velmora_test::seq_batch;

namespace {

constexpr uint32_t U = UINT32_MAX;
const form all_forms[] = {form::plain, form::stats, form::status};

std::string erase_at(std::string s, size_t p) { return s.erase(p, 1); }
std::string with_base(std::string s, size_t p, char b) {
    s[p] = b;
    return s;
}
char other(char c) { return c == 'A' ? 'C' : 'A'; }
std::vector<std::string> copies(const std::string &s, size_t n) { return {n, s}; }
std::vector<std::string> join(std::vector<std::string> a, const std::vector<std::string> &b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

TEST(IndexAssignArguments, RejectedCallsWriteNothing) {
    built_index bi(std::vector<std::string>{"ACGT", "ACGA"});
    ASSERT_NE(bi.index, nullptr);
    seq_batch qb(velmora_test::as_seqs({"ACGT", "AC"}));
    struct row {
        const char *what;
        bool null_index, null_results, null_queries, null_lens;
        size_t n;
        int32_t k, rc;
        bool stats_zeroed;  // in the two _stats forms
    };
    const row rows[] = {
        {"negative k", false, false, false, false, 2, -1, -1, false},
        {"negative k, empty batch", false, false, true, true, 0, -1, -1, false},
        {"null index", true, false, false, false, 2, 1, -1, false},
        {"null index, empty batch", true, false, true, true, 0, 1, -1, false},
        {"null results", false, true, false, false, 2, 1, -1, false},
        {"empty batch, null arrays", false, false, true, true, 0, 1, 0, true},
        {"empty batch, k = 7", false, false, true, true, 0, 7, 0, true},
        {"null lengths", false, false, false, true, 2, 1, -1, false},
        {"null queries", false, false, true, false, 2, 1, -1, false},
        {"null queries, k = 5", false, false, true, false, 2, 5, -1, false},
        {"null lengths, k = 0", false, false, false, true, 1, 0, -1, false},
    };
    for (const row &r : rows) {
        for (form f : all_forms) {
            SCOPED_TRACE(::testing::Message() << r.what << " form " << int(f));
            vorn_match out[2] = {poisoned<vorn_match>(), poisoned<vorn_match>()};
            vorn_stats st = poisoned<vorn_stats>();
            EXPECT_EQ(call(f, r.null_index ? nullptr : bi.index, r.null_queries ? nullptr : qb.ptrs(),
                           r.null_lens ? nullptr : qb.lens(), r.n, r.k,
                           r.null_results ? nullptr : out, &st),
                      r.rc);
            EXPECT_EQ(out[0], poisoned<vorn_match>());
            EXPECT_EQ(out[1], poisoned<vorn_match>());
            if (f != form::plain) {
                EXPECT_EQ(st, (r.stats_zeroed ? vorn_stats{0, 0} : poisoned<vorn_stats>()));
            }
        }
    }
}

// Index without references: every valid query is NONE on every path.
TEST(IndexAssign, EmptyIndexAnswersEveryKWithoutFallback) {
    built_index bi(std::vector<std::string>{});
    ASSERT_NE(bi.index, nullptr);
    const std::vector<seq> qs = {seq{"ACGT"}, seq{"ACNT"}, seq{"", true, 0},
                                 seq{std::string(33, 'A')}, seq{"", true, 9},
                                 seq{std::string(34, 'C')}, seq{std::string(40, 'n')}, seq{"ANNT"}};
    for (int32_t k = 0; k <= 5; ++k) {
        for (form f : all_forms) {
            const auto r = run(f, bi.index, qs, k);
            ASSERT_EQ(r.rc, 0);
            for (size_t i = 0; i < qs.size(); ++i) {
                EXPECT_EQ(r.records[i], i == 4 ? oracle::match_invalid() : oracle::match_none())
                    << "k " << k << " query " << i;
            }
            if (f != form::plain) {
                EXPECT_EQ(r.stats, (vorn_stats{0, 0})) << "k " << k;
            }
        }
    }
}

// Each path on hand-made sets: the record, and the references it measured
// (each once).  The status-only rows are where that form may stop early.
TEST(IndexAssign, WorkedExamples) {
    const std::string q32 = "ACGTTGCAACGTTGCAACGTTGCAACGTTGCA";
    const std::string q33 = "ACGTTGCATGACCAGTACGATCGGATCCTAGCA", q34 = q33 + "T";
    const std::vector<std::string> every_route = {"ACGT", "ACCT", "ACGTA", "CGT", "ACGN"};
    const std::vector<std::string> aaaa = {"CCAA", "CGAA", "AAAT"}, acnt = {"ACAT", "ACT", "ACNT", "ACGG"};
    struct row {
        const char *what;
        std::vector<std::string> refs;
        std::string query;
        int32_t k;
        bool status_only;
        vorn_match expect;
        uint64_t work;
    };
    const row rows[] = {
        // One edit, encodable query.
        {"every route", every_route, "ACGT", 1, false, {0, 0, 1, 5, VORN_STATUS_UNIQUE}, 5},
        {"status-only stops after the exact probe", every_route, "ACGT", 1, true, {0, 0, U, 1, VORN_STATUS_UNIQUE}, 1},
        {"empty query", {"", "G"}, "", 1, false, {0, 0, 1, 2, VORN_STATUS_UNIQUE}, 2},
        // Appending A leaves a code unchanged, and twelve A's share a bucket
        // with A here: each probe takes only its own length.
        {"code 0 at four lengths", {"", "A", "AA", std::string(12, 'A')}, "A", 1, false, {1, 0, 1, 3, VORN_STATUS_UNIQUE}, 3},
        {"run of deletions probed once", {"AAA"}, "AAAA", 1, false, {0, 1, U, 1, VORN_STATUS_UNIQUE}, 1},
        {"deletion-table run measured once", {"AAAA"}, "AAA", 1, false, {0, 1, U, 1, VORN_STATUS_UNIQUE}, 1},
        {"33-base extension found by the scan", {q32 + "T", q32.substr(1)}, q32, 1, false, {0, 1, U, 2, VORN_STATUS_AMBIGUOUS}, 2},
        {"lower case compares literally", {"acgt"}, "ACGT", 1, false, oracle::match_none(), 1},
        {"two at distance one, status-only", {"TTTT", "ACGA", "ACG", "ACGTT"}, "ACGT", 1, true, {1, 1, U, 2, VORN_STATUS_AMBIGUOUS}, 2},
        {"exact pair plus a neighbor", {"ACGA", "ACGT", "ACGT"}, "ACGT", 1, false, {1, 0, 1, 3, VORN_STATUS_AMBIGUOUS}, 3},
        {"exact pair plus a neighbor, status-only", {"ACGA", "ACGT", "ACGT"}, "ACGT", 1, true, {1, 0, U, 2, VORN_STATUS_AMBIGUOUS}, 2},
        {"non-encodable outside the window", {"ACGTNN", "ACGN", "ACGTN", "AN"}, "ACGT", 1, false, {1, 1, U, 2, VORN_STATUS_AMBIGUOUS}, 2},
        // The longest codes: a 32-base reference through the deletion table,
        // the deletion of the last base of a 32-base query (high bits).
        {"31 bases", {std::string(32, 'T'), std::string(30, 'T'), std::string(31, 'T'), std::string(30, 'T') + "G"},
         std::string(31, 'T'), 1, false, {2, 0, 1, 4, VORN_STATUS_UNIQUE}, 4},
        {"32 bases", {std::string(31, 'G'), std::string(31, 'G') + "C", std::string(30, 'G') + "C", "C" + std::string(31, 'G')},
         std::string(31, 'G') + "C", 1, false, {1, 0, 1, 3, VORN_STATUS_UNIQUE}, 3},
        // Two edits, encodable query.
        {"every kind of two-edit neighbor", {"ACGT", "AGGA", "CGTA", "ACGTAA", "AC", "ACNNT"}, "ACGT", 2, false, {0, 0, 2, 6, VORN_STATUS_UNIQUE}, 6},
        {"empty query, k = 2", {"", "A", "AC", "ACG"}, "", 2, false, {0, 0, 1, 3, VORN_STATUS_UNIQUE}, 3},
        {"32 bases against a 34-byte extension", {q32 + "GG"}, q32, 2, false, {0, 2, U, 1, VORN_STATUS_UNIQUE}, 1},
        {"AAAA, full", aaaa, "AAAA", 2, false, {2, 1, 2, 3, VORN_STATUS_UNIQUE}, 3},
        {"AAAA, status-only: deep variant first", aaaa, "AAAA", 2, true, {0, 2, U, 2, VORN_STATUS_AMBIGUOUS}, 2},
        {"status-only: no scan after the stop", {"CCAA", "CGAA", "AAAT", "AAAN"}, "AAAA", 2, true, {0, 2, U, 2, VORN_STATUS_AMBIGUOUS}, 2},
        {"two equal to the query, status-only", {"GATTACA", "GATTACA", "AATTACA"}, "GATTACA", 2, true, {0, 0, U, 2, VORN_STATUS_AMBIGUOUS}, 2},
        {"lower-case twin is far", {"acgt", "ACGA"}, "ACGT", 2, false, {1, 1, U, 1, VORN_STATUS_UNIQUE}, 2},
        // Foreign bytes.
        {"ACNT: repair, removal and scan", acnt, "ACNT", 1, false, {2, 0, 1, 3, VORN_STATUS_UNIQUE}, 3},
        {"ACNT, status-only stops after the removal", acnt, "ACNT", 1, true, {0, 1, U, 2, VORN_STATUS_AMBIGUOUS}, 2},
        {"ACNT, k = 2", acnt, "ACNT", 2, false, {2, 0, 1, 4, VORN_STATUS_UNIQUE}, 4},
        {"ACNT, k = 2, status-only misses the equal one", acnt, "ACNT", 2, true, {0, 1, U, 2, VORN_STATUS_AMBIGUOUS}, 2},
        {"k = 2 status-only: no repair after the stop", {"CCGA", "GCGA", "ACGC"}, "ACGN", 2, true, {0, 2, U, 2, VORN_STATUS_AMBIGUOUS}, 2},
        {"two foreign bytes: only the scan", {"AT", "ANNA", "ANNT"}, "ANNT", 1, false, {2, 0, 1, 2, VORN_STATUS_UNIQUE}, 2},
        {"status-only stops the scan at the second hit", {"ANNA", "ANNC", "ANNG"}, "ANNT", 1, true, {0, 1, U, 2, VORN_STATUS_AMBIGUOUS}, 2},
        {"status-only stops the k = 2 scan", {"ANNA", "ANNC", "ANNG"}, "ANCT", 2, true, {0, 2, U, 2, VORN_STATUS_AMBIGUOUS}, 2},
        {"N alone: removal gives the empty code", {"", "G", "NN", "AC"}, "N", 1, false, {0, 1, U, 3, VORN_STATUS_AMBIGUOUS}, 3},
        {"lower case never equals upper case", {"ACGT"}, "acgt", 1, false, oracle::match_none(), 0},
        {"two foreign bytes, k = 2: brute force", {"AT", "ANNA", "ACGT"}, "ANNT", 2, false, {1, 1, 2, 3, VORN_STATUS_UNIQUE}, 3},
        {"0x00 last", {"ACGA", "ACG", std::string("ACG\0", 4)}, std::string("ACG\0", 4), 1, false, {2, 0, 1, 3, VORN_STATUS_UNIQUE}, 3},
        {"0xFF first, k = 2", {"CGT", "TTCGT", "\xff" "CG"}, "\xff" "CGT", 2, false, {0, 1, 2, 3, VORN_STATUS_AMBIGUOUS}, 3},
        // Long reads, k = 2: every deletion variant kind and the scans.
        {"33: without its last base", {q33.substr(0, 32)}, q33, 2, false, {0, 1, U, 1, VORN_STATUS_UNIQUE}, 1},
        {"33: without the first, one changed", {with_base(q33.substr(1), 10, other(q33[11]))}, q33, 2, false, {0, 2, U, 1, VORN_STATUS_UNIQUE}, 1},
        {"33: two bases removed", {erase_at(erase_at(q33, 30), 4)}, q33, 2, false, {0, 2, U, 1, VORN_STATUS_UNIQUE}, 1},
        {"34: without bases 5 and 20", {erase_at(erase_at(q34, 20), 5)}, q34, 2, false, {0, 2, U, 1, VORN_STATUS_UNIQUE}, 1},
        {"34: without the two first", {q34.substr(2)}, q34, 2, false, {0, 2, U, 1, VORN_STATUS_UNIQUE}, 1},
        {"34: without two neighbors", {erase_at(erase_at(q34, 17), 16)}, q34, 2, false, {0, 2, U, 1, VORN_STATUS_UNIQUE}, 1},
        {"34: without the two last", {q34.substr(0, 32)}, q34, 2, false, {0, 2, U, 1, VORN_STATUS_UNIQUE}, 1},
        {"34: 33-byte reference by the scan", {with_base(erase_at(q34, 3), 25, other(q34[26]))}, q34, 2, false, {0, 2, U, 1, VORN_STATUS_UNIQUE}, 1},
        {"33: 35 bytes measured, 36 skipped", {q33 + "AA", q33 + "AAA"}, q33, 2, false, {0, 2, U, 1, VORN_STATUS_UNIQUE}, 1},
        {"33: a run reached by every deletion", {std::string(32, 'A')}, std::string(33, 'A'), 2, false, {0, 1, U, 1, VORN_STATUS_UNIQUE}, 1},
        {"33: three at distance 1", {q33 + "G", q33.substr(0, 32), q33.substr(1)}, q33, 2, false, {0, 1, U, 3, VORN_STATUS_AMBIGUOUS}, 3},
        {"33: exact long one beats a 32-base one", {q33.substr(1), q33}, q33, 2, false, {1, 0, 1, 2, VORN_STATUS_UNIQUE}, 2},
        {"33: foreign bytes in reach but far", {"N" + q33.substr(1, 30) + "NNN"}, q33, 2, false, oracle::match_none(), 1},
    };
    for (const row &r : rows) {
        SCOPED_TRACE(r.what);
        built_index bi(r.refs);
        ASSERT_NE(bi.index, nullptr);
        if (!r.status_only) {
            ASSERT_EQ(oracle::edit_record(seq{r.query}, bi.refs, uint32_t(r.k)), r.expect) << "bad row";
        }
        const auto got = run(r.status_only ? form::status : form::stats, bi.index, {seq{r.query}}, r.k);
        ASSERT_EQ(got.rc, 0);
        EXPECT_EQ(got.records[0], r.expect);
        EXPECT_EQ(got.stats, (vorn_stats{r.work, r.work}));
    }
}

// ---------------------------------------------------------------------------
// Differential backbone.

// Levenshtein distances of one round, computed once for every k and form.
struct distance_cache {
    std::map<std::pair<std::string, std::string>, uint32_t> memo;
    uint32_t operator()(const std::string &a, const std::string &b) {
        auto it = memo.find({a, b});
        if (it != memo.end()) return it->second;
        return memo[{a, b}] = oracle::levenshtein(a, b);
    }
};

// Every form against the oracle and vorn_match_many, field by field, and the
// counters of each query and of the batch against the model.
void check_round(const std::vector<seq> &refs, const std::vector<seq> &qs) {
    built_index bi(refs);
    ASSERT_NE(bi.index, nullptr);
    distance_cache cache;
    auto dist = [&cache](const std::string &a, const std::string &b) { return cache(a, b); };
    seq_batch qb(qs);
    const size_t n = qs.size();
    for (int32_t k : {0, 1, 2, 3, 5}) {
        SCOPED_TRACE(::testing::Message() << "k " << k);
        std::vector<vorn_match> plain(n), stats(n), status(n), brute(n);
        vorn_stats total{}, status_total{};
        ASSERT_EQ(vorn_index_assign(bi.index, qb.ptrs(), qb.lens(), n, k, plain.data()), 0);
        const auto heap = velmora_test::alloc_measure([&] {
            EXPECT_EQ(vorn_index_assign_stats(bi.index, qb.ptrs(), qb.lens(), n, k, stats.data(), &total), 0);
        });
        ASSERT_EQ(vorn_index_assign_status_stats(bi.index, qb.ptrs(), qb.lens(), n, k, status.data(),
                                                 &status_total), 0);
        ASSERT_EQ(vorn_match_many(qb.ptrs(), qb.lens(), n, bi.batch.ptrs(), bi.batch.lens(),
                                  bi.batch.size(), k, brute.data()), 0);
        // At most 128 distinct candidates per query: the inline set suffices.
        EXPECT_TRUE(refs.size() > 128 || heap.allocations == 0);
        uint64_t sum = 0;
        for (size_t i = 0; i < n; ++i) {
            SCOPED_TRACE(::testing::Message() << "query " << i << " '" << qs[i].bytes << "'");
            const vorn_match want = oracle::match_record(qs[i], refs, uint32_t(k), dist);
            ASSERT_EQ(brute[i], want);
            ASSERT_EQ(plain[i], want);
            ASSERT_EQ(stats[i], want);
            expect_status_only_promise(status[i], want, qs[i], refs, k, dist);
            const uint64_t work = expected_work(qs[i], refs, k, dist);
            sum += work;
            EXPECT_EQ(run(form::stats, bi.index, {qs[i]}, k).stats, (vorn_stats{work, work}));
            // Status-only measures what the full search would, or less.
            const vorn_stats so = run(form::status, bi.index, {qs[i]}, k).stats;
            EXPECT_TRUE(so.candidates == so.verifications && so.candidates <= work) << so;
        }
        EXPECT_EQ(total, (vorn_stats{sum, sum}));
        EXPECT_TRUE(k == 1 || k == 2 || status_total == total);
    }
}

// Queries of every encodable length 0 to 32 among their mutants at 0 to 3
// edits (noisy bytes included), duplicates and strangers.
void every_encodable_length(rng &g, std::vector<seq> &refs, std::vector<seq> &qs) {
    for (size_t len = 0; len <= 32; ++len) {
        qs.push_back(seq{g.dna(len)});
        for (size_t i = g.range(1, 5); i > 0; --i) {
            refs.push_back(seq{g.mutate(qs.back().bytes, unsigned(g.range(0, 3)), g.chance(30) ? 20 : 0)});
        }
        if (g.chance(20)) refs.push_back(refs.back());
    }
    for (int i = 0; i < 10; ++i) refs.push_back(seq{g.noisy(g.boundary_len(36), 10)});
}

// For every length 1 to 32: one foreign byte (N, lower case, 0x00, 0xFF) at
// the first, a middle and the last position, and two foreign bytes; the
// references are the query's repairs and near neighbors.
void foreign_bytes(rng &g, std::vector<seq> &refs, std::vector<seq> &qs) {
    static const char foreign[] = {'N', 'a', '\0', '\xff', 'n', 't'};
    size_t pick = g.range(0, 5);
    for (size_t len = 1; len <= 32; ++len) {
        const std::string base = g.dna(len);
        for (const size_t pos : {size_t{0}, len / 2, len - 1})
            qs.push_back(seq{with_base(base, pos, foreign[pick++ % 6])});
        std::string two = with_base(base, g.range(0, len - 1), foreign[pick++ % 6]);
        qs.push_back(seq{with_base(two, g.range(0, len - 1), foreign[pick++ % 6])});
        for (int i = 0; i < 3; ++i) refs.push_back(seq{g.mutate(base, unsigned(g.range(0, 2)))});
        const std::string &near = qs[qs.size() - 1 - g.range(0, 3)].bytes;
        refs.push_back(seq{g.mutate(near, unsigned(g.range(0, 2)), 15)});
        if (g.chance(25)) refs.push_back(seq{near});
        if (g.chance(15)) refs.push_back(refs.back());
    }
    for (int i = 0; i < 10; ++i) refs.push_back(seq{g.noisy(g.boundary_len(34), 15)});
}

// All-ACGT queries of 33, 34 and 35 bases (some with a run) against
// references of 31 to 36 bytes made by deletions and edits from them.
void long_reads(rng &g, std::vector<seq> &refs, std::vector<seq> &qs) {
    for (const size_t len : {33u, 33u, 34u, 34u, 35u}) {
        std::string q = g.dna(len);
        if (g.chance(30)) q.replace(g.range(0, len - 8), 8, std::string(8, q[0]));
        qs.push_back(seq{q});
        for (int i = 0; i < 12; ++i) {
            std::string r = q;
            for (size_t d = g.range(0, 4); d > 0 && !r.empty(); --d) r.erase(g.range(0, r.size() - 1), 1);
            refs.push_back(seq{g.mutate(r, unsigned(g.range(0, 2)), g.chance(20) ? 25 : 0)});
        }
        if (g.chance(30)) refs.push_back(refs.back());
    }
    for (int i = 0; i < 6; ++i) refs.push_back(seq{g.noisy(g.range(31, 36), 5)});
}

TEST(IndexAssignDifferential, RecordsAndCountersEqualOracle) {
    const uint64_t seed = velmora_test::test_seed();
    SCOPED_TRACE("seed " + std::to_string(seed));
    rng g(seed);
    const int rounds = 40 * velmora_test::test_scale();
    for (int round = 0; round < rounds && !::testing::Test::HasFailure(); ++round) {
        SCOPED_TRACE(::testing::Message() << "round " << round);
        std::vector<seq> refs, qs;
        switch (round % 5) {
            case 0:
            case 1:
                refs = near_neighbor_refs(g, g.range(1, 6), g.range(1, 90), round % 2 ? 34 : 40);
                qs = near_neighbor_queries(g, refs, 60, round % 2 ? 34 : 40);
                break;
            case 2: every_encodable_length(g, refs, qs); break;
            case 3: foreign_bytes(g, refs, qs); break;
            default: long_reads(g, refs, qs); break;
        }
        check_round(refs, qs);
    }
}

// ---------------------------------------------------------------------------
// Memory exhaustion inside each path: more than 128 distinct candidates make
// the set allocate; each allocation is made to fail in turn.  The path
// declines, the fallback gives the brute-force record, nothing leaks.

TEST(IndexAssign, EveryPathAllocationFailureFallsBackToBruteForce) {
    rng g(velmora_test::test_seed() ^ 0x2ed18);
    const std::string q = "ACGTTGCAACGTTGCAACGTTGCAACGTTGCA";
    const std::string sub = with_base(q, 5, 'A'), nonenc = with_base(q, 7, 'N');
    struct row {
        const char *what;
        std::vector<std::string> refs;  // the 129th distinct candidate comes from the last group
        std::string query;
        std::vector<int32_t> ks;
    };
    std::vector<row> rows = {
        {"exact probe", copies(q, 300), q, {1, 2}},
        {"substitution probes", join(copies(q, 100), copies(sub, 200)), q, {1, 2}},
        {"deletion table", join(copies(q, 100), copies(q.substr(0, 10) + "G" + q.substr(10), 200)), q, {1, 2}},
        {"deletion variants", join(copies(q, 100), copies(q.substr(1), 200)), q, {1, 2}},
        {"non-encodable scan", join(copies(q, 100), copies(nonenc, 200)), q, {1, 2}},
    };
    {  // Two edits: 300 distinct neighbors of a 20-base query.
        const std::string q20 = g.dna(20);
        std::set<std::string> d;
        while (d.size() < 300) d.insert(g.mutate(q20, unsigned(g.range(1, 2))));
        std::vector<std::string> refs(d.begin(), d.end());
        for (int i = 0; i < 20; ++i) refs.push_back(g.mutate(q20, 2, 30));
        rows.push_back({"two-edit neighbors", refs, q20, {2}});
    }
    {  // One foreign byte: neighbors of its repairs, duplicates of one repair.
        const std::string base = g.dna(16), qn = with_base(base, 7, 'N');
        std::set<std::string> d;
        while (d.size() < 400) {
            std::string r = with_base(base, 7, g.base());
            if (g.chance(20)) r.erase(7, 1);
            d.insert(g.mutate(r, unsigned(g.range(0, 1))));
        }
        std::vector<std::string> refs = join({d.begin(), d.end()}, copies(with_base(qn, 7, 'A'), 30));
        for (int i = 0; i < 140; ++i) refs.push_back(g.mutate(qn, 1, 30));
        rows.push_back({"foreign byte", refs, qn, {1, 2}});
    }
    for (const size_t len : {33u, 34u}) {  // Long reads: deletion variants.
        const std::string ql = g.dna(len);
        std::set<std::string> d;
        while (d.size() < 200) {
            std::string r = erase_at(ql, g.range(0, len - 1));
            if (len == 34) r = erase_at(r, g.range(0, r.size() - 1));
            else if (g.chance(50)) r = with_base(r, g.range(0, 31), g.base());
            else if (g.chance(50)) r = erase_at(r, g.range(0, 31));
            d.insert(r);
        }
        std::vector<std::string> refs(d.begin(), d.end());
        for (int i = 0; i < 10; ++i) refs.push_back(g.mutate(ql, 1, 30));
        rows.push_back({"long read", refs, ql, {2}});
    }
    for (const row &r : rows) {
        built_index bi(r.refs);
        ASSERT_NE(bi.index, nullptr);
        seq_batch b(std::vector<seq>{seq{r.query}});
        for (const int32_t k : r.ks) {
            SCOPED_TRACE(::testing::Message() << r.what << " k " << k);
            const vorn_match want = oracle::edit_record(seq{r.query}, bi.refs, uint32_t(k));
            const uint64_t work = expected_work(seq{r.query}, bi.refs, k);
            ASSERT_GT(work, 128u);
            const uint64_t runs = alloc_fault_sweep([&](uint64_t) {
                vorn_match m;
                vorn_stats st{};
                const int32_t rc = velmora::index_assign_fast_one(bi.index, b.ptrs()[0], b.lens()[0], k, &m, &st);
                EXPECT_EQ(rc, alloc_injected() ? velmora::PATH_DECLINED : velmora::PATH_DONE);
                if (!alloc_injected()) {
                    EXPECT_EQ(m, want);
                    EXPECT_EQ(st, (vorn_stats{work, work}));
                }
            });
            EXPECT_GT(runs, 1u) << "the set never left its inline storage";
            for (const form f : {form::stats, form::status}) {
                alloc_fault_sweep([&](uint64_t) {
                    vorn_match m;
                    vorn_stats st{};
                    ASSERT_EQ(call(f, bi.index, b.ptrs(), b.lens(), 1, k, &m, &st), 0);
                    if (f == form::stats || alloc_injected()) {
                        EXPECT_EQ(m, want);
                    }
                    if (alloc_injected()) {
                        EXPECT_GE(st.candidates, r.refs.size());
                    } else if (f == form::stats) {
                        EXPECT_EQ(st, (vorn_stats{work, work}));
                    }
                });
            }
        }
    }
}

// A random mixed batch through the dispatcher: a query is answered by a path
// exactly when its kind has one, with the brute-force record, and with fewer
// than 128 references no path allocates.  Prints how many queries each path
// took and how many fell back.
TEST(AssignRouting, MixedBatchReachesEveryPath) {
    rng g(velmora_test::test_seed() ^ 0x6d6978);
    std::vector<std::string> refs;
    for (int i = 0; i < 120; ++i) refs.push_back(g.noisy(g.boundary_len(36), 4));
    built_index bi(refs);
    ASSERT_NE(bi.index, nullptr);
    enum { ONE, TWO, UNKNOWN_ONE, UNKNOWN_TWO, LONG_READ, FALLBACK, KINDS };
    const char *names[KINDS] = {"one-edit", "two-edit", "non-ACGT k=1", "non-ACGT k=2", "long-read", "fallback"};
    uint64_t taken[2][KINDS] = {};
    for (int i = 0; i < 400; ++i) {
        std::string q = g.chance(70) ? g.mutate(refs[g.range(0, refs.size() - 1)], unsigned(g.range(0, 2)), 4)
                                     : g.noisy(g.boundary_len(36), 4);
        if (g.chance(15) && q.size() >= 2) q[g.range(0, q.size() - 1)] = 'N';
        seq_batch b(std::vector<seq>{seq{q}});
        const size_t f = foreign_count(q);
        for (const int32_t k : {1, 2}) {
            int kind = FALLBACK;
            if (k == 1) kind = f == 0 && q.size() <= 32 ? ONE : q.size() <= 32 ? UNKNOWN_ONE : FALLBACK;
            else if (f == 0 && q.size() <= 32) kind = TWO;
            else if (q.size() <= 32 && f == 1) kind = UNKNOWN_TWO;
            else if (f == 0 && (q.size() == 33 || q.size() == 34)) kind = LONG_READ;
            vorn_match m;
            int32_t rc = -1;
            const auto a = velmora_test::alloc_measure(
                [&] { rc = velmora::index_assign_fast_one(bi.index, b.ptrs()[0], q.size(), k, &m, nullptr); });
            EXPECT_EQ(a.allocations, 0u);
            ASSERT_EQ(rc, kind == FALLBACK ? velmora::PATH_DECLINED : velmora::PATH_DONE)
                << names[kind] << " k=" << k << " query of " << q.size() << " bytes";
            if (rc == velmora::PATH_DONE) {
                EXPECT_EQ(m, oracle::edit_record(seq{q}, bi.refs, uint32_t(k)));
            }
            taken[k - 1][kind] += 1;
        }
    }
    for (int k = 1; k <= 2; ++k) {
        std::printf("[ routing  ] k=%d:", k);
        for (int kind = 0; kind < KINDS; ++kind)
            if (taken[k - 1][kind] != 0) std::printf(" %s %llu", names[kind], (unsigned long long)taken[k - 1][kind]);
        std::printf("\n");
    }
    EXPECT_GT(taken[0][ONE] * taken[0][UNKNOWN_ONE] * taken[0][FALLBACK], 0u);
    EXPECT_GT(taken[1][TWO] * taken[1][UNKNOWN_TWO] * taken[1][LONG_READ] * taken[1][FALLBACK], 0u);
}

}  // namespace
