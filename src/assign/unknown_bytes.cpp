// Assignment of short queries (1 to 32 bytes) holding bytes other than the
// upper-case A, C, G, T, for k = 1 and k = 2.
//
// An encodable reference consists of A, C, G, T only, so each unknown byte of
// the query is substituted or deleted in any alignment with it and costs at
// least one edit.  With exactly one unknown byte at position u, an encodable
// reference within k edits is within k - 1 edits of one of five repairs: the
// query with A, C, G or T at u, or the query without u.  Those repairs are
// encodable and are searched in the code table; references without a code
// are scanned directly within the length window.  With two or more unknown
// bytes no encodable reference is within one edit, so the k = 1 path only
// scans, and the k = 2 path declines.
//
// Every candidate is measured against the real query (unknown byte included),
// so the recorded distances are exact.  The repairs are derived from the
// query's code with A at the unknown byte (its facts); nothing is allocated
// while the candidates stay within the set's inline storage.
#include "assign/assign_internal.h"
#include "common.h"

namespace velmora {
step edit_search_unknown_one(probe_sink *s, const query_facts &q) noexcept {
    const size_t len = q.len;
    const size_t u = q.unknown_at[0];
    if (q.unknown == 1) {
        // The five repairs' slots are requested together, then walked in order.
        const uint64_t base_code = q.code;
        key_batch batch;
        key_batch_start(&batch, s->index, probe_visit_take, s);
        for (uint64_t b = 0; b < 4; ++b) (void)key_batch_add(&batch, dna2_with_base(base_code, u, b), len);
        (void)key_batch_add(&batch, dna2_delete_base(base_code, u), len - 1);
        const step r = key_batch_flush(&batch);
        if (r != step::go_on) return r;
    }
    // Status-only mode ends at the second reference at the best distance.
    // Encodable hits are all at distance 1 here; a scanned reference equal
    // to the query can still come later, and is then missed: the early stop
    // trades that for not scanning.
    return probe_nonencodable(s, 1, true);
}

step edit_search_unknown_two(probe_sink *s, const query_facts &q) noexcept {
    const size_t len = q.len;
    const size_t u = q.unknown_at[0];
    // Each repair costs the unknown byte one edit, so one more edit is left:
    // the repair's own key, then its one-edit variants.
    const uint64_t base_code = q.code;
    for (uint64_t b = 0; b < 5; ++b) {
        const uint64_t probe = b < 4 ? dna2_with_base(base_code, u, b)
                                     : dna2_delete_base(base_code, u);
        const uint64_t probe_len = b < 4 ? len : len - 1;
        const step r = k2_probe_around(s, probe, probe_len);
        if (r != step::go_on) return r;
    }
    return probe_nonencodable(s, 2, true);
}

}  // namespace velmora
