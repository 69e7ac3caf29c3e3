// All-ACGT queries of 33 and 34 bases with k = 2: worked examples, declines,
// differential runs against the oracle with references of 31 to 36 bytes,
// work counters, allocation failure; and the routing of a mixed batch.
#include <gtest/gtest.h>

#include <cstdio>
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

bool is_base(char c) { return c == 'A' || c == 'C' || c == 'G' || c == 'T'; }

size_t foreign_count(const std::string &s) {
    size_t n = 0;
    for (char c : s) n += !is_base(c);
    return n;
}

bool is_long_read(const std::string &s) {
    return (s.size() == 33 || s.size() == 34) && foreign_count(s) == 0;
}

size_t gap(size_t a, size_t b) { return a > b ? a - b : b - a; }

vorn_stats expected_work(const std::string &q, const std::vector<std::string> &refs) {
    uint64_t n = 0;
    for (const auto &r : refs)
        n += is_encodable(r) ? oracle::levenshtein(q, r) <= 2 : gap(r.size(), q.size()) <= 2;
    return {n, n};
}

vorn_match assign_one(const vorn_index *index, const std::string &q, int32_t k,
                      vorn_stats *stats) {
    seq_batch b;
    b.add(q);
    vorn_match m;
    std::memset(&m, 0xA5, sizeof m);
    EXPECT_EQ(vorn_index_assign_stats(index, b.ptrs(), b.lens(), 1, k, &m, stats), 0);
    return m;
}

int32_t call_path(const vorn_index *index, const std::string &q, vorn_match *m,
                  vorn_stats *stats) {
    seq_batch b;
    b.add(q);
    return velmora::index_assign_neighbor_two_long_read(index, b.ptrs()[0], q.size(), m, stats);
}

std::string erase_at(std::string s, size_t p) { return s.erase(p, 1); }
std::string with_base(std::string s, size_t p, char b) {
    s[p] = b;
    return s;
}
// A base other than c.
char other(char c) { return c == 'A' ? 'C' : 'A'; }

struct worked_case {
    const char *name;
    std::vector<std::string> refs;
    std::string query;
    vorn_match expected;
    uint64_t work;
};

}  // namespace

TEST(LongReadPath, WorkedExamples) {
    const std::string q33 = "ACGTTGCATGACCAGTACGATCGGATCCTAGCA";
    const std::string q34 = q33 + "T";
    ASSERT_EQ(q33.size(), 33u);
    const worked_case cases[] = {
        {"32 bases: the query without its last base", {q33.substr(0, 32)}, q33,
         {0, 1, U, 1, VORN_STATUS_UNIQUE}, 1},
        {"without the first base and one base changed (substitution variant)",
         {with_base(q33.substr(1), 10, other(q33[11]))}, q33, {0, 2, U, 1, VORN_STATUS_UNIQUE}, 1},
        {"31 bases: two bases removed (deletion variant)", {erase_at(erase_at(q33, 30), 4)}, q33,
         {0, 2, U, 1, VORN_STATUS_UNIQUE}, 1},
        {"34 bases without bases 5 and 20", {erase_at(erase_at(q34, 20), 5)}, q34,
         {0, 2, U, 1, VORN_STATUS_UNIQUE}, 1},
        {"34 bases without the two first bases", {q34.substr(2)}, q34,
         {0, 2, U, 1, VORN_STATUS_UNIQUE}, 1},
        {"34 bases without two neighbouring bases", {erase_at(erase_at(q34, 17), 16)}, q34,
         {0, 2, U, 1, VORN_STATUS_UNIQUE}, 1},
        {"34 bases without the two last bases", {q34.substr(0, 32)}, q34,
         {0, 2, U, 1, VORN_STATUS_UNIQUE}, 1},
        {"34 bases, 33-byte reference found by the scan",
         {with_base(erase_at(q34, 3), 25, other(q34[26]))}, q34, {0, 2, U, 1, VORN_STATUS_UNIQUE},
         1},
        {"35 bytes measured, 36 skipped", {q33 + "AA", q33 + "AAA"}, q33,
         {0, 2, U, 1, VORN_STATUS_UNIQUE}, 1},
        {"a run: every deletion probe reaches one reference", {std::string(32, 'A')},
         std::string(33, 'A'), {0, 1, U, 1, VORN_STATUS_UNIQUE}, 1},
        {"two references at distance 1", {q33 + "G", q33.substr(0, 32), q33.substr(1)}, q33,
         {0, 1, U, 3, VORN_STATUS_AMBIGUOUS}, 3},
        {"exact long reference beats a 32-base one", {q33.substr(1), q33}, q33,
         {1, 0, 1, 2, VORN_STATUS_UNIQUE}, 2},
        {"foreign bytes in reach are measured but far", {"N" + q33.substr(1, 30) + "NNN"}, q33,
         oracle::match_none(), 1},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        ASSERT_EQ(oracle::edit_record(seq{c.query}, velmora_test::as_seqs(c.refs), 2), c.expected)
            << "table entry disagrees with the oracle";
        built_index ix(c.refs);
        ASSERT_NE(ix.index, nullptr);
        vorn_stats st{7, 7};
        EXPECT_EQ(assign_one(ix.index, c.query, 2, &st), c.expected);
        EXPECT_EQ(st, (vorn_stats{c.work, c.work}));
        vorn_match m;
        vorn_stats direct{};
        ASSERT_EQ(call_path(ix.index, c.query, &m, &direct), velmora::PATH_DONE);
        EXPECT_EQ(m, c.expected);
        EXPECT_EQ(direct, st);
    }
}

