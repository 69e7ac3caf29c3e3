// The hit listing for callers inside the library that also want the work of
// the search counted.
#ifndef VELMORA_SRC_HITS_INTERNAL_H
#define VELMORA_SRC_HITS_INTERNAL_H

#include <cstddef>
#include <cstdint>

#include "velmora.h"

namespace velmora {

// vorn_index_hits() without the argument checks (the caller has made them),
// adding to *stats (when not null) what the record's search counts for the
// same query: vorn_index_assign_stats() for the edit metric,
// vorn_index_assign_hamming_stats() for Hamming.  The two agree whenever
// this returns 0, since the listing runs the same searches.
int32_t index_hits_counted(const vorn_index *index, const uint8_t *query, size_t query_len,
                           uint32_t metric, int32_t k, vorn_hit *hits, size_t capacity,
                           size_t *n_hits, vorn_stats *stats) noexcept;

}  // namespace velmora

#endif
