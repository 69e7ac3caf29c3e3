// Fast-path dispatch: the one place where the kind of query (2-bit code or
// not), the bound k and the state of the index meet.  Each route writes the
// whole record when it accepts a query; a route that runs out of memory, or
// a query no route serves, is left to the caller's brute-force fallback, so
// every row ends in the brute-force record.
//
//   k   query                                   route
//   0   any                                     exact lookup
//   1   encodable                               one-edit neighbors
//   1   1..32 bytes, some unknown               single unknown byte, k = 1
//   2   encodable                               two-edit neighbors
//   2   1..32 bytes, one unknown                single unknown byte, k = 2
//   2   33 or 34 bases                          long read
//   any otherwise                               none
#include "assign/assign_internal.h"
#include "match/match_record.h"

namespace velmora {

edit_route edit_route_for(const uint8_t *query, size_t len, bool encodable, int32_t k) noexcept {
    if (k == 1) {
        if (encodable) return EDIT_ROUTE_ONE;
        return edit_unknown_accepts(query, len, 1) ? EDIT_ROUTE_UNKNOWN_ONE : EDIT_ROUTE_NONE;
    }
    if (k == 2) {
        if (encodable) return EDIT_ROUTE_TWO;
        if (edit_unknown_accepts(query, len, 2)) return EDIT_ROUTE_UNKNOWN_TWO;
        return edit_long_read_accepts(query, len) ? EDIT_ROUTE_LONG_READ : EDIT_ROUTE_NONE;
    }
    return EDIT_ROUTE_NONE;
}

void edit_warm(const vorn_index *index, edit_route route, uint64_t code, uint64_t len) noexcept {
    if (route == EDIT_ROUTE_ONE) edit_warm_one(index, code, len);
    if (route == EDIT_ROUTE_TWO) edit_warm_two(index, code, len);
}

int32_t edit_search(const vorn_index *index, const uint8_t *query, size_t len, int32_t k,
                    edit_route route, uint64_t code, vorn_match *result, vorn_stats *stats,
                    uint32_t stop_when_ambiguous) noexcept {
    if (index->n_refs == 0) {
        match_reset(result, VORN_STATUS_NONE);
        return PATH_DONE;
    }
    probe_sink sink;
    probe_sink_start(&sink, index, query, len, k, PROBE_EDIT, result, stats, stop_when_ambiguous,
                     nullptr);
    return edit_run_route(&sink, route, code);
}

int32_t edit_run_route(probe_sink *s, edit_route route, uint64_t code) noexcept {
    int32_t r = VISIT_OUT_OF_MEMORY;
    switch (route) {
        case EDIT_ROUTE_ONE: r = edit_search_one(s, code); break;
        case EDIT_ROUTE_TWO: r = edit_search_two(s, code); break;
        case EDIT_ROUTE_UNKNOWN_ONE: r = edit_search_unknown_one(s); break;
        case EDIT_ROUTE_UNKNOWN_TWO: r = edit_search_unknown_two(s); break;
        case EDIT_ROUTE_LONG_READ: r = edit_search_long_read(s); break;
        case EDIT_ROUTE_NONE: break;
    }
    if (r == VISIT_OUT_OF_MEMORY) return PATH_DECLINED;
    match_finish(s->result, s->best_count);
    return PATH_DONE;
}

int32_t index_assign_fast_one(const vorn_index *index, const uint8_t *query, size_t len,
                              int32_t k, vorn_match *result, vorn_stats *stats) noexcept {
    if (index->n_refs == 0) {
        match_reset(result, VORN_STATUS_NONE);
        return PATH_DONE;
    }
    if (k == 0) {
        index_assign_exact_one_impl(index, query, len, result, stats, dna2_code, 0);
        return PATH_DONE;
    }
    // One pass decides encodability and builds the code; the empty query
    // (pointer possibly null) is encodable with code 0.
    uint64_t code = 0;
    const bool encodable = dna2_code(query, len, &code) != 0;
    return index_assign_path(index, query, len, edit_route_for(query, len, encodable, k), code,
                             result, stats, 0);
}

int32_t index_assign_path(const vorn_index *index, const uint8_t *query, size_t len,
                          edit_route route, uint64_t code, vorn_match *result, vorn_stats *stats,
                          uint32_t stop_when_ambiguous) noexcept {
    switch (route) {
        case EDIT_ROUTE_ONE:
            return index_assign_neighbor_one_impl(index, query, len, code, result, stats,
                                                  stop_when_ambiguous);
        case EDIT_ROUTE_TWO:
            return index_assign_neighbor_two_impl(index, query, len, code, result, stats,
                                                  stop_when_ambiguous);
        case EDIT_ROUTE_UNKNOWN_ONE:
            return index_assign_single_unknown_one(index, query, len, result, stats,
                                                   stop_when_ambiguous);
        case EDIT_ROUTE_UNKNOWN_TWO:
            return index_assign_single_unknown_two(index, query, len, result, stats,
                                                   stop_when_ambiguous);
        case EDIT_ROUTE_LONG_READ:
            // Its search order is not by distance, so it never stops early.
            return index_assign_neighbor_two_long_read(index, query, len, result, stats);
        case EDIT_ROUTE_NONE: break;
    }
    return PATH_DECLINED;
}

}  // namespace velmora
