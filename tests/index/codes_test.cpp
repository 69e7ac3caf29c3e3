// The two encoders: every byte value, the length limits, failure leaving the
// result alone, and randomized agreement with the definition.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "index/index_internal.h"
#include "index_test_util.h"
#include "test_util.h"

namespace {

using velmora::dna2_code;
using velmora::dna2_code_ascii_upper;
using velmora::dna2_code_fn;

struct encoder_case {
    const char *name;
    dna2_code_fn fn;
    bool folds;
};
const encoder_case ENCODERS[] = {{"strict", dna2_code, false},
                                 {"ascii_upper", dna2_code_ascii_upper, true}};

int expected_value(uint8_t b, bool folds) {
    const uint8_t u = (folds && b >= 'a' && b <= 'z') ? static_cast<uint8_t>(b - 32) : b;
    switch (u) {
        case 'A': return 0;
        case 'C': return 1;
        case 'G': return 2;
        case 'T': return 3;
        default: return -1;
    }
}

// Each byte alone, and at the last place of a 32-base sequence, where its
// value lands in the top two bits.
TEST(Dna2Code, EveryByteValue) {
    for (const auto &enc : ENCODERS) {
        for (int v = 0; v < 256; ++v) {
            const uint8_t b = static_cast<uint8_t>(v);
            const int want = expected_value(b, enc.folds);
            uint64_t code = 0xDEAD;
            EXPECT_EQ(enc.fn(&b, 1, &code), want >= 0 ? 1 : 0) << enc.name << " byte " << v;
            EXPECT_EQ(code, want >= 0 ? static_cast<uint64_t>(want) : 0xDEADu) << enc.name << " byte " << v;

            uint8_t seq[32];
            std::memset(seq, 'C', sizeof seq);
            seq[31] = b;
            code = 0xBEEF;
            EXPECT_EQ(enc.fn(seq, 32, &code), want >= 0 ? 1 : 0) << enc.name << " byte " << v;
            if (want >= 0) {
                EXPECT_EQ(code, 0x5555555555555555ull - (uint64_t{1} << 62) +
                                    (static_cast<uint64_t>(want) << 62));
            } else {
                EXPECT_EQ(code, 0xBEEFu);
            }
        }
    }
}

TEST(Dna2Code, LengthsAndPointers) {
    // 32 T bases: every bit set.  The 33-byte call gets a 32-byte block, so
    // reading any byte before the length test is an over-read under ASan.
    auto *t32 = static_cast<uint8_t *>(std::malloc(32));
    std::memset(t32, 'T', 32);
    for (const auto &enc : ENCODERS) {
        SCOPED_TRACE(enc.name);
        uint64_t code = 7;
        EXPECT_EQ(enc.fn(nullptr, 0, &code), 1);
        EXPECT_EQ(code, 0u);
        code = 7;
        EXPECT_EQ(enc.fn(t32, 0, &code), 1);
        EXPECT_EQ(code, 0u);
        code = 7;
        EXPECT_EQ(enc.fn(nullptr, 1, &code), 0);
        EXPECT_EQ(code, 7u);
        EXPECT_EQ(enc.fn(t32, 32, &code), 1);
        EXPECT_EQ(code, UINT64_MAX);
        code = 7;
        EXPECT_EQ(enc.fn(t32, 33, &code), 0);
        EXPECT_EQ(enc.fn(t32, SIZE_MAX, &code), 0);
        EXPECT_EQ(enc.fn(t32, size_t{1} << 63, &code), 0);
        EXPECT_EQ(code, 7u);
    }
    std::free(t32);
}

TEST(Dna2Code, RandomAgainstDefinition) {
    velmora_test::rng g(velmora_test::test_seed() + 2);
    for (int i = 0; i < 20000; ++i) {
        std::string s = g.noisy(g.boundary_len(36), g.chance(50) ? 0 : 3);
        if (g.chance(30))
            for (auto &c : s)
                if (g.chance(50) && c >= 'A' && c <= 'Z') c = static_cast<char>(c + 32);
        velmora_test::seq_batch b;
        b.add(s);
        uint64_t want = 0, got = 0;
        const bool ok = index_test::naive_encode(s, &want);
        ASSERT_EQ(dna2_code(b.ptrs()[0], s.size(), &got), ok ? 1 : 0) << s;
        if (ok) {
            ASSERT_EQ(got, want) << s;
        }
        const bool ok_folded = index_test::naive_encode(index_test::fold_upper(s), &want);
        ASSERT_EQ(dna2_code_ascii_upper(b.ptrs()[0], s.size(), &got), ok_folded ? 1 : 0) << s;
        if (ok_folded) {
            ASSERT_EQ(got, want) << s;
        }
    }
}

}  // namespace