TEST(LongReadPath, DeclinesWithoutSideEffects) {
    const std::string q33 = "ACGTTGCATGACCAGTACGATCGGATCCTAGCA";
    built_index ix({q33, q33.substr(1), "ACGT"});
    ASSERT_NE(ix.index, nullptr);
    const std::string cases[] = {
        q33.substr(1),                 // 32 bytes: has a code
        q33 + "AT",                    // 35 bytes
        with_base(q33, 0, 'N'),        // N first
        with_base(q33, 16, 'g'),       // lower case in the middle
        with_base(q33 + "C", 33, 'N'), // 34 bytes, N last
        with_base(q33 + "C", 20, '\0'),
        "",
    };
    for (const auto &q : cases) {
        SCOPED_TRACE(::testing::Message() << "query of " << q.size() << " bytes");
        vorn_match m;
        std::memset(&m, 0xA5, sizeof m);
        const vorn_match before = m;
        vorn_stats st{5, 5};
        EXPECT_EQ(call_path(ix.index, q, &m, &st), velmora::PATH_DECLINED);
        EXPECT_EQ(std::memcmp(&m, &before, sizeof m), 0);
        EXPECT_EQ(st, (vorn_stats{5, 5}));
    }
}

TEST(LongReadPath, EmptyIndexAnswersWithoutWork) {
    built_index ix(std::vector<std::string>{});
    ASSERT_NE(ix.index, nullptr);
    for (const size_t len : {33u, 34u}) {
        const std::string q(len, 'C');
        vorn_match m;
        vorn_stats st{3, 3};
        EXPECT_EQ(call_path(ix.index, q, &m, &st), velmora::PATH_DONE);
        EXPECT_EQ(m, oracle::match_none());
        EXPECT_EQ(st, (vorn_stats{3, 3}));
        EXPECT_EQ(assign_one(ix.index, q, 2, &st), oracle::match_none());
        EXPECT_EQ(st, (vorn_stats{0, 0}));
    }
}

