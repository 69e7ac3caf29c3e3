// The two exact distance kernels behind the exported entry points, callable
// inside the library without going through the exported (interposable)
// symbols.  Each validates its operands exactly as its exported twin does.
#ifndef VELMORA_SRC_DISTANCE_KERNELS_H
#define VELMORA_SRC_DISTANCE_KERNELS_H

#include <cstddef>
#include <cstdint>

namespace velmora {

// Operand lengths above this are rejected: every distance and every DP cell
// then fits a signed 32-bit integer.
inline constexpr size_t DISTANCE_LENGTH_LIMIT = 0x7FFFFFFF;

// Two-row dynamic programme; UINT32_MAX for invalid operands, lengths above
// the limit, or when its rows cannot be allocated.
uint32_t edit_distance_dp_kernel(const uint8_t *a, size_t a_len, const uint8_t *b,
                                 size_t b_len) noexcept;

// Bit-parallel kernel with a as the pattern (a_len <= 512 stays on the stack,
// longer patterns go to the DP kernel); UINT32_MAX as for the DP kernel.
uint32_t edit_distance_bit_parallel(const uint8_t *a, size_t a_len, const uint8_t *b,
                                    size_t b_len) noexcept;

}  // namespace velmora

#endif
