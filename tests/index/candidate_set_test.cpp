// The per-query de-duplication set against a plain set: it must answer "new"
// exactly once per position whatever its size, across the move from the
// inline list to the table and every growth of either, including repeats met
// just as the list is full.  The index tests that reach the table (many
// copies of one reference) meet each candidate once: only this test asks it
// about repeats.
#include <gtest/gtest.h>

#include <cstdint>
#include <set>

#include "gen.h"
#include "index/candidate_set.h"
#include "inline_array.h"

namespace {

TEST(CandidateSet, AnswersNewExactlyOncePerPosition) {
    velmora_test::rng g(velmora_test::test_seed() + 13);
    for (uint64_t distinct : {1u, 127u, 128u, 129u, 256u, 257u, 512u, 513u, 1024u, 4096u}) {
        velmora::candidate_seen_set set;
        std::set<uint64_t> seen;
        // Positions from a range a little wider than the number wanted, so
        // that repeats come early and late, and the extreme positions.
        for (uint64_t step = 0; seen.size() < distinct; ++step) {
            const uint64_t id = step % 97 == 0 ? (step % 2 ? 0 : uint64_t{UINT32_MAX})
                                               : g.range(0, distinct + distinct / 2);
            const int32_t want = seen.insert(id).second ? 1 : 0;
            ASSERT_EQ(velmora::candidate_seen_add(&set, id), want)
                << "position " << id << " after " << seen.size() << " distinct";
        }
        for (uint64_t id : seen) ASSERT_EQ(velmora::candidate_seen_add(&set, id), 0) << id;
    }
}

// Room past what memory can address is refused, the list left as it was.
TEST(InlineArray, RoomThatWouldWrapIsRefused) {
    velmora::inline_array<uint64_t, 4> a;
    ASSERT_TRUE(a.push(7));
    for (const size_t need : {SIZE_MAX / 8 + 1, SIZE_MAX / 2 + 2, SIZE_MAX}) {
        EXPECT_FALSE(a.reserve(need)) << need;
        EXPECT_EQ(a.size(), 1u);
        EXPECT_EQ(a.capacity(), 4u);
        EXPECT_EQ(a[0], 7u);
    }
}

}  // namespace
