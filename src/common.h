// Small helpers every part of the library uses: unaligned loads, cache-line
// requests, checked size arithmetic and the debug-only assertion.  Nothing here allocates or throws.
#ifndef VELMORA_SRC_COMMON_H
#define VELMORA_SRC_COMMON_H

#include <cstddef>
#include <cstdint>
#include <cstring>

#ifdef VELMORA_ENABLE_ASSERTIONS
#include <cstdlib>
#define VELMORA_ASSERT(cond) ((cond) ? (void)0 : std::abort())
#else
#define VELMORA_ASSERT(cond) ((void)0)
#endif

namespace velmora {

// Sequence lengths and reference counts above this are refused, so that every
// length, position, distance and reference number fits a signed 32-bit
// integer (records hold best_index read as signed, DP cells are int32).
inline constexpr size_t SIZE_LIMIT = 0x7FFFFFFF;

// Unaligned 64-bit load; memcpy is the only defined way to read a word at an
// arbitrary byte offset.
static inline uint64_t load_u64(const uint8_t *p) noexcept {
    uint64_t v;
    std::memcpy(&v, p, sizeof v);
    return v;
}

// Requests the cache line at p (for writing when write is 1).  GCC counts a
// bare prefetch as no effect at all, so a function that only prefetches
// passes for one without effects, and its calls are deleted whenever it is
// not inlined first; the empty volatile statement keeps every request.
static inline void prefetch(const void *p) noexcept {
    __builtin_prefetch(p);
    asm volatile("");
}

static inline void prefetch_for_write(const void *p) noexcept {
    __builtin_prefetch(p, 1);
    asm volatile("");
}

// a * b into *out; false (and *out untouched) when it would wrap.
static inline bool checked_mul(size_t a, size_t b, size_t *out) noexcept {
    size_t r;
    if (__builtin_mul_overflow(a, b, &r)) return false;
    *out = r;
    return true;
}

// a + b into *out; false when it would wrap.
static inline bool checked_add(size_t a, size_t b, size_t *out) noexcept {
    size_t r;
    if (__builtin_add_overflow(a, b, &r)) return false;
    *out = r;
    return true;
}

// Byte comparison that tolerates null pointers for length 0 (memcmp does not).
static inline bool bytes_equal(const uint8_t *a, const uint8_t *b, size_t len) noexcept {
    return len == 0 || std::memcmp(a, b, len) == 0;
}

}  // namespace velmora

#endif
