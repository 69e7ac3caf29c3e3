// The 2-bit code that every index route computes on, against its meaning
// over plain strings: a code is the bases in order, two bits each, base 0 in
// the low bits.  Every edit the searches enumerate (substitute, delete,
// insert), every piece they take apart and every mismatch count must be the
// code of the edited string; a route that slips here still finds its
// references whenever build and query slip the same way, so only this test
// sees it.
#include <gtest/gtest.h>

#include <cstdint>
#include <string>

#include "gen.h"
#include "index/index_internal.h"

namespace {

using velmora_test::rng;

uint64_t code_of(const std::string &s) {
    uint64_t c = 0;
    for (size_t i = 0; i < s.size(); ++i) {
        c |= uint64_t(std::string("ACGT").find(s[i])) << (2 * i);
    }
    return c;
}

TEST(Codes, EditsAndPiecesAreTheCodesOfTheEditedStrings) {
    rng g(velmora_test::test_seed() + 11);
    for (int it = 0; it < 3000; ++it) {
        const size_t len = it < 33 ? size_t(it) : g.boundary_len(32);
        const std::string s = g.dna(len);
        const uint64_t c = code_of(s);

        uint64_t got = ~uint64_t{0};
        ASSERT_EQ(velmora::dna2_code(reinterpret_cast<const uint8_t *>(s.data()), len, &got), 1);
        ASSERT_EQ(got, c) << s;
        std::string lower = s;
        for (auto &ch : lower) ch = char(ch + ('a' - 'A'));
        got = ~uint64_t{0};
        ASSERT_EQ(velmora::dna2_code_ascii_upper(reinterpret_cast<const uint8_t *>(lower.data()),
                                                 len, &got), 1);
        ASSERT_EQ(got, c) << lower;

        for (size_t start = 0; start <= len; ++start) {
            for (size_t n = 0; start + n <= len; ++n) {
                ASSERT_EQ(velmora::dna2_extract(c, start, n), code_of(s.substr(start, n)))
                    << s << " [" << start << ", +" << n << ")";
            }
        }
        ASSERT_EQ(velmora::dna2_extract(c, 32, 1), 0u);

        const std::string t = g.mutate(s, unsigned(g.range(0, 4)), 0, true);
        ASSERT_EQ(velmora::dna2_mismatches(c, code_of(t)), oracle::hamming(s, t)) << s << " " << t;

        for (size_t p = 0; p < len; ++p) {
            std::string del = s;
            del.erase(p, 1);
            ASSERT_EQ(velmora::dna2_delete_base(c, p), code_of(del)) << s << " without " << p;
            for (uint64_t b = 0; b < 4; ++b) {
                std::string sub = s;
                sub[p] = "ACGT"[b];
                ASSERT_EQ(velmora::dna2_with_base(c, p, b), code_of(sub)) << s << " at " << p;
            }
        }
        for (size_t p = 0; len < 32 && p <= len; ++p) {
            for (uint64_t b = 0; b < 4; ++b) {
                std::string ins = s;
                ins.insert(p, 1, "ACGT"[b]);
                ASSERT_EQ(velmora::dna2_insert_base(c, p, b), code_of(ins)) << s << " + " << p;
            }
        }
    }
}

// A split into m pieces covers every base once, in order, and its lengths
// differ by at most one with the longer pieces first: the pigeonhole
// argument of the Hamming search holds only then.
TEST(Codes, PieceSplitsCoverTheSequenceInOrder) {
    for (uint64_t len = 0; len <= 32; ++len) {
        for (uint64_t m = 2; m <= 4; ++m) {
            uint64_t next = 0;
            for (uint64_t i = 0; i < m; ++i) {
                uint64_t start = 99, n = 99;
                velmora::index_piece_bounds(len, m, i, &start, &n);
                ASSERT_EQ(start, next) << len << "/" << m << " piece " << i;
                ASSERT_EQ(n, len / m + (i < len % m ? 1 : 0)) << len << "/" << m << " piece " << i;
                next = start + n;
            }
            ASSERT_EQ(next, len);
        }
    }
}

}  // namespace
