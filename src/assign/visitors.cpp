// Edit-code visitors and seed candidates: the pieces every index path shares
// to turn a query into probe codes, find the references behind each code and
// measure them against the real query.
//
// A probe is always a whole (code, length) key of the code table, usually an
// edit variant of the query's code; the reference found is then measured
// with the bounded distance test against the query bytes, so a recorded
// distance is exact whatever route led to the reference.  The enumeration
// does not de-duplicate its variants (a run of equal bases yields the same
// deletion once per base): the candidate set does, so repeated probes cost a
// chain walk but never a second distance computation.
#include "assign/assign_internal.h"
#include "common.h"
#include "distance/distance_internal.h"
#include "match/match_record.h"

namespace velmora {

void index_update_verified(vorn_match *result, int32_t ref, uint32_t d,
                           int32_t *best_count) noexcept {
    match_apply_hit(result, static_cast<uint32_t>(ref), d, best_count);
}

int32_t index_verify_seed_candidate(const vorn_index *index, uint64_t ref,
                                    candidate_seen_set *seen, const uint8_t *query,
                                    size_t query_len, uint32_t k, vorn_match *result,
                                    int32_t *best_count, vorn_stats *stats) noexcept {
    const int32_t added = candidate_seen_add(seen, ref);
    if (added == 0) return VISIT_CONTINUE;
    if (added < 0) return VISIT_OUT_OF_MEMORY;
    if (stats != nullptr) stats->candidates += 1;
    const int32_t d = candidate_distance_within_k(query, query_len, index->ref_seqs[ref],
                                                  index->ref_lens[ref], static_cast<int32_t>(k));
    if (stats != nullptr) stats->verifications += 1;
    if (d < 0) return VISIT_CONTINUE;
    // Positions stay below 2^31, so the low 32 bits are the position.
    match_apply_hit(result, static_cast<uint32_t>(ref), static_cast<uint32_t>(d), best_count);
    return VISIT_CONTINUE;
}

int32_t index_visit_exact_seed_candidates(const vorn_index *index, uint64_t code, uint64_t len,
                                          candidate_seen_set *seen, const uint8_t *query,
                                          size_t query_len, uint32_t k, vorn_match *result,
                                          int32_t *best_count, vorn_stats *stats,
                                          uint32_t stop_when_ambiguous) noexcept {
    // An index without references has no code table at all.
    if (index->code_bucket_count == 0) return VISIT_CONTINUE;
    const uint64_t bucket = index_code_bucket(code, len, index->code_bucket_count);
    // Chains also hold other keys that share the bucket; "A" and "AA" both
    // have code 0, so the length is part of the key.  The code is compared
    // first: it rejects almost every foreign entry with a single load.
    for (uint64_t r = index->code_heads[bucket]; r != INDEX_NONE; r = index->code_next[r]) {
        if (index->ref_codes[r] != code || index->ref_lens[r] != len ||
            index->ref_encodable[r] == 0) {
            continue;
        }
        if (index_verify_seed_candidate(index, r, seen, query, query_len, k, result,
                                        best_count, stats) < 0) {
            return VISIT_OUT_OF_MEMORY;
        }
        if (stop_when_ambiguous != 0 && *best_count > 1) return VISIT_CONTINUE;
    }
    return VISIT_CONTINUE;
}

int32_t index_scan_nonencodable_seed_candidates(const vorn_index *index,
                                                candidate_seen_set *seen,
                                                const uint8_t *query, size_t query_len,
                                                vorn_match *result, int32_t *best_count,
                                                vorn_stats *stats,
                                                uint32_t stop_when_ambiguous) noexcept {
    for (uint64_t i = 0; i < index->nonenc_count; ++i) {
        const uint64_t r = index->nonenc_refs[i];
        const size_t ref_len = index->ref_lens[r];
        // Two edits change the length by two at most.
        const size_t gap = ref_len > query_len ? ref_len - query_len : query_len - ref_len;
        if (gap > 2) continue;
        if (index_verify_seed_candidate(index, r, seen, query, query_len, 2, result,
                                        best_count, stats) < 0) {
            return VISIT_OUT_OF_MEMORY;
        }
        if (stop_when_ambiguous != 0 && *best_count > 1) return VISIT_STOP;
    }
    return VISIT_CONTINUE;
}

// Substitutions, then deletions, then insertions (only while the result
// still fits in 32 bases).  The code helpers write the end terms as 0 where
// the plain formula would shift a 64-bit word by 64: a deletion at the last
// base of a 32-base code, an insertion after the last base of a 31-base one.
int32_t index_visit_one_edit_codes(uint64_t code, uint64_t len, edit_code_visitor visitor,
                                   void *ctx) noexcept {
    VELMORA_ASSERT(len <= DNA2_MAX_LEN);
    if (len > DNA2_MAX_LEN) return VISIT_CONTINUE;
    for (uint64_t p = 0; p < len; ++p) {
        const uint64_t here = (code >> (2 * p)) & 3;
        for (uint64_t b = 0; b < 4; ++b) {
            if (b == here) continue;
            const int32_t r = visitor(dna2_with_base(code, p, b), len, ctx);
            if (r != VISIT_CONTINUE) return r;
        }
    }
    for (uint64_t p = 0; p < len; ++p) {
        const int32_t r = visitor(dna2_delete_base(code, p), len - 1, ctx);
        if (r != VISIT_CONTINUE) return r;
    }
    if (len < DNA2_MAX_LEN) {
        for (uint64_t p = 0; p <= len; ++p) {
            for (uint64_t b = 0; b < 4; ++b) {
                const int32_t r = visitor(dna2_insert_base(code, p, b), len + 1, ctx);
                if (r != VISIT_CONTINUE) return r;
            }
        }
    }
    return VISIT_CONTINUE;
}

int32_t visit_k2_exact_code(uint64_t code, uint64_t len, void *ctx) noexcept {
    const k2_visit_ctx *c = static_cast<const k2_visit_ctx *>(ctx);
    if (index_visit_exact_seed_candidates(c->index, code, len, c->seen, c->query, c->query_len,
                                          2, c->result, c->best_count, c->stats,
                                          c->stop_when_ambiguous) != VISIT_CONTINUE) {
        return VISIT_OUT_OF_MEMORY;
    }
    if (c->stop_when_ambiguous != 0 && *c->best_count >= 2) return VISIT_STOP;
    return VISIT_CONTINUE;
}

// First level of the two-edit search: probe this variant itself, then every
// one-edit variant of it, before the enumeration moves to the next variant.
int32_t visit_k2_first_edit_code(uint64_t code, uint64_t len, void *ctx) noexcept {
    const k2_visit_ctx *c = static_cast<const k2_visit_ctx *>(ctx);
    if (index_visit_exact_seed_candidates(c->index, code, len, c->seen, c->query, c->query_len,
                                          2, c->result, c->best_count, c->stats,
                                          c->stop_when_ambiguous) != VISIT_CONTINUE) {
        return VISIT_OUT_OF_MEMORY;
    }
    if (c->stop_when_ambiguous != 0 && *c->best_count > 1) return VISIT_STOP;
    return index_visit_one_edit_codes(code, len, visit_k2_exact_code, ctx);
}

}  // namespace velmora
