// Edit-tolerant index assignment through the public entry points: argument
// checks, routing, the one-edit path's worked cases and counters, the
// status-only guarantees, memory exhaustion in the candidate set, and the
// differential backbone against brute force and the naive oracle.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <map>
#include <utility>
#include <string>
#include <vector>

#include "assign_fixture.h"
#include "support/alloc_hooks.h"
#include "test_util.h"
#include "velmora.h"

using assign_test::built_index;
using assign_test::is_encodable;
using velmora_test::alloc_fault_sweep;
using velmora_test::alloc_measure;
using velmora_test::seq_batch;

namespace {

enum class form { plain, stats, status };
const form all_forms[] = {form::plain, form::stats, form::status};

int32_t call(form f, const vorn_index *index, const uint8_t *const *q, const size_t *lens,
             size_t n, int32_t k, vorn_match *out, vorn_stats *stats) {
    switch (f) {
        case form::plain: return vorn_index_assign(index, q, lens, n, k, out);
        case form::stats: return vorn_index_assign_stats(index, q, lens, n, k, out, stats);
        case form::status: return vorn_index_assign_status_stats(index, q, lens, n, k, out, stats);
    }
    return -2;
}

struct run_result {
    int32_t rc;
    std::vector<vorn_match> records;
    vorn_stats stats;
};

run_result run(form f, const built_index &bi, const std::vector<oracle::seq> &queries, int32_t k) {
    seq_batch qb(queries);
    run_result r{0, std::vector<vorn_match>(queries.size()), {0xA5A5, 0xA5A5}};
    r.rc = call(f, bi.index, qb.ptrs(), qb.lens(), qb.size(), k, r.records.data(), &r.stats);
    return r;
}

std::vector<vorn_match> brute_force(const built_index &bi, const std::vector<oracle::seq> &queries,
                                    int32_t k) {
    seq_batch qb(queries);
    std::vector<vorn_match> out(queries.size());
    EXPECT_EQ(vorn_match_many(qb.ptrs(), qb.lens(), qb.size(), bi.batch.ptrs(), bi.batch.lens(),
                              bi.batch.size(), k, out.data()),
              0);
    return out;
}

vorn_match filled() {
    vorn_match m;
    std::memset(&m, 0xA5, sizeof m);
    return m;
}

vorn_stats filled_stats() {
    vorn_stats s;
    std::memset(&s, 0xA5, sizeof s);
    return s;
}

// ---------------------------------------------------------------------------
// Argument checks

TEST(IndexAssignArguments, RejectedCallsWriteNothing) {
    built_index bi(std::vector<std::string>{"ACGT", "ACGA"});
    ASSERT_NE(bi.index, nullptr);
    seq_batch qb(velmora_test::as_seqs({"ACGT", "AC"}));
    struct row {
        const char *what;
        bool null_index, null_results, null_queries, null_lens;
        size_t n;
        int32_t k;
        int32_t rc;
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
            vorn_match out[2] = {filled(), filled()};
            vorn_stats st = filled_stats();
            const int32_t rc = call(f, r.null_index ? nullptr : bi.index,
                                    r.null_queries ? nullptr : qb.ptrs(),
                                    r.null_lens ? nullptr : qb.lens(), r.n, r.k,
                                    r.null_results ? nullptr : out, &st);
            EXPECT_EQ(rc, r.rc) << r.what << " form " << int(f);
            EXPECT_EQ(out[0], filled()) << r.what << " form " << int(f);
            EXPECT_EQ(out[1], filled()) << r.what << " form " << int(f);
            if (f != form::plain) {
                const vorn_stats want = r.stats_zeroed ? vorn_stats{0, 0} : filled_stats();
                EXPECT_EQ(st, want)
                    << r.what << " form " << int(f);
            }
        }
    }
}

TEST(IndexAssignArguments, InvalidQueryBetweenValidOnesIsMarkedAndNotCounted) {
    built_index bi(std::vector<std::string>{"ACGT", "ACCT", "ACGTA", "CGT", "ACGN", "AC"});
    oracle::seq bad;
    bad.null_ptr = true;
    bad.claimed_len = 3;
    const oracle::seq q1{"ACGT"}, q2{"ACN"};
    for (int32_t k = 0; k <= 3; ++k) {
        for (form f : all_forms) {
            const auto with = run(f, bi, {q1, bad, q2}, k);
            const auto without = run(f, bi, {q1, q2}, k);
            ASSERT_EQ(with.rc, 0);
            EXPECT_EQ(with.records[1], oracle::match_invalid()) << "k " << k;
            EXPECT_EQ(with.records[0], without.records[0]) << "k " << k;
            EXPECT_EQ(with.records[2], without.records[1]) << "k " << k;
            if (f != form::plain) {
                EXPECT_EQ(with.stats, without.stats) << "k " << k;
            }
        }
    }
}

