// An index built without some tables answers every entry point with the
// records of the full index, status-only form included; the edit counters
// do not change either (the replacement route measures the same references),
// while the Hamming counters may (the replacement search counts only hits).
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "oracle.h"
#include "test_util.h"
#include "velmora.h"

namespace {

using velmora_test::rng;
using velmora_test::seq_batch;

TEST(BuildOptions, SameRecordsWhateverTablesAreLeftOut) {
    rng g(velmora_test::test_seed() + 141);
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

TEST(BuildOptions, UnknownFlagsAreRejected) {
    const uint8_t *one = velmora_test::bytes("ACGT");
    const size_t len = 4;
    for (uint32_t flags : {4u, 8u, 0x80000000u, 7u}) {
        EXPECT_EQ(vorn_index_build_opts(&one, &len, 1, flags), nullptr) << flags;
        EXPECT_EQ(vorn_index_build_opts(nullptr, nullptr, 0, flags), nullptr) << flags;
    }
}

}  // namespace
