// The one search every index entry point runs: the query's facts are worked
// out once (index/probe.h), a route is chosen from one table by metric, bound
// and kind of query, and the route runs on a sink that the entry point set up
// (a record, a hit list, an early stop).  Where no route serves a query the
// full scan does, and it is also the fallback of a record whose route ran out
// of memory, so every record ends as brute force would leave it.
#ifndef VELMORA_SRC_SEARCH_SEARCH_H
#define VELMORA_SRC_SEARCH_SEARCH_H

#include <cstddef>
#include <cstdint>

#include "hamming/hamming_internal.h"
#include "index/probe.h"
#include "velmora.h"

namespace velmora {

// What a route is and may do.  run takes a started sink and returns
// step::go_on or step::stop (search over) or step::out_of_memory; record,
// when not null, writes a plain record (no hit list, no early stop) without
// a sink; warm requests (without reading) the memory its first probes will
// read, or is null.  may_stop is false for a route whose order is so far
// from distance order that the status-only form never stops it.
struct search_route {
    step (*run)(probe_sink *s, const query_facts &q) noexcept;
    void (*record)(const vorn_index *index, const query_facts &q, vorn_match *result,
                   vorn_stats *stats) noexcept;
    void (*warm)(const vorn_index *index, const query_facts &q) noexcept;
    bool may_stop;
};

// Whether an entry point takes the bound k under the metric (a VORN_METRIC_*
// code): any k >= 0 for edit distance, 0 to 3 for Hamming.
static inline bool search_bound_valid(uint32_t metric, int32_t k) noexcept {
    if (metric == VORN_METRIC_EDIT) return k >= 0;
    return metric == VORN_METRIC_HAMMING && k >= 0 && k <= HAMMING_MAX_K;
}

// The route of a query, or null where the full scan serves it.  metric is a
// VORN_METRIC_* code, k >= 0 (at most 3 for Hamming).
const search_route *search_route_for(uint32_t metric, int32_t k, const query_facts &q) noexcept;

// One query into a record: an empty index answers NONE, a route or the full
// scan does the rest.  stop_when_ambiguous asks for the status-only form.
void search_record(const vorn_index *index, const query_facts &q, uint32_t metric, int32_t k,
                   vorn_match *result, vorn_stats *stats, bool stop_when_ambiguous) noexcept;

}  // namespace velmora

#endif
