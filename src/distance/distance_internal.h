// Internal distance tests.  candidate_distance_within_k is the one bounded
// test every matcher uses to measure a candidate reference; the other two are
// its building blocks, exposed for the exported yes/no test.
#ifndef VELMORA_SRC_DISTANCE_INTERNAL_H
#define VELMORA_SRC_DISTANCE_INTERNAL_H

#include <cstddef>
#include <cstdint>

namespace velmora {

// Values of candidate_distance_within_k besides a distance 0..k.
inline constexpr int32_t CANDIDATE_FARTHER = -1;       // distance above k
// Null pointer with a nonzero length (checked at k = 1 only), or a distance
// that could not be computed (no memory): either way the query is invalid.
inline constexpr int32_t CANDIDATE_UNMEASURED = -2;

// Number of nonzero bytes of x, without a loop: fold each byte onto its low
// bit, keep those bits and sum them with one multiply.
static inline uint32_t count_nonzero_bytes(uint64_t x) noexcept {
    x |= x >> 4;
    x |= x >> 2;
    x |= x >> 1;
    x &= 0x0101010101010101ull;
    return static_cast<uint32_t>((x * 0x0101010101010101ull) >> 56);
}

// Counts differing bytes of two equal-length sequences, 8 bytes per step,
// until the count exceeds limit.  Returns the count (<= limit) when the scan
// completes, or UINT32_MAX when it stopped early.  The block phase stops once
// a block pushes the count above limit; the tail phase stops at a differing
// byte found when the count is already limit.
uint32_t hamming_scan_bounded(const uint8_t *a, const uint8_t *b, size_t len,
                              uint32_t limit) noexcept;

// Differing positions of two equal-length sequences when at most k, else -1.
int32_t same_length_hamming_distance_within_k(const uint8_t *a, const uint8_t *b, size_t len,
                                              int32_t k) noexcept;

// 1 when deleting exactly one byte of the longer sequence gives the shorter.
int32_t one_delete_matches(const uint8_t *longer, size_t longer_len, const uint8_t *shorter,
                           size_t shorter_len) noexcept;

// Edit distance of query and reference when it is at most k (k >= 0);
// CANDIDATE_FARTHER when it is larger; -2 when a k = 1 operand is null with a
// nonzero length, or when the distance kernel failed (memory, only for
// operands over 512 bytes), so the caller never mistakes "unknown" for "far".
int32_t candidate_distance_within_k(const uint8_t *q, size_t q_len, const uint8_t *r,
                                    size_t r_len, int32_t k) noexcept;

}  // namespace velmora

#endif
