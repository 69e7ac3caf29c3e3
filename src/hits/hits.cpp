// Listing every reference within k of one query.  The listing runs the same
// searches as the assignment entry points, with the hit list attached to
// their pipeline, so the listed set is exactly the set a record's hit_count
// counts: the edit routes for k = 1 and 2, the Hamming routes for k = 1 to 3,
// the key table for k = 0, and a pass over every reference where no route
// serves the query.  The hits are then ordered by (distance, position).
//
// The rescue's windows (the read prefixes its alignments may end at) are
// searched as one: the fixed window's route first, counted as the record's
// search, then the other windows' routes on the same sink, so that a
// reference any of them reaches is taken up once and measured once against
// every window (index/probe.h), into one list.
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

// Every reference once, measured directly: the search where no route serves
// the query.
bool hits_every_reference(probe_sink *s) noexcept {
    for (uint64_t r = 0; r < s->index->n_refs; ++r) {
        if (probe_measure(s, r) != VISIT_CONTINUE) return false;
    }
    return true;
}

// The search of a started sink's query (k > 0); false when working memory
// ran out.
bool hits_search(probe_sink *s, uint32_t metric) noexcept {
    if (metric == VORN_METRIC_HAMMING) {
        if (s->query_len > DNA2_MAX_LEN) return hamming_full_scan(s) == VISIT_CONTINUE;
        return hamming_search(s) == VISIT_CONTINUE;
    }
    uint64_t code = 0;
    const bool encodable = dna2_code(s->query, s->query_len, &code) != 0;
    const edit_route route = edit_route_for(s->query, s->query_len, encodable, s->k);
    if (route != EDIT_ROUTE_NONE) return edit_run_route(s, route, code) == PATH_DONE;
    return hits_every_reference(s);
}

}  // namespace

bool index_hits_list(const vorn_index *ix, const uint8_t *query, size_t len, uint32_t metric,
                     int32_t k, probe_hits *list, vorn_stats *stats) noexcept {
    if (ix->n_refs == 0) return true;
    vorn_match record;
    if (k == 0) {
        // The record's exact lookup, for its counters only.
        if (stats != nullptr) index_assign_exact_one_impl(ix, query, len, &record, stats, dna2_code, 0);
        return hits_exact(ix, query, len, list);
    }
    probe_sink sink;
    const uint32_t probe_metric = metric == VORN_METRIC_HAMMING ? PROBE_HAMMING : PROBE_EDIT;
    probe_sink_start(&sink, ix, query, len, k, probe_metric, &record, stats, 0, list);
    return hits_search(&sink, metric);
}

bool index_hits_exact_unique(const probe_hits &list) noexcept {
    size_t exact = 0;
    for (size_t i = 0; i < list.size(); ++i) exact += list[i].distance == 0;
    return exact == 1;
}

bool index_hits_windows(const vorn_index *ix, const uint8_t *read, size_t shortest,
                        size_t longest, size_t fixed, int32_t k, probe_hits *near,
                        probe_hits *at_fixed, bool *exact_unique, vorn_stats *stats) noexcept {
    *exact_unique = false;
    if (ix->n_refs == 0) return true;
    probe_windows w;
    probe_windows_start(&w, read, shortest, longest, fixed, at_fixed);
    // The route of the window of len bytes, and its code.
    const auto route_of = [&](size_t len, uint64_t *code) {
        *code = 0;
        const bool encodable = probe_window_code(w, len, code);
        return edit_route_for(read, len, encodable, k);
    };
    // The other windows' first memory reads are requested now, so that they
    // overlap the fixed window's search.
    bool every_routed = true;
    for (size_t len = shortest; len <= longest; ++len) {
        uint64_t code;
        const edit_route route = route_of(len, &code);
        every_routed &= route != EDIT_ROUTE_NONE;
        if (len != fixed) edit_warm(ix, route, code, len);
    }
    vorn_match record;
    probe_sink sink;
    probe_sink *s = &sink;
    probe_sink_start(s, ix, read, fixed, k, PROBE_EDIT, &record, stats, 0, near);
    s->windows = &w;
    // The fixed window's own search, counted as the record's: every
    // reference it takes up is measured against all the windows (brute force
    // measures every one).
    uint64_t code;
    const edit_route fixed_route = route_of(fixed, &code);
    if (fixed_route == EDIT_ROUTE_NONE ? !hits_every_reference(s)
                                       : edit_run_route(s, fixed_route, code) != PATH_DONE)
        return false;
    if (index_hits_exact_unique(*at_fixed)) {
        *exact_unique = true;
        return true;
    }
    if (fixed_route == EDIT_ROUTE_NONE) return true;
    w.fixed_hits = nullptr;
    if (!every_routed) {
        // Some window needs every reference: measured once each, from scratch.
        near->set_size(0);
        probe_sink_retarget(s, read, fixed, false, 0, &record, nullptr);
        return hits_every_reference(s);
    }
    // The other windows' routes, sharing the references taken up, so that
    // each is measured once whichever windows reach it.
    for (size_t len = shortest; len <= longest; ++len) {
        if (len == fixed) continue;
        const edit_route route = route_of(len, &code);
        probe_sink_retarget(s, read, len, probe_window_code(w, len, &code), code, &record, nullptr);
        if (edit_run_route(s, route, code) != PATH_DONE) return false;
    }
    return true;
}

void index_hits_sort(probe_hits *list) noexcept {
    std::sort(list->begin(), list->end(), [](const vorn_hit &a, const vorn_hit &b) {
        return a.distance != b.distance ? a.distance < b.distance : a.ref_index < b.ref_index;
    });
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
    probe_hits list;
    if (!index_hits_list(index, query, query_len, metric, k, &list, nullptr)) {
        *n_hits = 0;
        return -2;
    }
    index_hits_sort(&list);
    const size_t written = std::min(list.size(), capacity);
    for (size_t i = 0; i < written; ++i) hits[i] = list[i];
    *n_hits = list.size();
    return 0;
}
