// Bounded count of differing bytes between two equal-length sequences, the
// scan behind every equal-length shortcut of the library.  It compares 8
// bytes per step as unaligned 64-bit words, skips equal blocks and counts the
// differing bytes of an unequal block at once (count_nonzero_bytes of the
// exclusive-or); the last 0 to 7 bytes go one at a time.  It stops as soon as
// the count is known to exceed the limit, so a typical non-matching
// candidate costs one or two blocks.  Nothing beyond len is read, and a null
// pointer with len 0 is never dereferenced.
#include "common.h"
#include "distance/distance_internal.h"

namespace velmora {

uint32_t hamming_scan_bounded(const uint8_t *a, const uint8_t *b, size_t len,
                              uint32_t limit) noexcept {
    uint64_t count = 0;  // at most limit + 8 while scanning: no wrap
    size_t i = 0;
    for (; len - i >= 8; i += 8) {
        const uint64_t x = load_u64(a + i) ^ load_u64(b + i);
        if (x == 0) continue;
        count += count_nonzero_bytes(x);
        if (count > limit) return UINT32_MAX;
    }
    for (; i < len; ++i) {
        if (a[i] == b[i]) continue;
        if (count >= limit) return UINT32_MAX;
        ++count;
    }
    return static_cast<uint32_t>(count);
}

}  // namespace velmora
