// Steps of the index build shared between build.cpp and tables.cpp, and the
// checked array allocators every build step uses.
#ifndef VELMORA_SRC_INDEX_BUILD_H
#define VELMORA_SRC_INDEX_BUILD_H

#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include <sys/mman.h>

#include "common.h"
#include "index/index_internal.h"

namespace velmora {

// count elements of elem_size bytes, uninitialised; null when the byte count
// would wrap (an impossible size is a failure, never a short block).  A zero
// count still allocates one byte, so null always means failure.
static inline void *index_alloc_array(size_t count, size_t elem_size) noexcept {
    size_t bytes;
    if (!checked_mul(count, elem_size, &bytes)) return nullptr;
    return std::malloc(bytes == 0 ? 1 : bytes);
}

// Same, zero-filled.
static inline void *index_calloc_array(size_t count, size_t elem_size) noexcept {
    size_t bytes;
    if (!checked_mul(count, elem_size, &bytes)) return nullptr;
    return std::calloc(count == 0 ? 1 : count, elem_size);
}

// Asks for huge pages under a large table that is read at random, before
// it is first touched: a lookup then misses the cache once instead of also
// walking the page tables.  Only the whole 2 MiB pages inside the block are
// advised; the advice is a hint, and its failure changes nothing.
static inline void index_advise_huge(void *block, size_t bytes) noexcept {
    constexpr uintptr_t HUGE_PAGE = uintptr_t{1} << 21;
    if (block == nullptr || bytes < 2 * HUGE_PAGE) return;
    const uintptr_t start = (reinterpret_cast<uintptr_t>(block) + HUGE_PAGE - 1) & ~(HUGE_PAGE - 1);
    const uintptr_t end = (reinterpret_cast<uintptr_t>(block) + bytes) & ~(HUGE_PAGE - 1);
#ifdef MADV_HUGEPAGE
    if (end > start) madvise(reinterpret_cast<void *>(start), end - start, MADV_HUGEPAGE);
#endif
}

// Smallest power of two that is at least n (1 for n = 0); false when it
// would not fit.
static inline bool index_pow2_at_least(uint64_t n, uint64_t *out) noexcept {
    if (n > (uint64_t{1} << 62)) return false;
    uint64_t size = 1;
    while (size < n) size <<= 1;
    *out = size;
    return true;
}

// What the build knows about each reference while it runs; released before
// the build returns.
struct build_scratch {
    // 2-bit code of each encodable reference: in codes16 when no reference
    // is longer than 16 bytes, in codes otherwise (the other one null).
    uint64_t *codes;
    uint32_t *codes16;
    uint8_t *lens;  // its length, or 0xFF when the reference is not encodable
    uint64_t encodable;
};

static inline uint64_t scratch_code(const build_scratch *s, uint64_t i) noexcept {
    return s->codes16 != nullptr ? s->codes16[i] : s->codes[i];
}

inline constexpr uint8_t BUILD_NOT_ENCODABLE = 0xFF;

// The tables over the encodable references, built once every reference has
// been copied and encoded.  false when an allocation failed; whatever was
// allocated is already owned by the index, so the caller just frees it.
bool index_key_table_build(vorn_index *index, const build_scratch *s) noexcept;
bool index_deletion_table_build(vorn_index *index, const build_scratch *s) noexcept;
bool index_piece_tables_build(vorn_index *index, const build_scratch *s) noexcept;

}  // namespace velmora

#endif
