// Every allocation the library makes, failed in turn through the calls a user
// makes: for N = 1, 2, ... the Nth allocation of the call fails, until a run
// completes without a failure.  Each run must give the documented failure
// value (a null index, UINT32_MAX, -1, an invalid record) or, for the
// assignment paths, exactly the brute-force record, since a path that cannot
// grow its candidate set hands the query to brute force; and each run must
// leave no block allocated.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "oracle.h"
#include "support/alloc_hooks.h"
#include "test_util.h"
#include "velmora.h"

namespace {

using velmora_test::alloc_fault_sweep;
using velmora_test::alloc_injected;
using velmora_test::alloc_measure;
using velmora_test::seq_batch;

std::vector<std::string> repeat(const std::string &s, size_t n) {
    return std::vector<std::string>(n, s);
}

std::vector<std::string> join(std::initializer_list<std::vector<std::string>> parts) {
    std::vector<std::string> out;
    for (const auto &p : parts) out.insert(out.end(), p.begin(), p.end());
    return out;
}

// Sweeps body and checks that at least one allocation was there to fail, so
// a scenario that stops reaching its allocation site fails loudly instead of
// passing vacuously.  Returns the number of allocations the call makes.
uint64_t sweep_allocations(const std::function<void(uint64_t)> &body) {
    const uint64_t runs = alloc_fault_sweep(body);
    EXPECT_GT(runs, 1u) << "the call allocated nothing";
    return runs - 1;
}

// ---------------------------------------------------------------------------
// Index build: the record, every array, every reference copy, the deletion
// and piece tables.  Any failure gives null and releases everything.

struct build_case {
    const char *name;
    std::vector<std::string> refs;
};

TEST(FaultInjection, IndexBuildFailsCleanlyAtEveryAllocation) {
    const std::vector<build_case> cases = {
        // Encodable of every boundary length, duplicates, N, lower case,
        // bytes 0 and 255, 33 and 40 bytes: all four tables and both lists.
        {"mixed", {"ACGT", "", "A", std::string(32, 'T'), std::string(33, 'G'), "ACGT", "ACGN",
                   "acgt", std::string("AC\0T", 4), "\xff\xff", std::string(40, 'C'), "AAC"}},
        // No encodable reference: neither the deletion nor the piece table.
        {"non-encodable only", {"NNNN", "acgt", std::string(35, 'A')}},
        // Only the empty reference is encodable: a piece table, no deletion table.
        {"empty encodable only", {"", "NN"}},
        {"single", {"ACGT"}},
        // A/C/G/T only, kept as codes: one length (no length array) with a
        // group, and several lengths with groups in both key tables.
        {"codes, one length", {"ACGTACGTACGTACGT", "ACGTACGTACGTACGA", "ACGTACGTACGTACGT"}},
        {"bytes, one length", {"ACGN", "acgt", "ACGT", "ACGT"}},
        {"codes, mixed lengths", {std::string(32, 'T'), "", "ACGT", std::string(32, 'T'), "",
                                  std::string(31, 'G'), "ACGA"}},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        seq_batch refs(velmora_test::as_seqs(c.refs));
        const std::string probe = c.refs[0];
        const vorn_match want = oracle::edit_record(oracle::seq{probe},
                                                    velmora_test::as_seqs(c.refs), 1);
        // A list of one length is also built from one block.
        std::string block;
        for (const std::string &r : c.refs) block += r;
        const bool one_length = std::all_of(c.refs.begin(), c.refs.end(), [&](const std::string &r) {
            return r.size() == c.refs[0].size();
        });
        for (uint32_t flags = 0; flags < (one_length ? 8u : 4u); ++flags) {
            sweep_allocations([&](uint64_t) {
                vorn_index *index =
                    flags < 4 ? vorn_index_build_opts(refs.ptrs(), refs.lens(), refs.size(), flags)
                              : vorn_index_build_block(reinterpret_cast<const uint8_t *>(block.data()),
                                                       c.refs[0].size(), c.refs.size(), flags - 4);
                if (alloc_injected()) {
                    EXPECT_EQ(index, nullptr);
                    vorn_index_free(index);
                    return;
                }
                ASSERT_NE(index, nullptr);
                vorn_match m;
                ASSERT_EQ(vorn_index_assign(index, refs.ptrs(), refs.lens(), 1, 1, &m), 0);
                EXPECT_EQ(m, want);
                vorn_index_free(index);
            });
        }
    }
}

// ---------------------------------------------------------------------------
// The heap of the long path: the dynamic-programming rows, and the blocked
// kernel's masks, reached from every entry point that can hand two operands
// over 512 bytes to a distance kernel.

TEST(FaultInjection, DynamicProgrammingRowsThroughEveryCaller) {
    velmora_test::rng g(velmora_test::test_seed());
    const std::string a = g.dna(600);
    // b: same length, 40 substitutions (some N and lower case), so no shortcut
    // decides; c: one insertion, within k = 2 only by the kernel's count.
    const std::string b = g.mutate(a, 40, 5, true);
    const std::string c = a.substr(0, 300) + "G" + a.substr(300);
    const uint32_t d_ab = oracle::levenshtein(a, b);
    const auto A = velmora_test::bytes(a);
    const auto B = velmora_test::bytes(b);
    ASSERT_GT(b.size(), 512u);

    struct scalar_case {
        const char *name;
        std::function<int64_t()> call;
        int64_t want;
        int64_t failed;
    };
    const std::vector<scalar_case> scalars = {
        {"vorn_edit_distance_dp", [&] { return int64_t{vorn_edit_distance_dp(A, a.size(), B, b.size())}; },
         d_ab, UINT32_MAX},
        {"vorn_edit_distance_myers64",
         [&] { return int64_t{vorn_edit_distance_myers64(A, a.size(), B, b.size())}; }, d_ab,
         UINT32_MAX},
        {"vorn_edit_distance", [&] { return int64_t{vorn_edit_distance(B, b.size(), A, a.size())}; },
         d_ab, UINT32_MAX},
        {"vorn_edit_distance_leq, within k",
         [&] {
             return int64_t{vorn_edit_distance_leq(A, a.size(), velmora_test::bytes(c), c.size(), 2)};
         },
         1, -1},
        {"vorn_edit_distance_leq, beyond k",
         [&] { return int64_t{vorn_edit_distance_leq(A, a.size(), B, b.size(), 3)}; }, 0, -1},
    };
    for (const auto &s : scalars) {
        SCOPED_TRACE(s.name);
        sweep_allocations([&](uint64_t) {
            const int64_t got = s.call();
            EXPECT_EQ(got, alloc_injected() ? s.failed : s.want);
        });
    }
}

// Brute force over long sequences: a query whose distance to some reference
// cannot be computed is reported invalid, never as "farther than k"; the
// other queries of the batch are unaffected.  The index entry points reach
// the same rows through their brute-force fallback.
TEST(FaultInjection, DynamicProgrammingRowsInBruteForceAndFallback) {
    velmora_test::rng g(velmora_test::test_seed() + 1);
    const std::string base = g.dna(560);
    // Each long reference needs the kernel: an insertion and a deletion far
    // apart (equal lengths, many differing positions), one insertion, and
    // three substitutions (a Hamming count the kernel must confirm).
    std::string shifted = base.substr(0, 100) + "T" + base.substr(100);
    shifted.erase(400, 1);
    std::string three = base;
    for (size_t p : {50u, 250u, 450u}) three[p] = three[p] == 'A' ? 'C' : 'A';
    const std::vector<std::string> refs_s = {shifted, "ACGT", base.substr(0, 10) + "G" + base.substr(10),
                                             three};
    const std::vector<oracle::seq> refs = velmora_test::as_seqs(refs_s);
    const std::vector<oracle::seq> queries = velmora_test::as_seqs({"ACGA", base});
    seq_batch r(refs), q(queries);
    vorn_index *index = vorn_index_build(r.ptrs(), r.lens(), r.size());
    ASSERT_NE(index, nullptr);

    for (int32_t k : {2, 3}) {
        SCOPED_TRACE(k);
        const vorn_match short_want = oracle::edit_record(queries[0], refs, static_cast<uint32_t>(k));
        const vorn_match long_want = oracle::edit_record(queries[1], refs, static_cast<uint32_t>(k));
        const vorn_assignment short_a =
            oracle::assignment_record(queries[0], refs, static_cast<uint32_t>(k), false);
        const vorn_assignment long_a =
            oracle::assignment_record(queries[1], refs, static_cast<uint32_t>(k), false);
        const vorn_assignment invalid_a{UINT32_MAX, UINT32_MAX, UINT32_MAX, 0, 0,
                                        VORN_STATUS_INVALID, VORN_EDIT_INVALID};

        sweep_allocations([&](uint64_t) {
            vorn_match out[2];
            ASSERT_EQ(vorn_match_many(q.ptrs(), q.lens(), 2, r.ptrs(), r.lens(), r.size(), k, out), 0);
            EXPECT_EQ(out[0], short_want);
            EXPECT_EQ(out[1], alloc_injected() ? oracle::match_invalid() : long_want);
        });
        sweep_allocations([&](uint64_t) {
            vorn_assignment out[2];
            ASSERT_EQ(vorn_assign_many(q.ptrs(), q.lens(), 2, r.ptrs(), r.lens(), r.size(), k, 0, out),
                      0);
            EXPECT_EQ(out[0], short_a);
            EXPECT_EQ(out[1], alloc_injected() ? invalid_a : long_a);
        });
        sweep_allocations([&](uint64_t) {
            vorn_match out[2];
            vorn_stats st;
            ASSERT_EQ(vorn_index_assign_stats(index, q.ptrs(), q.lens(), 2, k, out, &st), 0);
            EXPECT_EQ(out[0], short_want);
            EXPECT_EQ(out[1], alloc_injected() ? oracle::match_invalid() : long_want);
        });
    }
    vorn_index_free(index);
}

// ---------------------------------------------------------------------------
// Candidate-set growth in every path that uses it.  Each scenario gives one
// query more than 256 distinct candidates through one route, so the set
// builds its table, grows its list and rebuilds the table; every one of those
// allocations, for each query of the batch, fails in turn.

enum class form { plain, counting, status_only, hamming };

struct growth_case {
    const char *name;
    std::vector<std::string> refs;
    std::vector<oracle::seq> queries;
    int32_t k;
    form how;
    uint32_t flags = VORN_INDEX_ALL;
};

int32_t run_form(form how, const vorn_index *index, const seq_batch &q, int32_t k,
                 vorn_match *out, vorn_stats *st) {
    switch (how) {
        case form::plain: return vorn_index_assign(index, q.ptrs(), q.lens(), q.size(), k, out);
        case form::counting:
            return vorn_index_assign_stats(index, q.ptrs(), q.lens(), q.size(), k, out, st);
        case form::status_only:
            return vorn_index_assign_status_stats(index, q.ptrs(), q.lens(), q.size(), k, out, st);
        case form::hamming:
            return vorn_index_assign_hamming_stats(index, q.ptrs(), q.lens(), q.size(), k, out, st);
    }
    return -2;
}

std::vector<growth_case> growth_cases() {
    const std::string Q = "ACGTACGTAC";
    const std::string QN = "ACGTNCGTAC";  // Q with one unknown byte
    const std::string L33 = "ACGTTGCAACGTTGCAACGTTGCAACGTTGCAA";
    const std::string L34 = L33 + "C";
    const size_t n = 300;
    const auto seqs = [](std::initializer_list<std::string> v) {
        return velmora_test::as_seqs(std::vector<std::string>(v));
    };
    std::string L33_sub = L33.substr(1);
    L33_sub[10] = L33_sub[10] == 'A' ? 'C' : 'A';
    std::string L34_del2 = L34;
    L34_del2.erase(20, 1);
    L34_del2.erase(5, 1);
    // Every scenario also carries a few unrelated references and an ordinary
    // query, so a failure must stay with the query it hit.
    const std::vector<std::string> others = {"ACGT", "TTTT", "ACGN", ""};
    return {
        // k = 1, A/C/G/T query: each route of the one-edit search.
        {"one edit: own code", join({others, repeat(Q, n)}), seqs({Q, "ACGT", Q}), 1, form::counting},
        {"one edit: substitution", join({others, repeat("ACGTACGTAA", n)}), seqs({Q, Q}), 1, form::plain},
        {"one edit: deletion table", join({others, repeat(Q + "G", n)}), seqs({Q, Q}), 1, form::counting},
        {"one edit: insertion keys instead", join({others, repeat(Q + "G", n)}), seqs({Q, Q}), 1,
         form::counting, VORN_INDEX_NO_DELETION},
        {"one edit: non-encodable scan", join({others, repeat("ACGTNCGTAC", n)}), seqs({Q, Q}), 1,
         form::counting},
        // k = 2, A/C/G/T query: the exact probe, both levels of the
        // enumeration, the scan.
        {"two edits: first level", join({others, repeat("ACGTACGTAA", n)}), seqs({Q, Q}), 2,
         form::counting},
        {"two edits: second level", join({others, repeat("ACGTACGTTT", n)}), seqs({Q, Q}), 2,
         form::plain},
        {"two edits: non-encodable scan", join({others, repeat("ACGTNNGTAC", n)}), seqs({Q, Q}), 2,
         form::counting},
        // One unknown byte, k = 1: the four replacements, the removal, the scan.
        {"unknown byte, k=1: replacement", join({others, repeat(Q, n)}), seqs({QN, QN}), 1,
         form::counting},
        {"unknown byte, k=1: removal", join({others, repeat("ACGTCGTAC", n)}), seqs({QN, QN}), 1,
         form::counting},
        {"unknown byte, k=1, status only: scan", join({others, repeat("NNNNNNNNNN", n)}),
         seqs({QN, QN}), 1, form::status_only},
        // One unknown byte, k = 2: a repair's own code, its variants, the scan.
        {"unknown byte, k=2: replacement variants", join({others, repeat("ACGTACGTAA", n)}),
         seqs({QN, QN}), 2, form::counting},
        {"unknown byte, k=2: removal", join({others, repeat("ACGTCGTAC", n)}), seqs({QN, QN}), 2,
         form::plain},
        // 33 and 34 bases, k = 2: deletion codes, their variants, the scan.
        {"long read 33: deletion code", join({others, repeat(L33.substr(1), n)}), seqs({L33, L33}), 2,
         form::counting},
        {"long read 33: deletion variant", join({others, repeat(L33.substr(2), n)}), seqs({L33, L33}),
         2, form::counting},
        {"long read 34: two deletions", join({others, repeat(L34_del2, n)}), seqs({L34, L34}), 2,
         form::counting},
        {"long read 34, status only: scan", join({others, repeat(std::string(34, 'N'), n)}),
         seqs({L34, L34}), 2, form::status_only},
        // Hamming with unknown bytes: the replacement probes and the scan.
        {"hamming, k=1: replacement", join({others, repeat(Q, n)}), seqs({QN, QN}), 1, form::hamming},
        {"hamming, k=2: non-encodable scan", join({others, repeat("NNNNNNNNNN", n)}), seqs({QN, QN}),
         2, form::hamming},
    };
}

TEST(FaultInjection, CandidateSetGrowthInEveryPath) {
    for (const auto &c : growth_cases()) {
        SCOPED_TRACE(c.name);
        const std::vector<oracle::seq> refs = velmora_test::as_seqs(c.refs);
        seq_batch r(refs), q(c.queries);
        vorn_index *index = vorn_index_build_opts(r.ptrs(), r.lens(), r.size(), c.flags);
        ASSERT_NE(index, nullptr);
        std::vector<vorn_match> want;
        for (const auto &query : c.queries)
            want.push_back(c.how == form::hamming
                               ? oracle::hamming_record(query, refs, static_cast<uint32_t>(c.k))
                               : oracle::edit_record(query, refs, static_cast<uint32_t>(c.k)));

        // Without a failure the scenario's records are brute force too (the
        // status-only scenarios have no two hits to stop on).
        std::vector<vorn_match> out(c.queries.size());
        vorn_stats base{};
        ASSERT_EQ(run_form(c.how, index, q, c.k, out.data(), &base), 0);
        for (size_t i = 0; i < out.size(); ++i) EXPECT_EQ(out[i], want[i]) << "query " << i;

        sweep_allocations([&](uint64_t fail_at) {
            std::vector<vorn_match> got(c.queries.size());
            vorn_stats st{};
            ASSERT_EQ(run_form(c.how, index, q, c.k, got.data(), &st), 0);
            for (size_t i = 0; i < got.size(); ++i)
                EXPECT_EQ(got[i], want[i]) << "query " << i << ", allocation " << fail_at;
            // Counters move together; a query handed to brute force after a
            // failure counts at least what its path would have.
            if (c.how != form::plain) {
                EXPECT_EQ(st.candidates, st.verifications);
                EXPECT_GE(st.candidates, base.candidates);
                if (!alloc_injected()) {
                    EXPECT_EQ(st, base);
                }
            }
        });
        vorn_index_free(index);
    }
}

// The hit listing and the read decision keep their working memory inline
// up to a size; past it every allocation may fail: -2 with nothing written,
// or the full answer, and never a leak.
TEST(FaultInjection, HitListingAndReadDecision) {
    velmora_test::rng g(velmora_test::test_seed() + 2);
    const std::string q = g.dna(16);
    std::vector<oracle::seq> refs;
    for (int i = 0; i < 150; ++i) refs.push_back(oracle::seq{g.mutate(q, 1)});
    for (int i = 0; i < 60; ++i) refs.push_back(oracle::seq{q});
    for (int i = 0; i < 20; ++i) refs.push_back(oracle::seq{g.mutate(q, 1, 30)});
    seq_batch r(refs);
    for (uint32_t flags = 0; flags < 4; ++flags) {
        vorn_index *index = vorn_index_build_opts(r.ptrs(), r.lens(), r.size(), flags);
        ASSERT_NE(index, nullptr);
        for (uint32_t metric : {VORN_METRIC_EDIT, VORN_METRIC_HAMMING}) {
            for (int32_t k : {1, 2, 3}) {
                SCOPED_TRACE(::testing::Message() << "metric " << metric << " k " << k << " flags " << flags);
                std::vector<vorn_hit> want(r.size() + 1);
                size_t n_want = 0;
                ASSERT_EQ(vorn_index_hits(index, velmora_test::bytes(q), q.size(), metric, k,
                                          want.data(), want.size(), &n_want), 0);
                want.resize(n_want);
                sweep_allocations([&](uint64_t) {
                    std::vector<vorn_hit> got(n_want, vorn_hit{5, 5});
                    size_t n = 99;
                    const int32_t rc = vorn_index_hits(index, velmora_test::bytes(q), q.size(), metric, k,
                                                       got.data(), got.size(), &n);
                    if (alloc_injected()) {
                        EXPECT_EQ(rc, -2);
                        EXPECT_EQ(n, 0u);
                        EXPECT_TRUE(std::all_of(got.begin(), got.end(),
                                                [](const vorn_hit &h) { return h == vorn_hit{5, 5}; }));
                    } else {
                        EXPECT_EQ(rc, 0);
                        EXPECT_EQ(got, want);
                    }
                });
            }
        }
        vorn_index_free(index);
    }

    // Enough hits, read bases and band to move every buffer of the decision
    // to the heap: with k = 20 no route serves a window, so every reference is
    // measured against all of them; with k = 2 the windows' routes share one
    // candidate set that outgrows its inline room.
    const std::string read = g.dna(80);
    for (const size_t window : {size_t{50}, size_t{30}}) {
        std::vector<std::string> near;
        for (size_t i = 0; i < 140; ++i) {
            std::string s = read.substr(0, window);
            for (size_t at : {i % window, (i * 7 + 3) % window}) s[at] = s[at] == 'A' ? 'C' : 'A';
            near.push_back(s);
        }
        seq_batch nb(velmora_test::as_seqs(near));
        vorn_index *index = vorn_index_build(nb.ptrs(), nb.lens(), nb.size());
        ASSERT_NE(index, nullptr);
        const std::vector<uint64_t> counts(near.size(), 2);
        vorn_rescue_params p;
        vorn_rescue_params_default(&p);
        p.k = window == 50 ? 20 : 2;
        bool counted = false;  // alternates the plain and the counting form
        const auto decide = [&](vorn_rescue_result *res, size_t *n) {
            std::vector<vorn_hit> hits(200);
            vorn_stats st{0, 0};
            counted = !counted;
            return counted ? vorn_rescue_read_stats(index, velmora_test::bytes(read), nullptr, read.size(),
                                                    window, counts.data(), counts.size(), &p, hits.data(),
                                                    hits.size(), n, res, &st)
                           : vorn_rescue_read(index, velmora_test::bytes(read), nullptr, read.size(), window,
                                              counts.data(), counts.size(), &p, hits.data(), hits.size(), n,
                                              res);
        };
        vorn_rescue_result clean;
        size_t clean_n = 0;
        ASSERT_EQ(decide(&clean, &clean_n), 0);
        ASSERT_GT(clean_n, 64u);
        sweep_allocations([&](uint64_t) {
            vorn_rescue_result res = velmora_test::poisoned<vorn_rescue_result>();
            size_t n = 99;
            const int32_t rc = decide(&res, &n);
            if (alloc_injected()) {
                EXPECT_EQ(rc, -2);
                EXPECT_EQ(n, 0u);
                EXPECT_EQ(res.status, velmora_test::poisoned<vorn_rescue_result>().status);
            } else {
                EXPECT_EQ(rc, 0);
                EXPECT_EQ(n, clean_n);
                EXPECT_EQ(res.ref_index, clean.ref_index);
                EXPECT_EQ(res.posterior, clean.posterior);
            }
        });
        vorn_index_free(index);
    }
}

// The calls that promise to allocate nothing: exact lookups, the Hamming
// route for A/C/G/T queries and its scan for long queries, the index paths
// while a query meets at most 128 distinct candidates, and distances whose
// shorter operand has at most 512 bytes.
TEST(FaultInjection, CallsThatAllocateNothing) {
    const std::vector<std::string> refs_s = join(
        {repeat("ACGTACGTAC", 100), {"ACGTACGTAA", "ACGTNCGTAC", std::string(40, 'A'), "acgt"}});
    seq_batch r(velmora_test::as_seqs(refs_s));
    vorn_index *index = vorn_index_build(r.ptrs(), r.lens(), r.size());
    ASSERT_NE(index, nullptr);
    seq_batch q(velmora_test::as_seqs(
        {"ACGTACGTAC", "ACGTNCGTAC", "acgtacgtac", std::string(40, 'A'), "", "NNNNNNNNNNNNNNNNNNNNNNNNNNNNNNNNNNNN"}));
    const std::string L33(33, 'A'), p512 = std::string(511, 'C') + "A", t700(700, 'G');
    const auto P = velmora_test::bytes(p512), T = velmora_test::bytes(t700);
    for (int32_t k = 0; k <= 3; ++k) {
        SCOPED_TRACE(k);
        std::vector<vorn_match> out(q.size());
        vorn_stats st;
        const auto c = alloc_measure([&] {
            vorn_index_lookup_exact_many_stats(index, q.ptrs(), q.lens(), q.size(), out.data(), &st);
            vorn_index_lookup_exact_ascii_many_stats(index, q.ptrs(), q.lens(), q.size(), out.data(),
                                                     &st);
            vorn_index_assign_hamming_stats(index, q.ptrs(), q.lens(), q.size(), k, out.data(), &st);
            vorn_index_assign_stats(index, q.ptrs(), q.lens(), q.size(), k, out.data(), &st);
            vorn_index_assign_status_stats(index, q.ptrs(), q.lens(), q.size(), k, out.data(), &st);
            vorn_edit_distance(velmora_test::bytes(L33), 33, velmora_test::bytes(refs_s[0]), 10);
            // A pattern of at most 512 bytes runs on the stack.
            vorn_edit_distance(T, t700.size(), P, p512.size());
            vorn_edit_distance_myers64(P, p512.size(), T, t700.size());
            vorn_edit_distance_leq(T, t700.size(), P, p512.size(), 200 * k);
            vorn_match_many(q.ptrs(), q.lens(), q.size(), r.ptrs(), r.lens(), r.size(), k, out.data());
        });
        EXPECT_EQ(c.allocations, 0u);
        EXPECT_EQ(c.live, 0);
    }
    vorn_index_free(index);
}

}  // namespace
