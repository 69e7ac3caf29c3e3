// Steps of the index build shared between build.cpp and tables.cpp, and the
// checked array allocators every build step uses.
#ifndef VELMORA_SRC_INDEX_BUILD_H
#define VELMORA_SRC_INDEX_BUILD_H

#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include "common.h"
#include "index/index_internal.h"

namespace velmora {

// count elements of elem_size bytes, uninitialised; null when the byte count
// would wrap (an impossible size is a failure, never a short block).
static inline void *index_alloc_array(size_t count, size_t elem_size) noexcept {
    size_t bytes;
    if (!checked_mul(count, elem_size, &bytes)) return nullptr;
    return std::malloc(bytes);
}

// Same, zero-filled.
static inline void *index_calloc_array(size_t count, size_t elem_size) noexcept {
    size_t bytes;
    if (!checked_mul(count, elem_size, &bytes)) return nullptr;
    return std::calloc(count, elem_size);
}

// count 64-bit values, every one all-ones (empty buckets, empty slots).
uint64_t *index_alloc_absent(size_t count) noexcept;

// The two tables over the encodable references, built once every reference
// has been copied and encoded.  false when an allocation failed; whatever was
// allocated is already owned by the index, so the caller just frees the index.
bool index_deletion_table_build(vorn_index *index) noexcept;
bool index_piece_table_build(vorn_index *index) noexcept;

}  // namespace velmora

#endif
