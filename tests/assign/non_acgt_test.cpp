// Queries of 1 to 32 bytes with foreign bytes (N, lower case, 0x00, 0xFF):
// worked examples, declines, differential runs against the oracle for k = 1
// and k = 2 with one and two foreign bytes at the first, a middle and the last
// position, the status-only promises, the work counters and allocation
// failure.
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
const char kForeign[] = {'N', 'a', '\0', '\xff', 'n', 't'};

bool is_base(char c) { return c == 'A' || c == 'C' || c == 'G' || c == 'T'; }

size_t foreign_count(const std::string &s) {
    size_t n = 0;
    for (char c : s) n += !is_base(c);
    return n;
}

size_t gap(size_t a, size_t b) { return a > b ? a - b : b - a; }

// Work of a query one of these paths answers: encodable references within k
// (the repairs reach exactly those), non-encodable ones within the window k.
vorn_stats expected_work(const std::string &q, const std::vector<std::string> &refs, uint32_t k) {
    uint64_t n = 0;
    for (const auto &r : refs)
        n += is_encodable(r) ? oracle::levenshtein(q, r) <= k : gap(r.size(), q.size()) <= k;
    return {n, n};
}

bool path_serves(const std::string &q, int32_t k) {
    if (q.empty() || q.size() > 32) return false;
    const size_t f = foreign_count(q);
    return k == 1 ? f >= 1 : f == 1;
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

int32_t call_path(const vorn_index *index, const uint8_t *q, size_t len, int32_t k,
                  vorn_match *m, vorn_stats *stats, uint32_t stop) {
    return k == 1 ? velmora::index_assign_single_unknown_one(index, q, len, m, stats, stop)
                  : velmora::index_assign_single_unknown_two(index, q, len, m, stats, stop);
}

int32_t call_path(const vorn_index *index, const std::string &q, int32_t k, vorn_match *m,
                  vorn_stats *stats, uint32_t stop) {
    seq_batch b;
    b.add(q);
    return call_path(index, b.ptrs()[0], q.size(), k, m, stats, stop);
}

// Status-only: a search that did not stop is the full record; one that
// stopped is AMBIGUOUS at a distance where two references really lie.
void expect_status_only_promise(const vorn_match &got, const vorn_match &full,
                                const std::string &q, const std::vector<std::string> &refs,
                                uint32_t k) {
    if (got.status != VORN_STATUS_AMBIGUOUS) {
        EXPECT_EQ(got, full);
        return;
    }
    ASSERT_LE(got.best_distance, k);
    ASSERT_LT(got.best_index, refs.size());
    EXPECT_EQ(oracle::levenshtein(q, refs[got.best_index]), got.best_distance);
    size_t at_distance = 0;
    for (const auto &r : refs) at_distance += oracle::levenshtein(q, r) == got.best_distance;
    EXPECT_GE(at_distance, 2u);
    EXPECT_GE(got.best_distance, full.best_distance);
    EXPECT_GE(got.hit_count, 2u);
    EXPECT_LE(got.hit_count, full.hit_count);
}

struct worked_case {
    const char *name;
    std::vector<std::string> refs;
    std::string query;
    int32_t k;
    bool status_only;
    vorn_match expected;
    uint64_t work;  // both counters; UINT64_MAX = not checked
};

}  // namespace

