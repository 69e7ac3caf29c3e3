// The candidate pipeline shared by every index path.  See probe.h.
#include "index/probe.h"

#include <algorithm>

#include "distance/distance_internal.h"
#include "distance/kernels.h"
#include "inline_array.h"
#include "match/match_record.h"

namespace velmora {

void probe_sink_start(probe_sink *s, const vorn_index *index, const query_facts &query, int32_t k,
                      uint32_t metric, vorn_match *result, vorn_stats *stats,
                      bool stop_when_ambiguous, probe_hits *hits) noexcept {
    s->index = index;
    s->k = k;
    s->metric = metric;
    s->stop_when_ambiguous = stop_when_ambiguous;
    s->hits = hits;
    s->windows = nullptr;
    candidate_seen_free(&s->seen);
    probe_sink_retarget(s, query.bytes, query.len, query.encodable, query.code, result, stats);
}

void probe_sink_retarget(probe_sink *s, const uint8_t *query, size_t query_len, bool encodable,
                         uint64_t code, vorn_match *result, vorn_stats *stats) noexcept {
    s->query = query;
    s->query_len = query_len;
    s->result = result;
    s->stats = stats;
    s->best_count = 0;
    s->query_code = encodable ? code : 0;
    s->query_encodable = encodable;
    match_reset(result, VORN_STATUS_NONE);
}

void probe_windows_start(probe_windows *w, const uint8_t *read, size_t shortest, size_t longest,
                         size_t fixed, probe_hits *fixed_hits) noexcept {
    w->read = read;
    w->shortest = shortest;
    w->longest = longest;
    w->fixed = fixed;
    w->fixed_hits = fixed_hits;
    w->code = 0;
    w->encodable = 0;
    const size_t most = longest < DNA2_MAX_LEN ? longest : DNA2_MAX_LEN;
    while (w->encodable < most) {
        const int v = dna2_base_value(read[w->encodable]);
        if (v < 0) break;
        w->code |= static_cast<uint64_t>(v) << (2 * w->encodable);
        ++w->encodable;
    }
}

namespace {

// The path's bounded test on a reference's bytes: Hamming or edit distance.
int32_t probe_bytes_distance(const probe_sink *s, const uint8_t *bytes, size_t len) noexcept {
    if (s->metric == VORN_METRIC_HAMMING) {
        return len == s->query_len
                   ? same_length_hamming_distance_within_k(s->query, bytes, len, s->k)
                   : CANDIDATE_FARTHER;
    }
    return candidate_distance_within_k(s->query, s->query_len, bytes, len, s->k);
}

// Counts the verification and folds its outcome into the sink.
step probe_conclude(probe_sink *s, uint64_t ref, int32_t d) noexcept {
    if (s->stats != nullptr) s->stats->verifications += 1;
    if (d >= 0) return probe_apply(s, static_cast<uint32_t>(ref), static_cast<uint32_t>(d));
    // A distance that could not be computed is no hit in a record; a listing
    // cannot leave it out silently.
    if (d != CANDIDATE_FARTHER && s->hits != nullptr) return step::out_of_memory;
    return step::go_on;
}

// The bounded distance the byte test would give, from the codes where they
// decide it; PROBE_UNDECIDED when they do not.
constexpr int32_t PROBE_UNDECIDED = -100;

int32_t code_distance(uint32_t metric, int64_t k, uint64_t query_code, uint64_t q, uint64_t code,
                      uint64_t len) noexcept {
    if (len == q) {
        const uint32_t h = dna2_mismatches(query_code, code);
        if (metric == VORN_METRIC_HAMMING) return h <= k ? static_cast<int32_t>(h) : CANDIDATE_FARTHER;
        // Equal lengths one edit apart differ in one base, so up to two
        // mismatches are that many edits; from three on, shifts may be fewer.
        if (h <= 2) return h <= k ? static_cast<int32_t>(h) : CANDIDATE_FARTHER;
        if (k <= 1) return CANDIDATE_FARTHER;
        return PROBE_UNDECIDED;
    }
    if (metric == VORN_METRIC_HAMMING) return CANDIDATE_FARTHER;
    const uint64_t gap = len > q ? len - q : q - len;
    if (gap > static_cast<uint64_t>(k)) return CANDIDATE_FARTHER;
    if (gap == 1) {
        const bool one = len > q ? dna2_one_deletion(code, query_code, q)
                                 : dna2_one_deletion(query_code, code, len);
        if (one) return 1;
        if (k <= 1) return CANDIDATE_FARTHER;
    }
    return PROBE_UNDECIDED;
}

// A reference's distances to the windows of a search over several: at the
// fixed window and the least over all of them (each a distance within k,
// CANDIDATE_FARTHER or CANDIDATE_UNMEASURED).
struct window_distances {
    int32_t fixed;
    int32_t least;
};

void fold_window(window_distances *out, const probe_windows &w, size_t n, int32_t d) noexcept {
    if (d < 0) return;
    if (out->least < 0 || d < out->least) out->least = d;
    if (n == w.fixed) out->fixed = d;
}

// The reference (bytes, len), or its code when code is not null.  Only the
// windows within k of its length can be within k; the codes decide most of
// them, one pass of the bit-parallel kernel over the read the rest (for
// k = 1 the linear tests of each window are cheaper).
window_distances probe_window_distances(const probe_sink *s, const uint8_t *bytes, size_t len,
                                        const uint64_t *code) noexcept {
    const probe_windows &w = *s->windows;
    const auto k = static_cast<size_t>(s->k);
    window_distances out{CANDIDATE_FARTHER, CANDIDATE_FARTHER};
    const size_t first = len > k && len - k > w.shortest ? len - k : w.shortest;
    const size_t last = std::min(len + k, w.longest);
    if (first > last) return out;
    if (code != nullptr && last <= w.encodable) {
        bool decided = true;
        for (size_t n = first; n <= last && decided; ++n) {
            const int32_t d = code_distance(VORN_METRIC_EDIT, s->k, w.code & dna2_mask(n), n, *code, len);
            decided = d != PROBE_UNDECIDED;
            fold_window(&out, w, n, d);
        }
        if (decided) return out;
        out = window_distances{CANDIDATE_FARTHER, CANDIDATE_FARTHER};
    }
    uint8_t decoded[DNA2_MAX_LEN];
    if (code != nullptr) bytes = dna2_decode(*code, len, decoded);
    if (k >= 2 && len >= 1 && len <= 64) {
        uint32_t least = UINT32_MAX, at_fixed = UINT32_MAX;
        edit_distance_prefixes(bytes, len, w.read, first, last, w.fixed, &least, &at_fixed);
        if (least <= k) out.least = static_cast<int32_t>(least);
        if (at_fixed <= k) out.fixed = static_cast<int32_t>(at_fixed);
        return out;
    }
    for (size_t n = first; n <= last; ++n) {
        const int32_t d = candidate_distance_within_k(w.read, n, bytes, len, s->k);
        if (d == CANDIDATE_UNMEASURED) return window_distances{d, d};
        fold_window(&out, w, n, d);
    }
    return out;
}

// Counts the verification and folds both distances into the sink.
step probe_conclude_windows(probe_sink *s, uint64_t ref, window_distances d) noexcept {
    if (s->stats != nullptr) s->stats->verifications += 1;
    if (d.least == CANDIDATE_UNMEASURED) return step::out_of_memory;  // see probe_conclude
    const auto r = static_cast<uint32_t>(ref);
    if (d.fixed >= 0) {
        const auto at_fixed = static_cast<uint32_t>(d.fixed);
        match_apply_hit(s->result, r, at_fixed, &s->best_count);
        probe_hits *fixed_hits = s->windows->fixed_hits;
        if (fixed_hits != nullptr && !fixed_hits->push(vorn_hit{r, at_fixed})) return step::out_of_memory;
    }
    if (d.least >= 0 && !s->hits->push(vorn_hit{r, static_cast<uint32_t>(d.least)}))
        return step::out_of_memory;
    return step::go_on;
}

step probe_measure_code(probe_sink *s, uint64_t ref, uint64_t code, uint64_t len) noexcept {
    if (s->stats != nullptr) s->stats->candidates += 1;
    if (s->windows != nullptr)
        return probe_conclude_windows(s, ref, probe_window_distances(s, nullptr, len, &code));
    int32_t d = s->query_encodable
                    ? code_distance(s->metric, s->k, s->query_code, s->query_len, code, len)
                    : PROBE_UNDECIDED;
    if (d == PROBE_UNDECIDED) {
        uint8_t bytes[DNA2_MAX_LEN];
        d = probe_bytes_distance(s, dna2_decode(code, len, bytes), len);
    }
    return probe_conclude(s, ref, d);
}

// Every reference of a found key (code, len), in the key's order.
step visit_slot(const vorn_index *ix, const uint32_t *slot, uint64_t code, uint64_t len,
                ref_visitor visit, void *ctx) noexcept {
    uint32_t count = 0;
    const uint32_t *refs = index_key_refs(ix, slot, &count);
    for (uint32_t i = 0; i < count; ++i) {
        const step r = visit(ctx, refs[i], code, len);
        if (r != step::go_on) return r;
    }
    return step::go_on;
}

}  // namespace

step probe_measure(probe_sink *s, uint64_t ref) noexcept {
    const vorn_index *ix = s->index;
    // Without the arena every reference has a code, which measures it alike.
    if (ix->arena == nullptr) return probe_measure_code(s, ref, index_ref_code(ix, ref), index_ref_len(ix, ref));
    if (s->stats != nullptr) s->stats->candidates += 1;
    const uint8_t *bytes = index_ref_bytes(ix, ref, nullptr);
    const size_t len = index_ref_len(ix, ref);
    if (s->windows != nullptr)
        return probe_conclude_windows(s, ref, probe_window_distances(s, bytes, len, nullptr));
    return probe_conclude(s, ref, probe_bytes_distance(s, bytes, len));
}

step probe_take(probe_sink *s, uint64_t ref) noexcept {
    const int32_t added = candidate_seen_add(&s->seen, ref);
    if (added < 0) return step::out_of_memory;
    if (added > 0 && probe_measure(s, ref) != step::go_on) return step::out_of_memory;
    return probe_settled(s) ? step::stop : step::go_on;
}

step probe_take_code(probe_sink *s, uint64_t ref, uint64_t code, uint64_t len) noexcept {
    const int32_t added = candidate_seen_add(&s->seen, ref);
    if (added < 0) return step::out_of_memory;
    if (added > 0 && probe_measure_code(s, ref, code, len) != step::go_on) {
        return step::out_of_memory;
    }
    return probe_settled(s) ? step::stop : step::go_on;
}

step probe_visit_take(void *sink, uint32_t ref, uint64_t code, uint64_t len) noexcept {
    return probe_take_code(static_cast<probe_sink *>(sink), ref, code, len);
}

step probe_key(probe_sink *s, uint64_t code, uint64_t len) noexcept {
    const vorn_index *ix = s->index;
    const uint64_t h = index_key_hash(code, len);
    // The length test also rules out an index without keys.
    if (!index_filter_may_hold(ix, h, len)) return step::go_on;
    const key_table *t = index_key_table(ix, len);
    const uint32_t *slot = index_key_find_from(t, index_key_home(t, h), index_key_word(code, len));
    return slot == nullptr ? step::go_on : visit_slot(ix, slot, code, len, probe_visit_take, s);
}

// ---- the key batch --------------------------------------------------------------

void key_batch_start(key_batch *b, const vorn_index *index, ref_visitor visit, void *ctx,
                     size_t limit) noexcept {
    b->index = index;
    b->visit = visit;
    b->ctx = ctx;
    b->count = 0;
    b->limit = limit;
}

void key_batch_request(key_batch *b, size_t from, size_t to) noexcept {
    const vorn_index *ix = b->index;
    for (size_t i = from; i < to; ++i) {
        // The length was tested when the key was added, so its table has slots.
        if (b->homes[i] == INDEX_NONE) continue;
        if (!index_filter_may_hold_hash(ix, b->homes[i])) {
            b->homes[i] = INDEX_NONE;
            continue;
        }
        const key_table *t = index_key_table(ix, b->lens[i]);
        b->homes[i] = index_key_home(t, b->homes[i]);
        index_key_prefetch(t, b->homes[i]);
    }
}

step key_batch_walk(key_batch *b, size_t from, size_t to) noexcept {
    const vorn_index *ix = b->index;
    for (size_t i = from; i < to; ++i) {
        if (b->homes[i] == INDEX_NONE) continue;
        const uint32_t *slot = index_key_find_from(index_key_table(ix, b->lens[i]), b->homes[i],
                                                   index_key_word(b->codes[i], b->lens[i]));
        if (slot == nullptr) continue;
        const step r = visit_slot(ix, slot, b->codes[i], b->lens[i], b->visit, b->ctx);
        if (r != step::go_on) return r;
    }
    return step::go_on;
}

step key_batch_flush(key_batch *b) noexcept {
    key_batch_request(b, 0, b->count);
    const step r = key_batch_walk(b, 0, b->count);
    b->count = 0;
    return r;
}

namespace {

// Every code with exactly `left` more substitutions at positions from p on
// (the bases there are still the first code's).
step add_substitutions_from(key_batch *b, uint64_t code, uint64_t len, uint64_t from,
                            int32_t left) noexcept {
    for (uint64_t p = from; p < len; ++p) {
        for (uint64_t x = 0; x < 4; ++x) {
            if (x == ((code >> (2 * p)) & 3)) continue;
            const uint64_t c = dna2_with_base(code, p, x);
            step r = key_batch_add(b, c, len);
            if (r == step::go_on && left > 1) r = add_substitutions_from(b, c, len, p + 1, left - 1);
            if (r != step::go_on) return r;
        }
    }
    return step::go_on;
}

}  // namespace

step key_batch_add_substitutions(key_batch *b, uint64_t code, uint64_t len,
                                 int32_t budget) noexcept {
    const step r = key_batch_add(b, code, len);
    return r != step::go_on || budget <= 0 ? r : add_substitutions_from(b, code, len, 0, budget);
}

// ---- the deletion table ---------------------------------------------------------

void index_longer_prefetch(const vorn_index *ix, uint64_t code, uint64_t len) noexcept {
    if (ix->del_bucket_count == 0 || !index_has_length(ix, len + 1)) return;
    prefetch(&ix->del_offsets[index_key_hash(code, len) & (ix->del_bucket_count - 1)]);
}

namespace {

// At most 1 + 3 * 32 keys: the query and its substitution variants, or the
// 4 * 31 insertion variants of a query whose references may be two longer.
constexpr size_t LONGER_KEYS = 4 * DNA2_MAX_LEN + 4;

// Without the deletion table: the references one base longer than a key are
// those whose key is an insertion variant of it.  Inserting b before p
// repeats inserting it before p - 1 when base p - 1 is b, so only the first
// of such a run is looked up.
step longer_by_insertions(const vorn_index *ix, const uint64_t *codes, size_t n, uint64_t len,
                             ref_visitor visit, void *ctx) noexcept {
    key_batch batch;
    key_batch_start(&batch, ix, visit, ctx);
    for (size_t i = 0; i < n; ++i) {
        for (uint64_t p = 0; p <= len; ++p) {
            for (uint64_t x = 0; x < 4; ++x) {
                if (p > 0 && ((codes[i] >> (2 * p - 2)) & 3) == x) continue;
                const step r = key_batch_add(&batch, dna2_insert_base(codes[i], p, x), len + 1);
                if (r != step::go_on) return r;
            }
        }
    }
    return key_batch_flush(&batch);
}

}  // namespace

step index_longer_references(const vorn_index *ix, const uint64_t *codes, size_t n,
                                uint64_t len, ref_visitor visit, void *ctx) noexcept {
    // No reference of length len + 1: nothing to find (and no bucket to read).
    if (len >= DNA2_MAX_LEN || !index_has_length(ix, len + 1))
        return step::go_on;
    if ((ix->flags & VORN_INDEX_NO_DELETION) != 0)
        return longer_by_insertions(ix, codes, n, len, visit, ctx);
    VELMORA_ASSERT(n <= LONGER_KEYS);
    uint64_t hashes[LONGER_KEYS];
    uint64_t first[LONGER_KEYS];
    uint64_t last[LONGER_KEYS];
    const uint64_t mask = ix->del_bucket_count - 1;
    for (size_t i = 0; i < n; ++i) {
        hashes[i] = index_key_hash(codes[i], len);
        prefetch(&ix->del_offsets[hashes[i] & mask]);
    }
    for (size_t i = 0; i < n; ++i) {
        const uint64_t b = hashes[i] & mask;
        first[i] = ix->del_offsets[b];
        last[i] = ix->del_offsets[b + 1];
        if (last[i] > first[i]) prefetch(&ix->del_entries[last[i] - 1]);
    }
    for (size_t i = 0; i < n; ++i) {
        // Fingerprint and length in one comparison; the position is the low bits.
        const uint32_t want = index_del_tag(index_del_fingerprint(hashes[i]), len + 1, 0) >> 5;
        for (uint64_t e = last[i]; e > first[i]; --e) {
            const del_entry &d = ix->del_entries[e - 1];
            if ((d.tag >> 5) != want) continue;
            const uint64_t ref_code = index_ref_code(ix, d.ref);
            if (dna2_delete_base(ref_code, d.tag & 31) != codes[i]) continue;
            const step r = visit(ctx, d.ref, ref_code, len + 1);
            if (r != step::go_on) return r;
        }
    }
    return step::go_on;
}

namespace {

using ref_list = inline_array<uint32_t, 128>;

step collect_ref(void *list, uint32_t ref, uint64_t, uint64_t) noexcept {
    return static_cast<ref_list *>(list)->push(ref) ? step::go_on : step::out_of_memory;
}

}  // namespace

step probe_longer_references(probe_sink *s, uint64_t code, uint64_t len) noexcept {
    const vorn_index *ix = s->index;
    if ((ix->flags & VORN_INDEX_NO_DELETION) == 0)
        return index_longer_references(ix, &code, 1, len, probe_visit_take, s);
    // The insertion variants find the references in key order; they are
    // taken in the deletion table's order, highest reference first (distinct
    // keys hold distinct references), so the status-only form stops at the
    // same reference either way.
    ref_list refs;
    const step found = index_longer_references(ix, &code, 1, len, collect_ref, &refs);
    if (found != step::go_on) return found;
    std::sort(refs.begin(), refs.end(), [](uint32_t a, uint32_t b) noexcept { return a > b; });
    for (size_t i = 0; i < refs.size(); ++i) {
        const step r = probe_take(s, refs[i]);
        if (r != step::go_on) return r;
    }
    return step::go_on;
}

step probe_every_reference(probe_sink *s) noexcept {
    const vorn_index *ix = s->index;
    if (s->metric == VORN_METRIC_HAMMING || s->windows != nullptr) {
        for (uint64_t r = 0; r < ix->n_refs; ++r) {
            if (s->metric == VORN_METRIC_HAMMING && index_ref_len(ix, r) != s->query_len) continue;
            if (probe_measure(s, r) != step::go_on) return step::out_of_memory;
        }
        return step::go_on;
    }
    // Brute force examines every reference once, which is what it counts.
    stats_count(s->stats, ix->n_refs);
    uint8_t buf[DNA2_MAX_LEN];
    for (uint64_t r = 0; r < ix->n_refs; ++r) {
        const int32_t d = candidate_distance_within_k(
            s->query, s->query_len, index_ref_bytes(ix, r, buf), index_ref_len(ix, r), s->k);
        if (d == CANDIDATE_UNMEASURED) return step::out_of_memory;
        if (d >= 0 && probe_apply(s, static_cast<uint32_t>(r), static_cast<uint32_t>(d)) !=
                          step::go_on)
            return step::out_of_memory;
    }
    return step::go_on;
}

step probe_nonencodable(probe_sink *s, size_t window, bool through_set) noexcept {
    const vorn_index *ix = s->index;
    const size_t q = s->query_len;
    for (uint64_t i = 0; i < ix->nonenc_count; ++i) {
        const uint64_t r = ix->nonenc_refs[i];
        const size_t len = index_ref_len(ix, r);
        const size_t gap = len > q ? len - q : q - len;
        if (gap > window) continue;
        const step v = through_set ? probe_take(s, r) : probe_measure(s, r);
        if (v != step::go_on) return v;
    }
    return step::go_on;
}

}  // namespace velmora