// Queries of 33, 34 and 35 bases against references of 31 to 36 bytes made
// from them by deletions, substitutions and insertions (some with foreign
// bytes), runs of equal bases, duplicates and strangers; k = 2 through the
// public call and the path, k = 1 through the public call (brute force).
TEST(LongReadPath, AgreesWithOracle) {
    const uint64_t seed = velmora_test::test_seed();
    SCOPED_TRACE(::testing::Message() << "seed " << seed);
    rng g(seed ^ 0x3334);
    const int rounds = 4 * velmora_test::test_scale();
    for (int round = 0; round < rounds; ++round) {
        std::vector<std::string> queries, refs;
        for (const size_t len : {33u, 33u, 34u, 34u, 35u}) {
            std::string q = g.dna(len);
            if (g.chance(30)) q.replace(g.range(0, len - 8), 8, std::string(8, q[0]));  // a run
            queries.push_back(q);
            for (int i = 0; i < 12; ++i) {
                std::string r = q;
                const size_t dels = g.range(0, 4);
                for (size_t d = 0; d < dels && !r.empty(); ++d)
                    r.erase(g.range(0, r.size() - 1), 1);
                refs.push_back(g.mutate(r, static_cast<unsigned>(g.range(0, 2)),
                                        g.chance(20) ? 25 : 0));
            }
            if (g.chance(30)) refs.push_back(refs.back());
        }
        for (int i = 0; i < 6; ++i) refs.push_back(g.noisy(g.range(31, 36), 5));
        built_index ix(refs);
        ASSERT_NE(ix.index, nullptr);
        const std::vector<seq> rs = velmora_test::as_seqs(refs);
        for (const auto &q : queries) {
            SCOPED_TRACE(::testing::Message() << "query '" << q << "'");
            for (const int32_t k : {1, 2}) {
                const vorn_match want = oracle::edit_record(seq{q}, rs, static_cast<uint32_t>(k));
                const bool served = k == 2 && is_long_read(q);
                vorn_stats st{};
                EXPECT_EQ(assign_one(ix.index, q, k, &st), want) << "k=" << k;
                const vorn_stats fallback{refs.size(), refs.size()};
                EXPECT_EQ(st, served ? expected_work(q, refs) : fallback);
                // The status-only form runs this path in full as well.
                seq_batch b;
                b.add(q);
                vorn_match so;
                ASSERT_EQ(vorn_index_assign_status_stats(ix.index, b.ptrs(), b.lens(), 1, k, &so,
                                                         nullptr),
                          0);
                EXPECT_EQ(so, want);
                vorn_match m;
                vorn_stats direct{};
                const int32_t rc = call_path(ix.index, q, &m, &direct);
                ASSERT_EQ(rc, is_long_read(q) ? velmora::PATH_DONE : velmora::PATH_DECLINED);
                if (rc == velmora::PATH_DONE && k == 2) {
                    EXPECT_EQ(m, want);
                    EXPECT_EQ(direct, st);
                }
            }
        }
    }
}

// More than 128 distinct references within reach, so the set allocates;
// then every one of its allocations is made to fail in turn.
TEST(LongReadPath, ManyCandidatesAndAllocationFailure) {
    rng g(velmora_test::test_seed() ^ 0x3335);
    for (const size_t len : {33u, 34u}) {
        SCOPED_TRACE(::testing::Message() << len << " bases");
        const std::string q = g.dna(len);
        std::set<std::string> distinct;
        while (distinct.size() < 200) {
            std::string r = erase_at(q, g.range(0, len - 1));
            if (len == 34) r = erase_at(r, g.range(0, r.size() - 1));
            else if (g.chance(50)) r = with_base(r, g.range(0, 31), g.base());
            else if (g.chance(50)) r = erase_at(r, g.range(0, 31));
            distinct.insert(r);
        }
        std::vector<std::string> refs(distinct.begin(), distinct.end());
        for (int i = 0; i < 10; ++i) refs.push_back(g.mutate(q, 1, 30));
        built_index ix(refs);
        ASSERT_NE(ix.index, nullptr);
        const vorn_match want = oracle::edit_record(seq{q}, velmora_test::as_seqs(refs), 2);
        const vorn_stats work = expected_work(q, refs);
        ASSERT_GT(work.candidates, 128u);
        seq_batch b;
        b.add(q);
        const uint64_t runs = velmora_test::alloc_fault_sweep([&](uint64_t) {
            vorn_match m;
            vorn_stats st{};
            const int32_t rc = velmora::index_assign_neighbor_two_long_read(
                ix.index, b.ptrs()[0], q.size(), &m, &st);
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
            ASSERT_EQ(vorn_index_assign(ix.index, b.ptrs(), b.lens(), 1, 2, &m), 0);
            EXPECT_EQ(m, want);
        });
    }
}

