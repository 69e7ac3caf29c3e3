// Fast-path dispatch: the one place where the kind of query (2-bit code or
// not), the bound k and the state of the index meet.  Each path writes the
// whole record when it accepts a query; a path that declines (no memory for
// its candidate set, or a query it does not serve) leaves the query to the
// caller's brute-force fallback, so every row ends in the brute-force record.
//
//   k   query                                   path
//   0   any                                     exact lookup
//   1   encodable                               one-edit neighbours
//   1   otherwise                               single unknown byte, k = 1
//   2   encodable                               two-edit neighbours
//   2   otherwise                               single unknown byte, k = 2,
//                                               then the long-read path
//   3+  any                                     none
#include "assign/assign_internal.h"
#include "match/match_record.h"

namespace velmora {

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
    if (dna2_code(query, len, &code) != 0) {
        if (k == 1) {
            return index_assign_neighbor_one_impl(index, query, len, code, result, stats, 0);
        }
        if (k == 2) {
            return index_assign_neighbor_two_impl(index, query, len, code, result, stats, 0);
        }
        return PATH_DECLINED;
    }
    if (k == 1) return index_assign_single_unknown_one(index, query, len, result, stats, 0);
    if (k == 2) {
        if (index_assign_single_unknown_two(index, query, len, result, stats, 0) != PATH_DECLINED) {
            return PATH_DONE;
        }
        return index_assign_neighbor_two_long_read(index, query, len, result, stats);
    }
    return PATH_DECLINED;
}

}  // namespace velmora
