// A batch's barcode windows as the decision takes them: the table's rows
// (names, upper-cased windows and their tails), each window's length and
// qualities, and what the decision leaves.  The single-window job holds one
// per batch, the read-structure job one per barcode segment.
#ifndef VELMORA_PIPELINE_WINDOWS_H
#define VELMORA_PIPELINE_WINDOWS_H

#include <cstddef>
#include <cstdint>
#include <vector>

#include "decide.h"
#include "table.h"
#include "velmora.h"

namespace velmora_pipeline {

struct window_batch {
    table_rows rows;
    std::vector<size_t> qual_off;
    std::vector<size_t> window_lens;
    std::vector<const uint8_t *> windows, quals;  // into rows.arena; null when the window does not fit
    std::vector<vorn_match> scratch;
    std::vector<read_decision> decisions;

    void clear_windows() {
        rows.clear();
        qual_off.clear();
        window_lens.clear();
    }
    // Pointers only once the arena has stopped moving.
    read_windows view() {
        const size_t n = rows.size();
        windows.resize(n);
        quals.resize(n);
        for (size_t i = 0; i < n; ++i) {
            const bool fits = rows.window_off[i] != SIZE_MAX;
            windows[i] = fits ? reinterpret_cast<const uint8_t *>(rows.arena.data() + rows.window_off[i]) : nullptr;
            quals[i] = fits ? reinterpret_cast<const uint8_t *>(rows.arena.data() + qual_off[i]) : nullptr;
        }
        return {windows.data(), window_lens.data(), rows.tail_len.data(), quals.data(), n};
    }
};

}  // namespace velmora_pipeline

#endif
