// Listing every reference within k of one query.  The listing runs the same
// search as the assignment entry points (search/search.h), with the hit list
// attached to its sink, so the listed set is exactly the set a record's
// hit_count counts.  The hits are then ordered by (distance, position).
//
// The rescue's windows (the read prefixes its alignments may end at) are
// searched as one: the fixed window's route first, counted as the record's
// search, then the other windows' routes on the same sink, so that a
// reference any of them reaches is taken up once and measured once against
// every window (index/probe.h), into one list.
//
// This file sits above the search, which it drives; the search does not know
// about it.
#include <algorithm>

#include "hamming/hamming_internal.h"
#include "hits/hits_internal.h"
#include "index/index_internal.h"
#include "index/probe.h"
#include "search/search.h"

namespace velmora {

bool index_hits_list(const vorn_index *ix, const uint8_t *query, size_t len, uint32_t metric,
                     int32_t k, probe_hits *list, vorn_stats *stats) noexcept {
    if (ix->n_refs == 0) return true;
    query_facts q;
    query_facts_of(&q, query, len);
    const search_route *route = search_route_for(metric, k, q);
    vorn_match record;
    probe_sink sink;
    probe_sink_start(&sink, ix, q, k, metric, &record, stats, false, list);
    return (route != nullptr ? route->run(&sink, q) : probe_every_reference(&sink)) ==
           step::go_on;
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
    // The route of each window, from its facts.
    const auto facts_of = [&](size_t len, query_facts *q) {
        query_facts_of(q, read, len);
        return search_route_for(VORN_METRIC_EDIT, k, *q);
    };
    // The other windows' first memory reads are requested now, so that they
    // overlap the fixed window's search.
    bool every_routed = true;
    query_facts q;
    for (size_t len = shortest; len <= longest; ++len) {
        const search_route *route = facts_of(len, &q);
        every_routed &= route != nullptr;
        if (len != fixed && route != nullptr && route->warm != nullptr) route->warm(ix, q);
    }
    vorn_match record;
    probe_sink sink;
    probe_sink *s = &sink;
    const search_route *fixed_route = facts_of(fixed, &q);
    probe_sink_start(s, ix, q, k, VORN_METRIC_EDIT, &record, stats, false, near);
    s->windows = &w;
    // The fixed window's own search, counted as the record's: every
    // reference it takes up is measured against all the windows (brute force
    // measures every one).
    if ((fixed_route == nullptr ? probe_every_reference(s) : fixed_route->run(s, q)) !=
        step::go_on)
        return false;
    if (index_hits_exact_unique(*at_fixed)) {
        *exact_unique = true;
        return true;
    }
    if (fixed_route == nullptr) return true;
    w.fixed_hits = nullptr;
    if (!every_routed) {
        // Some window needs every reference: measured once each, from scratch.
        near->set_size(0);
        probe_sink_retarget(s, read, fixed, false, 0, &record, nullptr);
        return probe_every_reference(s) == step::go_on;
    }
    // The other windows' routes, sharing the references taken up, so that
    // each is measured once whichever windows reach it.
    for (size_t len = shortest; len <= longest; ++len) {
        if (len == fixed) continue;
        const search_route *route = facts_of(len, &q);
        probe_sink_retarget(s, read, len, q.encodable, q.code, &record, nullptr);
        if (route->run(s, q) != step::go_on) return false;
    }
    return true;
}

void index_hits_sort(probe_hits *list) noexcept {
    std::sort(list->begin(), list->end(), [](const vorn_hit &a, const vorn_hit &b) {
        return a.distance != b.distance ? a.distance < b.distance : a.ref_index < b.ref_index;
    });
}

void index_hits_copy(const probe_hits &list, vorn_hit *hits, size_t capacity,
                     size_t *n_hits) noexcept {
    for (size_t i = 0; i < list.size() && i < capacity; ++i) hits[i] = list[i];
    *n_hits = list.size();
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
    if (!search_bound_valid(metric, k)) return -1;
    probe_hits list;
    if (!index_hits_list(index, query, query_len, metric, k, &list, nullptr)) {
        *n_hits = 0;
        return -2;
    }
    index_hits_sort(&list);
    index_hits_copy(list, hits, capacity, n_hits);
    return 0;
}
