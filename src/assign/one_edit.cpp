// One-edit neighbor search of an encodable query (k = 1).
//
// Every reference within one edit of an A/C/G/T query of at most 32 bases is
// reached by exactly one route, so only those references are measured:
//
//   equal               the query's own key
//   one substitution    each substitution variant
//   one base longer     the deletion table, or the insertion variants when
//                       the build left the table out (index/probe.h)
//   one base shorter    each deletion variant
//   not encodable       scan of the non-encodable references, window 1
//
// Status-only mode may stop as soon as the status is settled: an exact match
// makes every later hit farther than the best, and without one every hit is
// at distance 1 (a non-encodable reference never equals an encodable query),
// so a second hit already makes the query ambiguous.
#include "assign/assign_internal.h"

namespace velmora {

size_t edit_one_keys(key_batch *b, uint64_t code, uint64_t len, bool with_insertions) noexcept {
    const vorn_index *ix = b->index;
    if (index_has_length(ix, len)) {
        (void)key_batch_add(b, code, len);
        for (uint64_t p = 0; p < len; ++p) {
            const uint64_t here = (code >> (2 * p)) & 3;
            for (uint64_t x = 0; x < 4; ++x) {
                if (x != here) (void)key_batch_add(b, dna2_with_base(code, p, x), len);
            }
        }
    }
    const size_t deletions = b->count;
    // Deleting base p gives the same sequence as deleting p - 1 when the two
    // are equal; inserting x before p the same as before p - 1 when base
    // p - 1 is x.  Only the first of such a run is looked up.
    if (len > 0 && index_has_length(ix, len - 1)) {
        for (uint64_t p = 0; p < len; ++p) {
            if (p == 0 || ((code >> (2 * p)) & 3) != ((code >> (2 * p - 2)) & 3))
                (void)key_batch_add(b, dna2_delete_base(code, p), len - 1);
        }
    }
    if (with_insertions && len < DNA2_MAX_LEN && index_has_length(ix, len + 1)) {
        for (uint64_t p = 0; p <= len; ++p) {
            for (uint64_t x = 0; x < 4; ++x) {
                if (p == 0 || ((code >> (2 * p - 2)) & 3) != x)
                    (void)key_batch_add(b, dna2_insert_base(code, p, x), len + 1);
            }
        }
    }
    return deletions;
}

step edit_search_one(probe_sink *s, const query_facts &q) noexcept {
    const uint64_t code = q.code;
    const uint64_t len = q.len;
    // Own, substitutions, deletions, walked in that order; the references one
    // base longer come between substitutions and deletions.
    key_batch batch;
    key_batch_start(&batch, s->index, probe_visit_take, s, KEY_BATCH_MAX);
    const size_t same_len_end = edit_one_keys(&batch, code, len, false);
    const size_t own_end = same_len_end > 0 ? 1 : 0;

    // The status-only form usually stops at the own key (an exact match), so
    // it requests the other slots only when it goes on.
    const bool stop = s->stop_when_ambiguous;
    key_batch_request(&batch, 0, stop ? own_end : batch.count);
    step r = key_batch_walk(&batch, 0, own_end);
    if (r != step::go_on) return r;
    // Every hit of the own key is identical to the query: with one, no later
    // hit can be as close, and the status-only answer is settled.
    if (stop && s->result->best_distance == 0) return step::stop;
    if (stop) key_batch_request(&batch, own_end, batch.count);
    index_longer_prefetch(s->index, code, len);

    r = key_batch_walk(&batch, own_end, same_len_end);
    if (r != step::go_on) return r;
    r = probe_longer_references(s, code, len);
    if (r != step::go_on) return r;
    r = key_batch_walk(&batch, same_len_end, batch.count);
    if (r != step::go_on) return r;
    return probe_nonencodable(s, 1, true);
}

void edit_warm_one(const vorn_index *ix, const query_facts &q) noexcept {
    // Adding the keys requests their filter blocks; nothing is walked.
    key_batch batch;
    key_batch_start(&batch, ix, probe_visit_take, nullptr, KEY_BATCH_MAX);
    edit_one_keys(&batch, q.code, q.len, false);
    index_longer_prefetch(ix, q.code, q.len);
}

step k2_probe_around(probe_sink *s, uint64_t code, uint64_t len) noexcept {
    key_batch batch;
    key_batch_start(&batch, s->index, probe_visit_take, s, KEY_BATCH_MAX);
    edit_one_keys(&batch, code, len, true);
    return key_batch_flush(&batch);
}

}  // namespace velmora
