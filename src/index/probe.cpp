// The candidate pipeline shared by every index path.  See probe.h.
#include "index/probe.h"

#include "distance/distance_internal.h"
#include "inline_array.h"
#include "match/match_record.h"

namespace velmora {

void probe_sink_start(probe_sink *s, const vorn_index *index, const uint8_t *query,
                      size_t query_len, int32_t k, uint32_t metric, vorn_match *result,
                      vorn_stats *stats, uint32_t stop_when_ambiguous, probe_hits *hits) noexcept {
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
    s->query_code = 0;
    s->query_encodable = query_len <= DNA2_MAX_LEN && dna2_code(query, query_len, &s->query_code);
    candidate_seen_free(&s->seen);
    match_reset(result, VORN_STATUS_NONE);
}

namespace {

// The path's bounded test on a reference's bytes: Hamming or edit distance.
int32_t probe_bytes_distance(const probe_sink *s, const uint8_t *bytes, size_t len) noexcept {
    if (s->metric == PROBE_HAMMING) {
        return len == s->query_len
                   ? same_length_hamming_distance_within_k(s->query, bytes, len, s->k)
                   : CANDIDATE_FARTHER;
    }
    return candidate_distance_within_k(s->query, s->query_len, bytes, len, s->k);
}

// Counts the verification and folds its outcome into the sink.
int32_t probe_conclude(probe_sink *s, uint64_t ref, int32_t d) noexcept {
    if (s->stats != nullptr) s->stats->verifications += 1;
    if (d >= 0) return probe_apply(s, static_cast<uint32_t>(ref), static_cast<uint32_t>(d));
    // A distance that could not be computed is no hit in a record; a listing
    // cannot leave it out silently.
    if (d != CANDIDATE_FARTHER && s->hits != nullptr) return VISIT_OUT_OF_MEMORY;
    return VISIT_CONTINUE;
}

}  // namespace

int32_t probe_measure(probe_sink *s, uint64_t ref) noexcept {
    const vorn_index *ix = s->index;
    if (s->stats != nullptr) s->stats->candidates += 1;
    const int32_t d = probe_bytes_distance(s, index_ref_bytes(ix, ref), index_ref_len(ix, ref));
    return probe_conclude(s, ref, d);
}

int32_t probe_take(probe_sink *s, uint64_t ref) noexcept {
    const int32_t added = candidate_seen_add(&s->seen, ref);
    if (added < 0) return VISIT_OUT_OF_MEMORY;
    if (added > 0 && probe_measure(s, ref) != VISIT_CONTINUE) return VISIT_OUT_OF_MEMORY;
    return probe_settled(s) ? VISIT_STOP : VISIT_CONTINUE;
}

namespace {

// Edit distance of two encodable sequences one base apart in length, when it
// is 1: deleting the longer one's first differing base must give the shorter
// (a deletion anywhere in a run of equal bases gives the same sequence).
bool probe_one_deletion(uint64_t longer, uint64_t shorter, uint64_t shorter_len) noexcept {
    const uint64_t x = (longer ^ shorter) & dna2_mask(shorter_len);
    const uint64_t p = x == 0 ? shorter_len : static_cast<uint64_t>(__builtin_ctzll(x)) / 2;
    return dna2_delete_base(longer, p) == shorter;
}

// The bounded distance the byte test would give, from the codes where they
// decide it; PROBE_UNDECIDED when they do not.
constexpr int32_t PROBE_UNDECIDED = -100;

int32_t probe_code_distance(const probe_sink *s, uint64_t code, uint64_t len) noexcept {
    const uint64_t q = s->query_len;
    const int64_t k = s->k;
    if (len == q) {
        const uint32_t h = dna2_mismatches(s->query_code, code);
        if (s->metric == PROBE_HAMMING) return h <= k ? static_cast<int32_t>(h) : CANDIDATE_FARTHER;
        // Equal lengths one edit apart differ in one base, so up to two
        // mismatches are that many edits; from three on, shifts may be fewer.
        if (h <= 2) return h <= k ? static_cast<int32_t>(h) : CANDIDATE_FARTHER;
        if (k <= 1) return CANDIDATE_FARTHER;
        return PROBE_UNDECIDED;
    }
    if (s->metric == PROBE_HAMMING) return CANDIDATE_FARTHER;
    const uint64_t gap = len > q ? len - q : q - len;
    if (gap > static_cast<uint64_t>(k)) return CANDIDATE_FARTHER;
    if (gap == 1) {
        const bool one = len > q ? probe_one_deletion(code, s->query_code, q)
                                 : probe_one_deletion(s->query_code, code, len);
        if (one) return 1;
        if (k <= 1) return CANDIDATE_FARTHER;
    }
    return PROBE_UNDECIDED;
}

int32_t probe_measure_code(probe_sink *s, uint64_t ref, uint64_t code, uint64_t len) noexcept {
    if (s->stats != nullptr) s->stats->candidates += 1;
    int32_t d = s->query_encodable ? probe_code_distance(s, code, len) : PROBE_UNDECIDED;
    if (d == PROBE_UNDECIDED) {
        uint8_t bytes[DNA2_MAX_LEN];
        static constexpr uint8_t BASES[4] = {'A', 'C', 'G', 'T'};
        for (uint64_t i = 0; i < len; ++i) bytes[i] = BASES[(code >> (2 * i)) & 3];
        d = probe_bytes_distance(s, bytes, len);
    }
    return probe_conclude(s, ref, d);
}

int32_t probe_slot(probe_sink *s, const key_slot *slot) noexcept {
    uint32_t count = 0;
    const uint32_t *refs = index_key_refs(s->index, slot, &count);
    for (uint32_t i = 0; i < count; ++i) {
        const int32_t r = probe_take_code(s, refs[i], slot->code, slot->len);
        if (r != VISIT_CONTINUE) return r;
    }
    return VISIT_CONTINUE;
}

}  // namespace

int32_t probe_take_code(probe_sink *s, uint64_t ref, uint64_t code, uint64_t len) noexcept {
    const int32_t added = candidate_seen_add(&s->seen, ref);
    if (added < 0) return VISIT_OUT_OF_MEMORY;
    if (added > 0 && probe_measure_code(s, ref, code, len) != VISIT_CONTINUE) {
        return VISIT_OUT_OF_MEMORY;
    }
    return probe_settled(s) ? VISIT_STOP : VISIT_CONTINUE;
}

int32_t probe_key(probe_sink *s, uint64_t code, uint64_t len) noexcept {
    const vorn_index *ix = s->index;
    if (ix->key_slot_count == 0) return VISIT_CONTINUE;
    const uint64_t h = index_key_hash(code, len);
    if (!index_filter_may_hold(ix, h, len)) return VISIT_CONTINUE;
    const key_slot *slot = index_key_find_from(ix, h & (ix->key_slot_count - 1), code, len);
    return slot == nullptr ? VISIT_CONTINUE : probe_slot(s, slot);
}

int32_t probe_keys(probe_sink *s, const uint64_t *codes, const uint8_t *lens, size_t n) noexcept {
    // Nearly every key of a large index misses the cache; the keys do not
    // depend on each other, so all their slots are requested before the
    // first one is read.
    constexpr size_t BATCH = 64;
    uint64_t homes[BATCH];
    for (size_t at = 0; at < n; at += BATCH) {
        const size_t m = n - at < BATCH ? n - at : BATCH;
        probe_prefetch(s, codes + at, lens + at, m, homes);
        const int32_t r = probe_walk(s, codes + at, lens + at, homes, m);
        if (r != VISIT_CONTINUE) return r;
    }
    return VISIT_CONTINUE;
}

void probe_prefetch(const probe_sink *s, const uint64_t *codes, const uint8_t *lens, size_t n,
                    uint64_t *homes) noexcept {
    const vorn_index *ix = s->index;
    if (ix->key_slot_count == 0) return;
    // The filter blocks first (in cache, but their latency overlaps too),
    // then the slots of the keys the filter lets through; INDEX_NONE marks
    // a key the filter rejected.
    for (size_t i = 0; i < n; ++i) {
        homes[i] = index_key_hash(codes[i], lens[i]);
        index_filter_prefetch(ix, homes[i]);
    }
    const uint64_t mask = ix->key_slot_count - 1;
    for (size_t i = 0; i < n; ++i) {
        if (!index_filter_may_hold(ix, homes[i], lens[i])) {
            homes[i] = INDEX_NONE;
            continue;
        }
        homes[i] &= mask;
        __builtin_prefetch(&ix->keys[homes[i]]);
    }
}

int32_t probe_walk(probe_sink *s, const uint64_t *codes, const uint8_t *lens,
                   const uint64_t *homes, size_t n) noexcept {
    const vorn_index *ix = s->index;
    if (ix->key_slot_count == 0) return VISIT_CONTINUE;
    for (size_t i = 0; i < n; ++i) {
        if (homes[i] == INDEX_NONE) continue;
        const key_slot *slot = index_key_find_from(ix, homes[i], codes[i], lens[i]);
        if (slot == nullptr) continue;
        const int32_t r = probe_slot(s, slot);
        if (r != VISIT_CONTINUE) return r;
    }
    return VISIT_CONTINUE;
}

void probe_longer_prefetch(const probe_sink *s, uint64_t code, uint64_t len) noexcept {
    const vorn_index *ix = s->index;
    if (ix->del_bucket_count == 0 || !index_has_length(ix, len + 1)) return;
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
    if (len >= DNA2_MAX_LEN || ix->key_slot_count == 0 || !index_has_length(ix, len + 1)) {
        return VISIT_CONTINUE;
    }
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
    inline_array<uint32_t, 128> refs;
    uint64_t homes[4 * DNA2_MAX_LEN];
    probe_prefetch(s, codes, lens, n, homes);
    for (size_t i = 0; i < n; ++i) {
        if (homes[i] == INDEX_NONE) continue;
        const key_slot *slot = index_key_find_from(ix, homes[i], codes[i], lens[i]);
        if (slot == nullptr) continue;
        uint32_t c = 0;
        const uint32_t *r = index_key_refs(ix, slot, &c);
        if (!refs.append(r, c)) return VISIT_OUT_OF_MEMORY;
    }
    // Insertion sort, descending: the lists are short.
    for (size_t i = 1; i < refs.size(); ++i) {
        const uint32_t v = refs[i];
        size_t j = i;
        for (; j > 0 && refs[j - 1] < v; --j) refs[j] = refs[j - 1];
        refs[j] = v;
    }
    for (size_t i = 0; i < refs.size(); ++i) {
        const int32_t result = probe_take(s, refs[i]);
        if (result != VISIT_CONTINUE) return result;
    }
    return VISIT_CONTINUE;
}

}  // namespace

