// Per-query set of reference positions already taken up, so that a reference
// reached through many probe codes is measured and counted once.
//
// The first 128 positions live inline (the set sits in the caller's stack
// frame): most queries meet a few dozen candidates and never allocate.  From
// the 129th on, an open-addressing table of position + 1 (0 = empty) is
// added; the list stays the source the table is rebuilt from.
#ifndef VELMORA_SRC_INDEX_CANDIDATE_SET_H
#define VELMORA_SRC_INDEX_CANDIDATE_SET_H

#include <cstdint>
#include <cstdlib>

#include "inline_array.h"

namespace velmora {

inline constexpr size_t CANDIDATE_SEEN_INLINE = 128;

struct candidate_seen_set {
    // Every recorded position once, in insertion order: the linear search
    // while the table is absent, and the source the table is rebuilt from.
    inline_array<uint64_t, CANDIDATE_SEEN_INLINE> items;
    uint64_t *slots = nullptr;  // null until the inline room is full
    uint64_t slot_count = 0;

    candidate_seen_set() noexcept = default;
    ~candidate_seen_set() { std::free(slots); }
    candidate_seen_set(const candidate_seen_set &) = delete;
    candidate_seen_set &operator=(const candidate_seen_set &) = delete;
};

// 1: id is new and now recorded; 0: already recorded; -1: out of memory.
int32_t candidate_seen_add(candidate_seen_set *set, uint64_t id) noexcept;
// Table half of candidate_seen_add, once the table exists.
int32_t candidate_seen_hash_add(candidate_seen_set *set, uint64_t id) noexcept;
// Releases the heap parts and returns the set to the empty state.
void candidate_seen_free(candidate_seen_set *set) noexcept;

}  // namespace velmora

#endif
