// Replacement search: finds every encodable reference within k substitutions
// of a query of at most 32 bytes that holds bytes other than A/C/G/T.
//
// An encodable reference mismatches such a query at every unknown position,
// so it is within k exactly when, once the unknown bytes are replaced by the
// reference's own bases there, at most k - unknown_count further positions
// differ.  The search therefore tries all 4^unknown_count replacements (at
// most 64 working copies) and, for each, probes the code table with the
// copy's code and every code within the remaining budget (0 to 2
// substitutions).  Probes only generate candidates: each reference found is
// measured once, against the caller's bytes, and the candidate set keeps the
// overlapping probes of different copies from measuring or counting it again.
//
// Cost per copy: 1 probe for budget 0, 1 + 3L for budget 1 and
// 1 + 3L + 9L(L-1)/2 for budget 2, that is 4,561 at L = 32.  Nothing here
// allocates apart from the candidate set growing past its inline entries.
#include <cstddef>
#include <cstdint>

#include "assign/assign_internal.h"
#include "hamming/hamming_internal.h"
#include "index/index_internal.h"
#include "match/match_record.h"

namespace velmora {
namespace {

// Takes up every reference of the chain starting at r whose key is (code,
// query length).  Chains hold encodable references of every length, so the
// length is part of the key; the chain order (highest index first) does not
// matter because the update rule breaks ties by position.
inline int32_t hamming_walk_chain(uint64_t code, uint64_t r, hamming_visit_ctx *ctx) noexcept {
    const vorn_index *ix = ctx->index;
    const size_t len = ctx->query_len;
    for (; r != INDEX_NONE; r = ix->code_next[r]) {
        if (ix->ref_codes[r] != code || ix->ref_lens[r] != len || ix->ref_encodable[r] != 1) {
            continue;
        }
        const int32_t added = candidate_seen_add(ctx->seen, r);
        if (added < 0) return VISIT_OUT_OF_MEMORY;
        if (added == 0) continue;
        if (ctx->stats != nullptr) ctx->stats->candidates += 1;
        const int32_t d =
            hamming_distance_within_k(ctx->query, len, ix->ref_seqs[r], ix->ref_lens[r], ctx->k);
        if (ctx->stats != nullptr) ctx->stats->verifications += 1;
        if (d >= 0) {
            match_apply_hit(ctx->result, static_cast<uint32_t>(r), static_cast<uint32_t>(d),
                            ctx->best_count);
        }
    }
    return VISIT_CONTINUE;
}

inline int32_t hamming_probe_code(uint64_t code, hamming_visit_ctx *ctx) noexcept {
    const vorn_index *ix = ctx->index;
    const uint64_t bucket = index_code_bucket(code, ctx->query_len, ix->code_bucket_count);
    return hamming_walk_chain(code, ix->code_heads[bucket], ctx);
}

// Probes are independent hash lookups, and on a large index nearly each one
// misses the cache twice (bucket head, then the reference's code).  Codes are
// therefore generated into a small batch whose buckets and chain heads are
// prefetched before any chain is walked, so the misses overlap.  The batch is
// walked in generation order, so the visits are those of probing one by one.
inline constexpr size_t HAMMING_PROBE_BATCH = 64;

struct hamming_probe_batch {
    hamming_visit_ctx *ctx;
    size_t count;
    uint64_t codes[HAMMING_PROBE_BATCH];
    uint64_t heads[HAMMING_PROBE_BATCH];
};

int32_t hamming_probe_batch_flush(hamming_probe_batch *batch) noexcept {
    const vorn_index *ix = batch->ctx->index;
    const size_t len = batch->ctx->query_len;
    const size_t n = batch->count;
    batch->count = 0;
    for (size_t i = 0; i < n; ++i) {
        batch->heads[i] = index_code_bucket(batch->codes[i], len, ix->code_bucket_count);
        __builtin_prefetch(&ix->code_heads[batch->heads[i]]);
    }
    for (size_t i = 0; i < n; ++i) {
        const uint64_t r = ix->code_heads[batch->heads[i]];
        batch->heads[i] = r;
        if (r != INDEX_NONE) __builtin_prefetch(&ix->ref_codes[r]);
    }
    for (size_t i = 0; i < n; ++i) {
        if (batch->heads[i] == INDEX_NONE) continue;
        if (hamming_walk_chain(batch->codes[i], batch->heads[i], batch->ctx) != VISIT_CONTINUE) {
            return VISIT_OUT_OF_MEMORY;
        }
    }
    return VISIT_CONTINUE;
}

inline int32_t hamming_probe_batch_add(hamming_probe_batch *batch, uint64_t code) noexcept {
    batch->codes[batch->count++] = code;
    return batch->count == HAMMING_PROBE_BATCH ? hamming_probe_batch_flush(batch) : VISIT_CONTINUE;
}

// Probes code and its variants with up to `budget` (at most 2) substitutions,
// each code once: the second substitution only goes right of the first.
int32_t hamming_probe_neighbourhood(uint64_t code, size_t len, int32_t budget,
                                    hamming_visit_ctx *ctx) noexcept {
    if (len == 0 || budget <= 0) return hamming_probe_code(code, ctx);

    uint8_t base_at[DNA2_MAX_LEN];
    for (size_t p = 0; p < len; ++p) base_at[p] = static_cast<uint8_t>((code >> (2 * p)) & 3);

    hamming_probe_batch batch;
    batch.ctx = ctx;
    batch.count = 0;
    if (hamming_probe_batch_add(&batch, code) != VISIT_CONTINUE) return VISIT_OUT_OF_MEMORY;
    for (size_t p1 = 0; p1 < len; ++p1) {
        for (uint64_t b1 = 0; b1 < 4; ++b1) {
            if (b1 == base_at[p1]) continue;
            const uint64_t c1 = dna2_with_base(code, p1, b1);
            if (hamming_probe_batch_add(&batch, c1) != VISIT_CONTINUE) return VISIT_OUT_OF_MEMORY;
            if (budget < 2) continue;
            for (size_t p2 = p1 + 1; p2 < len; ++p2) {
                for (uint64_t b2 = 0; b2 < 4; ++b2) {
                    if (b2 == base_at[p2]) continue;
                    if (hamming_probe_batch_add(&batch, dna2_with_base(c1, p2, b2)) !=
                        VISIT_CONTINUE) {
                        return VISIT_OUT_OF_MEMORY;
                    }
                }
            }
        }
    }
    return hamming_probe_batch_flush(&batch);
}

}  // namespace

int32_t visit_hamming_unknown_code(uint64_t code, hamming_visit_ctx *ctx) noexcept {
    return hamming_probe_code(code, ctx);
}

int32_t visit_hamming_unknown_replacements(uint64_t depth,
                                           unknown_replacement_state *state) noexcept {
    if (depth < state->unknown_count) {
        static constexpr uint8_t kBases[4] = {'A', 'C', 'G', 'T'};
        const uint64_t p = state->positions[depth];
        for (uint8_t base : kBases) {
            state->work[p] = base;
            if (visit_hamming_unknown_replacements(depth + 1, state) != VISIT_CONTINUE) {
                return VISIT_OUT_OF_MEMORY;
            }
        }
        return VISIT_CONTINUE;
    }

    hamming_visit_ctx *ctx = state->ctx;
    const size_t len = ctx->query_len;
    uint64_t code = 0;
    // Every unknown byte has been replaced, so the copy always encodes; the
    // check keeps a broken precondition from probing with a garbage code.
    if (len > DNA2_MAX_LEN || !dna2_code(state->work, len, &code)) return VISIT_OUT_OF_MEMORY;
    return hamming_probe_neighbourhood(code, len, state->budget, ctx);
}

}  // namespace velmora
