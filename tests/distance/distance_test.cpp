// Every distance function against the full-matrix definition, on pairs whose
// pattern sits next to each 64-bit word boundary (and far beyond 512 bytes,
// where the blocked kernel takes over), partnered with near neighbors,
// strangers, runs of one byte and bytes 0 and 255, with bounds on both sides
// of the distance (check_pair in differential.h).  Lengths up to 700 use the
// naive oracle; the long grid uses the library's two-row programme, itself
// checked against the oracle.
#include <gtest/gtest.h>

#include <algorithm>
#include <climits>
#include <string>
#include <vector>

#include "differential.h"
#include "test_util.h"

namespace {

using velmora_test::rng;
using velmora_test::seq_batch;

// A partner for a: few or many edits, substitutions only, unrelated of a
// nearby or any length, a run of one byte, bytes 0/255 only, a flank added
// or cut off.
std::string partner(rng &g, const std::string &a) {
    const size_t len = a.size();
    switch (g.range(0, 8)) {
        case 0: return g.mutate(a, static_cast<unsigned>(g.range(0, 3)), 20);
        case 1: return g.mutate(a, static_cast<unsigned>(g.range(4, 40 + len / 10)), 20);
        case 2: return g.mutate(a, static_cast<unsigned>(g.range(0, 9)), 20, true);
        case 3: return g.noisy(g.range(len > 2 ? len - 2 : 0, len + 2), 20);
        case 4: return g.noisy(g.range(0, len + 300), 20);
        case 5: return std::string(g.range(0, len + 3), "AC"[g.range(0, 1)]);
        case 6: {
            std::string s = g.noisy(g.range(0, 2 * len + 1), 0);
            for (auto &c : s) c = g.chance(50) ? '\0' : '\xff';
            return s;
        }
        case 7: return g.noisy(g.range(1, len / 8 + 2), 5) + a;
        default: {
            const size_t cut = std::min(len, g.range(0, len / 8 + 1));
            return g.chance(50) ? a.substr(cut) : a.substr(0, len - cut);
        }
    }
}

TEST(EditDistance, AgreesWithTheOracle) {
    SCOPED_TRACE(::testing::Message() << "seed " << velmora_test::test_seed());
    rng g(velmora_test::test_seed());
    std::vector<size_t> lens = {0, 1, 2, 3, 31, 32, 33, 34, 35, 60, 70, 600, 700};
    for (size_t w = 64; w <= 512; w += 64)
        for (size_t l : {w - 1, w, w + 1}) lens.push_back(l);
    for (const size_t len : lens)
        for (int i = 0; i < 14; ++i) {
            const std::string a = g.noisy(len, static_cast<unsigned>(g.range(0, 30)));
            const std::string b = partner(g, a);
            velmora_test::check_pair(oracle::seq{a}, oracle::seq{b}, oracle::levenshtein(a, b));
        }
}

// Past 700 bytes: one length next to each word boundary up to 4,096 and a
// few up to 20,000; the longest pairs are related only, so the grid stays quick.
TEST(EditDistance, LongPairsAgreeWithTheProgramme) {
    rng g(velmora_test::test_seed() + 1);
    std::vector<size_t> lens;
    for (size_t w = 768; w <= 4096; w += 64) lens.push_back(w - 1 + g.range(0, 2));
    for (size_t l : {7000u, 12289u, 20000u}) lens.push_back(l);
    for (const size_t len : lens) {
        const std::string a = g.chance(20) ? g.noisy(len, 30) : g.dna(len);
        const std::string b = len > 5000 ? g.mutate(a, static_cast<unsigned>(len / 50), 10)
                                         : partner(g, a);
        seq_batch buf;
        buf.add(a);
        buf.add(b);
        velmora_test::check_pair(oracle::seq{a}, oracle::seq{b},
                                 vorn_edit_distance_dp(buf.ptr(0), a.size(), buf.ptr(1), b.size()), false);
    }
}

// The match table is not cleared wholesale: a row set by an earlier call
// must not survive into a call whose text reads that byte.
TEST(EditDistance, NoStaleMatchRowsBetweenCalls) {
    for (size_t w = 1; w <= 8; ++w) {
        const std::string all_n(w * 64, 'N');
        for (const size_t pattern_len : {w * 64 - 1, size_t{20}}) {
            for (const size_t text_len : {size_t{10}, size_t{300}}) {
                if (pattern_len <= (w - 1) * 64) continue;
                const std::string pattern(pattern_len, 'A'), text(text_len, 'N');
                (void)vorn_edit_distance_myers64(velmora_test::bytes(all_n), all_n.size(),
                                                 velmora_test::bytes(text), text_len);
                EXPECT_EQ(vorn_edit_distance_myers64(velmora_test::bytes(pattern), pattern_len,
                                                     velmora_test::bytes(text), text_len),
                          oracle::levenshtein(pattern, text));
            }
        }
    }
}

}  // namespace
