// Reads per entry held in four bytes until one count passes 2^32 - 1: the
// move to eight bytes keeps every count, whichever call makes it.
#include <gtest/gtest.h>

#include <cstdint>

#include "assign.h"

namespace {

TEST(EntryCounts, WidenKeepingEveryCount) {
    for (const bool by_add : {true, false}) {
        SCOPED_TRACE(by_add ? "widened by add" : "widened by set");
        velmora_pipeline::entry_counts c;
        c.assign(3);
        c.add(0);
        c.set(2, UINT32_MAX);
        EXPECT_EQ(c[2], UINT32_MAX);
        if (by_add) c.add(2);
        else c.set(2, uint64_t{UINT32_MAX} + 1);
        c.add(0);
        EXPECT_EQ(c.size(), 3u);
        EXPECT_EQ(c[0], 2u);
        EXPECT_EQ(c[1], 0u);
        EXPECT_EQ(c[2], uint64_t{UINT32_MAX} + 1);
        c.assign(2);  // narrow again, all zero
        EXPECT_EQ(c.size(), 2u);
        EXPECT_EQ(c[0] + c[1], 0u);
    }
}

}  // namespace
