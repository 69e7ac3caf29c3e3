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

namespace velmora {

inline constexpr uint64_t CANDIDATE_SEEN_INLINE = 128;

struct candidate_seen_set {
    uint64_t inline_items[CANDIDATE_SEEN_INLINE];
    uint64_t *items;
    uint64_t *slots;
    uint64_t count;
    uint64_t capacity;
    uint64_t slot_count;
};

// Puts a fresh record into the empty state.
static inline void candidate_seen_init(candidate_seen_set *set) noexcept {
    set->items = set->inline_items;
    set->slots = nullptr;
    set->count = 0;
    set->capacity = CANDIDATE_SEEN_INLINE;
    set->slot_count = 0;
}

// 1: id is new and now recorded; 0: already recorded; -1: out of memory.
int32_t candidate_seen_add(candidate_seen_set *set, uint64_t id) noexcept;
// Table half of candidate_seen_add, once the table exists.
int32_t candidate_seen_hash_add(candidate_seen_set *set, uint64_t id) noexcept;
// Releases the heap parts and returns the set to the empty state.
void candidate_seen_free(candidate_seen_set *set) noexcept;

// RAII guard: frees the set on every way out of a path.
struct candidate_seen_scope {
    candidate_seen_set set;
    candidate_seen_scope() noexcept { candidate_seen_init(&set); }
    ~candidate_seen_scope() { candidate_seen_free(&set); }
    candidate_seen_scope(const candidate_seen_scope &) = delete;
    candidate_seen_scope &operator=(const candidate_seen_scope &) = delete;
};

}  // namespace velmora

#endif