// ---------------------------------------------------------------------------
// Index without references: every valid query is NONE, nothing is counted.

TEST(IndexAssign, EmptyIndexAnswersEveryKWithoutFallback) {
    built_index bi(std::vector<std::string>{});
    ASSERT_NE(bi.index, nullptr);
    oracle::seq null_empty;
    null_empty.null_ptr = true;
    oracle::seq bad = null_empty;
    bad.claimed_len = 9;
    const std::vector<oracle::seq> qs = {oracle::seq{"ACGT"}, oracle::seq{"ACNT"}, null_empty,
                                         oracle::seq{std::string(33, 'A')}, bad,
                                         oracle::seq{std::string(40, 'n')}, oracle::seq{"ANNT"}};
    for (int32_t k = 0; k <= 5; ++k) {
        for (form f : all_forms) {
            const auto r = run(f, bi, qs, k);
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

// ---------------------------------------------------------------------------
// Routing: a query that no index path serves costs n_refs in both counters;
// one that a path answers costs the references it measured, here far fewer.

TEST(IndexAssign, QueriesReachTheFallbackExactlyWhenNoPathServesThem) {
    velmora_test::rng g(velmora_test::test_seed() + 7);
    std::vector<std::string> refs = {"ACGT", "ACGA", "acgt", "ACNT", std::string(34, 'C'),
                                     std::string(33, 'G') + "T"};
    while (refs.size() < 60) refs.push_back(g.dna(20));  // far from every query
    built_index bi(refs);
    const uint64_t n = refs.size();
    struct row {
        std::string q;
        int32_t k;
        bool fallback;
    };
    const row rows[] = {
        {"ACGT", 0, false},
        {"ACNT", 0, false},
        {std::string(40, 'A'), 0, false},
        {"ACGT", 1, false},
        {"", 1, false},
        {"acgt", 1, false},
        {"ACNT", 1, false},
        {std::string(32, 'C'), 1, false},
        {std::string(33, 'C'), 1, true},
        {std::string(33, 'C') + "N", 1, true},
        {"ACGT", 2, false},
        {"ACNT", 2, false},
        {"ANNT", 2, true},
        {std::string(33, 'C'), 2, false},
        {std::string(34, 'C'), 2, false},
        {std::string(33, 'C') + "N", 2, true},
        {std::string(35, 'C'), 2, true},
        {"ACGT", 3, true},
        {"", 5, true},
    };
    for (const row &r : rows) {
        const std::vector<oracle::seq> qs = {oracle::seq{r.q}};
        const auto got = run(form::stats, bi, qs, r.k);
        ASSERT_EQ(got.rc, 0);
        EXPECT_EQ(got.records[0], oracle::edit_record(qs[0], bi.refs, static_cast<uint32_t>(r.k)))
            << r.q << " k " << r.k;
        if (r.fallback) {
            EXPECT_EQ(got.stats, (vorn_stats{n, n})) << r.q << " k " << r.k;
        } else {
            EXPECT_LT(got.stats.candidates, n / 2) << r.q << " k " << r.k;
        }
    }
}

// ---------------------------------------------------------------------------
// The one-edit path: each reference within one edit reached by its route,
// measured once, and counted once.

struct one_edit_case {
    const char *what;
    std::vector<std::string> refs;
    std::string query;
    form f;
    vorn_match expect;
    uint64_t measured;
};

TEST(IndexAssignOneEdit, WorkedCases) {
    const std::string q32 = "ACGTTGCAACGTTGCAACGTTGCAACGTTGCA";
    const one_edit_case cases[] = {
        {"every route", {"ACGT", "ACCT", "ACGTA", "CGT", "ACGN"}, "ACGT", form::stats,
         {0, 0, 1, 5, VORN_STATUS_UNIQUE}, 5},
        {"status-only stops after the exact probe", {"ACGT", "ACCT", "ACGTA", "CGT", "ACGN"},
         "ACGT", form::status, {0, 0, UINT32_MAX, 1, VORN_STATUS_UNIQUE}, 1},
        {"empty query", {"", "G"}, "", form::stats, {0, 0, 1, 2, VORN_STATUS_UNIQUE}, 2},
        {"run of deletions probed once", {"AAA"}, "AAAA", form::stats,
         {0, 1, UINT32_MAX, 1, VORN_STATUS_UNIQUE}, 1},
        {"deletion-table run measured once", {"AAAA"}, "AAA", form::stats,
         {0, 1, UINT32_MAX, 1, VORN_STATUS_UNIQUE}, 1},
        {"33-base extension found by the scan", {q32 + "T", q32.substr(1)}, q32, form::stats,
         {0, 1, UINT32_MAX, 2, VORN_STATUS_AMBIGUOUS}, 2},
        {"lower case compares literally", {"acgt"}, "ACGT", form::stats, oracle::match_none(), 1},
        {"two at distance one, status-only", {"TTTT", "ACGA", "ACG", "ACGTT"}, "ACGT", form::status,
         {1, 1, UINT32_MAX, 2, VORN_STATUS_AMBIGUOUS}, 2},
        {"exact pair plus a neighbour", {"ACGA", "ACGT", "ACGT"}, "ACGT", form::stats,
         {1, 0, 1, 3, VORN_STATUS_AMBIGUOUS}, 3},
        {"exact pair plus a neighbour, status-only", {"ACGA", "ACGT", "ACGT"}, "ACGT", form::status,
         {1, 0, UINT32_MAX, 2, VORN_STATUS_AMBIGUOUS}, 2},
        {"non-encodable outside the window is not measured", {"ACGTNN", "ACGN", "ACGTN", "AN"}, "ACGT",
         form::stats, {1, 1, UINT32_MAX, 2, VORN_STATUS_AMBIGUOUS}, 2},
        // The longest codes: the 32-base reference found through the deletion
        // table, and the deletion of the last base of a 32-base query, where
        // the bases in the high bits must survive.
        {"31 bases, longer and shorter references", {std::string(32, 'T'), std::string(30, 'T'),
         std::string(31, 'T'), std::string(30, 'T') + "G"}, std::string(31, 'T'), form::stats,
         {2, 0, 1, 4, VORN_STATUS_UNIQUE}, 4},
        {"32 bases, shorter references", {std::string(31, 'G'), std::string(31, 'G') + "C",
         std::string(30, 'G') + "C", "C" + std::string(31, 'G')}, std::string(31, 'G') + "C",
         form::stats, {1, 0, 1, 3, VORN_STATUS_UNIQUE}, 3},
    };
    for (const auto &c : cases) {
        built_index bi(c.refs);
        ASSERT_NE(bi.index, nullptr);
        const auto got = run(c.f, bi, {oracle::seq{c.query}}, 1);
        ASSERT_EQ(got.rc, 0) << c.what;
        EXPECT_EQ(got.records[0], c.expect) << c.what;
        EXPECT_EQ(got.stats, (vorn_stats{c.measured, c.measured})) << c.what;
        if (c.f == form::stats) {
            EXPECT_EQ(got.records[0], oracle::edit_record(oracle::seq{c.query}, bi.refs, 1)) << c.what;
        }
    }
}

// One query decided by the one-edit path (5 measured), one too long for
// every k = 1 path (n_refs = 5 for the fallback).
TEST(IndexAssign, CountersAddPathWorkAndFallbacks) {
    built_index bi(std::vector<std::string>{"ACGT", "ACCT", "ACGTA", "CGT", "ACGN"});
    const auto r = run(form::stats, bi, {oracle::seq{"ACGT"}, oracle::seq{std::string(33, 'A')}}, 1);
    EXPECT_EQ(r.stats, (vorn_stats{10, 10}));
}

// ---------------------------------------------------------------------------
// Memory exhaustion in the candidate set declines the query; the fallback
// still gives the brute-force record and nothing leaks.

TEST(IndexAssignOneEdit, EveryCandidateSetFailureFallsBackToBruteForce) {
    const std::string q = "ACGTTGCAACGTTGCAACGTTGCAACGTTGCA";
    std::string sub = q, longer = q.substr(0, 10) + "G" + q.substr(10), shorter = q.substr(1);
    sub[5] = 'A';
    std::string nonenc = q;
    nonenc[7] = 'N';
    struct row {
        const char *what;
        std::vector<std::string> refs;  // the 129th distinct candidate comes from the last group
    };
    auto copies = [](const std::string &s, size_t n) { return std::vector<std::string>(n, s); };
    auto join = [](std::vector<std::string> a, const std::vector<std::string> &b) {
        a.insert(a.end(), b.begin(), b.end());
        return a;
    };
    const row rows[] = {
        {"exact probe", copies(q, 300)},
        {"substitution probes", join(copies(q, 100), copies(sub, 200))},
        {"deletion table", join(copies(q, 100), copies(longer, 200))},
        {"deletion variants", join(copies(q, 100), copies(shorter, 200))},
        {"non-encodable scan", join(copies(q, 100), copies(nonenc, 200))},
    };
    for (const row &r : rows) {
        built_index bi(r.refs);
        ASSERT_NE(bi.index, nullptr);
        const std::vector<oracle::seq> qs = {oracle::seq{q}, oracle::seq{sub}};
        for (int32_t k : {1, 2}) {
            const auto expect = brute_force(bi, qs, k);
            seq_batch qb(qs);
            const uint64_t runs = alloc_fault_sweep([&](uint64_t) {
                std::vector<vorn_match> out(qs.size());
                vorn_stats st{0, 0};
                EXPECT_EQ(vorn_index_assign_stats(bi.index, qb.ptrs(), qb.lens(), qb.size(), k,
                                                  out.data(), &st),
                          0);
                EXPECT_EQ(out, expect) << r.what << " k " << k;
            });
            EXPECT_GE(runs, 2u) << r.what << ": the query never left the inline storage";
        }
    }
}

// ---------------------------------------------------------------------------
// Differential backbone.

// Levenshtein distances of one round, computed once for all k.
struct distance_cache {
    std::map<std::pair<std::string, std::string>, uint32_t> memo;
    uint32_t operator()(const std::string &a, const std::string &b) {
        auto it = memo.find({a, b});
        if (it != memo.end()) return it->second;
        const uint32_t d = oracle::levenshtein(a, b);
        memo.emplace(std::make_pair(a, b), d);
        return d;
    }
};

struct expected_counters {
    bool known;
    uint64_t value;
};

// What the stats form counts for one query at k = 1 (when the one-edit path
// or the fallback answers it).
expected_counters one_edit_counters(const oracle::seq &q, const std::vector<oracle::seq> &refs,
                                    distance_cache &dist) {
    if (q.invalid()) return {true, 0};
    if (refs.empty()) return {true, 0};
    if (q.bytes.size() > 32 && !q.null_ptr) return {true, refs.size()};
    if (!is_encodable(q.bytes)) return {false, 0};
    uint64_t n = 0;
    for (const auto &r : refs) {
        const size_t a = q.bytes.size(), b = r.bytes.size();
        if (is_encodable(r.bytes)) n += dist(q.bytes, r.bytes) <= 1;
        else n += (a > b ? a - b : b - a) <= 1;
    }
    return {true, n};
}

void check_status_only(const vorn_match &s, const vorn_match &full, const oracle::seq &q, int32_t k,
                       const std::string &where) {
    if (k != 1 && k != 2) {
        EXPECT_EQ(s, full) << where;
        return;
    }
    if (k == 1 && !q.invalid() && is_encodable(q.bytes)) {
        // The stop comes only once the status is settled.  best_index is the
        // lowest of the references found before the stop, so with three or
        // more at the best distance it may name a higher one.
        EXPECT_EQ(s.status, full.status) << where;
        EXPECT_EQ(s.best_distance, full.best_distance) << where;
        if (s.status == VORN_STATUS_AMBIGUOUS) {
            EXPECT_GE(s.best_index, full.best_index) << where;
            EXPECT_GE(s.hit_count, 2u) << where;
        } else {
            EXPECT_EQ(s.best_index, full.best_index) << where;
        }
        EXPECT_LE(s.hit_count, full.hit_count) << where;
        return;
    }
    // Elsewhere the search stops only on a tie, so anything short of
    // AMBIGUOUS means it ran to the end.
    if (s.status != VORN_STATUS_AMBIGUOUS) {
        EXPECT_EQ(s, full) << where;
    } else {
        EXPECT_NE(full.status, VORN_STATUS_NONE) << where;
        EXPECT_GE(s.best_distance, full.best_distance) << where;
        EXPECT_LE(s.hit_count, full.hit_count) << where;
    }
}

TEST(IndexAssignDifferential, RecordsEqualBruteForceAndOracle) {
    const uint64_t seed = velmora_test::test_seed();
    SCOPED_TRACE("seed " + std::to_string(seed));
    velmora_test::rng g(seed);
    const int rounds = 14 * velmora_test::test_scale();
    for (int round = 0; round < rounds; ++round) {
        const size_t n_refs = g.range(1, 90);
        const auto refs = assign_test::near_neighbour_refs(g, g.range(1, 6), n_refs);
        built_index bi(refs);
        ASSERT_NE(bi.index, nullptr);
        const auto qs = assign_test::near_neighbour_queries(g, refs, 50);
        distance_cache dist;
        auto dist_fn = [&dist](const std::string &a, const std::string &b) { return dist(a, b); };
        for (int32_t k : {0, 1, 2, 3, 5}) {
            const std::string where = "round " + std::to_string(round) + " k " + std::to_string(k);
            const auto plain = run(form::plain, bi, qs, k);
            const auto stats = run(form::stats, bi, qs, k);
            const auto status = run(form::status, bi, qs, k);
            const auto brute = brute_force(bi, qs, k);
            ASSERT_EQ(plain.rc, 0);
            ASSERT_EQ(stats.rc, 0);
            ASSERT_EQ(status.rc, 0);
            uint64_t counted = 0;
            bool all_known = true;
            for (size_t i = 0; i < qs.size(); ++i) {
                const std::string w = where + " query " + std::to_string(i) + " '" + qs[i].bytes + "'";
                const vorn_match want =
                    oracle::match_record(qs[i], refs, static_cast<uint32_t>(k), dist_fn);
                ASSERT_EQ(brute[i], want) << w;
                ASSERT_EQ(plain.records[i], want) << w;
                ASSERT_EQ(stats.records[i], want) << w;
                check_status_only(status.records[i], want, qs[i], k, w);
                if (k == 1) {
                    const auto c = one_edit_counters(qs[i], refs, dist);
                    all_known = all_known && c.known;
                    counted += c.value;
                }
            }
            if (k == 1 && all_known) {
                EXPECT_EQ(stats.stats, (vorn_stats{counted, counted})) << where;
            }
            if (k >= 3) {
                uint64_t valid = 0;
                for (const auto &q : qs) valid += !q.invalid();
                EXPECT_EQ(stats.stats, (vorn_stats{valid * n_refs, valid * n_refs})) << where;
            }
            if (k != 1 && k != 2) {
                EXPECT_EQ(status.stats, stats.stats) << where;
            }
        }
    }
}

// Per query, at k = 1: an encodable query measures exactly the references it
// can reach, never one twice.
TEST(IndexAssignDifferential, OneEditCountersPerQuery) {
    velmora_test::rng g(velmora_test::test_seed() + 3);
    for (int round = 0; round < 10; ++round) {
        const auto refs = assign_test::near_neighbour_refs(g, g.range(1, 4), g.range(1, 70), 34);
        built_index bi(refs);
        distance_cache dist;
        for (const auto &q : assign_test::near_neighbour_queries(g, refs, 60, 34)) {
            const auto c = one_edit_counters(q, refs, dist);
            if (!c.known) continue;
            const auto r = run(form::stats, bi, {q}, 1);
            EXPECT_EQ(r.stats, (vorn_stats{c.value, c.value})) << "'" << q.bytes << "'";
        }
    }
}

// A batch whose queries meet at most 128 distinct candidates each allocates
// nothing, on any path including the fallback.
TEST(IndexAssign, TypicalBatchesAllocateNothing) {
    velmora_test::rng g(velmora_test::test_seed() + 5);
    const auto refs = assign_test::near_neighbour_refs(g, 5, 100);
    built_index bi(refs);
    const auto qs = assign_test::near_neighbour_queries(g, refs, 80);
    seq_batch qb(qs);
    for (int32_t k : {0, 1, 2, 3}) {
        std::vector<vorn_match> out(qs.size());
        vorn_stats st{0, 0};
        const auto c = alloc_measure([&] {
            vorn_index_assign_stats(bi.index, qb.ptrs(), qb.lens(), qb.size(), k, out.data(), &st);
            vorn_index_assign_status_stats(bi.index, qb.ptrs(), qb.lens(), qb.size(), k, out.data(),
                                           &st);
        });
        EXPECT_EQ(c.allocations, 0u) << "k " << k;
    }
}

}  // namespace
