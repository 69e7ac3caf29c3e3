// Listing every reference within k of one query.  This first route measures
// every reference copy of the index; the result is the set the record's
// hit_count counts, in ascending (distance, position).
#include <algorithm>
#include <cstdlib>

#include "distance/distance_internal.h"
#include "index/index_internal.h"

namespace velmora {
namespace {

struct hit_buffer {
    vorn_hit *items = nullptr;
    size_t count = 0;
    size_t capacity = 0;
    hit_buffer() = default;
    hit_buffer(const hit_buffer &) = delete;
    hit_buffer &operator=(const hit_buffer &) = delete;
    ~hit_buffer() { std::free(items); }

    bool push(uint32_t ref, uint32_t distance) noexcept {
        if (count == capacity) {
            const size_t grown = capacity == 0 ? 16 : capacity * 2;
            if (grown > SIZE_MAX / sizeof(vorn_hit)) return false;
            auto *p = static_cast<vorn_hit *>(std::realloc(items, grown * sizeof(vorn_hit)));
            if (p == nullptr) return false;
            items = p;
            capacity = grown;
        }
        items[count++] = vorn_hit{ref, distance};
        return true;
    }
};

// Distance of reference r within k, -1 when farther, -2 when it could not be
// measured (no memory).
int32_t hits_measure(const vorn_index *index, uint64_t r, const uint8_t *query, size_t len,
                     uint32_t metric, int32_t k) noexcept {
    const uint8_t *ref = index->ref_seqs[r];
    const size_t ref_len = index->ref_lens[r];
    if (metric == VORN_METRIC_HAMMING) {
        if (ref_len != len) return CANDIDATE_FARTHER;
        return same_length_hamming_distance_within_k(query, ref, len, k);
    }
    return candidate_distance_within_k(query, len, ref, ref_len, k);
}

}  // namespace
}  // namespace velmora

extern "C" VORN_API int32_t vorn_index_hits(const vorn_index *index, const uint8_t *query,
                                            size_t query_len, uint32_t metric, int32_t k,
                                            vorn_hit *hits, size_t capacity,
                                            size_t *n_hits) VORN_NOEXCEPT {
    using namespace velmora;
    if (index == nullptr || n_hits == nullptr) return -1;
    if (query == nullptr && query_len != 0) return -1;
    if (hits == nullptr && capacity != 0) return -1;
    if (metric == VORN_METRIC_EDIT) {
        if (k < 0) return -1;
    } else if (metric == VORN_METRIC_HAMMING) {
        if (k < 0 || k > 3) return -1;
    } else {
        return -1;
    }
    hit_buffer found;
    for (uint64_t r = 0; r < index->n_refs; ++r) {
        const int32_t d = hits_measure(index, r, query, query_len, metric, k);
        if (d == CANDIDATE_FARTHER) continue;
        if (d < 0 || !found.push(static_cast<uint32_t>(r), static_cast<uint32_t>(d))) {
            *n_hits = 0;
            return -2;
        }
    }
    // References were met in ascending position, so a stable order by
    // distance is the required (distance, position) order.
    std::sort(found.items, found.items + found.count, [](const vorn_hit &a, const vorn_hit &b) {
        return a.distance != b.distance ? a.distance < b.distance : a.ref_index < b.ref_index;
    });
    const size_t written = std::min(found.count, capacity);
    for (size_t i = 0; i < written; ++i) hits[i] = found.items[i];
    *n_hits = found.count;
    return 0;
}
