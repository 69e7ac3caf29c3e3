// The valley between the ambient and the cell modes of log read counts.
#include "cells.h"

#include <algorithm>
#include <cmath>
#include <optional>

namespace velmora_pipeline {

namespace {

constexpr size_t grid_points = 512;
constexpr double min_bandwidth = 0.1;   // decades
// A dip counts when the lower of its flanking peaks stands this much above
// it: shallower ones are the wiggles of one mode.
constexpr double min_depth = 1.1;

// The density of log read counts, smoothed by a Gaussian kernel of
// bandwidth h, at grid_points points evenly spread over [lo, hi].  A read
// count c stands for the interval [c - 1/2, c + 1/2], spread evenly over its
// logarithm: the integers 1, 2, 3 lie far apart on a log scale, and as points
// they would make dips between them that no population has.  counts is
// sorted; each distinct count is added once, weighted by its repeats.  Counts
// farther than five bandwidths add nothing worth adding.
std::vector<double> density(const std::vector<uint64_t> &counts, double lo, double hi, double h) {
    struct bar {
        double from, to, weight;
    };
    std::vector<bar> bars;
    for (size_t i = 0; i < counts.size();) {
        size_t j = i;
        while (j < counts.size() && counts[j] == counts[i]) ++j;
        const double c = static_cast<double>(counts[i]);
        bars.push_back({std::log10(c - 0.5), std::log10(c + 0.5), static_cast<double>(j - i)});
        i = j;
    }
    const double scale = 1 / (h * std::sqrt(2.0));
    std::vector<double> d(grid_points, 0.0);
    const double step = (hi - lo) / static_cast<double>(grid_points - 1);
    for (size_t g = 0; g < grid_points; ++g) {
        const double at = lo + step * static_cast<double>(g);
        double sum = 0;
        for (const bar &b : bars) {
            if (b.to < at - 5 * h) continue;
            if (b.from > at + 5 * h) break;
            // The Gaussian's mass over the interval, per unit of log.
            const double mass = 0.5 * (std::erfc((b.from - at) * scale) - std::erfc((b.to - at) * scale));
            sum += b.weight * mass / (b.to - b.from);
        }
        d[g] = sum;
    }
    return d;
}

double silverman_bandwidth(const std::vector<double> &xs) {
    const double n = static_cast<double>(xs.size());
    double mean = 0;
    for (const double x : xs) mean += x;
    mean /= n;
    double var = 0;
    for (const double x : xs) var += (x - mean) * (x - mean);
    const double sd = std::sqrt(var / std::max(1.0, n - 1));
    const double iqr = xs[static_cast<size_t>(0.75 * (n - 1))] - xs[static_cast<size_t>(0.25 * (n - 1))];
    const double spread = iqr > 0 ? std::min(sd, iqr / 1.34) : sd;
    return std::max(min_bandwidth, 0.9 * spread * std::pow(n, -0.2));
}

// Where the smoothed distribution of xs, the logarithms of counts (both
// sorted), dips deepest: the local minimum whose lower flanking peak stands
// highest above it, by how many barcodes (so that the sparse tail of the
// largest cells cannot win by ratio alone), among those it stands at least
// min_depth times above; none when there is no such dip.
std::optional<double> deepest_dip(const std::vector<double> &xs, const std::vector<uint64_t> &counts) {
    const double h = silverman_bandwidth(xs);
    const double lo = xs.front() - 3 * h, hi = xs.back() + 3 * h;
    const std::vector<double> d = density(counts, lo, hi, h);
    std::vector<double> left(grid_points), right(grid_points);
    for (size_t g = 0; g < grid_points; ++g) left[g] = std::max(d[g], g ? left[g - 1] : 0.0);
    for (size_t g = grid_points; g-- > 0;) right[g] = std::max(d[g], g + 1 < grid_points ? right[g + 1] : 0.0);
    double best = 0;
    std::optional<double> at;
    for (size_t g = 1; g + 1 < grid_points; ++g) {
        if (!(d[g] <= d[g - 1] && d[g] < d[g + 1])) continue;
        const double peak = std::min(left[g], right[g]);
        if (peak < min_depth * d[g] || peak - d[g] <= best) continue;
        best = peak - d[g];
        at = lo + (hi - lo) * static_cast<double>(g) / static_cast<double>(grid_points - 1);
    }
    return at;
}

}  // namespace

cell_call call_cells(const std::vector<uint64_t> &reads_per_barcode) {
    cell_call call;
    std::vector<uint64_t> counts;
    for (const uint64_t r : reads_per_barcode)
        if (r > 0) counts.push_back(r);
    if (counts.size() < 2) return call;
    std::sort(counts.begin(), counts.end());
    std::vector<double> xs(counts.size());
    for (size_t i = 0; i < counts.size(); ++i) xs[i] = std::log10(static_cast<double>(counts[i]));
    const std::optional<double> at = deepest_dip(xs, counts);
    if (!at) return call;
    call.found = true;
    call.threshold = std::max<uint64_t>(1, static_cast<uint64_t>(std::ceil(std::pow(10.0, *at) - 1e-9)));
    for (const uint64_t reads : reads_per_barcode) {
        if (reads >= call.threshold) {
            ++call.cells;
            call.reads_in_cells += reads;
        }
    }
    return call;
}

}  // namespace velmora_pipeline
