// Every distance function against the full-matrix oracle on seeded pairs
// around each 64-bit word boundary, the operand checks and length limits,
// and the heap: none below 512 pattern bytes, clean failure above.
#include <gtest/gtest.h>

#include <algorithm>
#include <climits>
#include <string>
#include <vector>

#include "distance/distance_internal.h"
#include "oracle.h"
#include "support/alloc_hooks.h"
#include "test_util.h"
#include "velmora.h"

using velmora_test::rng;
using velmora_test::seq_batch;

namespace {

// Two sequences in exact-length heap blocks, so ASan sees any over-read.
struct pair_buffers {
    seq_batch batch;
    pair_buffers(const std::string &a, const std::string &b) {
        batch.add(a);
        batch.add(b);
    }
    const uint8_t *a() const { return batch.ptrs()[0]; }
    const uint8_t *b() const { return batch.ptrs()[1]; }
};

// A partner for a at about length len: few edits, many edits, unrelated,
// much longer or shorter, a repetitive run, or bytes 0x00/0xFF only.
std::string partner(rng &g, const std::string &a, size_t len) {
    switch (g.range(0, 6)) {
        case 0: return g.mutate(a, static_cast<unsigned>(g.range(0, 3)), 20);
        case 1: return g.mutate(a, static_cast<unsigned>(g.range(4, 40)), 20);
        case 2: return g.noisy(g.range(len > 2 ? len - 2 : 0, len + 2), 20);
        case 3: return g.noisy(g.range(0, len + 300), 20);
        case 4: return std::string(g.range(0, len + 3), "AC"[g.range(0, 1)]);
        case 5: {
            std::string s = g.noisy(g.range(0, 2 * len + 1), 0);
            for (auto &c : s) c = g.chance(50) ? '\0' : '\xff';
            return s;
        }
        default: return g.noisy(len, 5).substr(0, g.range(0, len)) + a;
    }
}

void expect_bounded_agree(const pair_buffers &buf, const std::string &a, const std::string &b,
                          uint32_t d) {
    EXPECT_EQ(vorn_edit_distance(buf.a(), a.size(), buf.b(), b.size()), d);
    EXPECT_EQ(vorn_edit_distance(buf.b(), b.size(), buf.a(), a.size()), d);
    const auto di = static_cast<int32_t>(d);
    for (const int32_t k : {-1, 0, 1, 2, 3, 4, 5, di - 1, di, di + 1, INT32_MAX}) {
        const bool within = k >= 0 && d <= static_cast<uint32_t>(k);
        EXPECT_EQ(vorn_edit_distance_leq(buf.a(), a.size(), buf.b(), b.size(), k), within ? 1 : 0)
            << "k=" << k;
        if (k < 0) continue;
        const int32_t want = within ? static_cast<int32_t>(d) : -1;
        EXPECT_EQ(velmora::candidate_distance_within_k(buf.a(), a.size(), buf.b(), b.size(), k),
                  want) << "k=" << k;
        EXPECT_EQ(velmora::candidate_distance_within_k(buf.b(), b.size(), buf.a(), a.size(), k),
                  want) << "k=" << k;
    }
}

void expect_all_agree(const std::string &a, const std::string &b) {
    const uint32_t d = oracle::levenshtein(a, b);
    const pair_buffers buf(a, b);
    SCOPED_TRACE("lengths " + std::to_string(a.size()) + "/" + std::to_string(b.size()) +
                 " d=" + std::to_string(d));
    EXPECT_EQ(vorn_edit_distance_dp(buf.a(), a.size(), buf.b(), b.size()), d);
    EXPECT_EQ(vorn_edit_distance_dp(buf.b(), b.size(), buf.a(), a.size()), d);
    EXPECT_EQ(vorn_edit_distance_myers64(buf.a(), a.size(), buf.b(), b.size()), d);
    EXPECT_EQ(vorn_edit_distance_myers64(buf.b(), b.size(), buf.a(), a.size()), d);
    // With the shorter operand at most 512 bytes, nothing touches the heap.
    const auto heap = velmora_test::alloc_measure([&] { expect_bounded_agree(buf, a, b, d); });
    EXPECT_TRUE(std::min(a.size(), b.size()) > 512 || heap.allocations == 0);
}

}  // namespace

