// One-edit neighbour assignment of an encodable query (k = 1).
//
// Every reference within one edit of an A/C/G/T query of at most 32 bases is
// reached by exactly one route, so only those references are measured:
//
//   equal               the query's own key in the code table
//   one substitution    each substitution variant in the code table
//   one base longer     the query's key in the deletion table (references
//                       that become the query when one of their bases goes)
//   one base shorter    each deletion variant in the code table
//   not encodable       scan of the non-encodable references, window 1
//
// Status-only mode may stop as soon as the status is settled: an exact match
// makes every later hit farther than the best, and without one every hit is
// at distance 1 (a non-encodable reference never equals an encodable query),
// so a second hit already makes the query ambiguous.
#include "assign/assign_internal.h"
#include "distance/distance_internal.h"
#include "match/match_record.h"

namespace velmora {
namespace {

// Per-query state of the path; the set frees itself on every way out.
struct one_edit_query {
    const vorn_index *index;
    const uint8_t *query;
    size_t len;
    vorn_match *result;
    vorn_stats *stats;
    uint32_t stop;
    int32_t best_count;
    candidate_seen_scope seen;


    // Measures a reference already admitted to the set.
    void measure(uint64_t r) noexcept {
        if (stats != nullptr) stats->candidates += 1;
        const int32_t d =
            candidate_distance_within_k(query, len, index->ref_seqs[r], index->ref_lens[r], 1);
        if (stats != nullptr) stats->verifications += 1;
        if (d >= 0) {
            index_update_verified(result, static_cast<int32_t>(r), static_cast<uint32_t>(d),
                                  &best_count);
        }
    }

