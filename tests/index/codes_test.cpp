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

struct encoder_case {
    const char *name;
    velmora::dna2_code_fn fn;
    bool folds;
};
const encoder_case ENCODERS[] = {{"strict", velmora::dna2_code, false},
                                 {"ascii_upper", velmora::dna2_code_ascii_upper, true}};

// One encoder on s (in an exact-length block) against the definition; a
// failed call must leave the code as it was.
void expect_encodes_as_defined(const encoder_case &enc, const std::string &s) {
    velmora_test::seq_batch b;
    b.add(s);
    uint64_t want = 0xBEEF, got = 0xBEEF;
    const bool ok = index_test::naive_encode(enc.folds ? index_test::fold_upper(s) : s, &want);
    ASSERT_EQ(enc.fn(b.ptrs()[0], s.size(), &got), ok ? 1 : 0) << enc.name << " '" << s << "'";
    ASSERT_EQ(got, want) << enc.name << " '" << s << "'";
}

// Each byte alone, and at the last place of a 32-base sequence, where its
// value lands in the top two bits.
TEST(Dna2Code, EveryByteValue) {
    for (const auto &enc : ENCODERS) {
        for (int v = 0; v < 256; ++v) {
            const std::string one(1, static_cast<char>(v));
            expect_encodes_as_defined(enc, one);
            expect_encodes_as_defined(enc, std::string(31, 'C') + one);
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
        for (const auto &enc : ENCODERS) expect_encodes_as_defined(enc, s);
    }
}

}  // namespace
