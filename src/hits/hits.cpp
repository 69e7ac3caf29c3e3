// Listing every reference within k of one query.  The listing runs the same
// searches as the assignment entry points, with the hit list attached to
// their pipeline, so the listed set is exactly the set a record's hit_count
// counts: the edit routes for k = 1 and 2, the Hamming routes for k = 1 to 3,
// the key table for k = 0, and a pass over every reference where no route
// serves the query.  The hits are then ordered by (distance, position).
//
// This file sits above both the edit and the Hamming assignment, which it
// drives; neither of them knows about it.
#include <algorithm>

#include "assign/assign_internal.h"
#include "common.h"
#include "hamming/hamming_internal.h"
#include "hits/hits_internal.h"
#include "index/index_internal.h"
#include "index/probe.h"

namespace velmora {
namespace {

// References identical to the query: its key, or the non-encodable ones of
// its length with the same bytes.
bool hits_exact(const vorn_index *ix, const uint8_t *query, size_t len, probe_hits *list) noexcept {
    uint64_t code = 0;
    if (dna2_code(query, len, &code)) {
        const key_slot *slot = index_key_find(ix, code, len);
        if (slot == nullptr) return true;
        uint32_t n = 0;
        const uint32_t *refs = index_key_refs(ix, slot, &n);
        for (uint32_t i = 0; i < n; ++i) {
            if (!list->push(vorn_hit{refs[i], 0})) return false;
        }
        return true;
    }
    for (uint64_t i = 0; i < ix->nonenc_count; ++i) {
        const uint32_t r = ix->nonenc_refs[i];
        if (index_ref_len(ix, r) == len && bytes_equal(index_ref_bytes(ix, r), query, len) &&
            !list->push(vorn_hit{r, 0})) {
            return false;
        }
    }
    return true;
}

// false when working memory ran out.
bool hits_collect(const vorn_index *ix, const uint8_t *query, size_t len, uint32_t metric,
                  int32_t k, probe_hits *list, vorn_stats *stats) noexcept {
    if (ix->n_refs == 0) return true;
    vorn_match record;
    if (k == 0) {
        // The record's exact lookup, for its counters only.
        if (stats != nullptr) index_assign_exact_one_impl(ix, query, len, &record, stats, dna2_code, 0);
        return hits_exact(ix, query, len, list);
    }
    probe_sink sink;
    probe_sink *s = &sink;
    const uint32_t probe_metric = metric == VORN_METRIC_HAMMING ? PROBE_HAMMING : PROBE_EDIT;
    probe_sink_start(s, ix, query, len, k, probe_metric, &record, stats, 0, list);
    if (metric == VORN_METRIC_HAMMING) {
        if (len > DNA2_MAX_LEN) return hamming_full_scan(s) == VISIT_CONTINUE;
        return hamming_search(s) == VISIT_CONTINUE;
    }
    uint64_t code = 0;
    const bool encodable = dna2_code(query, len, &code) != 0;
    const edit_route route = edit_route_for(query, len, encodable, k);
    if (route != EDIT_ROUTE_NONE) return edit_run_route(s, route, code) == PATH_DONE;
    // No route: every reference once.
    for (uint64_t r = 0; r < ix->n_refs; ++r) {
        if (probe_measure(s, r) != VISIT_CONTINUE) return false;
    }
    return true;
}

}  // namespace

int32_t index_hits_counted(const vorn_index *index, const uint8_t *query, size_t query_len,
                           uint32_t metric, int32_t k, vorn_hit *hits, size_t capacity,
                           size_t *n_hits, vorn_stats *stats) noexcept {
    probe_hits list;
    if (!hits_collect(index, query, query_len, metric, k, &list, stats)) {
        *n_hits = 0;
        return -2;
    }
    std::sort(list.begin(), list.end(), [](const vorn_hit &a, const vorn_hit &b) {
        return a.distance != b.distance ? a.distance < b.distance : a.ref_index < b.ref_index;
    });
    const size_t written = std::min(list.size(), capacity);
    for (size_t i = 0; i < written; ++i) hits[i] = list[i];
    *n_hits = list.size();
    return 0;
}

}  // namespace velmora

extern "C" VORN_API int32_t vorn_index_hits(const vorn_index *index, const uint8_t *query,
                                            size_t query_len, uint32_t metric, int32_t k,
                                            vorn_hit *hits, size_t capacity,
                                            size_t *n_hits) VORN_NOEXCEPT {
    using namespace velmora;
    if (index == nullptr || n_hits == nullptr) return -1;
    if (query == nullptr && query_len != 0) return -1;
    if (hits == nullptr && capacity != 0) return -1;
    if (metric == VORN_METRIC_EDIT) {
        if (k < 0) return -1;
    } else if (metric == VORN_METRIC_HAMMING) {
        if (k < 0 || k > HAMMING_MAX_K) return -1;
    } else {
        return -1;
    }
    return index_hits_counted(index, query, query_len, metric, k, hits, capacity, n_hits, nullptr);
}