TEST(NonAcgtPath, WorkedExamples) {
    const std::vector<std::string> acnt_refs = {"ACAT", "ACT", "ACNT", "ACGG"};
    const worked_case cases[] = {
        {"ACNT: repair, removal and scan", acnt_refs, "ACNT", 1, false,
         {2, 0, 1, 3, VORN_STATUS_UNIQUE}, 3},
        {"ACNT status only stops after the removal repair", acnt_refs, "ACNT", 1, true,
         {0, 1, U, 2, VORN_STATUS_AMBIGUOUS}, 2},
        {"ACNT k=2 full", acnt_refs, "ACNT", 2, false, {2, 0, 1, 4, VORN_STATUS_UNIQUE}, 4},
        {"ACNT k=2 status only misses the equal scanned reference", acnt_refs, "ACNT", 2, true,
         {0, 1, U, 2, VORN_STATUS_AMBIGUOUS}, 2},
        {"k=2 status only: no further repair after the stop", {"CCGA", "GCGA", "ACGC"}, "ACGN",
         2, true, {0, 2, U, 2, VORN_STATUS_AMBIGUOUS}, 2},
        {"two foreign bytes: only the scan", {"AT", "ANNA", "ANNT"}, "ANNT", 1, false,
         {2, 0, 1, 2, VORN_STATUS_UNIQUE}, 2},
        {"status only stops the scan at the second hit", {"ANNA", "ANNC", "ANNG"}, "ANNT", 1,
         true, {0, 1, U, 2, VORN_STATUS_AMBIGUOUS}, 2},
        {"status only stops the k=2 scan at the second hit", {"ANNA", "ANNC", "ANNG"}, "ANCT",
         2, true, {0, 2, U, 2, VORN_STATUS_AMBIGUOUS}, 2},
        {"N alone: removal gives the empty code", {"", "G", "NN", "AC"}, "N", 1, false,
         {0, 1, U, 3, VORN_STATUS_AMBIGUOUS}, 3},
        {"lower case never equals upper case", {"ACGT"}, "acgt", 1, false, oracle::match_none(),
         0},
        {"two foreign bytes with k=2 go to brute force", {"AT", "ANNA", "ACGT"}, "ANNT", 2, false,
         {1, 1, 2, 3, VORN_STATUS_UNIQUE}, 3},
        {"foreign byte 0x00 at the end", {"ACGA", "ACG", std::string("ACG\0", 4)},
         std::string("ACG\0", 4), 1, false, {2, 0, 1, 3, VORN_STATUS_UNIQUE}, 3},
        {"foreign byte 0xFF first, k=2", {"CGT", "TTCGT", "\xff" "CG"}, "\xff" "CGT", 2, false,
         {0, 1, 2, 3, VORN_STATUS_AMBIGUOUS}, 3},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        built_index ix(c.refs);
        ASSERT_NE(ix.index, nullptr);
        vorn_stats st{7, 7};
        EXPECT_EQ(assign_one(ix.index, c.query, c.k, &st, c.status_only), c.expected);
        if (c.work != UINT64_MAX) {
            EXPECT_EQ(st, (vorn_stats{c.work, c.work}));
        }
        if (path_serves(c.query, c.k)) {
            vorn_match m;
            vorn_stats direct{};
            ASSERT_EQ(call_path(ix.index, c.query, c.k, &m, &direct, c.status_only ? 1 : 0),
                      velmora::PATH_DONE);
            EXPECT_EQ(m, c.expected);
            if (c.work != UINT64_MAX) {
                EXPECT_EQ(direct, st);
            }
        }
    }
}

// Declines happen before anything is written or counted.
TEST(NonAcgtPath, DeclinesWithoutSideEffects) {
    built_index ix({"ACGT", "ACNT", "A"});
    ASSERT_NE(ix.index, nullptr);
    const std::string n33 = std::string(32, 'A') + "N";
    const uint8_t one = 'N';
    const auto lit = [](const char *s) { return reinterpret_cast<const uint8_t *>(s); };
    struct decline_case {
        const char *name;
        const uint8_t *q;
        size_t len;
        int32_t k;
    } cases[] = {
        {"null query", nullptr, 0, 1},
        {"null query k=2", nullptr, 0, 2},
        {"length 0", &one, 0, 1},
        {"length 0 k=2", &one, 0, 2},
        {"33 bytes", velmora_test::bytes(n33), 33, 1},
        {"33 bytes k=2", velmora_test::bytes(n33), 33, 2},
        {"no foreign byte", lit("ACGT"), 4, 1},
        {"no foreign byte k=2", lit("ACGT"), 4, 2},
        {"two foreign bytes k=2", lit("ANNT"), 4, 2},
        {"foreign bytes first and last k=2", lit("nCGa"), 4, 2},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        for (const uint32_t stop : {0u, 1u}) {
            vorn_match m;
            std::memset(&m, 0xA5, sizeof m);
            vorn_match before = m;
            vorn_stats st{5, 5};
            EXPECT_EQ(call_path(ix.index, c.q, c.len, c.k, &m, &st, stop), velmora::PATH_DECLINED);
            EXPECT_EQ(std::memcmp(&m, &before, sizeof m), 0);
            EXPECT_EQ(st, (vorn_stats{5, 5}));
        }
    }
}

TEST(NonAcgtPath, EmptyIndexAnswersWithoutWork) {
    built_index ix(std::vector<std::string>{});
    ASSERT_NE(ix.index, nullptr);
    for (const int32_t k : {1, 2}) {
        for (const bool status_only : {false, true}) {
            vorn_stats st{3, 3};
            EXPECT_EQ(assign_one(ix.index, "ACNT", k, &st, status_only), oracle::match_none());
            EXPECT_EQ(st, (vorn_stats{0, 0}));
        }
        vorn_match m;
        EXPECT_EQ(call_path(ix.index, "ACNT", k, &m, nullptr, 0), velmora::PATH_DONE);
        EXPECT_EQ(m, oracle::match_none());
    }
}

