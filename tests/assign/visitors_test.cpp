// Edit-code enumeration, white box: the variant order against a string-level
// oracle, and early stop on a nonzero visitor result.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <string>
#include <vector>

#include "assign/assign_internal.h"
#include "assign_fixture.h"
#include "test_util.h"

using namespace velmora;
using assign_test::decode;
using assign_test::encode;

namespace {

struct recorded {
    std::vector<std::string> calls;
    size_t stop_at = SIZE_MAX;  // 1-based call that returns stop_value
    int32_t stop_value = 0;
};

int32_t record_visitor(uint64_t code, uint64_t len, void *ctx) noexcept {
    auto *r = static_cast<recorded *>(ctx);
    // Every variant must be a proper code of its length.
    if (len < 32 && (code >> (2 * len)) != 0) r->calls.push_back("<stray high bits>");
    r->calls.push_back(decode(code, len));
    return r->calls.size() == r->stop_at ? r->stop_value : 0;
}

std::vector<std::string> enumerate(const std::string &s) {
    recorded r;
    EXPECT_EQ(index_visit_one_edit_codes(encode(s), s.size(), record_visitor, &r), 0);
    return r.calls;
}

// The same order, built on strings.
std::vector<std::string> expected_variants(const std::string &s) {
    std::vector<std::string> out;
    for (size_t p = 0; p < s.size(); ++p)
        for (char b : std::string("ACGT"))
            if (b != s[p]) {
                std::string t = s;
                t[p] = b;
                out.push_back(t);
            }
    for (size_t p = 0; p < s.size(); ++p) out.push_back(s.substr(0, p) + s.substr(p + 1));
    if (s.size() <= 31)
        for (size_t p = 0; p <= s.size(); ++p)
            for (char b : std::string("ACGT")) out.push_back(s.substr(0, p) + b + s.substr(p));
    return out;
}

TEST(EditCodeVisit, AcInDocumentedOrder) {
    EXPECT_EQ(enumerate("AC"),
              (std::vector<std::string>{"CC", "GC", "TC", "AA", "AG", "AT", "C", "A", "AAC", "CAC",
                                        "GAC", "TAC", "AAC", "ACC", "AGC", "ATC", "ACA", "ACC",
                                        "ACG", "ACT"}));
}

// Lengths around the word boundary and bases in the high positions: the
// deletion at the last base of 32 and the insertion after the last base of
// 31 are where a plain formula would shift by 64.
TEST(EditCodeVisit, MatchesStringOracleAtEveryLength) {
    velmora_test::rng g(velmora_test::test_seed());
    std::vector<std::string> cases = {"A", "T", "GT", std::string(31, 'T'), std::string(32, 'T'),
                                      std::string(31, 'G'), std::string(32, 'C'),
                                      std::string(30, 'T') + "G", std::string(31, 'A') + "T"};
    for (size_t len = 0; len <= 32; ++len) cases.push_back(g.dna(len));
    for (const auto &s : cases) {
        const auto got = enumerate(s);
        ASSERT_EQ(got, expected_variants(s)) << s;
        const size_t n = s.size();
        EXPECT_EQ(got.size(), n == 32 ? 128 : 8 * n + 4) << s;
    }
}

TEST(EditCodeVisit, NonzeroVisitorResultEndsTheEnumeration) {
    struct row {
        std::string s;
        size_t stop_at;
        int32_t value;
    };
    // First call, a deletion call, an insertion call, the very last call.
    const row rows[] = {{"ACGT", 1, 7}, {"ACGT", 13, -1}, {"ACGT", 20, 1}, {"ACGT", 36, 1},
                        {std::string(32, 'G'), 128, 5}, {"", 4, 2}};
    for (const row &r : rows) {
        recorded rec;
        rec.stop_at = r.stop_at;
        rec.stop_value = r.value;
        EXPECT_EQ(index_visit_one_edit_codes(encode(r.s), r.s.size(), record_visitor, &rec),
                  r.value);
        EXPECT_EQ(rec.calls.size(), r.stop_at);
    }
}

}  // namespace
