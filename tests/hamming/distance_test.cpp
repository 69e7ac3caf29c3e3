// Bounded Hamming distance: both internal routes (2-bit codes for short
// A/C/G/T sequences, byte blocks otherwise) against the plain definition.
#include <gtest/gtest.h>

#include <cstdint>
#include <string>

#include "hamming/hamming_internal.h"
#include "oracle.h"
#include "test_util.h"

namespace {

using velmora::hamming_distance_within_k;
using velmora_test::bytes;

int32_t expected_within(const std::string &a, const std::string &b, int32_t k) {
    const uint32_t d = oracle::hamming(a, b);
    return (d != UINT32_MAX && k >= 0 && d <= static_cast<uint32_t>(k)) ? static_cast<int32_t>(d)
                                                                        : -1;
}

// What the random pairs below rarely reach: a bound far above 5, the last
// symbol of a full 64-bit code, case and bytes 0/255 as plain symbols.
TEST(HammingDistance, TableOfCases) {
    const std::string a32(32, 'T'), b32 = std::string(31, 'T') + "A";
    struct row {
        std::string a, b;
        int32_t k, expected;
    };
    const row rows[] = {
        {"ACGT", "ACG", 3, -1},   {"", "", -1, -1},       {"acgt", "ACGT", 3, -1},
        {"acgt", "ACGT", 4, 4},   {a32, b32, 0, -1},      {a32, b32, 1, 1},
        {a32, std::string(32, 'G'), 32, 32},              {a32, std::string(32, 'G'), 31, -1},
        {std::string("A\0G\xff", 4), std::string("A\0GT", 4), 1, 1},
    };
    for (const row &r : rows) {
        velmora_test::seq_batch s(velmora_test::as_seqs({r.a, r.b}));
        EXPECT_EQ(hamming_distance_within_k(s.ptrs()[0], s.lens()[0], s.ptrs()[1], s.lens()[1], r.k),
                  r.expected)
            << '"' << r.a << "\" vs \"" << r.b << "\" k=" << r.k;
    }
}

TEST(HammingDistance, NullPointerIsNeverRead) {
    const std::string s = "ACGT";
    EXPECT_EQ(hamming_distance_within_k(nullptr, 4, bytes(s), 4, 3), -1);
    EXPECT_EQ(hamming_distance_within_k(bytes(s), 4, nullptr, 4, 3), -1);
    EXPECT_EQ(hamming_distance_within_k(nullptr, 40, nullptr, 40, 3), -1);
    EXPECT_EQ(hamming_distance_within_k(nullptr, 0, nullptr, 0, 0), 0);
    EXPECT_EQ(hamming_distance_within_k(nullptr, 0, bytes(s), 0, 1), 0);
}

// Pairs at 0 to 5 substitutions over every length that moves a sequence
// between the code and block routes or across a block edge; k around the
// true distance.
TEST(HammingDistance, MatchesDefinitionOnRandomPairs) {
    const uint64_t seed = velmora_test::test_seed();
    SCOPED_TRACE(testing::Message() << "seed " << seed);
    velmora_test::rng g(seed);
    const int iterations = 20000 * velmora_test::test_scale();
    for (int it = 0; it < iterations; ++it) {
        const size_t len = g.chance(20) ? g.range(60, 72) : g.boundary_len(40);
        const unsigned noise = g.chance(50) ? 0 : 10;
        const std::string a = g.noisy(len, noise);
        std::string b = g.chance(10) ? g.mutate(a, 1, noise)
                                     : g.mutate(a, unsigned(g.range(0, 5)), noise, true);
        if (g.chance(5)) b = g.noisy(len, 30);
        velmora_test::seq_batch s;
        s.add(a);
        s.add(b);
        for (int32_t k = -1; k <= 5; ++k) {
            ASSERT_EQ(
                hamming_distance_within_k(s.ptrs()[0], s.lens()[0], s.ptrs()[1], s.lens()[1], k),
                expected_within(a, b, k))
                << "len " << len << " k " << k << " iteration " << it;
        }
    }
}

}  // namespace
