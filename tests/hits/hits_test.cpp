// vorn_index_hits against brute force, whatever route the query takes and
// whatever tables the build kept, with truncation to the capacity; and the
// records of an index built without some tables against the full index's
// (status-only form included): the edit counters do not change either, the
// Hamming counters may (the replacement search counts only hits).
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "test_util.h"

namespace {

using velmora_test::built_index;
using velmora_test::rng;
using velmora_test::seq_batch;

std::vector<vorn_hit> brute(const std::vector<oracle::seq> &refs, const std::string &q, uint32_t metric,
                            uint32_t k) {
    std::vector<vorn_hit> out;
    for (size_t r = 0; r < refs.size(); ++r) {
        const std::string &s = refs[r].bytes;
        if (metric == VORN_METRIC_HAMMING && s.size() != q.size()) continue;
        const uint32_t d = metric == VORN_METRIC_HAMMING ? oracle::hamming(q, s) : oracle::levenshtein(q, s);
        if (d <= k) out.push_back({uint32_t(r), d});
    }
    std::stable_sort(out.begin(), out.end(),
                     [](const vorn_hit &a, const vorn_hit &b) { return a.distance < b.distance; });
    return out;
}

// References around seeds of one length (boundary lengths included), with
// near neighbours, duplicates, N and lower-case bytes; queries from the same
// seeds, so every route meets hits at every distance.
TEST(IndexHits, EqualBruteForceOnEveryRoute) {
    rng g(velmora_test::test_seed() + 131);
    const size_t lengths[] = {0, 1, 2, 8, 16, 31, 32, 33, 34, 35};
    for (size_t len : lengths) {
        for (int round = 0; round < 3; ++round) {
            std::vector<std::string> seeds = {g.dna(len), g.dna(len), std::string(len, 'A')};
            std::vector<oracle::seq> refs;
            for (const auto &s : seeds) {
                for (size_t i = g.range(5, 40); i > 0; --i) {
                    refs.push_back({g.mutate(s, unsigned(g.range(0, 3)), g.chance(15) ? 20 : 0, g.chance(50))});
                    if (g.chance(10)) refs.push_back(refs.back());
                }
            }
            std::vector<std::string> queries;
            for (int i = 0; i < 12; ++i)
                queries.push_back(g.mutate(seeds[g.range(0, 2)], unsigned(g.range(0, 3)), g.chance(25) ? 15 : 0,
                                           g.chance(50)));
            for (uint32_t flags = 0; flags < 4; ++flags) {
                const built_index b(refs, flags);
                ASSERT_NE(b.index, nullptr);
                for (const auto &q : queries) {
                    for (uint32_t metric : {VORN_METRIC_EDIT, VORN_METRIC_HAMMING}) {
                        for (uint32_t k = 0; k <= 3; ++k) {
                            SCOPED_TRACE(::testing::Message() << "query '" << q << "' metric " << metric
                                                              << " k " << k << " flags " << flags);
                            const auto want = brute(refs, q, metric, k);
                            std::vector<vorn_hit> got(want.size() + 2, vorn_hit{7, 7});
                            size_t n = 99;
                            ASSERT_EQ(vorn_index_hits(b.index, velmora_test::bytes(q), q.size(), metric,
                                                      int32_t(k), got.data(), got.size(), &n),
                                      0);
                            ASSERT_EQ(n, want.size());
                            got.resize(n);
                            ASSERT_EQ(got, want);
                        }
                    }
                }
            }
        }
    }
}

// The count is always the full one; only min(count, capacity) entries are
// written, and nothing past them.
TEST(IndexHits, CapacityTruncates) {
    const std::vector<oracle::seq> refs = velmora_test::as_seqs({"ACGT", "ACGA", "ACGT", "TCGT", "ACG", "GGGG"});
    const built_index b(refs);
    const auto want = brute(refs, "ACGT", VORN_METRIC_EDIT, 1);
    ASSERT_EQ(want.size(), 5u);
    for (size_t capacity : {0u, 1u, 3u, 5u, 8u}) {
        std::vector<vorn_hit> got(8, vorn_hit{77, 77});
        size_t n = 0;
        ASSERT_EQ(vorn_index_hits(b.index, velmora_test::bytes("ACGT"), 4, VORN_METRIC_EDIT, 1,
                                  capacity == 0 ? nullptr : got.data(), capacity, &n),
                  0);
        EXPECT_EQ(n, want.size());
        for (size_t i = 0; i < got.size(); ++i) {
            if (i < std::min(capacity, want.size())) EXPECT_EQ(got[i], want[i]) << i;
            else EXPECT_EQ(got[i], (vorn_hit{77, 77})) << i;
        }
    }
}

TEST(BuildOptions, SameRecordsWhateverTablesAreLeftOut) {
    rng g(velmora_test::test_seed() + 142);
    using entry_fn = int32_t (*)(const vorn_index *, const uint8_t *const *, const size_t *, size_t, int32_t,
                                 vorn_match *, vorn_stats *);
    struct entry {
        const char *name;
        entry_fn fn;
        bool same_counters_without_pieces;
    };
    const entry entries[] = {
        {"assign", vorn_index_assign_stats, true},
        {"status", vorn_index_assign_status_stats, true},
        {"hamming", vorn_index_assign_hamming_stats, false},
    };
    for (int round = 0; round < 12; ++round) {
        const size_t len = g.boundary_len(34);
        std::vector<std::string> seeds = {g.dna(len), g.dna(len), std::string(len, 'C')};
        std::vector<oracle::seq> refs;
        for (const auto &s : seeds)
            for (size_t i = g.range(5, 60); i > 0; --i)
                refs.push_back({g.mutate(s, unsigned(g.range(0, 3)), g.chance(15) ? 20 : 0, g.chance(50))});
        std::vector<oracle::seq> queries;
        for (int i = 0; i < 30; ++i)
            queries.push_back({g.mutate(seeds[g.range(0, 2)], unsigned(g.range(0, 3)), g.chance(20) ? 15 : 0)});
        seq_batch rb(refs), qb(queries);
        vorn_index *full = vorn_index_build(rb.ptrs(), rb.lens(), rb.size());
        ASSERT_NE(full, nullptr);
        for (uint32_t flags = 1; flags < 4; ++flags) {
            vorn_index *part = vorn_index_build_opts(rb.ptrs(), rb.lens(), rb.size(), flags);
            ASSERT_NE(part, nullptr);
            for (const entry &e : entries) {
                for (int32_t k = 0; k <= 3; ++k) {
                    SCOPED_TRACE(::testing::Message() << e.name << " k " << k << " flags " << flags << " round "
                                                      << round);
                    std::vector<vorn_match> want(queries.size()), got(queries.size());
                    vorn_stats ws{0, 0}, gs{0, 0};
                    ASSERT_EQ(e.fn(full, qb.ptrs(), qb.lens(), qb.size(), k, want.data(), &ws), 0);
                    ASSERT_EQ(e.fn(part, qb.ptrs(), qb.lens(), qb.size(), k, got.data(), &gs), 0);
                    ASSERT_EQ(got, want);
                    if (e.same_counters_without_pieces || (flags & VORN_INDEX_NO_PIECES) == 0) {
                        EXPECT_EQ(gs, ws);
                    }
                }
            }
            vorn_index_free(part);
        }
        vorn_index_free(full);
    }
}

}  // namespace
