// The bounded Hamming scan against its definition (stopping rules of the
// block and tail phases) and the single-deletion walk on runs of equal bytes,
// where a greedy walk can go wrong.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "distance/distance_internal.h"
#include "oracle.h"
#include "test_util.h"

using velmora_test::seq_batch;

TEST(BoundedDistance, HammingScanAgreesWithOracle) {
    velmora_test::rng g(velmora_test::test_seed());
    for (int i = 0; i < 3000 * velmora_test::test_scale(); ++i) {
        const size_t len = g.chance(20) ? g.range(60, 70) : g.boundary_len(36);
        const std::string a = g.noisy(len, 20);
        const std::string b = g.mutate(a, static_cast<unsigned>(g.range(0, 6)), 20, true);
        seq_batch buf;
        buf.add(a);
        buf.add(b);
        const uint32_t h = oracle::hamming(a, b);
        for (const uint32_t limit : {0u, 1u, 2u, 3u, 5u, 8u, 9u, h, 1000u}) {
            const bool within = h <= limit;
            EXPECT_EQ(velmora::hamming_scan_bounded(buf.ptrs()[0], buf.ptrs()[1], len, limit),
                      within ? h : UINT32_MAX) << "len " << len << " limit " << limit;
            EXPECT_EQ(velmora::same_length_hamming_distance_within_k(
                          buf.ptrs()[0], buf.ptrs()[1], len, static_cast<int32_t>(limit)),
                      within ? static_cast<int32_t>(h) : -1);
        }
    }
}

TEST(BoundedDistance, OneDeleteMatches) {
    struct row { std::string longer, shorter; int32_t want; };
    const std::vector<row> rows = {
        {"AAB", "AB", 1}, {"ABC", "AC", 1}, {"ABC", "CA", 0}, {"A", "", 1}, {"", "", 0},
        {"AB", "AB", 0}, {"AB", "ABC", 0}, {"AAAAAAAAAAC", "AAAAAAAAAA", 1},
        {"CAAAAAAAAAA", "AAAAAAAAAA", 1}, {"AAAAATAAAAA", "AAAAAAAAAA", 1},
        {"AAAAATAAAAT", "AAAAAAAAAA", 0}, {"ACGTACGTACGTA", "ACGTACGTCGTA", 1},
    };
    for (const row &r : rows) {
        seq_batch buf;
        buf.add(r.longer);
        buf.add(r.shorter);
        EXPECT_EQ(velmora::one_delete_matches(buf.ptrs()[0], r.longer.size(), buf.ptrs()[1],
                                              r.shorter.size()),
                  r.want) << r.longer << " " << r.shorter;
    }
}
