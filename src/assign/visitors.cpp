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
step index_visit_one_edit_codes(uint64_t code, uint64_t len, edit_code_visitor visitor,
                                   void *ctx) noexcept {
    VELMORA_ASSERT(len <= DNA2_MAX_LEN);
    if (len > DNA2_MAX_LEN) return step::go_on;
    for (uint64_t p = 0; p < len; ++p) {
        const uint64_t here = (code >> (2 * p)) & 3;
        for (uint64_t b = 0; b < 4; ++b) {
            if (b == here) continue;
            const step r = visitor(dna2_with_base(code, p, b), len, ctx);
            if (r != step::go_on) return r;
        }
    }
    for (uint64_t p = 0; p < len; ++p) {
        const step r = visitor(dna2_delete_base(code, p), len - 1, ctx);
        if (r != step::go_on) return r;
    }
    if (len < DNA2_MAX_LEN) {
        for (uint64_t p = 0; p <= len; ++p) {
            for (uint64_t b = 0; b < 4; ++b) {
                const step r = visitor(dna2_insert_base(code, p, b), len + 1, ctx);
                if (r != step::go_on) return r;
            }
        }
    }
    return step::go_on;
}

namespace {

step k2_add_key(uint64_t code, uint64_t len, void *batch) noexcept {
    return key_batch_add(static_cast<key_batch *>(batch), code, len);
}

}  // namespace

step k2_probe_around(probe_sink *s, uint64_t code, uint64_t len, bool with_self) noexcept {
    if (s->index->key_slot_count == 0) return step::go_on;  // nothing to find by code
    key_batch batch;
    key_batch_start(&batch, s->index, probe_visit_take, s);
    step r = with_self ? key_batch_add(&batch, code, len) : step::go_on;
    if (r == step::go_on) r = index_visit_one_edit_codes(code, len, k2_add_key, &batch);
    return r != step::go_on ? r : key_batch_flush(&batch);
}

}  // namespace velmora