TEST(EditDistance, AgreesWithOracleAroundWordBoundaries) {
    const uint64_t seed = velmora_test::test_seed();
    SCOPED_TRACE("seed " + std::to_string(seed));
    rng g(seed);
    std::vector<size_t> lens = {0, 1, 2, 31, 32, 33, 34, 35, 600, 700};
    for (size_t w = 64; w <= 512; w += 64)
        for (size_t l : {w - 1, w, w + 1}) lens.push_back(l);
    const int per_len = 12 * velmora_test::test_scale();
    for (const size_t len : lens)
        for (int i = 0; i < per_len; ++i) {
            const std::string a = g.noisy(len, static_cast<unsigned>(g.range(0, 30)));
            expect_all_agree(a, partner(g, a, len));
        }
}

// The match table is not cleared wholesale: a row set by an earlier call
// must not survive into a call whose text reads that byte.
TEST(EditDistance, NoStaleMatchRowsBetweenCalls) {
    for (size_t w = 1; w <= 8; ++w) {
        const std::string all_n(w * 64, 'N');  // leaves row 'N' full in the frame
        // Short pairs zero single rows, longer ones clear the whole table.
        for (const size_t pattern_len : {w * 64 - 1, size_t{20}}) {
            for (const size_t text_len : {size_t{10}, size_t{300}}) {
                if (pattern_len <= (w - 1) * 64) continue;  // another word count
                const std::string pattern(pattern_len, 'A'), text(text_len, 'N');
                const pair_buffers first(all_n, text), second(pattern, text);
                (void)vorn_edit_distance_myers64(first.a(), all_n.size(), first.b(), text_len);
                EXPECT_EQ(vorn_edit_distance_myers64(second.a(), pattern_len, second.b(), text_len),
                          oracle::levenshtein(pattern, text)) << pattern_len << " " << text_len;
            }
        }
    }
}

// Pairs where a shortcut could stand in for the distance: equal lengths with
// three or more differing positions but a smaller distance, length
// differences above small k, sequences no longer than k.
TEST(EditDistance, NamedCases) {
    struct row { std::string a, b; uint32_t d; };
    const std::vector<row> rows = {
        {"ACGTACGTAC", "ACGTTCGTAA", 2}, {"ABC", "BCA", 2},       {"ABCD", "BCDA", 2},
        {"ACGTACGTA", "ACGTACGTC", 1},   {"ACGTACGT", "ACG", 5},  {"ACGTACGT", "ACGT", 4},
        {"AAAA", "TTT", 4},              {"ACGT", "AGT", 1},      {"ACGT", "TACG", 2},
        {"AAAAAAAA", "TTTAAAAA", 3},     {"ACGTACGTAAAA", "CGTACGTAAAAT", 2},
        {std::string(64, 'G'), "", 64},  {std::string(64, 'G'), std::string(64, 'G'), 0},
    };
    for (const row &r : rows) {
        ASSERT_EQ(oracle::levenshtein(r.a, r.b), r.d) << r.a << " " << r.b;
        expect_all_agree(r.a, r.b);
    }
    EXPECT_EQ(vorn_alphabet_policy(), vorn_alphabet_policy());
    EXPECT_STREQ(vorn_alphabet_policy(), "literal-byte; A/C/G/T/N/IUPAC symbols are ordinary "
                                         "byte symbols; no wildcard expansion");
}

