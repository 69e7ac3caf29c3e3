// Entry points of the edit-tolerant index assignment.  Each query goes to
// the fast path that serves its kind; a query a path declines is answered by
// the brute-force matcher over the index's own reference copies, so every
// record ends as brute force would leave it (the status-only form excepted,
// which may stop a query's search once its status is settled).
#include "assign/assign_internal.h"
#include "match/match_record.h"

namespace velmora {
namespace {

// Brute force for query i alone.  It examines every reference once, which
// is what the counters record.
int32_t index_assign_fallback(const vorn_index *index, const uint8_t *const *queries,
                              const size_t *query_lens, size_t i, int32_t k, vorn_match *result,
                              vorn_stats *stats) noexcept {
    if (stats != nullptr) {
        stats->candidates += index->n_refs;
        stats->verifications += index->n_refs;
    }
    return vorn_match_many(&queries[i], &query_lens[i], 1,
                           const_cast<const uint8_t *const *>(index->ref_seqs), index->ref_lens,
                           index->n_refs, k, result);
}

// Status-only route of one valid query, k = 1 or 2.
int32_t index_assign_status_one(const vorn_index *index, const uint8_t *query, size_t len,
                                int32_t k, vorn_match *result, vorn_stats *stats) noexcept {
    uint64_t code = 0;
    if (dna2_code(query, len, &code) != 0) {
        if (k == 1) return index_assign_neighbor_one_impl(index, query, len, code, result, stats, 1);
        return index_assign_neighbor_two_impl(index, query, len, code, result, stats, 1);
    }
    if (k == 1) return index_assign_single_unknown_one(index, query, len, result, stats, 1);
    if (index_assign_single_unknown_two(index, query, len, result, stats, 1) != PATH_DECLINED) {
        return PATH_DONE;
    }
    // Several unknown bytes, or too long for a code: the full dispatch still
    // has the long-read path for this query.
    return index_assign_fast_one(index, query, len, 2, result, stats);
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
        if (index_assign_fallback(index, queries, query_lens, i, k, &results[i], stats) != 0) {
            return -1;
        }
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
