// The case-folding exact lookup on references the index cannot encode (an N,
// another byte): every spelling of a reference finds it, whichever case the
// query or the reference uses, and only letters fold.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "test_util.h"
#include "velmora.h"

namespace {

TEST(ExactLookup, FoldingMatchesEveryCaseOfAReferenceWithoutACode) {
    const std::vector<std::string> refs = {"ACGN", "acgt-x", "TTNa", "AC@G"};
    velmora_test::built_index bi(refs);
    ASSERT_NE(bi.index, nullptr);
    const struct {
        const char *query;
        uint32_t status, best;
    } cases[] = {
        {"acgn", VORN_STATUS_UNIQUE, 0},   {"AcGn", VORN_STATUS_UNIQUE, 0},
        {"ACGT-X", VORN_STATUS_UNIQUE, 1}, {"ttnA", VORN_STATUS_UNIQUE, 2},
        {"ac@g", VORN_STATUS_UNIQUE, 3},   {"AC`G", VORN_STATUS_NONE, UINT32_MAX},
        {"acgt_x", VORN_STATUS_NONE, UINT32_MAX},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.query);
        const std::string q = c.query;
        vorn_match m;
        ASSERT_EQ(vorn_index_lookup_exact_ascii_stats(bi.index, reinterpret_cast<const uint8_t *>(q.data()),
                                                      q.size(), &m, nullptr),
                  0);
        EXPECT_EQ(m.status, c.status);
        EXPECT_EQ(m.best_index, c.best);
    }
}

}  // namespace
