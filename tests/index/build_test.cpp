// Index build and release: the worked hash values that pin the table layout,
// the structural invariants after randomized builds, every allocation
// failure, and the argument checks.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "index/index_internal.h"
#include "index_test_util.h"
#include "support/alloc_hooks.h"
#include "test_util.h"

namespace {

using index_test::expect_index_matches;
using index_test::NONE;
using velmora_test::seq_batch;

using velmora_test::built_index;

TEST(IndexBuild, WorkedValuesForAcgt) {
    built_index idx(std::vector<std::string>{"ACGT"});
    ASSERT_NE(idx.index, nullptr);
    EXPECT_EQ(idx->ref_codes[0], 228u);
    ASSERT_EQ(idx->code_bucket_count, 4u);
    ASSERT_EQ(idx->exact_slot_count, 4u);
    EXPECT_EQ(idx->code_heads[3], 0u);
    EXPECT_EQ(idx->code_heads[0] & idx->code_heads[1] & idx->code_heads[2], NONE);
    EXPECT_EQ(idx->exact_first[1], 0u);
    EXPECT_EQ(idx->exact_counts[1], 1u);

    // Deletion variants CGT, AGT, ACT, ACG.
    ASSERT_EQ(idx->del_count, 4u);
    ASSERT_EQ(idx->del_bucket_count, 16u);
    const uint64_t codes[] = {57, 56, 52, 36};
    const uint64_t buckets[] = {11, 10, 14, 14};
    for (uint64_t e = 0; e < 4; ++e) {
        EXPECT_EQ(idx->del_codes[e], codes[e]) << e;
        EXPECT_EQ(idx->del_lens[e], 3u);
        EXPECT_EQ(velmora::index_code_bucket(codes[e], 3, 16), buckets[e]) << e;
    }
    EXPECT_EQ(idx->del_heads[11], 0u);
    EXPECT_EQ(idx->del_heads[10], 1u);
    EXPECT_EQ(idx->del_heads[14], 3u);  // ACG chained before ACT
    EXPECT_EQ(idx->del_next[3], 2u);
    EXPECT_EQ(idx->del_next[2], NONE);

    // Piece buckets 2, 11, 13, 14, 17, 22, 28, 30, 30 give this stored order.
    ASSERT_EQ(idx->piece_bucket_count, 32u);
    ASSERT_EQ(idx->piece_count, 9u);
    const uint8_t kinds[] = {8, 5, 4, 6, 1, 10, 9, 0, 11};
    for (int x = 0; x < 9; ++x) EXPECT_EQ(idx->piece_entries[x].piece_kind, kinds[x]) << x;
    EXPECT_EQ(idx->piece_offsets[30], 7u);
    EXPECT_EQ(idx->piece_offsets[31], 9u);
    expect_index_matches(idx.index, {"ACGT"});
}

// Piece lengths of every split, in the stored kind order.
TEST(IndexBuild, PieceSplits) {
    struct split_case {
        size_t len;
        uint64_t lens[9];
    };
    const split_case cases[] = {
        {1, {1, 0, 1, 0, 0, 1, 0, 0, 0}},
        {5, {3, 2, 2, 2, 1, 2, 1, 1, 1}},
        {32, {16, 16, 11, 11, 10, 8, 8, 8, 8}},
        {0, {0, 0, 0, 0, 0, 0, 0, 0, 0}},
    };
    for (const auto &c : cases) {
        const std::string ref = c.len ? std::string(c.len - 1, 'G') + "C" : std::string();
        built_index idx(std::vector<std::string>{ref});
        ASSERT_NE(idx.index, nullptr);
        ASSERT_EQ(idx->piece_count, 9u);
        uint64_t by_kind[12] = {};
        for (int x = 0; x < 9; ++x) {
            by_kind[idx->piece_entries[x].piece_kind] = idx->piece_entries[x].piece_len;
        }
        const int kinds[] = {0, 1, 4, 5, 6, 8, 9, 10, 11};
        for (int j = 0; j < 9; ++j) {
            EXPECT_EQ(by_kind[kinds[j]], c.lens[j]) << "len " << c.len << " kind " << kinds[j];
        }
        expect_index_matches(idx.index, {ref});
    }
}

// Small hand-made lists that hit one edge each.
TEST(IndexBuild, EdgeLists) {
    const std::vector<std::vector<std::string>> lists = {
        {"acgt", "ACGN", "ACG-", "ACGN"},            // no encodable reference: no tables
        {""},                                        // only the empty reference: pieces, no deletions
        {"", "A", "AA"},                             // code 0 with three lengths
        {"ACGT", "TTTT", "ACGT"},                    // duplicates share a slot
        {"AAC"},                                     // AC twice, AA once
        {"C"},                                       // one deletion entry: code 0, length 0
        {std::string(32, 'T'), std::string(33, 'T')},  // all-ones code; 33 bases not encodable
        {"C" + std::string(31, 'A'), "G" + std::string(30, 'T') + "C"},  // last-base deletion at 32
        {std::string("A\0C", 3), std::string("\xff", 1)},
    };
    for (const auto &refs : lists) {
        SCOPED_TRACE(::testing::PrintToString(refs));
        expect_index_matches(built_index(refs).index, refs);
    }
    // No references: the arrays are not read, null or not.
    const uint8_t *one = velmora_test::bytes("A");
    const size_t len = 1;
    for (vorn_index *idx : {vorn_index_build(&one, &len, 0), vorn_index_build(nullptr, nullptr, 0)}) {
        expect_index_matches(idx, {});
        vorn_index_free(idx);
    }
}

TEST(IndexBuild, RandomizedInvariants) {
    velmora_test::rng g(velmora_test::test_seed());
    SCOPED_TRACE(::testing::Message() << "seed " << velmora_test::test_seed());
    const int rounds = 150 * velmora_test::test_scale();
    for (int round = 0; round < rounds; ++round) {
        const size_t n = round < 10 ? static_cast<size_t>(round) + 1 : g.range(1, 300);
        const auto refs = index_test::random_refs(g, n);
        built_index idx(refs);
        expect_index_matches(idx.index, idx.strings());
        if (::testing::Test::HasFailure()) break;
    }
}

TEST(IndexBuild, RejectedArguments) {
    const uint8_t *refs[] = {reinterpret_cast<const uint8_t *>("ACGT"), nullptr};
    const size_t lens[] = {4, 5};
    struct reject_case {
        const char *what;
        const uint8_t *const *refs;
        const size_t *lens;
        size_t n;
    };
    const reject_case cases[] = {
        {"null refs", nullptr, lens, 1},
        {"null lens", refs, nullptr, 1},
        {"null reference with length 5 last", refs, lens, 2},
        // Checked before any reference is read.
        {"more references than 32-bit positions", refs, lens, size_t{0x80000000}},
        {"count near SIZE_MAX", refs, lens, SIZE_MAX},
    };
    for (const auto &c : cases) {
        const auto m = velmora_test::alloc_measure([&] {
            vorn_index *idx = vorn_index_build(c.refs, c.lens, c.n);
            EXPECT_EQ(idx, nullptr) << c.what;
            vorn_index_free(idx);
        });
        EXPECT_EQ(m.live, 0) << c.what;
    }
    // A length whose copy size (length + 1) would wrap is refused, not
    // allocated short.
    const uint8_t *big[] = {refs[0]};
    const size_t big_len[] = {SIZE_MAX};
    EXPECT_EQ(vorn_index_build(big, big_len, 1), nullptr);
    vorn_index_free(nullptr);
}

// The index keeps its own copies: the caller's buffers may be overwritten
// and released (ASan sees any late read).
TEST(IndexBuild, CallerBuffersReleased) {
    const std::vector<std::string> refs = {"ACGT", "acgn", "", std::string(33, 'C'), "T"};
    vorn_index *idx = nullptr;
    {
        std::vector<std::vector<uint8_t>> bufs;
        std::vector<const uint8_t *> ptrs;
        std::vector<size_t> lens;
        for (const auto &r : refs) bufs.emplace_back(r.begin(), r.end());
        for (auto &b : bufs) {
            ptrs.push_back(b.data());
            lens.push_back(b.size());
        }
        idx = vorn_index_build(ptrs.data(), lens.data(), ptrs.size());
        for (auto &b : bufs) std::fill(b.begin(), b.end(), uint8_t{'G'});
    }
    expect_index_matches(idx, refs);
    vorn_match m;
    EXPECT_EQ(vorn_index_lookup_exact_stats(idx, velmora_test::bytes("acgn"), 4, &m, nullptr), 0);
    EXPECT_EQ(m, (vorn_match{1, 0, UINT32_MAX, 1, VORN_STATUS_UNIQUE}));
    vorn_index_free(idx);
}

// Fail every allocation of the build in turn: the result is null exactly when
// a failure was injected, a full index otherwise, and nothing leaks.
TEST(IndexBuild, EveryAllocationFailure) {
    velmora_test::rng g(velmora_test::test_seed() + 1);
    std::vector<std::vector<oracle::seq>> lists;
    lists.push_back({});
    lists.push_back(velmora_test::as_seqs({"acgt", "N"}));    // no tables
    lists.push_back(velmora_test::as_seqs({""}));             // pieces only
    lists.push_back(index_test::random_refs(g, 40));
    for (const auto &refs : lists) {
        seq_batch b(refs);
        const auto strings = index_test::ref_strings(refs);
        const uint64_t runs = velmora_test::alloc_fault_sweep([&](uint64_t) {
            vorn_index *idx = vorn_index_build(b.ptrs(), b.lens(), b.size());
            if (velmora_test::alloc_injected()) {
                EXPECT_EQ(idx, nullptr);
            } else {
                expect_index_matches(idx, strings);
            }
            vorn_index_free(idx);
        });
        EXPECT_GE(runs, refs.empty() ? 2u : refs.size() + 2) << "every copy is an allocation";
    }
}

}  // namespace
