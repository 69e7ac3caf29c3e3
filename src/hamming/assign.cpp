// Substitution-only (Hamming) assignment through the index, k = 0 to 3.
//
// Only references of exactly the query's length can match.  Each query takes
// one route:
//   k = 0           the exact lookup (the table, or the non-encodable scan);
//   encodable       pigeonhole over the piece table: k mismatches cannot touch
//                   all k + 1 disjoint pieces, so every reference within k
//                   agrees with the query on at least one piece.  Each entry
//                   carries the whole reference code, so a candidate is
//                   measured by XOR and bit count without reading its bytes,
//                   and it is taken up only at the first piece it agrees on,
//                   which needs no candidate set and no heap;
//   unknown bytes   the replacement search over the code table, then the
//                   non-encodable references through one candidate set;
//   full scan       every reference of the query's length: queries over 32
//                   bytes, which no table covers, and the fallback when the
//                   candidate set cannot grow.  It needs no memory, so the
//                   function never fails once the arguments are accepted.
// Whatever the route, the record is the one brute force would give.
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "assign/assign_internal.h"
#include "assign/candidate_set.h"
#include "hamming/hamming_internal.h"
#include "index/index_internal.h"
#include "match/match_record.h"
#include "velmora.h"

namespace velmora {
namespace {

inline constexpr int32_t HAMMING_MAX_K = 3;

// Everything a route needs about the query it is deciding.
struct hamming_query {
    const vorn_index *index;
    const uint8_t *bytes;
    size_t len;
    int32_t k;
    vorn_match *result;
    int32_t *best_count;
    vorn_stats *stats;
};

inline void hamming_count_taken_up(vorn_stats *stats) noexcept {
    if (stats != nullptr) {
        stats->candidates += 1;
        stats->verifications += 1;
    }
}

// Measures reference r against the query's bytes and records it when within k.
inline void hamming_measure_bytes(const hamming_query &q, uint64_t r) noexcept {
    const vorn_index *ix = q.index;
    hamming_count_taken_up(q.stats);
    const int32_t d =
        hamming_distance_within_k(q.bytes, q.len, ix->ref_seqs[r], ix->ref_lens[r], q.k);
    if (d >= 0) {
        match_apply_hit(q.result, static_cast<uint32_t>(r), static_cast<uint32_t>(d), q.best_count);
    }
}

// Pigeonhole stage of the encodable route: probes the k + 1 pieces of the
// query code.  An entry whose reference agrees with the query on an earlier
// piece was taken up there already; agreeing on piece j' means the XOR of the
// two codes is zero inside j''s bit range.  The bucket offsets and then the
// first entries of all pieces are prefetched before any bucket is read, so
// their cache misses overlap instead of queueing.
void hamming_piece_stage(const hamming_query &q, uint64_t code) noexcept {
    const vorn_index *ix = q.index;
    const uint64_t len = q.len;
    const uint64_t pieces = static_cast<uint64_t>(q.k) + 1;
    const uint64_t symbols = hamming_symbol_mask(len);
    const uint32_t k = static_cast<uint32_t>(q.k);
    uint64_t kinds[HAMMING_MAX_K + 1];
    uint64_t lens[HAMMING_MAX_K + 1];
    uint64_t codes[HAMMING_MAX_K + 1];
    uint64_t ranges[HAMMING_MAX_K + 1];
    uint64_t first[HAMMING_MAX_K + 1];
    uint64_t last[HAMMING_MAX_K + 1];

    for (uint64_t j = 0; j < pieces; ++j) {
        uint64_t start = 0;
        index_piece_bounds(len, pieces, j, &start, &lens[j]);
        kinds[j] = index_piece_kind(pieces, j);
        codes[j] = dna2_extract(code, start, lens[j]);
        // A zero-length piece has an empty range: everyone agrees on it.
        ranges[j] = lens[j] == 0 ? 0 : dna2_mask(lens[j]) << (2 * start);
        first[j] = index_piece_bucket(codes[j], lens[j], kinds[j], ix->piece_bucket_count);
        __builtin_prefetch(&ix->piece_offsets[first[j]]);
    }
    for (uint64_t j = 0; j < pieces; ++j) {
        last[j] = ix->piece_offsets[first[j] + 1];
        first[j] = ix->piece_offsets[first[j]];
        __builtin_prefetch(&ix->piece_entries[first[j]]);
    }

    for (uint64_t j = 0; j < pieces; ++j) {
        const piece_entry *e = ix->piece_entries + first[j];
        const piece_entry *end = ix->piece_entries + last[j];
        for (; e != end; ++e) {
            if (e->piece_code != codes[j] || e->piece_kind != kinds[j] || e->piece_len != lens[j] ||
                e->ref_len != len) {
                continue;
            }
            const uint64_t x = e->ref_code ^ code;
            bool taken_earlier = false;
            for (uint64_t jj = 0; jj < j; ++jj) taken_earlier |= (x & ranges[jj]) == 0;
            if (taken_earlier) continue;
            hamming_count_taken_up(q.stats);
            const uint32_t d =
                static_cast<uint32_t>(__builtin_popcountll(((x >> 1) | x) & symbols));
            if (d <= k) {
                match_apply_hit(q.result, static_cast<uint32_t>(e->ref_index), d, q.best_count);
            }
        }
    }
}

// Encodable route.  The piece table holds encodable references only and the
// list only the others, so no reference can be met twice.
void hamming_assign_encodable(const hamming_query &q, uint64_t code) noexcept {
    const vorn_index *ix = q.index;
    if (ix->piece_ready == 1) hamming_piece_stage(q, code);
    for (uint64_t i = 0; i < ix->nonenc_count; ++i) {
        const uint64_t r = ix->nonenc_refs[i];
        if (ix->ref_lens[r] == q.len) hamming_measure_bytes(q, r);
    }
    match_finish(q.result, *q.best_count);
}

// Unknown-byte route.  PATH_DECLINED when the candidate set could not grow;
// the set is released on every way out by its scope.
int32_t hamming_assign_unknown(const hamming_query &q) noexcept {
    const vorn_index *ix = q.index;
    uint64_t positions[HAMMING_MAX_K] = {0, 0, 0};
    uint64_t unknown_count = 0;
    for (size_t i = 0; i < q.len; ++i) {
        if (dna2_is_base(q.bytes[i])) continue;
        if (unknown_count < HAMMING_MAX_K) positions[unknown_count] = i;
        unknown_count += 1;
    }

    uint8_t work[DNA2_MAX_LEN];
    std::memcpy(work, q.bytes, q.len);
    candidate_seen_scope seen;
    hamming_visit_ctx ctx{ix, &seen.set, q.bytes, q.len, q.k, q.result, q.best_count, q.stats};

    // More unknown bytes than k: every one of them mismatches an encodable
    // reference, so none can be within k and the search is skipped.
    if (unknown_count <= static_cast<uint64_t>(q.k)) {
        unknown_replacement_state state{&ctx, work, positions, unknown_count,
                                        q.k - static_cast<int32_t>(unknown_count)};
        if (visit_hamming_unknown_replacements(0, &state) != VISIT_CONTINUE) return PATH_DECLINED;
    }

    for (uint64_t i = 0; i < ix->nonenc_count; ++i) {
        const uint64_t r = ix->nonenc_refs[i];
        if (ix->ref_lens[r] != q.len) continue;
        const int32_t added = candidate_seen_add(&seen.set, r);
        if (added < 0) return PATH_DECLINED;
        if (added == 0) continue;
        hamming_measure_bytes(q, r);
    }
    match_finish(q.result, *q.best_count);
    return PATH_DONE;
}

// Every reference of the query's length, in ascending order.  Starts from a
// fresh record: whatever a declined route applied is discarded (its counters
// are not rolled back).
void hamming_full_scan(const hamming_query &q) noexcept {
    const vorn_index *ix = q.index;
    match_reset(q.result, VORN_STATUS_NONE);
    *q.best_count = 0;
    for (uint64_t r = 0; r < ix->n_refs; ++r) {
        if (ix->ref_lens[r] == q.len) hamming_measure_bytes(q, r);
    }
    match_finish(q.result, *q.best_count);
}

void hamming_assign_one(const vorn_index *index, const uint8_t *query, size_t len, int32_t k,
                        vorn_match *result, vorn_stats *stats) noexcept {
    if (query == nullptr && len != 0) {
        match_reset_invalid(result);
        return;
    }
    if (index->n_refs == 0) {
        match_reset(result, VORN_STATUS_NONE);
        return;
    }
    if (k == 0) {
        index_assign_exact_one_impl(index, query, len, result, stats, dna2_code, 0);
        return;
    }

    match_reset(result, VORN_STATUS_NONE);
    int32_t best_count = 0;
    const hamming_query q{index, query, len, k, result, &best_count, stats};
    if (len > DNA2_MAX_LEN) {
        hamming_full_scan(q);
        return;
    }
    uint64_t code = 0;
    // The empty query (possibly a null pointer) is encodable with code 0.
    if (len == 0 || dna2_code(query, len, &code)) {
        hamming_assign_encodable(q, code);
        return;
    }
    if (hamming_assign_unknown(q) != PATH_DONE) hamming_full_scan(q);
}

}  // namespace
}  // namespace velmora

extern "C" VORN_API int32_t vorn_index_assign_hamming_stats(
    const vorn_index *index, const uint8_t *const *queries, const size_t *query_lens,
    size_t n_queries, int32_t k, vorn_match *results, vorn_stats *stats) VORN_NOEXCEPT {
    // Compared unsigned, so every negative k is rejected as well.
    if (static_cast<uint32_t>(k) > static_cast<uint32_t>(velmora::HAMMING_MAX_K)) return -1;
    if (index == nullptr || results == nullptr) return -1;
    if (n_queries > 0 && (queries == nullptr || query_lens == nullptr)) return -1;

    if (stats != nullptr) {
        stats->candidates = 0;
        stats->verifications = 0;
    }
    for (size_t i = 0; i < n_queries; ++i) {
        velmora::hamming_assign_one(index, queries[i], query_lens[i], k, &results[i], stats);
    }
    return 0;
}
