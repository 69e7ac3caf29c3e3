// Two-edit assignment of encodable queries: worked examples, differential runs
// against the oracle through the public calls and the path itself, the
// status-only promises, the work counters and allocation failure.
#include <gtest/gtest.h>

#include <cstring>
#include <set>
#include <string>
#include <vector>

#include "assign/assign_fixture.h"
#include "assign/assign_internal.h"
#include "oracle.h"
#include "support/alloc_hooks.h"
#include "test_util.h"
#include "velmora.h"

using oracle::seq;
using velmora_test::rng;
using velmora_test::seq_batch;
using assign_test::built_index;
using assign_test::is_encodable;

namespace {

constexpr uint32_t U = UINT32_MAX;

// Work of a query the two-edit path answers: every encodable reference
// within two edits, plus every non-encodable one within the length window.
vorn_stats expected_work(const std::string &q, const std::vector<std::string> &refs) {
    uint64_t n = 0;
    for (const auto &r : refs) {
        if (is_encodable(r)) n += oracle::levenshtein(q, r) <= 2;
        else n += (r.size() > q.size() ? r.size() - q.size() : q.size() - r.size()) <= 2;
    }
    return {n, n};
}

vorn_match assign_one(const vorn_index *index, const std::string &q, int32_t k,
                      vorn_stats *stats, bool status_only) {
    seq_batch b;
    b.add(q);
    vorn_match m;
    std::memset(&m, 0xA5, sizeof m);
    const auto call = status_only ? vorn_index_assign_status_stats : vorn_index_assign_stats;
    EXPECT_EQ(call(index, b.ptrs(), b.lens(), 1, k, &m, stats), 0);
    return m;
}

int32_t call_path(const vorn_index *index, const std::string &q, vorn_match *m,
                  vorn_stats *stats, uint32_t stop) {
    seq_batch b;
    b.add(q);
    return velmora::index_assign_neighbor_two_impl(index, b.ptrs()[0], q.size(),
                                                   assign_test::encode(q), m, stats, stop);
}

// What the status-only form promises when the search order is not by
// distance: an unfinished search is AMBIGUOUS at a distance where two
// references really lie; a finished one is the full record.
void expect_status_only_promise(const vorn_match &got, const vorn_match &full,
                                const std::string &q, const std::vector<std::string> &refs,
                                uint32_t k) {
    if (got.status != VORN_STATUS_AMBIGUOUS) {
        EXPECT_EQ(got, full) << "query '" << q << "'";
        return;
    }
    ASSERT_LE(got.best_distance, k);
    ASSERT_LT(got.best_index, refs.size());
    EXPECT_EQ(oracle::levenshtein(q, refs[got.best_index]), got.best_distance);
    size_t at_distance = 0;
    for (const auto &r : refs) at_distance += oracle::levenshtein(q, r) == got.best_distance;
    EXPECT_GE(at_distance, 2u) << "query '" << q << "'";
    EXPECT_GE(got.best_distance, full.best_distance);
    EXPECT_GE(got.hit_count, 2u);
    EXPECT_LE(got.hit_count, full.hit_count);
    if (got.second_distance != U) {
        EXPECT_GT(got.second_distance, got.best_distance);
        EXPECT_LE(got.second_distance, k);
    }
}

struct worked_case {
    const char *name;
    std::vector<std::string> refs;
    std::string query;
    bool status_only;
    vorn_match expected;
    uint64_t work;  // both counters; UINT64_MAX = not checked
};

}  // namespace

