// Which barcodes are cells.
//
// Barcodes that caught a cell's reads and barcodes that only caught ambient
// or erroneous reads form two groups on a log scale: many barcodes with a few
// reads each, and the cells, tens to hundreds of thousands of reads each.
// Between the two groups log read counts are rarer: the rule finds that
// valley and calls every barcode above it a cell.
//
// The rule: take log10(reads) of every barcode with reads and smooth their
// distribution with a Gaussian kernel (bandwidth by Silverman's rule, at
// least 0.1 decade), each count c spread over the logarithms of
// [c - 1/2, c + 1/2], so that the gaps between 1, 2 and 3 reads on a log
// scale do not read as valleys.  Among its local minima take the deepest:
// the one whose lower flanking peak stands highest above it, counted in
// barcodes.  That peak must stand at least 10% above it, or the distribution
// is taken for one group and no cells are called.
// The threshold is the read count at that minimum, rounded up.
//
// It assumes what a droplet run gives: cells hold many times the reads of
// empty droplets, and there are enough of each for both groups to show
// (dozens of cells at least).  Where small cells reach down among the ambient
// barcodes the valley is shallow, and cells below it are lost; the knee plot
// shows where the threshold fell.
#ifndef VELMORA_PIPELINE_CELLS_H
#define VELMORA_PIPELINE_CELLS_H

#include <cstdint>
#include <vector>

namespace velmora_pipeline {

struct cell_call {
    bool found = false;     // a valley was found
    uint64_t threshold = 0; // barcodes with at least this many reads are cells
    uint64_t cells = 0;     // barcodes called cells
    uint64_t reads_in_cells = 0;
};

// Calls cells from the reads of every barcode (zeros are barcodes without
// reads and ignored).
cell_call call_cells(const std::vector<uint64_t> &reads_per_barcode);

}  // namespace velmora_pipeline

#endif
