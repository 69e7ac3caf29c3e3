// The candidate pipeline shared by every index path.  See probe.h.
#include "index/probe.h"

#include <cstdlib>
#include <cstring>

#include "common.h"
#include "distance/distance_internal.h"
#include "match/match_record.h"

namespace velmora {

bool hit_list_grow(hit_list *l) noexcept {
    size_t grown;
    size_t bytes;
    if (!checked_mul(l->capacity, 2, &grown) || !checked_mul(grown, sizeof(vorn_hit), &bytes)) {
        return false;
    }
    auto *p = static_cast<vorn_hit *>(std::malloc(bytes));
    if (p == nullptr) return false;
    std::memcpy(p, l->items, l->count * sizeof(vorn_hit));
    if (l->items != l->inline_items) std::free(l->items);
    l->items = p;
    l->capacity = grown;
    return true;
}

void hit_list_free(hit_list *l) noexcept {
    if (l->items != l->inline_items) std::free(l->items);
    hit_list_init(l);
}

void probe_sink_start(probe_sink *s, const vorn_index *index, const uint8_t *query,
                      size_t query_len, int32_t k, uint32_t metric, vorn_match *result,
                      vorn_stats *stats, uint32_t stop_when_ambiguous, hit_list *hits) noexcept {
    s->index = index;
    s->query = query;
    s->query_len = query_len;
    s->k = k;
    s->metric = metric;
    s->stop_when_ambiguous = stop_when_ambiguous;
    s->result = result;
    s->stats = stats;
    s->hits = hits;
    s->best_count = 0;
    candidate_seen_free(&s->seen);
    match_reset(result, VORN_STATUS_NONE);
}

int32_t probe_measure(probe_sink *s, uint64_t ref) noexcept {
    const vorn_index *ix = s->index;
    const uint8_t *bytes = index_ref_bytes(ix, ref);
    const size_t len = index_ref_len(ix, ref);
    if (s->stats != nullptr) s->stats->candidates += 1;
    int32_t d;
    if (s->metric == PROBE_HAMMING) {
        d = len == s->query_len ? same_length_hamming_distance_within_k(s->query, bytes, len, s->k)
                                : CANDIDATE_FARTHER;
    } else {
        d = candidate_distance_within_k(s->query, s->query_len, bytes, len, s->k);
    }
    if (s->stats != nullptr) s->stats->verifications += 1;
    if (d >= 0) return probe_apply(s, static_cast<uint32_t>(ref), static_cast<uint32_t>(d));
    // A distance that could not be computed is no hit in a record; a listing
    // cannot leave it out silently.
    if (d != CANDIDATE_FARTHER && s->hits != nullptr) return VISIT_OUT_OF_MEMORY;
    return VISIT_CONTINUE;
}

int32_t probe_take(probe_sink *s, uint64_t ref) noexcept {
    const int32_t added = candidate_seen_add(&s->seen, ref);
    if (added < 0) return VISIT_OUT_OF_MEMORY;
    if (added > 0 && probe_measure(s, ref) != VISIT_CONTINUE) return VISIT_OUT_OF_MEMORY;
    return probe_settled(s) ? VISIT_STOP : VISIT_CONTINUE;
}

namespace {

int32_t probe_slot(probe_sink *s, const key_slot *slot) noexcept {
    uint32_t count = 0;
    const uint32_t *refs = index_key_refs(s->index, slot, &count);
    for (uint32_t i = 0; i < count; ++i) {
        const int32_t r = probe_take(s, refs[i]);
        if (r != VISIT_CONTINUE) return r;
    }
    return VISIT_CONTINUE;
}

}  // namespace

int32_t probe_key(probe_sink *s, uint64_t code, uint64_t len) noexcept {
    const key_slot *slot = index_key_find(s->index, code, len);
    return slot == nullptr ? VISIT_CONTINUE : probe_slot(s, slot);
}

int32_t probe_keys(probe_sink *s, const uint64_t *codes, const uint8_t *lens, size_t n) noexcept {
    const vorn_index *ix = s->index;
    if (ix->key_slot_count == 0) return VISIT_CONTINUE;
    // Nearly every key of a large index misses the cache; the keys do not
    // depend on each other, so all their slots are requested before the
    // first one is read.
    constexpr size_t BATCH = 64;
    uint64_t home[BATCH];
    for (size_t at = 0; at < n; at += BATCH) {
        const size_t m = n - at < BATCH ? n - at : BATCH;
        for (size_t i = 0; i < m; ++i) {
            home[i] = index_key_home(ix, codes[at + i], lens[at + i]);
            __builtin_prefetch(&ix->keys[home[i]]);
        }
        for (size_t i = 0; i < m; ++i) {
            const key_slot *slot = index_key_find_from(ix, home[i], codes[at + i], lens[at + i]);
            if (slot == nullptr) continue;
            const int32_t r = probe_slot(s, slot);
            if (r != VISIT_CONTINUE) return r;
        }
    }
    return VISIT_CONTINUE;
}

void probe_prefetch(const probe_sink *s, const uint64_t *codes, const uint8_t *lens, size_t n,
                    uint64_t *homes) noexcept {
    const vorn_index *ix = s->index;
    if (ix->key_slot_count == 0) return;
    for (size_t i = 0; i < n; ++i) {
        homes[i] = index_key_home(ix, codes[i], lens[i]);
        __builtin_prefetch(&ix->keys[homes[i]]);
    }
}

int32_t probe_walk(probe_sink *s, const uint64_t *codes, const uint8_t *lens,
                   const uint64_t *homes, size_t n) noexcept {
    const vorn_index *ix = s->index;
    if (ix->key_slot_count == 0) return VISIT_CONTINUE;
    for (size_t i = 0; i < n; ++i) {
        const key_slot *slot = index_key_find_from(ix, homes[i], codes[i], lens[i]);
        if (slot == nullptr) continue;
        const int32_t r = probe_slot(s, slot);
        if (r != VISIT_CONTINUE) return r;
    }
    return VISIT_CONTINUE;
}

void probe_longer_prefetch(const probe_sink *s, uint64_t code, uint64_t len) noexcept {
    const vorn_index *ix = s->index;
    if (ix->del_bucket_count == 0) return;
    const uint64_t b = index_key_hash(code, len) & (ix->del_bucket_count - 1);
    __builtin_prefetch(&ix->del_offsets[b]);
}

namespace {

// Without the deletion table: the references one base longer are the ones
// whose key is an insertion variant of the query's.  They are gathered and
// taken in the order the deletion table would give, highest reference first
// (a reference's first entry there is its last base removed, and the
// entries run from the highest reference down), so the status-only form
// stops at the same reference either way.
int32_t probe_longer_by_insertions(probe_sink *s, uint64_t code, uint64_t len) noexcept {
    const vorn_index *ix = s->index;
    if (len >= DNA2_MAX_LEN || ix->key_slot_count == 0) return VISIT_CONTINUE;
    uint64_t codes[4 * DNA2_MAX_LEN];
    uint8_t lens[4 * DNA2_MAX_LEN];
    size_t n = 0;
    for (uint64_t p = 0; p <= len; ++p) {
        for (uint64_t b = 0; b < 4; ++b) {
            const uint64_t v = dna2_insert_base(code, p, b);
            // Inserting next to an equal base repeats the previous variant.
            bool repeat = false;
            for (size_t j = 0; j < n && !repeat; ++j) repeat = codes[j] == v;
            if (repeat) continue;
            codes[n] = v;
            lens[n] = static_cast<uint8_t>(len + 1);
            ++n;
        }
    }
    // Gather the references; distinct keys hold distinct references.
    uint32_t inline_refs[128];
    uint32_t *refs = inline_refs;
    size_t count = 0;
    size_t capacity = 128;
    int32_t result = VISIT_CONTINUE;
    for (size_t i = 0; i < n && result == VISIT_CONTINUE; ++i) {
        const key_slot *slot = index_key_find(ix, codes[i], lens[i]);
        if (slot == nullptr) continue;
        uint32_t c = 0;
        const uint32_t *r = index_key_refs(ix, slot, &c);
        if (count + c > capacity) {
            size_t want = capacity;
            while (want < count + c) want *= 2;
            auto *grown = static_cast<uint32_t *>(std::malloc(want * sizeof(uint32_t)));
            if (grown == nullptr) {
                result = VISIT_OUT_OF_MEMORY;
                break;
            }
            std::memcpy(grown, refs, count * sizeof(uint32_t));
            if (refs != inline_refs) std::free(refs);
            refs = grown;
            capacity = want;
        }
        std::memcpy(refs + count, r, c * sizeof(uint32_t));
        count += c;
    }
    if (result == VISIT_CONTINUE) {
        // Insertion sort, descending: the lists are short.
        for (size_t i = 1; i < count; ++i) {
            const uint32_t v = refs[i];
            size_t j = i;
            for (; j > 0 && refs[j - 1] < v; --j) refs[j] = refs[j - 1];
            refs[j] = v;
        }
        for (size_t i = 0; i < count && result == VISIT_CONTINUE; ++i) {
            result = probe_take(s, refs[i]);
        }
    }
    if (refs != inline_refs) std::free(refs);
    return result;
}

// Code of reference r, which the deletion table lists, so it is encodable.
uint64_t probe_ref_code(const vorn_index *ix, uint64_t r) noexcept {
    uint64_t code = 0;
    dna2_code(index_ref_bytes(ix, r), index_ref_len(ix, r), &code);
    return code;
}

}  // namespace

int32_t probe_longer_references(probe_sink *s, uint64_t code, uint64_t len) noexcept {
    const vorn_index *ix = s->index;
    if ((ix->flags & VORN_INDEX_NO_DELETION) != 0) return probe_longer_by_insertions(s, code, len);
    if (ix->del_bucket_count == 0) return VISIT_CONTINUE;
    const uint64_t h = index_key_hash(code, len);
    const uint32_t fp = index_del_fingerprint(h);
    const uint64_t b = h & (ix->del_bucket_count - 1);
    const uint64_t first = ix->del_offsets[b];
    // Newest entry first: highest reference, and within one its last base.
    for (uint64_t e = ix->del_offsets[b + 1]; e > first; --e) {
        const del_entry &d = ix->del_entries[e - 1];
        if ((d.tag >> 8) != fp) continue;
        if (index_ref_len(ix, d.ref) != len + 1) continue;
        if (dna2_delete_base(probe_ref_code(ix, d.ref), d.tag & 0xFF) != code) continue;
        const int32_t r = probe_take(s, d.ref);
        if (r != VISIT_CONTINUE) return r;
    }
    return VISIT_CONTINUE;
}

int32_t probe_nonencodable(probe_sink *s, size_t window, bool through_set) noexcept {
    const vorn_index *ix = s->index;
    const size_t q = s->query_len;
    for (uint64_t i = 0; i < ix->nonenc_count; ++i) {
        const uint64_t r = ix->nonenc_refs[i];
        const size_t len = index_ref_len(ix, r);
        const size_t gap = len > q ? len - q : q - len;
        if (gap > window) continue;
        const int32_t v = through_set ? probe_take(s, r) : probe_measure(s, r);
        if (v != VISIT_CONTINUE) return v;
    }
    return VISIT_CONTINUE;
}

}  // namespace velmora