TEST(TwoEditPath, WorkedExamples) {
    const std::string q32 = "ACGTTGCAACGTTGCAACGTTGCAACGTTGCA";
    const worked_case cases[] = {
        {"every kind of two-edit neighbour",
         {"ACGT", "AGGA", "CGTA", "ACGTAA", "AC", "ACNNT"}, "ACGT", false,
         {0, 0, 2, 6, VORN_STATUS_UNIQUE}, 6},
        {"empty query", {"", "A", "AC", "ACG"}, "", false, {0, 0, 1, 3, VORN_STATUS_UNIQUE}, 3},
        {"32 bases against a 34-byte extension", {q32 + "GG"}, q32, false,
         {0, 2, U, 1, VORN_STATUS_UNIQUE}, 1},
        {"deep variant before a shallow one, full", {"CCAA", "CGAA", "AAAT"}, "AAAA", false,
         {2, 1, 2, 3, VORN_STATUS_UNIQUE}, 3},
        {"deep variant before a shallow one, status only", {"CCAA", "CGAA", "AAAT"}, "AAAA",
         true, {0, 2, U, 2, VORN_STATUS_AMBIGUOUS}, 2},
        {"status only: no scan after the stop", {"CCAA", "CGAA", "AAAT", "AAAN"}, "AAAA", true,
         {0, 2, U, 2, VORN_STATUS_AMBIGUOUS}, 2},
        {"two references equal to the query, status only", {"GATTACA", "GATTACA", "AATTACA"},
         "GATTACA", true, {0, 0, U, 2, VORN_STATUS_AMBIGUOUS}, 2},
        {"no reference within two edits", {"TTTT", "GGGGA", "acgt"}, "ACGT", false,
         oracle::match_none(), 1},
        {"lower-case twin is far, not equal", {"acgt", "ACGA"}, "ACGT", false,
         {1, 1, U, 1, VORN_STATUS_UNIQUE}, 2},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        built_index ix(c.refs);
        ASSERT_NE(ix.index, nullptr);
        vorn_stats st{7, 7};
        EXPECT_EQ(assign_one(ix.index, c.query, 2, &st, c.status_only), c.expected);
        if (c.work != UINT64_MAX) {
            EXPECT_EQ(st, (vorn_stats{c.work, c.work}));
        }
        // The path itself gives the same record.
        vorn_match m;
        vorn_stats direct{0, 0};
        ASSERT_EQ(call_path(ix.index, c.query, &m, &direct, c.status_only ? 1 : 0),
                  velmora::PATH_DONE);
        EXPECT_EQ(m, c.expected);
        if (c.work != UINT64_MAX) {
            EXPECT_EQ(direct, (vorn_stats{c.work, c.work}));
        }
    }
}

TEST(TwoEditPath, EmptyIndexAnswersWithoutWork) {
    built_index ix(std::vector<std::string>{});
    ASSERT_NE(ix.index, nullptr);
    for (const bool status_only : {false, true}) {
        vorn_stats st{3, 3};
        EXPECT_EQ(assign_one(ix.index, "ACGT", 2, &st, status_only), oracle::match_none());
        EXPECT_EQ(st, (vorn_stats{0, 0}));
    }
    vorn_match m;
    std::memset(&m, 0xA5, sizeof m);
    EXPECT_EQ(call_path(ix.index, "ACGT", &m, nullptr, 0), velmora::PATH_DONE);
    EXPECT_EQ(m, oracle::match_none());
}

