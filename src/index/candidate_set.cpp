// Candidate de-duplication set: inline list first, then list plus a table
// kept at most half full.  See candidate_set.h.
#include "index/candidate_set.h"

#include <cstdlib>

namespace velmora {
namespace {

// SplitMix64 finaliser: consecutive positions land far apart.
inline uint64_t candidate_slot_hash(uint64_t x) noexcept {
    uint64_t z = (x ^ (x >> 30)) * 0xbf58476d1ce4e5b9ull;
    z = (z ^ (z >> 27)) * 0x94d049bb133111ebull;
    return z ^ (z >> 31);
}

// First of 128, 256, 512, ... that is at least want.
inline uint64_t candidate_table_size(uint64_t want) noexcept {
    uint64_t size = 128;
    while (size < want) size <<= 1;
    return size;
}

// Allocates a zeroed table of slot_count slots holding every recorded
// position; null when memory runs out.
uint64_t *candidate_table_build(const candidate_seen_set *set, uint64_t slot_count) noexcept {
    uint64_t *slots = static_cast<uint64_t *>(std::calloc(slot_count, sizeof(uint64_t)));
    if (slots == nullptr) return nullptr;
    const uint64_t mask = slot_count - 1;
    for (size_t i = 0; i < set->items.size(); ++i) {
        uint64_t s = candidate_slot_hash(set->items[i]) & mask;
        while (slots[s] != 0) s = (s + 1) & mask;
        slots[s] = set->items[i] + 1;
    }
    return slots;
}

}  // namespace

int32_t candidate_seen_hash_add(candidate_seen_set *set, uint64_t id) noexcept {
    const uint64_t count = set->items.size();
    if (set->slot_count == 0 || 2 * count + 2 > set->slot_count) {
        const uint64_t size = candidate_table_size(4 * count + 4);
        uint64_t *slots = candidate_table_build(set, size);
        if (slots == nullptr) return -1;
        std::free(set->slots);
        set->slots = slots;
        set->slot_count = size;
    }
    const uint64_t mask = set->slot_count - 1;
    uint64_t s = candidate_slot_hash(id) & mask;
    while (set->slots[s] != 0) {
        if (set->slots[s] == id + 1) return 0;
        s = (s + 1) & mask;
    }
    set->slots[s] = id + 1;
    return 1;
}

int32_t candidate_seen_add(candidate_seen_set *set, uint64_t id) noexcept {
    inline_array<uint64_t, CANDIDATE_SEEN_INLINE> &items = set->items;
    if (set->slots == nullptr && items.size() < items.capacity()) {
        for (size_t i = 0; i < items.size(); ++i) {
            if (items[i] == id) return 0;
        }
    } else {
        if (set->slots == nullptr) {
            const uint64_t size = candidate_table_size(4 * items.size());
            uint64_t *slots = candidate_table_build(set, size);
            if (slots == nullptr) return -1;
            set->slots = slots;
            set->slot_count = size;
        }
        const int32_t r = candidate_seen_hash_add(set, id);
        if (r != 1) return r;
    }
    return items.push(id) ? 1 : -1;
}

void candidate_seen_free(candidate_seen_set *set) noexcept {
    set->items.reset();
    std::free(set->slots);
    set->slots = nullptr;
    set->slot_count = 0;
}

}  // namespace velmora