    bool settled() const noexcept { return stop != 0 && best_count >= 2; }
};

// References one base longer than the query: their deletion-table entries
// carry the query's own key.  A reference with a run of equal bases has one
// entry per base of the run, all in this chain; the set measures it once.
int32_t one_edit_longer_references(one_edit_query *q, uint64_t code) noexcept {
    const vorn_index *index = q->index;
    if (index->del_bucket_count == 0) return VISIT_CONTINUE;
    const uint64_t bucket = index_code_bucket(code, q->len, index->del_bucket_count);
    for (uint64_t e = index->del_heads[bucket]; e != INDEX_NONE; e = index->del_next[e]) {
        if (index->del_lens[e] != q->len || index->del_codes[e] != code) continue;
        const uint64_t r = index->del_refs[e];
        const int32_t added = candidate_seen_add(&q->seen.set, r);
        if (added < 0) return VISIT_OUT_OF_MEMORY;
        if (added > 0) q->measure(r);
        if (q->settled()) return VISIT_STOP;
    }
    return VISIT_CONTINUE;
}

// Non-encodable references whose length is within one of the query's.  No
// probe can have reached them, but they are recorded in the set like every
// other reference taken up for the query.
int32_t one_edit_nonencodable_references(one_edit_query *q) noexcept {
    const vorn_index *index = q->index;
    for (uint64_t i = 0; i < index->nonenc_count; ++i) {
        const uint64_t r = index->nonenc_refs[i];
        // The window is checked before the reference is recorded: a reference
        // outside it can never be a hit, and recording every one of them would
        // make each query allocate on an index with many long references.
        const size_t ref_len = index->ref_lens[r];
        if (ref_len > q->len + 1 || q->len > ref_len + 1) continue;
        const int32_t added = candidate_seen_add(&q->seen.set, r);
        if (added < 0) return VISIT_OUT_OF_MEMORY;
        if (added == 0) continue;
        q->measure(r);
        if (q->settled()) return VISIT_STOP;
    }
    return VISIT_CONTINUE;
}

// Code-table keys of one query: its own, then the substitutions (same
// length), then the deletions (one base shorter).  Deleting base p or base p'
// gives the same sequence only when every base from p to p' is equal, so
// repeated deletion variants come in a row and one comparison with the
// previous variant skips them all.  heads[i] holds the bucket of key i, then
// the first entry of its chain.
struct one_edit_keys {
    uint64_t codes[1 + 4 * DNA2_MAX_LEN];
    uint64_t heads[1 + 4 * DNA2_MAX_LEN];
    size_t same_len_end;  // keys [0, same_len_end) have the query's length
    size_t count;
};

void one_edit_list_keys(one_edit_keys *keys, uint64_t code, uint64_t len) noexcept {
    size_t n = 0;
    keys->codes[n++] = code;
    for (uint64_t p = 0; p < len; ++p) {
        const uint64_t here = (code >> (2 * p)) & 3;
        for (uint64_t b = 0; b < 4; ++b) {
            if (b != here) keys->codes[n++] = dna2_with_base(code, p, b);
        }
    }
    keys->same_len_end = n;
    uint64_t previous = 0;
    for (uint64_t p = 0; p < len; ++p) {
        const uint64_t variant = dna2_delete_base(code, p);
        if (p > 0 && variant == previous) continue;
        previous = variant;
        keys->codes[n++] = variant;
    }
    keys->count = n;
}

// An empty chain reads as entry 0 for the prefetches below, without a branch.
inline uint64_t one_edit_entry_or_zero(uint64_t e) noexcept {
    return e & (uint64_t{0} - static_cast<uint64_t>(e != INDEX_NONE));
}

// On a large index nearly every key misses the cache twice: once for the
// bucket head, then for the first chain entry (its code and its link).  The
// keys do not depend on each other, so all their loads are started before
// the first chain is walked, and each bucket is hashed once.  The second
// stage has no branch, so no mispredicted test of a head still in flight
// cancels the prefetches queued behind it.  The walk order, and so every
// result, is that of probing the keys one by one.
void one_edit_load_heads(const one_edit_query *q, one_edit_keys *keys) noexcept {
    const vorn_index *index = q->index;
    const uint64_t buckets = index->code_bucket_count;
    for (size_t i = 0; i < keys->count; ++i) {
        const uint64_t key_len = i < keys->same_len_end ? q->len : q->len - 1;
        keys->heads[i] = index_code_bucket(keys->codes[i], key_len, buckets);
        __builtin_prefetch(&index->code_heads[keys->heads[i]]);
    }
    const bool deletions = index->del_bucket_count != 0;
    const uint64_t del_bucket =
        deletions ? index_code_bucket(keys->codes[0], q->len, index->del_bucket_count) : 0;
    if (deletions) __builtin_prefetch(&index->del_heads[del_bucket]);
    for (size_t i = 0; i < keys->count; ++i) {
        keys->heads[i] = index->code_heads[keys->heads[i]];
        const uint64_t r = one_edit_entry_or_zero(keys->heads[i]);
        __builtin_prefetch(&index->ref_codes[r]);
        __builtin_prefetch(&index->code_next[r]);
    }
    if (deletions) {
        const uint64_t e = one_edit_entry_or_zero(index->del_heads[del_bucket]);
        __builtin_prefetch(&index->del_codes[e]);
        __builtin_prefetch(&index->del_lens[e]);
        __builtin_prefetch(&index->del_next[e]);
        __builtin_prefetch(&index->del_refs[e]);
    }
}

// The references of one key: its chain also holds other keys that share the
// bucket ("A" and "AA" both have code 0, so the length is part of the key).
// The code is compared first: it rejects almost every foreign entry with a
// single load.
int32_t one_edit_walk(one_edit_query *q, uint64_t r, uint64_t code, uint64_t key_len) noexcept {
    const vorn_index *index = q->index;
    for (; r != INDEX_NONE; r = index->code_next[r]) {
        if (index->ref_codes[r] != code || index->ref_lens[r] != key_len ||
            index->ref_encodable[r] == 0) {
            continue;
        }
        const int32_t added = candidate_seen_add(&q->seen.set, r);
        if (added < 0) return VISIT_OUT_OF_MEMORY;
        if (added > 0) q->measure(r);
        if (q->settled()) return VISIT_STOP;
    }
    return VISIT_CONTINUE;
}

// Runs every route in order; VISIT_STOP ends the search early (status-only
// mode), VISIT_OUT_OF_MEMORY declines the query.
int32_t one_edit_search(one_edit_query *q, uint64_t code) noexcept {
    const vorn_index *index = q->index;
    if (index->code_bucket_count == 0) {  // no code table: only the routes without keys
        const int32_t r = one_edit_longer_references(q, code);
        return r != VISIT_CONTINUE ? r : one_edit_nonencodable_references(q);
    }
    one_edit_keys keys;
    one_edit_list_keys(&keys, code, q->len);
    // The status-only form usually stops at the query's own key (an exact
    // match), so it starts the other loads only when it goes on.
    if (q->stop == 0) {
        one_edit_load_heads(q, &keys);
    } else {
        const uint64_t own = index_code_bucket(code, q->len, index->code_bucket_count);
        if (one_edit_walk(q, index->code_heads[own], code, q->len) < 0) {
            return VISIT_OUT_OF_MEMORY;
        }
        // Every hit of the own key is identical to the query: with one, no
        // later hit can be as close, and the status is settled.
        if (q->result->best_distance == 0) return VISIT_STOP;
        one_edit_load_heads(q, &keys);
    }
    for (size_t i = q->stop == 0 ? 0 : 1; i < keys.same_len_end; ++i) {
        if (keys.heads[i] == INDEX_NONE) continue;
        const int32_t r = one_edit_walk(q, keys.heads[i], keys.codes[i], q->len);
        if (r != VISIT_CONTINUE) return r;
    }
    int32_t r = one_edit_longer_references(q, code);
    if (r != VISIT_CONTINUE) return r;
    for (size_t i = keys.same_len_end; i < keys.count; ++i) {
        if (keys.heads[i] == INDEX_NONE) continue;
        r = one_edit_walk(q, keys.heads[i], keys.codes[i], q->len - 1);
        if (r != VISIT_CONTINUE) return r;
    }
    return one_edit_nonencodable_references(q);
}

}  // namespace

int32_t index_assign_neighbor_one_impl(const vorn_index *index, const uint8_t *query,
                                       size_t len, uint64_t code, vorn_match *result,
                                       vorn_stats *stats, uint32_t stop_when_ambiguous) noexcept {
    match_reset(result, VORN_STATUS_NONE);
    if (index->n_refs == 0) return PATH_DONE;

    one_edit_query q{index, query, len, result, stats, stop_when_ambiguous, 0, {}};
    if (one_edit_search(&q, code) == VISIT_OUT_OF_MEMORY) return PATH_DECLINED;
    match_finish(result, q.best_count);
    return PATH_DONE;
}

}  // namespace velmora
