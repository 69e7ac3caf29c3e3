// The cell caller on read counts drawn from known groups.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <random>
#include <vector>

#include "cells.h"

namespace {

using velmora_pipeline::call_cells;
using velmora_pipeline::cell_call;

// Barcodes with reads drawn log-normally: n of them around median reads,
// sigma in natural-log units.
void add_group(std::vector<uint64_t> *counts, size_t n, double median, double sigma, std::mt19937_64 &rng) {
    std::lognormal_distribution<double> d(std::log(median), sigma);
    for (size_t i = 0; i < n; ++i) counts->push_back(static_cast<uint64_t>(std::max(1.0, std::round(d(rng)))));
}

struct group_case {
    const char *name;
    size_t ambient, cells;
    double ambient_median, cell_median, cell_sigma;
    bool found;
};

TEST(Cells, ThresholdFallsBetweenTheGroups) {
    const group_case cases[] = {
        {"clear groups", 20000, 1000, 2, 2000, 0.6, true},
        {"few cells", 5000, 60, 1.5, 500, 0.5, true},
        {"cells only", 0, 3000, 0, 1000, 0.8, false},
        {"ambient only", 30000, 0, 2, 0, 0, false},
    };
    for (const group_case &c : cases) {
        SCOPED_TRACE(c.name);
        std::mt19937_64 rng(42);
        std::vector<uint64_t> counts(500, 0);  // barcodes without reads count for nothing
        if (c.ambient) add_group(&counts, c.ambient, c.ambient_median, 0.5, rng);
        const size_t first_cell = counts.size();
        if (c.cells) add_group(&counts, c.cells, c.cell_median, c.cell_sigma, rng);
        const cell_call call = call_cells(counts);
        ASSERT_EQ(call.found, c.found);
        if (!call.found) {
            EXPECT_EQ(call.cells, 0u);
            continue;
        }
        uint64_t cells = 0, reads = 0, cells_called = 0, ambient_called = 0;
        for (size_t i = 0; i < counts.size(); ++i) {
            if (counts[i] < call.threshold) continue;
            ++cells;
            reads += counts[i];
            (i >= first_cell ? cells_called : ambient_called) += 1;
        }
        EXPECT_EQ(call.cells, cells);
        EXPECT_EQ(call.reads_in_cells, reads);
        EXPECT_GE(cells_called, c.cells * 97 / 100);
        EXPECT_LE(ambient_called, c.cells * 3 / 100);
    }
}

TEST(Cells, TooLittleToCall) {
    const std::vector<std::vector<uint64_t>> inputs = {{}, {0, 0}, {7}, {5, 5, 5, 5}, {1, 1000000}};
    for (const std::vector<uint64_t> &counts : inputs) {
        const cell_call call = call_cells(counts);
        EXPECT_FALSE(call.found);
        EXPECT_EQ(call.cells, 0u);
    }
}

}  // namespace
