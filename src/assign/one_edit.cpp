// One-edit neighbour assignment of an encodable query (k = 1).
//
// Every reference within one edit of an A/C/G/T query of at most 32 bases is
// reached by exactly one route, so only those references are measured:
//
//   equal               the query's own key in the code table
//   one substitution    each substitution variant in the code table
//   one base longer     the query's key in the deletion table (references
//                       that become the query when one of their bases goes)
//   one base shorter    each deletion variant in the code table
//   not encodable       scan of the non-encodable references, window 1
//
// Status-only mode may stop as soon as the status is settled: an exact match
// makes every later hit farther than the best, and without one every hit is
// at distance 1 (a non-encodable reference never equals an encodable query),
// so a second hit already makes the query ambiguous.
#include "assign/assign_internal.h"
#include "distance/distance_internal.h"
#include "match/match_record.h"

namespace velmora {
namespace {

// Per-query state of the path; the set frees itself on every way out.
struct one_edit_query {
    const vorn_index *index;
    const uint8_t *query;
    size_t len;
    vorn_match *result;
    vorn_stats *stats;
    uint32_t stop;
    int32_t best_count;
    candidate_seen_scope seen;

    int32_t probe(uint64_t code, uint64_t code_len, uint32_t stop_flag) noexcept {
        return index_visit_exact_seed_candidates(index, code, code_len, &seen.set, query, len,
                                                 1, result, &best_count, stats, stop_flag);
    }

    // Measures a reference already admitted to the set.
    void measure(uint64_t r) noexcept {
        if (stats != nullptr) stats->candidates += 1;
        const int32_t d =
            candidate_distance_within_k(query, len, index->ref_seqs[r], index->ref_lens[r], 1);
        if (stats != nullptr) stats->verifications += 1;
        if (d >= 0) {
            index_update_verified(result, static_cast<int32_t>(r), static_cast<uint32_t>(d),
                                  &best_count);
        }
    }

    bool settled() const noexcept { return stop != 0 && best_count >= 2; }
};

// References one base longer than the query: their deletion-table entries
// carry the query's own key.  A reference with a run of equal bases has one
// entry per base of the run, all in this chain; the set measures it once.
int32_t one_edit_longer_references(one_edit_query *q, uint64_t code) noexcept {
    const vorn_index *index = q->index;
    if (index->del_bucket_count == 0) return VISIT_CONTINUE;
    const uint64_t bucket = index_code_bucket(code, q->len, index->del_bucket_count);
    for (uint64_t e = index->del_heads[bucket]; e != INDEX_NONE; e = index->del_next[e]) {
        if (index->del_lens[e] != q->len || index->del_codes[e] != code) continue;
        const uint64_t r = index->del_refs[e];
        const int32_t added = candidate_seen_add(&q->seen.set, r);
        if (added < 0) return VISIT_OUT_OF_MEMORY;
        if (added > 0) q->measure(r);
        if (q->settled()) return VISIT_STOP;
    }
    return VISIT_CONTINUE;
}

// References one base shorter: the deletion variants of the query.  Deleting
// base p or base p' gives the same sequence only when every base from p to p'
// is equal, so repeated variants come in a row and one comparison with the
// previous variant skips them all.
int32_t one_edit_shorter_references(one_edit_query *q, uint64_t code) noexcept {
    uint64_t previous = 0;
    for (uint64_t p = 0; p < q->len; ++p) {
        const uint64_t variant = dna2_delete_base(code, p);
        if (p > 0 && variant == previous) continue;
        previous = variant;
        if (q->probe(variant, q->len - 1, q->stop) < 0) return VISIT_OUT_OF_MEMORY;
        if (q->settled()) return VISIT_STOP;
    }
    return VISIT_CONTINUE;
}

// Non-encodable references whose length is within one of the query's.  No
// probe can have reached them, but they are recorded in the set like every
// other reference taken up for the query.
int32_t one_edit_nonencodable_references(one_edit_query *q) noexcept {
    const vorn_index *index = q->index;
    for (uint64_t i = 0; i < index->nonenc_count; ++i) {
        const uint64_t r = index->nonenc_refs[i];
        // The window is checked before the reference is recorded: a reference
        // outside it can never be a hit, and recording every one of them would
        // make each query allocate on an index with many long references.
        const size_t ref_len = index->ref_lens[r];
        if (ref_len > q->len + 1 || q->len > ref_len + 1) continue;
        const int32_t added = candidate_seen_add(&q->seen.set, r);
        if (added < 0) return VISIT_OUT_OF_MEMORY;
        if (added == 0) continue;
        q->measure(r);
        if (q->settled()) return VISIT_STOP;
    }
    return VISIT_CONTINUE;
}

// Runs every route in order; VISIT_STOP ends the search early (status-only
// mode), VISIT_OUT_OF_MEMORY declines the query.
int32_t one_edit_search(one_edit_query *q, uint64_t code) noexcept {
    if (q->probe(code, q->len, q->stop) < 0) return VISIT_OUT_OF_MEMORY;
    if (q->stop != 0 && q->result->best_distance == 0) return VISIT_STOP;

    for (uint64_t p = 0; p < q->len; ++p) {
        const uint64_t here = (code >> (2 * p)) & 3;
        for (uint64_t b = 0; b < 4; ++b) {
            if (b == here) continue;
            if (q->probe(dna2_with_base(code, p, b), q->len, q->stop) < 0) {
                return VISIT_OUT_OF_MEMORY;
            }
            if (q->settled()) return VISIT_STOP;
        }
    }

    int32_t r = one_edit_longer_references(q, code);
    if (r != VISIT_CONTINUE) return r;
    r = one_edit_shorter_references(q, code);
    if (r != VISIT_CONTINUE) return r;
    return one_edit_nonencodable_references(q);
}

}  // namespace

int32_t index_assign_neighbor_one_impl(const vorn_index *index, const uint8_t *query,
                                       size_t len, uint64_t code, vorn_match *result,
                                       vorn_stats *stats, uint32_t stop_when_ambiguous) noexcept {
    match_reset(result, VORN_STATUS_NONE);
    if (index->n_refs == 0) return PATH_DONE;

    one_edit_query q{index, query, len, result, stats, stop_when_ambiguous, 0, {}};
    if (one_edit_search(&q, code) == VISIT_OUT_OF_MEMORY) return PATH_DECLINED;
    match_finish(result, q.best_count);
    return PATH_DONE;
}

}  // namespace velmora
