// The distance kernels behind the exported entry points, callable inside the
// library without going through the exported (interposable) symbols.  The
// bit-parallel one validates its operands exactly as its exported twin does.
#ifndef VELMORA_SRC_DISTANCE_KERNELS_H
#define VELMORA_SRC_DISTANCE_KERNELS_H

#include <cstddef>
#include <cstdint>

#include "common.h"

namespace velmora {

// Longest pattern the single-block kernels take: its match masks (8 words per
// symbol) and the banded kernel's fit on the stack; longer patterns go to the
// blocked kernel, which allocates its masks.
inline constexpr size_t BIT_PARALLEL_MAX_PATTERN = 512;

// Bit-parallel kernel with a as the pattern (a_len <= 512 stays on the stack,
// longer patterns take the blocked kernel); UINT32_MAX for invalid operands,
// lengths above the limit, or when the blocked kernel's memory cannot be had.
uint32_t edit_distance_bit_parallel(const uint8_t *a, size_t a_len, const uint8_t *b,
                                    size_t b_len) noexcept;

// Edit distances of a (the pattern, 1 to 64 bytes) to the prefixes of b of
// first to last bytes (b holds at least last bytes), in one pass over
// b[0, last): *least gets the smallest of them and, when first <= at <= last,
// *at_value the one to the prefix of at bytes.
void edit_distance_prefixes(const uint8_t *a, size_t a_len, const uint8_t *b, size_t first,
                            size_t last, size_t at, uint32_t *least, uint32_t *at_value) noexcept;

// Largest bound the banded kernel takes: its band of 2k + 1 rows fits a word.
inline constexpr uint32_t BANDED_MAX_K = 31;

// Edit distance of a (the pattern, 1 to 512 bytes, valid pointer) and b when
// it is at most k (1 <= k <= BANDED_MAX_K); k + 1 when it is larger.  One
// word per text byte whatever the pattern's length.
uint32_t edit_distance_banded(const uint8_t *a, size_t a_len, const uint8_t *b, size_t b_len,
                              uint32_t k) noexcept;

// Blocked kernel for patterns of any length (a_len, b_len >= 1, both within
// the limit, valid pointers): the exact distance, found with bands of
// doubling width, or UINT32_MAX when its masks cannot be allocated.
uint32_t edit_distance_blocked(const uint8_t *a, size_t a_len, const uint8_t *b,
                               size_t b_len) noexcept;

// The same kernel restricted to the diagonals that can matter for "at most
// k", stopping once no cell can end within k: the distance when it is at
// most k, k + 1 when it is larger, UINT32_MAX when its masks cannot be
// allocated (only for patterns over 512 bytes; shorter ones use the frame).
// k < UINT32_MAX.
uint32_t edit_distance_blocked_within(const uint8_t *a, size_t a_len, const uint8_t *b,
                                      size_t b_len, uint32_t k) noexcept;

}  // namespace velmora

#endif
