// The vorn_match record rules shared by every path that fills one: the reset
// values, the update for one hit and the final status.  Brute force, the index
// paths and the Hamming paths all go through these, so their records agree.
#ifndef VELMORA_SRC_MATCH_RECORD_H
#define VELMORA_SRC_MATCH_RECORD_H

#include <cstddef>
#include <cstdint>
#include <cstring>

#include "velmora.h"

namespace velmora {

// best_index, best_distance, second_distance = UINT32_MAX, hit_count = 0: the
// first four fields of every fresh record, copied in one go.
extern const unsigned char match_initial_pattern[16];

// The copy relies on those four fields being the record's first 16 bytes, in
// this order.
static_assert(offsetof(vorn_match, best_index) == 0 && offsetof(vorn_match, best_distance) == 4 &&
                  offsetof(vorn_match, second_distance) == 8 && offsetof(vorn_match, hit_count) == 12 &&
                  sizeof(vorn_match) >= 16,
              "match_reset copies the first 16 bytes of a record");

static inline void match_reset(vorn_match *m, uint32_t status) noexcept {
    std::memcpy(m, match_initial_pattern, sizeof match_initial_pattern);
    m->status = status;
}

static inline void match_reset_invalid(vorn_match *m) noexcept {
    match_reset(m, VORN_STATUS_INVALID);
}

// Folds one hit (reference r at distance d <= k) into the record.  best_count
// counts the references at best_distance.  Candidates may arrive in any order,
// so on a tie the lower position wins explicitly; best_index is read as signed
// because UINT32_MAX means "no best yet" (positions stay below 2^31).
static inline void match_apply_hit(vorn_match *m, uint32_t r, uint32_t d,
                                   int32_t *best_count) noexcept {
    m->hit_count += 1;
    if (d < m->best_distance) {
        m->second_distance = m->best_distance;
        m->best_distance = d;
        m->best_index = r;
        *best_count = 1;
    } else if (d == m->best_distance) {
        if (static_cast<int32_t>(m->best_index) < 0 ||
            static_cast<int32_t>(m->best_index) > static_cast<int32_t>(r)) {
            m->best_index = r;
        }
        *best_count += 1;
    } else if (d < m->second_distance) {
        m->second_distance = d;
    }
}

static inline uint32_t match_final_status(uint32_t hit_count, int32_t best_count) noexcept {
    if (hit_count == 0) return VORN_STATUS_NONE;
    return best_count >= 2 ? VORN_STATUS_AMBIGUOUS : VORN_STATUS_UNIQUE;
}

static inline void match_finish(vorn_match *m, int32_t best_count) noexcept {
    m->status = match_final_status(m->hit_count, best_count);
}

// The counters a search adds to: n references taken up and measured.
static inline void stats_count(vorn_stats *stats, uint64_t n) noexcept {
    if (stats != nullptr) {
        stats->candidates += n;
        stats->verifications += n;
    }
}

static inline void stats_clear(vorn_stats *stats) noexcept {
    if (stats != nullptr) {
        stats->candidates = 0;
        stats->verifications = 0;
    }
}

}  // namespace velmora

#endif