// A null pointer is an empty sequence only with length 0; the calls must
// never hand a null pointer to a memory routine, even for two empty operands.
TEST(EditDistance, NullOperands) {
    const auto *acgt = velmora_test::bytes("ACGT");
    using fn = uint32_t (*)(const uint8_t *, size_t, const uint8_t *, size_t);
    for (const fn f : {fn{vorn_edit_distance_dp}, fn{vorn_edit_distance_myers64},
                       fn{vorn_edit_distance}}) {
        EXPECT_EQ(f(nullptr, 0, nullptr, 0), 0u);
        EXPECT_EQ(f(nullptr, 0, acgt, 4), 4u);
        EXPECT_EQ(f(acgt, 4, nullptr, 0), 4u);
        EXPECT_EQ(f(nullptr, 3, acgt, 4), UINT32_MAX);
        EXPECT_EQ(f(acgt, 1, nullptr, 2), UINT32_MAX);
    }
    for (const int32_t k : {-1, 0, 1, 2, 7}) {
        EXPECT_EQ(vorn_edit_distance_leq(nullptr, 4, acgt, 4, k), -1);
        EXPECT_EQ(vorn_edit_distance_leq(acgt, 4, nullptr, 4, k), -1);
        EXPECT_EQ(vorn_edit_distance_leq(nullptr, 0, nullptr, 0, k), k < 0 ? 0 : 1);
        if (k < 0) continue;
        EXPECT_EQ(velmora::candidate_distance_within_k(nullptr, 0, nullptr, 0, k), 0);
    }
    EXPECT_EQ(velmora::candidate_distance_within_k(nullptr, 2, acgt, 2, 1), -2);
    EXPECT_EQ(velmora::candidate_distance_within_k(acgt, 2, nullptr, 2, 1), -2);
    EXPECT_EQ(velmora::candidate_distance_within_k(acgt, 1, nullptr, 0, 1), 1);
}

// Lengths above 0x7FFFFFFF are refused before any byte is read or any memory
// taken, on the bit-parallel path too (the buffer behind them is 4 bytes).
TEST(EditDistance, LengthLimit) {
    const auto *p = velmora_test::bytes("ACGT");
    const size_t huge = size_t{0x80000000};
    const std::string sixteen(16, 'A');
    const pair_buffers same(sixteen, sixteen);  // equal bytes: a scan would run on
    const auto c = velmora_test::alloc_measure([&] {
        EXPECT_EQ(vorn_edit_distance_dp(p, huge, p, 4), UINT32_MAX);
        EXPECT_EQ(vorn_edit_distance_dp(p, 4, p, huge), UINT32_MAX);
        EXPECT_EQ(vorn_edit_distance_myers64(p, 4, p, huge), UINT32_MAX);
        EXPECT_EQ(vorn_edit_distance_myers64(p, huge, p, 4), UINT32_MAX);
        EXPECT_EQ(vorn_edit_distance_myers64(p, 0, p, huge), UINT32_MAX);  // before "a empty"
        EXPECT_EQ(vorn_edit_distance_myers64(p, huge, nullptr, 0), UINT32_MAX);
        EXPECT_EQ(vorn_edit_distance(p, 4, p, huge), UINT32_MAX);
        EXPECT_EQ(vorn_edit_distance(p, huge, p, 0), UINT32_MAX);
        EXPECT_EQ(vorn_edit_distance_leq(p, huge, p, huge, 5), -1);
        // Equal lengths: the two-difference shortcut must not scan first.
        EXPECT_EQ(vorn_edit_distance(same.a(), huge, same.b(), huge), UINT32_MAX);
        EXPECT_EQ(vorn_edit_distance(same.a(), huge + 7, same.b(), huge + 7), UINT32_MAX);
        EXPECT_EQ(vorn_edit_distance_leq(p, 4, p, huge, -1), -1);
    });
    EXPECT_EQ(c.allocations, 0u);
}

// The reference programme's two heap rows may each fail: UINT32_MAX, and
// nothing leaks.  (The kernels' own heap is swept in long_test.cpp.)
TEST(EditDistance, DpRowsAllocationFailure) {
    rng g(velmora_test::test_seed() + 1);
    const std::string a = g.noisy(515, 10), b = a.substr(0, 200) + "TNT" + a.substr(200);
    const pair_buffers buf(a, b);
    const uint64_t runs = velmora_test::alloc_fault_sweep([&](uint64_t) {
        const uint32_t r = vorn_edit_distance_dp(buf.a(), a.size(), buf.b(), b.size());
        EXPECT_EQ(r, velmora_test::alloc_injected() ? UINT32_MAX : 3u);
    });
    EXPECT_EQ(runs, 3u);  // two rows, then a clean run
    // A length difference above k is decided without the kernel, so it stays
    // a plain "farther" and takes no memory.
    const std::string longer = a + "ACGTACGT";
    const pair_buffers far(a, longer);
    const auto c = velmora_test::alloc_measure([&] {
        EXPECT_EQ(velmora::candidate_distance_within_k(far.a(), a.size(), far.b(), longer.size(),
                                                       7), -1);
    });
    EXPECT_EQ(c.allocations, 0u);
}
