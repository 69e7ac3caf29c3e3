// The banded kernel and the entry points that take it: every answer must be
// the one the full matrix gives ("the distance when at most k, else above
// k"), for patterns across the word boundaries, texts up to k + 1 longer or
// shorter, bytes beyond A/C/G/T, and pairs placed right at the bound.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "distance/distance_internal.h"
#include "distance/kernels.h"
#include "test_util.h"

namespace {

using velmora_test::bytes;
using velmora_test::rng;

constexpr size_t PATTERN_LENGTHS[] = {1,   2,   31,  32,  33,  34,  35,  63,  64,  65, 100,
                                      127, 128, 129, 191, 192, 193, 255, 256, 257, 511, 512};
constexpr uint32_t BOUNDS[] = {1, 2, 3, 5, 15, 30, 31};

// A text for pattern a whose distance lands near k: a few edits short of,
// at, or past the bound, or an unrelated sequence of a nearby length.
std::string text_near(rng &r, const std::string &a, uint32_t k) {
    const unsigned noise = r.chance(30) ? 20 : 0;
    if (r.chance(15)) return r.noisy(r.range(a.size() > k ? a.size() - k : 0, a.size() + k), noise);
    const unsigned edits = static_cast<unsigned>(r.range(k > 2 ? k - 2 : 0, k + 2));
    return r.mutate(a, edits, noise);
}

// The slide of the band starts at text byte k + 2 and its last row must
// still hold the pattern's end: texts from k shorter to k longer, and
// unrelated pairs whose true distance sits far above the bound.
TEST(BandedKernel, AgreesWithTheFullMatrix) {
    rng r(velmora_test::test_seed() + 71);
    for (size_t len : PATTERN_LENGTHS) {
        for (uint32_t k : BOUNDS) {
            for (int rep = 0; rep < 6; ++rep) {
                const std::string a = r.chance(25) ? r.noisy(len, 30) : r.dna(len);
                const std::string b = text_near(r, a, k);
                const uint32_t d = oracle::levenshtein(a, b);
                const uint32_t want = d <= k ? d : k + 1;
                ASSERT_EQ(velmora::edit_distance_banded(bytes(a), a.size(), bytes(b), b.size(), k),
                          want)
                    << "len " << len << " k " << k << " text " << b.size() << "\n"
                    << a << "\n" << b;
            }
        }
    }
}

// Equal bytes along a band edge: runs of one base make many alignments of
// equal cost, so the cells just outside the band are the cheap ones.
TEST(BandedKernel, RepetitiveSequencesAtTheBandEdge) {
    struct pair_case {
        std::string a, b;
    };
    const std::vector<pair_case> cases = {
        {std::string(100, 'A'), std::string(103, 'A')},
        {std::string(100, 'A'), std::string(97, 'A')},
        {std::string(70, 'A') + std::string(30, 'C'), std::string(30, 'C') + std::string(70, 'A')},
        {std::string(130, 'A'), std::string(128, 'A') + "TT"},
        {std::string(64, 'G') + "T" + std::string(64, 'G'), std::string(129, 'G')},
        {std::string(300, 'T'), std::string(300, 'T') + std::string(31, 'A')},
        {std::string(300, 'T'), std::string(300, 'T') + std::string(32, 'A')},
    };
    for (const auto &c : cases) {
        const uint32_t d = oracle::levenshtein(c.a, c.b);
        for (uint32_t k : BOUNDS) {
            if (c.a.size() > 512 || c.a.empty()) continue;
            const uint32_t want = d <= k ? d : k + 1;
            EXPECT_EQ(velmora::edit_distance_banded(bytes(c.a), c.a.size(), bytes(c.b),
                                                    c.b.size(), k),
                      want)
                << c.a.size() << " / " << c.b.size() << " k " << k;
        }
    }
}

// The three callers that take the band: the bounded tests for every k the
// band serves (and 32, which it does not), and the general distance, which
// tries the band first for patterns of four words and more and must fall
// back to the full kernel for every pair farther than 31.
TEST(BandedKernel, CallersAgreeWithTheFullMatrix) {
    rng r(velmora_test::test_seed() + 72);
    const size_t lengths[] = {65, 100, 150, 193, 256, 300, 511, 512, 513};
    for (size_t len : lengths) {
        for (int rep = 0; rep < 8; ++rep) {
            const std::string a = r.chance(25) ? r.noisy(len, 30) : r.dna(len);
            const unsigned edits = static_cast<unsigned>(r.range(0, 40));
            const std::string b = r.chance(20) ? r.dna(r.range(len - 20, len + 20)) : r.mutate(a, edits);
            const uint32_t d = oracle::levenshtein(a, b);
            ASSERT_EQ(vorn_edit_distance(bytes(a), a.size(), bytes(b), b.size()), d)
                << len << " / " << b.size();
            ASSERT_EQ(vorn_edit_distance(bytes(b), b.size(), bytes(a), a.size()), d);
            for (int32_t k : {2, 3, 7, 15, 31, 32}) {
                const int32_t within = d <= static_cast<uint32_t>(k) ? static_cast<int32_t>(d) : -1;
                ASSERT_EQ(velmora::candidate_distance_within_k(bytes(a), a.size(), bytes(b),
                                                               b.size(), k),
                          within)
                    << len << " / " << b.size() << " k " << k << " d " << d;
                ASSERT_EQ(velmora::candidate_distance_within_k(bytes(b), b.size(), bytes(a),
                                                               a.size(), k),
                          within);
                ASSERT_EQ(vorn_edit_distance_leq(bytes(a), a.size(), bytes(b), b.size(), k),
                          within >= 0 ? 1 : 0);
            }
        }
    }
}

}  // namespace
