// Bounded Hamming distance for the substitution-only paths.
//
// Two routes to one value.  Short sequences made only of A/C/G/T are packed
// into 2-bit codes and compared with one XOR and one bit count: a position
// differs exactly when either bit of its 2-bit symbol differs, so folding the
// high bit of each symbol onto the low one ((x >> 1) | x) and keeping the low
// bits leaves one set bit per differing position.  Everything else (longer
// sequences, any other byte) goes through the shared 8-bytes-per-step scan,
// which stops as soon as the count passes k.
#include <cstddef>
#include <cstdint>

#include "distance/distance_internal.h"
#include "hamming/hamming_internal.h"
#include "index/index_internal.h"

namespace velmora {
namespace {

// Packs len (1..32) upper-case A/C/G/T bytes; false at the first other byte.
inline bool hamming_pack_bases(const uint8_t *seq, size_t len, uint64_t *code) noexcept {
    uint64_t c = 0;
    for (size_t i = 0; i < len; ++i) {
        const int v = dna2_base_value(seq[i]);
        if (v < 0) return false;
        c |= static_cast<uint64_t>(v) << (2 * i);
    }
    *code = c;
    return true;
}

}  // namespace

int32_t hamming_distance_within_k(const uint8_t *a, size_t a_len, const uint8_t *b, size_t b_len,
                                  int32_t k) noexcept {
    if (a_len != b_len) return -1;
    const size_t len = a_len;
    // A null pointer with a nonzero length is never read: no distance exists.
    if (len != 0 && (a == nullptr || b == nullptr)) return -1;
    // Every distance is at least 0, so a negative bound admits nothing.
    if (k < 0) return -1;
    if (len == 0) return 0;

    if (len <= DNA2_MAX_LEN) {
        uint64_t ca = 0;
        uint64_t cb = 0;
        if (hamming_pack_bases(a, len, &ca) && hamming_pack_bases(b, len, &cb)) {
            const uint32_t d = hamming_code_mismatches(ca ^ cb, hamming_symbol_mask(len));
            return d <= static_cast<uint32_t>(k) ? static_cast<int32_t>(d) : -1;
        }
    }

    const uint32_t d = hamming_scan_bounded(a, b, len, static_cast<uint32_t>(k));
    return d == UINT32_MAX ? -1 : static_cast<int32_t>(d);
}

}  // namespace velmora