// For every length 1 to 32: one foreign byte at the first, a middle and the
// last position, and two foreign bytes; references are the query's repairs
// and near neighbours (foreign bytes included), duplicates and strangers.
TEST(NonAcgtPath, AgreesWithOracle) {
    const uint64_t seed = velmora_test::test_seed();
    SCOPED_TRACE(::testing::Message() << "seed " << seed);
    rng g(seed ^ 0x4e4e);
    const int rounds = 2 * velmora_test::test_scale();
    size_t pick = 0;
    for (int round = 0; round < rounds; ++round) {
        std::vector<std::string> queries, refs;
        for (size_t len = 1; len <= 32; ++len) {
            const std::string base = g.dna(len);
            for (const size_t pos : {size_t{0}, len / 2, len - 1}) {
                std::string q = base;
                q[pos] = kForeign[pick++ % sizeof kForeign];
                queries.push_back(q);
            }
            std::string two = base;
            two[g.range(0, len - 1)] = kForeign[pick++ % sizeof kForeign];
            two[g.range(0, len - 1)] = kForeign[pick++ % sizeof kForeign];
            queries.push_back(two);
            for (int i = 0; i < 3; ++i)
                refs.push_back(g.mutate(base, static_cast<unsigned>(g.range(0, 2))));
            const std::string &near = queries[queries.size() - 1 - g.range(0, 3)];
            refs.push_back(g.mutate(near, static_cast<unsigned>(g.range(0, 2)), 15));
            if (g.chance(25)) refs.push_back(near);
            if (g.chance(15)) refs.push_back(refs.back());
        }
        for (int i = 0; i < 10; ++i) refs.push_back(g.noisy(g.boundary_len(34), 15));
        built_index ix(refs);
        ASSERT_NE(ix.index, nullptr);
        const std::vector<seq> rs = velmora_test::as_seqs(refs);
        for (const auto &q : queries) {
            SCOPED_TRACE(::testing::Message() << "query of " << q.size() << " bytes, "
                                              << foreign_count(q) << " foreign");
            for (const int32_t k : {1, 2}) {
                SCOPED_TRACE(::testing::Message() << "k=" << k);
                const vorn_match want = oracle::edit_record(seq{q}, rs, static_cast<uint32_t>(k));
                const bool served = path_serves(q, k);
                vorn_stats st{};
                EXPECT_EQ(assign_one(ix.index, q, k, &st, false), want);
                const vorn_stats work = expected_work(q, refs, static_cast<uint32_t>(k));
                EXPECT_EQ(st, (served ? work : vorn_stats{refs.size(), refs.size()}));
                vorn_match m;
                vorn_stats direct{};
                const int32_t rc = call_path(ix.index, q, k, &m, &direct, 0);
                ASSERT_EQ(rc, served ? velmora::PATH_DONE : velmora::PATH_DECLINED);
                if (served) {
                    EXPECT_EQ(m, want);
                    EXPECT_EQ(direct, work);
                    expect_status_only_promise(assign_one(ix.index, q, k, nullptr, true), want,
                                               q, refs, static_cast<uint32_t>(k));
                }
            }
        }
    }
}

// A one-letter foreign query meets every reference of length 0 to 2 that is
// within reach; with enough of them the set grows, and each allocation of the
// path is made to fail in turn.
TEST(NonAcgtPath, ManyCandidatesAndAllocationFailure) {
    rng g(velmora_test::test_seed() ^ 0x4e4f);
    const std::string base = g.dna(16);
    std::string q = base;
    q[7] = 'N';
    std::set<std::string> distinct;
    // Neighbours of the repairs: within one edit for k = 1, two for k = 2.
    while (distinct.size() < 400) {
        std::string r = base;
        r[7] = "ACGT"[g.range(0, 3)];
        if (g.chance(20)) r.erase(7, 1);
        distinct.insert(g.mutate(r, static_cast<unsigned>(g.range(0, 1))));
    }
    std::vector<std::string> refs(distinct.begin(), distinct.end());
    // For k = 1 only the five repairs and the scan are in reach: duplicates of
    // a repair and many foreign-byte neighbours push it past the inline set.
    std::string repair = q;
    repair[7] = 'A';
    for (int i = 0; i < 30; ++i) refs.push_back(repair);
    for (int i = 0; i < 140; ++i) refs.push_back(g.mutate(q, 1, 30));
    built_index ix(refs);
    ASSERT_NE(ix.index, nullptr);
    seq_batch b;
    b.add(q);
    for (const int32_t k : {1, 2}) {
        SCOPED_TRACE(::testing::Message() << "k=" << k);
        const vorn_match want =
            oracle::edit_record(seq{q}, velmora_test::as_seqs(refs), static_cast<uint32_t>(k));
        const vorn_stats work = expected_work(q, refs, static_cast<uint32_t>(k));
        ASSERT_GT(work.candidates, 128u);
        const uint64_t runs = velmora_test::alloc_fault_sweep([&](uint64_t) {
            vorn_match m;
            vorn_stats st{};
            const int32_t rc = call_path(ix.index, b.ptrs()[0], q.size(), k, &m, &st, 0);
            if (velmora_test::alloc_injected()) {
                EXPECT_EQ(rc, velmora::PATH_DECLINED);
            } else {
                EXPECT_EQ(rc, velmora::PATH_DONE);
                EXPECT_EQ(m, want);
                EXPECT_EQ(st, work);
            }
        });
        EXPECT_GT(runs, 1u);
        velmora_test::alloc_fault_sweep([&](uint64_t) {
            vorn_match m;
            ASSERT_EQ(vorn_index_assign(ix.index, b.ptrs(), b.lens(), 1, k, &m), 0);
            EXPECT_EQ(m, want);
        });
    }
}