int32_t probe_longer_references(probe_sink *s, uint64_t code, uint64_t len) noexcept {
    const vorn_index *ix = s->index;
    if ((ix->flags & VORN_INDEX_NO_DELETION) != 0) return probe_longer_by_insertions(s, code, len);
    // No reference of length len + 1: nothing to find (and no bucket to read).
    if (ix->del_bucket_count == 0 || !index_has_length(ix, len + 1)) {
        return VISIT_CONTINUE;
    }
    const uint64_t h = index_key_hash(code, len);
    // Fingerprint and length in one comparison; the position is the low bits.
    const uint32_t want = index_del_tag(index_del_fingerprint(h), len + 1, 0) >> 5;
    const uint64_t b = h & (ix->del_bucket_count - 1);
    const uint64_t first = ix->del_offsets[b];
    // Newest entry first: highest reference, and within one its last base.
    for (uint64_t e = ix->del_offsets[b + 1]; e > first; --e) {
        const del_entry &d = ix->del_entries[e - 1];
        if ((d.tag >> 5) != want) continue;
        const uint64_t ref_code = ix->ref_codes[d.ref];
        if (dna2_delete_base(ref_code, d.tag & 31) != code) continue;
        const int32_t r = probe_take_code(s, d.ref, ref_code, len + 1);
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
