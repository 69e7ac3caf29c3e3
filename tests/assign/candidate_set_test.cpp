// Candidate de-duplication set: inline regime, table creation and rebuilds,
// reuse after free, and every allocation failure of its growth.
#include <gtest/gtest.h>

#include <cstdint>
#include <set>

#include "index/candidate_set.h"
#include "support/alloc_hooks.h"
#include "test_util.h"

using namespace velmora;
using velmora_test::alloc_fault_sweep;
using velmora_test::alloc_injected;

namespace {

// Positions spread so that consecutive ones share no structure.
uint64_t position(uint64_t i) { return i * 0x9e3779b97f4a7c15ull >> 13; }

TEST(CandidateSet, SizesAtEachThreshold) {
    struct row {
        uint64_t distinct;    // positions added
        uint64_t slot_count;  // table size afterwards (0: no table)
        uint64_t capacity;    // list capacity afterwards
    };
    const row rows[] = {
        {1, 0, 128},        {128, 0, 128},      {129, 512, 256},    {256, 512, 256},
        {257, 2048, 512},   {1024, 2048, 1024}, {1025, 8192, 2048}, {4096, 8192, 4096},
        {4097, 32768, 8192},
    };
    for (const row &r : rows) {
        candidate_seen_scope s;
        for (uint64_t i = 0; i < r.distinct; ++i) ASSERT_EQ(candidate_seen_add(&s.set, position(i)), 1);
        EXPECT_EQ(s.set.count, r.distinct) << r.distinct;
        EXPECT_EQ(s.set.slot_count, r.slot_count) << r.distinct;
        EXPECT_EQ(s.set.capacity, r.capacity) << r.distinct;
        EXPECT_EQ(s.set.items == s.set.inline_items, r.distinct <= 128) << r.distinct;
        // Every position comes back as known, in whichever regime.
        for (uint64_t i = 0; i < r.distinct; ++i) ASSERT_EQ(candidate_seen_add(&s.set, position(i)), 0);
        EXPECT_EQ(s.set.count, r.distinct);
        // The list keeps insertion order, the source every rebuild reads.
        for (uint64_t i = 0; i < r.distinct; ++i) ASSERT_EQ(s.set.items[i], position(i));
    }
}

TEST(CandidateSet, FreeResetsAndTheSetIsReusable) {
    for (const uint64_t n : {0u, 5u, 128u, 129u, 700u}) {
        candidate_seen_set s;
        candidate_seen_init(&s);
        for (uint64_t i = 0; i < n; ++i) candidate_seen_add(&s, position(i));
        candidate_seen_free(&s);
        EXPECT_EQ(s.count, 0u);
        EXPECT_EQ(s.items, s.inline_items);
        EXPECT_EQ(s.slots, nullptr);
        EXPECT_EQ(s.capacity, 128u);
        EXPECT_EQ(s.slot_count, 0u);
        for (uint64_t i = 0; i < n; ++i) ASSERT_EQ(candidate_seen_add(&s, position(i)), 1);
        candidate_seen_free(&s);
    }
}

// Random adds with many repeats, checked against a std::set; position 0
// first, since a table slot holding 0 means empty.
TEST(CandidateSet, MatchesAReferenceSet) {
    velmora_test::rng g(velmora_test::test_seed());
    for (int round = 0; round < 20; ++round) {
        candidate_seen_scope s;
        std::set<uint64_t> truth;
        const uint64_t universe = g.range(1, 3000);
        const size_t adds = g.range(0, 4000);
        for (size_t i = 0; i < adds; ++i) {
            const uint64_t id = i == 0 || g.chance(1) ? 0
                                : g.chance(5) ? UINT64_MAX - 1 - g.range(0, 3)
                                              : g.range(0, universe);
            const int32_t expect = truth.insert(id).second ? 1 : 0;
            ASSERT_EQ(candidate_seen_add(&s.set, id), expect) << "round " << round << " add " << i;
        }
        EXPECT_EQ(s.set.count, truth.size());
        if (s.set.slots != nullptr) {
            EXPECT_LE(2 * s.set.count, s.set.slot_count);
        }
    }
}

// Every growth step (table creation, list doubling, table rebuild) can fail:
// the add reports -1, the set stays freeable, and nothing leaks.
TEST(CandidateSet, EveryGrowthFailureIsReportedAndLeaksNothing) {
    const uint64_t n = 1100;  // crosses 129, 257 and 1025
    const uint64_t runs = alloc_fault_sweep([&](uint64_t) {
        candidate_seen_scope s;
        bool failed = false;
        for (uint64_t i = 0; i < n && !failed; ++i) {
            const int32_t r = candidate_seen_add(&s.set, position(i));
            if (r == -1) {
                EXPECT_TRUE(alloc_injected());
                failed = true;
            } else {
                ASSERT_EQ(r, 1);
            }
        }
        EXPECT_EQ(failed, alloc_injected());
        if (!failed) {
            EXPECT_EQ(s.set.count, n);
        }
    });
    // Table at 129, list at 129/257/513/1025, rebuilds at 257/1025.
    EXPECT_EQ(runs, 8u);
}

}  // namespace
