// Code-table searches of the Hamming routes: the neighborhood of a code
// within a substitution budget, and the replacement search for queries of at
// most 32 bytes that hold bytes other than A/C/G/T.
//
// An encodable reference mismatches such a query at every unknown position,
// so it is within k exactly when, once the unknown bytes are replaced by the
// reference's own bases there, at most k - unknown_count further positions
// differ.  The search therefore tries all 4^unknown_count replacements (at
// most 64 working codes) and, for each, probes the code and every code within
// the remaining budget.  Probes only generate candidates: each reference
// found is measured once, against the caller's bytes, and the candidate set
// keeps the overlapping probes of different replacements from measuring or
// counting it again.
//
// Cost per code: 1 probe for budget 0, 1 + 3L for budget 1, 1 + 3L +
// 9L(L-1)/2 for budget 2, and 27 L(L-1)(L-2)/6 more for budget 3 (the route
// of an index built without piece tables).
#include <cstddef>
#include <cstdint>

#include "hamming/hamming_internal.h"

namespace velmora {
namespace {

// Every code with exactly `left` more substitutions at positions from p on.
step substitute_from(key_batch *b, uint64_t code, const uint8_t *base_at, size_t len,
                        size_t from, int32_t left) noexcept {
    for (size_t p = from; p < len; ++p) {
        for (uint64_t x = 0; x < 4; ++x) {
            if (x == base_at[p]) continue;
            const uint64_t c = dna2_with_base(code, p, x);
            if (key_batch_add(b, c, len) != step::go_on) return step::out_of_memory;
            if (left > 1 && substitute_from(b, c, base_at, len, p + 1, left - 1) != step::go_on) {
                return step::out_of_memory;
            }
        }
    }
    return step::go_on;
}

}  // namespace

step hamming_probe_neighborhood(probe_sink *s, uint64_t code, size_t len,
                                    int32_t budget) noexcept {
    if (len == 0 || budget <= 0) return probe_key(s, code, len);
    uint8_t base_at[DNA2_MAX_LEN];
    for (size_t p = 0; p < len; ++p) base_at[p] = static_cast<uint8_t>((code >> (2 * p)) & 3);
    key_batch batch;
    key_batch_start(&batch, s->index, probe_visit_take, s);
    if (key_batch_add(&batch, code, len) != step::go_on) return step::out_of_memory;
    if (substitute_from(&batch, code, base_at, len, 0, budget) != step::go_on) {
        return step::out_of_memory;
    }
    return key_batch_flush(&batch);
}

step hamming_unknown_replacements(probe_sink *s, const query_facts &q) noexcept {
    const size_t len = q.len;
    const uint64_t unknown_count = q.unknown;
    // Replacement r puts base (r >> 2d) & 3 at the d-th unknown position of
    // the query's code (A at each), the first one changing slowest.
    const uint64_t copies = uint64_t{1} << (2 * unknown_count);
    const int32_t budget = s->k - static_cast<int32_t>(unknown_count);
    for (uint64_t r = 0; r < copies; ++r) {
        uint64_t c = q.code;
        for (uint64_t d = 0; d < unknown_count; ++d) {
            const uint64_t base = (r >> (2 * (unknown_count - 1 - d))) & 3;
            c = dna2_with_base(c, q.unknown_at[d], base);
        }
        if (hamming_probe_neighborhood(s, c, len, budget) != step::go_on) {
            return step::out_of_memory;
        }
    }
    return step::go_on;
}

}  // namespace velmora