// A random mixed batch through the dispatcher: a query must be answered by
// an index path exactly when its kind has one, with the brute-force record,
// and with fewer than 128 references no path may allocate.  Prints how many
// queries each path took and how many fell back.
TEST(AssignRouting, MixedBatchReachesEveryPath) {
    rng g(velmora_test::test_seed() ^ 0x6d6978);
    std::vector<std::string> refs;
    for (int i = 0; i < 120; ++i) refs.push_back(g.noisy(g.boundary_len(36), 4));
    built_index ix(refs);
    ASSERT_NE(ix.index, nullptr);
    const std::vector<seq> rs = velmora_test::as_seqs(refs);
    enum { ONE, TWO, UNKNOWN_ONE, UNKNOWN_TWO, LONG_READ, FALLBACK, KINDS };
    const char *names[KINDS] = {"one-edit", "two-edit", "non-ACGT k=1", "non-ACGT k=2",
                                "long-read", "fallback"};
    uint64_t taken[2][KINDS] = {};
    for (int i = 0; i < 400; ++i) {
        std::string q = g.chance(70) ? g.mutate(refs[g.range(0, refs.size() - 1)],
                                                static_cast<unsigned>(g.range(0, 2)), 4)
                                     : g.noisy(g.boundary_len(36), 4);
        if (g.chance(15) && q.size() >= 2) q[g.range(0, q.size() - 1)] = 'N';
        seq_batch b;
        b.add(q);
        for (const int32_t k : {1, 2}) {
            const size_t f = foreign_count(q);
            int kind = FALLBACK;
            if (k == 1) kind = is_encodable(q) ? ONE : q.size() <= 32 ? UNKNOWN_ONE : FALLBACK;
            else if (is_encodable(q)) kind = TWO;
            else if (q.size() <= 32 && f == 1) kind = UNKNOWN_TWO;
            else if (is_long_read(q)) kind = LONG_READ;
            vorn_match m;
            int32_t rc = -1;
            const velmora_test::alloc_counters a = velmora_test::alloc_measure([&] {
                rc = velmora::index_assign_fast_one(ix.index, b.ptrs()[0], q.size(), k, &m,
                                                    nullptr);
            });
            EXPECT_EQ(a.allocations, 0u);
            ASSERT_EQ(rc, kind == FALLBACK ? velmora::PATH_DECLINED : velmora::PATH_DONE)
                << names[kind] << " k=" << k << " query of " << q.size() << " bytes";
            if (rc == velmora::PATH_DONE) {
                EXPECT_EQ(m, oracle::edit_record(seq{q}, rs, static_cast<uint32_t>(k)));
            }
            taken[k - 1][kind] += 1;
        }
    }
    for (int k = 1; k <= 2; ++k) {
        std::printf("[ routing  ] k=%d:", k);
        for (int kind = 0; kind < KINDS; ++kind) {
            if (taken[k - 1][kind] != 0) {
                std::printf(" %s %llu", names[kind],
                            static_cast<unsigned long long>(taken[k - 1][kind]));
            }
        }
        std::printf("\n");
    }
    EXPECT_GT(taken[0][ONE] * taken[0][UNKNOWN_ONE] * taken[0][FALLBACK], 0u);
    EXPECT_GT(taken[1][TWO] * taken[1][UNKNOWN_TWO] * taken[1][LONG_READ] * taken[1][FALLBACK],
              0u);
}
