// Index build and release: the piece splits, the invariants readers rely on
// after randomized builds with every combination of tables, every allocation
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
using velmora_test::seq_batch;

using velmora_test::built_index;

// Piece lengths of every split, in the stored kind order: the build and the
// Hamming reader both split through index_piece_bounds.
TEST(IndexBuild, PieceSplits) {
    struct split_case {
        uint64_t len;
        uint64_t lens[9];
    };
    const split_case cases[] = {
        {1, {1, 0, 1, 0, 0, 1, 0, 0, 0}},
        {5, {3, 2, 2, 2, 1, 2, 1, 1, 1}},
        {32, {16, 16, 11, 11, 10, 8, 8, 8, 8}},
        {0, {0, 0, 0, 0, 0, 0, 0, 0, 0}},
    };
    for (const auto &c : cases) {
        int x = 0;
        for (uint64_t m = 2; m <= 4; ++m) {
            uint64_t next = 0;
            for (uint64_t j = 0; j < m; ++j, ++x) {
                uint64_t start = 0, len = 0;
                velmora::index_piece_bounds(c.len, m, j, &start, &len);
                EXPECT_EQ(len, c.lens[x]) << "len " << c.len << " split " << m << " piece " << j;
                EXPECT_EQ(start, next);
                next = start + len;
            }
            EXPECT_EQ(next, c.len);
        }
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
        const uint32_t flags = uint32_t(round % 4);
        seq_batch b(refs);
        vorn_index *idx = vorn_index_build_opts(b.ptrs(), b.lens(), b.size(), flags);
        expect_index_matches(idx, index_test::ref_strings(refs), flags);
        vorn_index_free(idx);
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
        for (uint32_t flags = 0; flags < 4; ++flags) {
            velmora_test::alloc_fault_sweep([&](uint64_t) {
                vorn_index *idx = vorn_index_build_opts(b.ptrs(), b.lens(), b.size(), flags);
                if (velmora_test::alloc_injected()) {
                    EXPECT_EQ(idx, nullptr);
                } else {
                    expect_index_matches(idx, strings, flags);
                }
                vorn_index_free(idx);
            });
        }
    }
}

}  // namespace