// Queries of every encodable length against references made from them by
// up to three edits (noisy bytes included), duplicates and strangers; k = 1
// and k = 2 through the public calls, k = 2 through the path as well.
TEST(TwoEditPath, AgreesWithOracleOnEveryLength) {
    const uint64_t seed = velmora_test::test_seed();
    SCOPED_TRACE(::testing::Message() << "seed " << seed);
    rng g(seed ^ 0x2ed17);
    const int rounds = 3 * velmora_test::test_scale();
    for (int round = 0; round < rounds; ++round) {
        std::vector<std::string> queries, refs;
        for (size_t len = 0; len <= 32; ++len) queries.push_back(g.dna(len));
        for (const auto &q : queries) {
            const size_t n = g.range(1, 5);
            for (size_t i = 0; i < n; ++i)
                refs.push_back(g.mutate(q, static_cast<unsigned>(g.range(0, 3)),
                                        g.chance(30) ? 20 : 0));
            if (g.chance(20)) refs.push_back(refs.back());  // duplicate
        }
        for (int i = 0; i < 10; ++i) refs.push_back(g.noisy(g.boundary_len(36), 10));
        built_index ix(refs);
        ASSERT_NE(ix.index, nullptr);
        const std::vector<seq> rs = velmora_test::as_seqs(refs);
        vorn_stats batch_expected{0, 0};
        for (const auto &q : queries) {
            SCOPED_TRACE(::testing::Message() << "query '" << q << "'");
            for (const int32_t k : {1, 2}) {
                const vorn_match want = oracle::edit_record(seq{q}, rs, static_cast<uint32_t>(k));
                vorn_stats st{};
                EXPECT_EQ(assign_one(ix.index, q, k, &st, false), want) << "k=" << k;
                if (k == 2) {
                    EXPECT_EQ(st, expected_work(q, refs));
                    const vorn_stats w = expected_work(q, refs);
                    batch_expected.candidates += w.candidates;
                    batch_expected.verifications += w.verifications;
                    vorn_match m;
                    vorn_stats direct{};
                    ASSERT_EQ(call_path(ix.index, q, &m, &direct, 0), velmora::PATH_DONE);
                    EXPECT_EQ(m, want);
                    EXPECT_EQ(direct, st);
                    expect_status_only_promise(assign_one(ix.index, q, 2, nullptr, true), want,
                                               q, refs, 2);
                }
            }
        }
        // The batch form accumulates the same counts.
        seq_batch qb(velmora_test::as_seqs(queries));
        std::vector<vorn_match> out(queries.size());
        vorn_stats st{};
        ASSERT_EQ(vorn_index_assign_stats(ix.index, qb.ptrs(), qb.lens(), qb.size(), 2,
                                          out.data(), &st),
                  0);
        EXPECT_EQ(st, batch_expected);
    }
}

// Many references around one query, so that the candidate set outgrows its
// inline storage; then every allocation the path makes is made to fail.
TEST(TwoEditPath, ManyCandidatesAndAllocationFailure) {
    rng g(velmora_test::test_seed() ^ 0x2ed18);
    const std::string q = g.dna(20);
    std::set<std::string> distinct;
    while (distinct.size() < 300)
        distinct.insert(g.mutate(q, static_cast<unsigned>(g.range(1, 2))));
    std::vector<std::string> refs(distinct.begin(), distinct.end());
    for (int i = 0; i < 20; ++i) refs.push_back(g.mutate(q, 2, 30));  // some non-encodable
    built_index ix(refs);
    ASSERT_NE(ix.index, nullptr);
    const vorn_match want = oracle::edit_record(seq{q}, velmora_test::as_seqs(refs), 2);
    ASSERT_GT(want.hit_count, 200u);
    const vorn_stats work = expected_work(q, refs);

    vorn_match m;
    vorn_stats st{};
    ASSERT_EQ(call_path(ix.index, q, &m, &st, 0), velmora::PATH_DONE);
    EXPECT_EQ(m, want);
    EXPECT_EQ(st, work);

    seq_batch b;
    b.add(q);
    for (const uint32_t stop : {0u, 1u}) {
        const uint64_t runs = velmora_test::alloc_fault_sweep([&](uint64_t) {
            vorn_match r;
            const int32_t rc = velmora::index_assign_neighbor_two_impl(
                ix.index, b.ptrs()[0], q.size(), assign_test::encode(q), &r, nullptr, stop);
            if (velmora_test::alloc_injected()) {
                EXPECT_EQ(rc, velmora::PATH_DECLINED);
            } else {
                EXPECT_EQ(rc, velmora::PATH_DONE);
                if (stop == 0) {
                    EXPECT_EQ(r, want);
                }
            }
        });
        if (stop == 0) {
            EXPECT_GT(runs, 1u) << "the set never left its inline storage";
        }
    }
    // Through the public call the fallback repairs every failure.
    velmora_test::alloc_fault_sweep([&](uint64_t) {
        vorn_match r;
        vorn_stats s{};
        ASSERT_EQ(vorn_index_assign_stats(ix.index, b.ptrs(), b.lens(), 1, 2, &r, &s), 0);
        EXPECT_EQ(r, want);
        if (velmora_test::alloc_injected()) {
            EXPECT_GE(s.candidates, refs.size());
        } else {
            EXPECT_EQ(s, work);
        }
    });
}
