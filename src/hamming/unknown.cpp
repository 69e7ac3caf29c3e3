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
step hamming_probe_neighborhood(probe_sink *s, uint64_t code, size_t len,
                                    int32_t budget) noexcept {
    if (len == 0 || budget <= 0) return probe_key(s, code, len);
    key_batch batch;
    key_batch_start(&batch, s->index, probe_visit_take, s);
    if (key_batch_add_substitutions(&batch, code, len, budget) != step::go_on) {
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
