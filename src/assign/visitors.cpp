// The code enumeration the edit paths share, and the two-edit probing step
// built on it.
//
// A probe is always a whole (code, length) key of the key table, usually an
// edit variant of the query's code; the reference found is then measured
// with the bounded distance test against the query bytes (index/probe.h), so
// a recorded distance is exact whatever route led to the reference.  The
// enumeration does not de-duplicate its variants (a run of equal bases yields
// the same deletion once per base): the candidate set does, so a repeated key
// costs a slot lookup but never a second distance computation.
#include "assign/assign_internal.h"
#include "common.h"

namespace velmora {

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

namespace {

// The keys of one code and its one-edit variants: at most 1 + 3L + L +
// 4(L + 1) for L <= 31, and 1 + 4L for L = 32 (no insertions there).
constexpr size_t K2_BATCH_KEYS = 1 + 8 * DNA2_MAX_LEN;

struct k2_key_batch {
    uint64_t codes[K2_BATCH_KEYS];
    uint8_t lens[K2_BATCH_KEYS];
    size_t count;
};

int32_t k2_collect_key(uint64_t code, uint64_t len, void *ctx) noexcept {
    k2_key_batch *batch = static_cast<k2_key_batch *>(ctx);
    VELMORA_ASSERT(batch->count < K2_BATCH_KEYS);
    if (batch->count >= K2_BATCH_KEYS) return VISIT_OUT_OF_MEMORY;
    batch->codes[batch->count] = code;
    batch->lens[batch->count] = static_cast<uint8_t>(len);
    batch->count += 1;
    return VISIT_CONTINUE;
}

}  // namespace

int32_t k2_probe_around(probe_sink *s, uint64_t code, uint64_t len, bool with_self) noexcept {
    if (s->index->key_slot_count == 0) return VISIT_CONTINUE;  // nothing to find by code
    k2_key_batch batch;
    batch.count = 0;
    if (with_self) k2_collect_key(code, len, &batch);
    if (index_visit_one_edit_codes(code, len, k2_collect_key, &batch) != VISIT_CONTINUE) {
        return VISIT_OUT_OF_MEMORY;
    }
    return probe_keys(s, batch.codes, batch.lens, batch.count);
}

}  // namespace velmora
