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

namespace {

// The references of one key, from the first entry r of its bucket's chain.
// Chains also hold other keys that share the bucket; "A" and "AA" both have
// code 0, so the length is part of the key.  The code is compared first: it
// rejects almost every foreign entry with a single load.
int32_t index_walk_seed_chain(const vorn_index *index, uint64_t r, uint64_t code, uint64_t len,
                              candidate_seen_set *seen, const uint8_t *query, size_t query_len,
                              uint32_t k, vorn_match *result, int32_t *best_count,
                              vorn_stats *stats, uint32_t stop_when_ambiguous) noexcept {
    for (; r != INDEX_NONE; r = index->code_next[r]) {
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

}  // namespace

int32_t index_visit_exact_seed_candidates(const vorn_index *index, uint64_t code, uint64_t len,
                                          candidate_seen_set *seen, const uint8_t *query,
                                          size_t query_len, uint32_t k, vorn_match *result,
                                          int32_t *best_count, vorn_stats *stats,
                                          uint32_t stop_when_ambiguous) noexcept {
    // An index without references has no code table at all.
    if (index->code_bucket_count == 0) return VISIT_CONTINUE;
    const uint64_t bucket = index_code_bucket(code, len, index->code_bucket_count);
    return index_walk_seed_chain(index, index->code_heads[bucket], code, len, seen, query,
                                 query_len, k, result, best_count, stats, stop_when_ambiguous);
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

namespace {

// The keys of one first-level variant: the variant itself, then its own
// one-edit variants in enumeration order.  At most 1 + 3L + L + 4(L + 1)
// for L <= 31, and 1 + 4L for L = 32 (no insertions there).
constexpr size_t K2_BATCH_KEYS = 1 + 8 * DNA2_MAX_LEN;

struct k2_key_batch {
    uint64_t codes[K2_BATCH_KEYS];
    uint64_t lens[K2_BATCH_KEYS];
    uint64_t heads[K2_BATCH_KEYS];  // bucket, then the first chain entry
    size_t count;
};

int32_t k2_collect_key(uint64_t code, uint64_t len, void *ctx) noexcept {
    k2_key_batch *batch = static_cast<k2_key_batch *>(ctx);
    VELMORA_ASSERT(batch->count < K2_BATCH_KEYS);
    if (batch->count >= K2_BATCH_KEYS) return VISIT_OUT_OF_MEMORY;
    batch->codes[batch->count] = code;
    batch->lens[batch->count] = len;
    batch->count += 1;
    return VISIT_CONTINUE;
}

// An empty chain reads as entry 0 for the prefetches, without a branch.
inline uint64_t k2_entry_or_zero(uint64_t e) noexcept {
    return e & (uint64_t{0} - static_cast<uint64_t>(e != INDEX_NONE));
}

}  // namespace

// First level of the two-edit search: probe this variant itself, then every
// one-edit variant of it, before the enumeration moves to the next variant.
// Nearly every probe of a large index misses the cache, and the probes do
// not depend on each other: all keys of the variant are listed and their
// bucket heads, then their first chain entries, are fetched together before
// the chains are walked in the listed order, so the visits (and the point
// where the status-only form stops) are those of probing one key at a time.
// An empty bucket is skipped: probing it changes nothing.
int32_t visit_k2_first_edit_code(uint64_t code, uint64_t len, void *ctx) noexcept {
    const k2_visit_ctx *c = static_cast<const k2_visit_ctx *>(ctx);
    const vorn_index *index = c->index;
    const uint64_t buckets = index->code_bucket_count;
    if (buckets == 0) return VISIT_CONTINUE;  // no references, nothing to find
    k2_key_batch batch;
    batch.count = 0;
    k2_collect_key(code, len, &batch);
    if (index_visit_one_edit_codes(code, len, k2_collect_key, &batch) != VISIT_CONTINUE) {
        return VISIT_OUT_OF_MEMORY;
    }
    for (size_t i = 0; i < batch.count; ++i) {
        batch.heads[i] = index_code_bucket(batch.codes[i], batch.lens[i], buckets);
        __builtin_prefetch(&index->code_heads[batch.heads[i]]);
    }
    for (size_t i = 0; i < batch.count; ++i) {
        batch.heads[i] = index->code_heads[batch.heads[i]];
        const uint64_t r = k2_entry_or_zero(batch.heads[i]);
        __builtin_prefetch(&index->ref_codes[r]);
        __builtin_prefetch(&index->code_next[r]);
    }
    for (size_t i = 0; i < batch.count; ++i) {
        if (batch.heads[i] == INDEX_NONE) continue;
        if (index_walk_seed_chain(index, batch.heads[i], batch.codes[i], batch.lens[i], c->seen,
                                  c->query, c->query_len, 2, c->result, c->best_count, c->stats,
                                  c->stop_when_ambiguous) != VISIT_CONTINUE) {
            return VISIT_OUT_OF_MEMORY;
        }
        if (c->stop_when_ambiguous != 0 && *c->best_count > 1) return VISIT_STOP;
    }
    return VISIT_CONTINUE;
}

int32_t index_finish_two_edit_search(const k2_visit_ctx *ctx, bool stopped) noexcept {
    if (!stopped &&
        index_scan_nonencodable_seed_candidates(ctx->index, ctx->seen, ctx->query,
                                                ctx->query_len, ctx->result, ctx->best_count,
                                                ctx->stats, ctx->stop_when_ambiguous) < 0) {
        return PATH_DECLINED;
    }
    match_finish(ctx->result, *ctx->best_count);
    return PATH_DONE;
}

}  // namespace velmora
