// Entry points of the edit-tolerant index assignment.  Each query goes to
// the fast path that serves its kind; a query a path declines is answered by
// the brute-force matcher over the index's own reference copies, so every
// record ends as brute force would leave it (the status-only form excepted,
// which may stop a query's search once its status is settled).
#include "assign/assign_internal.h"
#include "distance/distance_internal.h"
#include "match/match_record.h"

namespace velmora {
namespace {

// Brute force for query i alone, over the index's own copies.  It examines
// every reference once, which is what the counters record.  A distance that
// cannot be computed makes the query invalid, as in vorn_match_many.
void index_assign_fallback(const vorn_index *index, const uint8_t *query, size_t len, int32_t k,
                           vorn_match *result, vorn_stats *stats) noexcept {
    if (stats != nullptr) {
        stats->candidates += index->n_refs;
        stats->verifications += index->n_refs;
    }
    match_reset(result, VORN_STATUS_NONE);
    int32_t best_count = 0;
    for (uint64_t r = 0; r < index->n_refs; ++r) {
        const int32_t d = candidate_distance_within_k(query, len, index_ref_bytes(index, r),
                                                      index_ref_len(index, r), k);
        if (d == CANDIDATE_UNMEASURED) {
            match_reset_invalid(result);
            return;
        }
        if (d >= 0) {
            match_apply_hit(result, static_cast<uint32_t>(r), static_cast<uint32_t>(d),
                            &best_count);
        }
    }
    match_finish(result, best_count);
}

// Status-only route of one valid query, k = 1 or 2.  A query the status-only
// searches cannot take (several unknown bytes, or too long for a code) still
// has the long-read route of the full dispatch, which never stops early.
int32_t index_assign_status_one(const vorn_index *index, const uint8_t *query, size_t len,
                                int32_t k, vorn_match *result, vorn_stats *stats) noexcept {
    if (index->n_refs == 0) {
        match_reset(result, VORN_STATUS_NONE);
        return PATH_DONE;
    }
    uint64_t code = 0;
    const bool encodable = dna2_code(query, len, &code) != 0;
    return index_assign_path(index, query, len, edit_route_for(query, len, encodable, k), code,
                             result, stats, 1);
}

// Requests the key-table slot of the next query's own key (its filter block
// first), so that the one miss nearly every query makes overlaps the work on
// the query before it.  Nothing is read that is not already in cache.
void index_warm_own_key(const vorn_index *index, const uint8_t *query, size_t len) noexcept {
    uint64_t code = 0;
    if (index->key_slot_count == 0 || query == nullptr || !dna2_code(query, len, &code)) return;
    const uint64_t h = index_key_hash(code, len);
    index_filter_prefetch(index, h);
    __builtin_prefetch(&index->keys[h & (index->key_slot_count - 1)]);
}

void index_stats_clear(vorn_stats *stats) noexcept {
    if (stats != nullptr) {
        stats->candidates = 0;
        stats->verifications = 0;
    }
}

int32_t index_assign_batch(const vorn_index *index, const uint8_t *const *queries,
                           const size_t *query_lens, size_t n_queries, int32_t k,
                           vorn_match *results, vorn_stats *stats,
                           bool status_only) noexcept {
    for (size_t i = 0; i < n_queries; ++i) {
        if (i + 1 < n_queries) index_warm_own_key(index, queries[i + 1], query_lens[i + 1]);
        const uint8_t *q = queries[i];
        const size_t n = query_lens[i];
        if (q == nullptr && n != 0) {
            match_reset_invalid(&results[i]);
            continue;
        }
        const int32_t done = status_only
                                 ? index_assign_status_one(index, q, n, k, &results[i], stats)
                                 : index_assign_fast_one(index, q, n, k, &results[i], stats);
        if (done != PATH_DECLINED) continue;
        index_assign_fallback(index, q, n, k, &results[i], stats);
    }
    return 0;
}

}  // namespace
}  // namespace velmora

using velmora::index_assign_batch;
using velmora::index_stats_clear;

extern "C" VORN_API int32_t vorn_index_assign_stats(const vorn_index *index,
                                                    const uint8_t *const *queries,
                                                    const size_t *query_lens, size_t n_queries,
                                                    int32_t k, vorn_match *results,
                                                    vorn_stats *stats) VORN_NOEXCEPT {
    if (k < 0 || index == nullptr || results == nullptr) return -1;
    if (n_queries == 0) {
        index_stats_clear(stats);
        return 0;
    }
    if (queries == nullptr || query_lens == nullptr) return -1;
    index_stats_clear(stats);
    return index_assign_batch(index, queries, query_lens, n_queries, k, results, stats, false);
}

extern "C" VORN_API int32_t vorn_index_assign(const vorn_index *index,
                                              const uint8_t *const *queries,
                                              const size_t *query_lens, size_t n_queries,
                                              int32_t k, vorn_match *results) VORN_NOEXCEPT {
    return vorn_index_assign_stats(index, queries, query_lens, n_queries, k, results, nullptr);
}

extern "C" VORN_API int32_t vorn_index_assign_status_stats(const vorn_index *index,
                                                           const uint8_t *const *queries,
                                                           const size_t *query_lens,
                                                           size_t n_queries, int32_t k,
                                                           vorn_match *results,
                                                           vorn_stats *stats) VORN_NOEXCEPT {
    if (k < 0 || index == nullptr || results == nullptr) return -1;
    if (n_queries > 0 && (queries == nullptr || query_lens == nullptr)) return -1;
    index_stats_clear(stats);
    if (k != 1 && k != 2) {
        return vorn_index_assign_stats(index, queries, query_lens, n_queries, k, results, stats);
    }
    return index_assign_batch(index, queries, query_lens, n_queries, k, results, stats, true);
}
