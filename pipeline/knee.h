// The knee plot: reads per barcode against barcode rank, both on log axes.
// Cells stand out as the plateau of high counts before the drop to the long
// tail of barcodes that only caught ambient or erroneous reads.
#ifndef VELMORA_PIPELINE_KNEE_H
#define VELMORA_PIPELINE_KNEE_H

#include <cstdint>
#include <string>
#include <vector>

namespace velmora_pipeline {

struct knee_point {
    uint64_t rank;   // 1-based, barcodes ordered by reads, most first
    uint64_t reads;
    uint64_t exact = 0;    // of reads: the barcode's exact and rescued reads
    uint64_t rescued = 0;
};

// Points of the curve for per-barcode read counts sorted in descending
// order (zeros ignored): ranks spread evenly on the log scale, at most about
// max_points of them, always the first and the last barcode with reads.
std::vector<knee_point> knee_points(const std::vector<uint64_t> &sorted_desc, size_t max_points);

// A self-contained SVG document of the curve, with decade grid lines: all
// reads, and exact and rescued reads apart; threshold > 0 draws the cells'
// threshold (reads per barcode) across it.
std::string knee_svg(const std::vector<knee_point> &points, const std::string &title, uint64_t threshold = 0);

}  // namespace velmora_pipeline

#endif
