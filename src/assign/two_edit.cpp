// Two-edit assignment of an encodable query (at most 32 bases, A/C/G/T only).
//
// Every encodable reference within two edits has a code reachable from the
// query code by two one-edit steps, deletion first when the pair is an
// insertion and a deletion, so no intermediate code needs more than 32 bases.
// The one-edit enumeration is therefore run twice, nested: each first-level
// variant is looked up and immediately followed by all of its own variants.
// That covers distances 0, 1 and 2 with many repeated probes; the candidate
// set makes sure each reference is measured and counted once.  References
// without a code (a foreign byte, or more than 32 bytes) are taken from the
// list of non-encodable references within a length window of 2.
//
// About 64 L^2 probes for L bases, most of them empty buckets; no allocation
// while the candidates of a query stay within the set's inline storage.
#include "assign/assign_internal.h"
#include "match/match_record.h"

namespace velmora {

int32_t index_assign_neighbor_two_impl(const vorn_index *index, const uint8_t *query,
                                       size_t len, uint64_t code, vorn_match *result,
                                       vorn_stats *stats, uint32_t stop_when_ambiguous) noexcept {
    match_reset(result, VORN_STATUS_NONE);
    if (index->n_refs == 0) return PATH_DONE;

    candidate_seen_scope seen;
    int32_t best_count = 0;
    k2_visit_ctx ctx{index, &seen.set, query, len, result, &best_count, stats,
                     stop_when_ambiguous};

    if (index_visit_exact_seed_candidates(index, code, len, &seen.set, query, len, 2, result,
                                          &best_count, stats, stop_when_ambiguous) != 0) {
        return PATH_DECLINED;
    }
    // Two references equal to the query settle the status-only answer; a
    // single exact match does not, because a second one may still follow.
    if (stop_when_ambiguous != 0 && best_count >= 2) {
        match_finish(result, best_count);
        return PATH_DONE;
    }
    const int32_t r = index_visit_one_edit_codes(code, len, visit_k2_first_edit_code, &ctx);
    if (r < 0) return PATH_DECLINED;
    // A positive result means the search stopped on ambiguity: the scan could
    // only add hits the status-only answer does not need.
    return index_finish_two_edit_search(&ctx, r > 0);
}

}  // namespace velmora
