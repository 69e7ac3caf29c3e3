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

step edit_search_one(probe_sink *s, const query_facts &q) noexcept {
    const uint64_t code = q.code;
    const uint64_t len = q.len;
    // All keys in probing order: own, substitutions, deletions.  Deleting
    // base p or base p' gives the same sequence only when every base from p
    // to p' is equal, so repeated deletions come in a row and are dropped.
    // Keys of a length no reference has are not even formed.
    key_batch batch;
    key_batch_start(&batch, s->index, probe_visit_take, s, KEY_BATCH_MAX);
    if (index_has_length(s->index, len)) {
        (void)key_batch_add(&batch, code, len);
        for (uint64_t p = 0; p < len; ++p) {
            const uint64_t here = (code >> (2 * p)) & 3;
            for (uint64_t b = 0; b < 4; ++b) {
                if (b != here) (void)key_batch_add(&batch, dna2_with_base(code, p, b), len);
            }
        }
    }
    const size_t own_end = batch.count > 0 ? 1 : 0;
    const size_t same_len_end = batch.count;
    if (len > 0 && index_has_length(s->index, len - 1)) {
        for (uint64_t p = 0; p < len; ++p) {
            const uint64_t variant = dna2_delete_base(code, p);
            if (batch.count > same_len_end && batch.codes[batch.count - 1] == variant) continue;
            (void)key_batch_add(&batch, variant, len - 1);
        }
    }

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
    const uint64_t code = q.code;
    const uint64_t len = q.len;
    if (index_has_length(ix, len)) {
        index_filter_prefetch(ix, index_key_hash(code, len));
        for (uint64_t p = 0; p < len; ++p) {
            const uint64_t here = (code >> (2 * p)) & 3;
            for (uint64_t b = 0; b < 4; ++b) {
                if (b != here) index_filter_prefetch(ix, index_key_hash(dna2_with_base(code, p, b), len));
            }
        }
    }
    if (len > 0 && index_has_length(ix, len - 1)) {
        for (uint64_t p = 0; p < len; ++p)
            index_filter_prefetch(ix, index_key_hash(dna2_delete_base(code, p), len - 1));
    }
    if (ix->del_bucket_count != 0 && index_has_length(ix, len + 1))
        __builtin_prefetch(&ix->del_offsets[index_key_hash(code, len) & (ix->del_bucket_count - 1)]);
}

}  // namespace velmora
