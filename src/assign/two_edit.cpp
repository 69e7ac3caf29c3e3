// Two-edit search of an encodable query (at most 32 bases, A/C/G/T only).
//
// Every encodable reference within two edits has a code reachable from the
// query code by two one-edit steps, deletion first when the pair is an
// insertion and a deletion, so no intermediate code needs more than 32 bases.
// The one-edit enumeration is therefore run twice, nested: each first-level
// variant is looked up and immediately followed by all of its own variants
// (their slots fetched together).  That covers distances 0, 1 and 2 with many
// repeated keys; the candidate set makes sure each reference is measured and
// counted once.  References without a code (a foreign byte, or more than 32
// bytes) are taken from the non-encodable list within a length window of 2.
#include "assign/assign_internal.h"

namespace velmora {
namespace {

int32_t two_edit_first_level(uint64_t code, uint64_t len, void *ctx) noexcept {
    return k2_probe_around(static_cast<probe_sink *>(ctx), code, len, true);
}

}  // namespace

int32_t edit_search_two(probe_sink *s, uint64_t code) noexcept {
    const uint64_t len = s->query_len;
    int32_t r = probe_key(s, code, len);
    if (r != VISIT_CONTINUE) return r;
    // Two references equal to the query settle the status-only answer (the
    // step above stopped); a single exact match does not.
    r = index_visit_one_edit_codes(code, len, two_edit_first_level, s);
    if (r != VISIT_CONTINUE) return r;
    return probe_nonencodable(s, 2, true);
}

int32_t index_assign_neighbor_two_impl(const vorn_index *index, const uint8_t *query,
                                       size_t len, uint64_t code, vorn_match *result,
                                       vorn_stats *stats, uint32_t stop_when_ambiguous) noexcept {
    match_reset(result, VORN_STATUS_NONE);
    if (index->n_refs == 0) return PATH_DONE;
    probe_sink_scope scope;
    probe_sink_start(&scope.sink, index, query, len, 2, PROBE_EDIT, result, stats,
                     stop_when_ambiguous, nullptr);
    return edit_run_route(&scope.sink, EDIT_ROUTE_TWO, code);
}

}  // namespace velmora
