// Internal pieces of the Hamming (substitution-only) assignment: the bounded
// Hamming distance and the replacement search for queries with bytes other
// than A/C/G/T.
#ifndef VELMORA_SRC_HAMMING_INTERNAL_H
#define VELMORA_SRC_HAMMING_INTERNAL_H

#include <cstddef>
#include <cstdint>

#include "assign/candidate_set.h"
#include "index/index_internal.h"
#include "velmora.h"

namespace velmora {

struct hamming_visit_ctx {
    const vorn_index *index;
    candidate_seen_set *seen;
    const uint8_t *query;
    size_t query_len;
    int32_t k;
    vorn_match *result;
    int32_t *best_count;
    vorn_stats *stats;
};

struct unknown_replacement_state {
    hamming_visit_ctx *ctx;
    uint8_t *work;
    const uint64_t *positions;
    uint64_t unknown_count;
    int32_t budget;
};

// Bit 2i set for every position i < len (len <= 32): the low bit of each
// 2-bit symbol.  The 32-base value is written out, since building it from
// 4^32 - 1 would need a shift by 64.
static inline uint64_t hamming_symbol_mask(uint64_t len) noexcept {
    return len >= 32 ? 0x5555555555555555ull
                     : 0x1555555555555555ull & ((uint64_t{1} << (2 * len)) - 1);
}

// Positions at which two codes of len bases differ: a symbol differs when
// either of its two bits does, so fold the high bit onto the low one.
static inline uint32_t hamming_code_distance(uint64_t a, uint64_t b, uint64_t len) noexcept {
    const uint64_t x = a ^ b;
    return static_cast<uint32_t>(__builtin_popcountll(((x >> 1) | x) & hamming_symbol_mask(len)));
}

// Number of differing positions when the lengths are equal and it is at most
// k; -1 otherwise, and -1 for a null pointer with a nonzero length.
int32_t hamming_distance_within_k(const uint8_t *a, size_t a_len, const uint8_t *b, size_t b_len,
                                  int32_t k) noexcept;

int32_t visit_hamming_unknown_code(uint64_t code, hamming_visit_ctx *ctx) noexcept;

int32_t visit_hamming_unknown_replacements(uint64_t depth,
                                           unknown_replacement_state *state) noexcept;

}  // namespace velmora

#endif
