// The hit listing for callers inside the library that also want the work of
// the search counted.
#ifndef VELMORA_SRC_HITS_INTERNAL_H
#define VELMORA_SRC_HITS_INTERNAL_H

#include <cstddef>
#include <cstdint>

#include "index/probe.h"
#include "velmora.h"

namespace velmora {

// The references within k of one query, unsorted, appended to list: what
// vorn_index_hits() lists, without its argument checks (the caller has made
// them).  Adds to *stats (when not null) what the record's search counts for
// the same query: vorn_index_assign_stats() for the edit metric,
// vorn_index_assign_hamming_stats() for Hamming; the two agree whenever this
// succeeds, since the listing runs the same searches.  false when working
// memory ran out.
bool index_hits_list(const vorn_index *index, const uint8_t *query, size_t len, uint32_t metric,
                     int32_t k, probe_hits *list, vorn_stats *stats) noexcept;

// The search over the windows of one read with the edit metric and k > 0:
// its prefixes of shortest to longest bytes, fixed among them.  The fixed
// window is searched first, its work added to *stats as index_hits_list
// counts it, and its hits go to *at_fixed.  When exactly one reference equals
// it, *exact_unique is set and the search ends there.  Otherwise the other
// windows' searches follow, uncounted, and *near gets every reference within
// k of some window once, at its least distance over them.  Each reference
// taken up is measured once against all the windows.  false when working
// memory ran out.
bool index_hits_windows(const vorn_index *index, const uint8_t *read, size_t shortest,
                        size_t longest, size_t fixed, int32_t k, probe_hits *near,
                        probe_hits *at_fixed, bool *exact_unique, vorn_stats *stats) noexcept;

// Whether exactly one hit lies at distance 0.
bool index_hits_exact_unique(const probe_hits &list) noexcept;

// Ascending distance, then ascending reference: the order of every listing.
void index_hits_sort(probe_hits *list) noexcept;

// Writes the first capacity hits of the list to hits and its length to
// *n_hits.
void index_hits_copy(const probe_hits &list, vorn_hit *hits, size_t capacity,
                     size_t *n_hits) noexcept;

}  // namespace velmora

#endif
