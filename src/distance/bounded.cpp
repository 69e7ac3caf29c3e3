// Bounded distance tests: "is the edit distance at most k?", for the small k
// the matchers use, where the answer is usually no.  The tests are ordered by
// cost: the length difference (a lower bound on the distance, no byte read),
// k = 0 as one byte comparison, k = 1 as one linear scan (a bounded Hamming
// count for equal lengths, a single-deletion walk for lengths one apart),
// then for k >= 2 a bounded Hamming count (an upper bound on the distance,
// and the distance itself when it is at most 2), and the bit-parallel kernel
// last, banded to the diagonals that can still hold a path within k, and
// stopping once none can (see distance_within_bound for which form runs).
//
// candidate_distance_within_k is the one test every matcher and index path
// uses to measure a candidate, so its result must never turn "could not be
// computed" into "farther than k": a failed kernel (memory for its masks,
// only when both operands exceed 512 bytes) is reported apart, and the
// exported yes/no test answers -1 for it, never 0 or 1.
#include <bit>
#include <utility>

#include "common.h"
#include "distance/distance_internal.h"
#include "distance/kernels.h"
#include "velmora.h"

namespace velmora {
namespace {

// Index of the first position where a and b differ, or len when none does.
size_t first_difference(const uint8_t *a, const uint8_t *b, size_t len) noexcept {
    size_t i = 0;
    for (; len - i >= 8; i += 8) {
        const uint64_t x = load_u64(a + i) ^ load_u64(b + i);
        if (x == 0) continue;
        // The first byte in memory is the lowest byte of a little-endian word.
        if constexpr (std::endian::native == std::endian::little)
            return i + static_cast<size_t>(std::countr_zero(x)) / 8;
        else
            return i + static_cast<size_t>(std::countl_zero(x)) / 8;
    }
    while (i < len && a[i] == b[i]) ++i;
    return i;
}

// The distance is at least the length difference.
size_t length_difference(size_t a_len, size_t b_len) noexcept {
    return a_len > b_len ? a_len - b_len : b_len - a_len;
}

// The distance when it is at most k, else some value above k (or UINT32_MAX
// when the kernel failed).  Up to 512 bytes the shorter operand is the
// pattern and everything stays in the frame: a small k over more than one
// word takes the one-word band, a band under half the pattern the blocked
// band, anything else the full kernel.  Longer pairs take the blocked band
// with the shorter operand as the text (one column per text byte); it may
// allocate its masks.
uint32_t distance_within_bound(const uint8_t *a, size_t a_len, const uint8_t *b, size_t b_len,
                               uint32_t k) noexcept {
    if (a_len > b_len) {
        std::swap(a, b);
        std::swap(a_len, b_len);
    }
    if (a_len > BIT_PARALLEL_MAX_PATTERN) return edit_distance_blocked_within(b, b_len, a, a_len, k);
    if (a_len > 64) {
        if (k <= BANDED_MAX_K) return edit_distance_banded(a, a_len, b, b_len, k);
        if (k < a_len / 2) return edit_distance_blocked_within(a, a_len, b, b_len, k);
    }
    return edit_distance_bit_parallel(a, a_len, b, b_len);
}

}  // namespace

int32_t same_length_hamming_distance_within_k(const uint8_t *a, const uint8_t *b, size_t len,
                                              int32_t k) noexcept {
    if (k < 0) return CANDIDATE_FARTHER;
    const uint32_t h = hamming_scan_bounded(a, b, len, static_cast<uint32_t>(k));
    return h == UINT32_MAX ? CANDIDATE_FARTHER : static_cast<int32_t>(h);
}

// Greedy single-deletion walk: taking the first mismatch i as the deleted
// byte is exact, because deleting an earlier byte d can only work when bytes
// d..i of the longer sequence are all equal, and then deleting byte i gives
// the same sequence.  After i the rest of the longer sequence, one byte on,
// must equal the rest of the shorter one.
int32_t one_delete_matches(const uint8_t *longer, size_t longer_len, const uint8_t *shorter,
                           size_t shorter_len) noexcept {
    if (longer_len == 0 || longer_len - 1 != shorter_len) return 0;
    if (shorter_len == 0) return 1;
    const size_t i = first_difference(longer, shorter, shorter_len);
    if (i == shorter_len) return 1;  // the last byte is the extra one
    return bytes_equal(longer + i + 1, shorter + i, shorter_len - i) ? 1 : 0;
}

int32_t candidate_distance_within_k(const uint8_t *q, size_t q_len, const uint8_t *r,
                                    size_t r_len, int32_t k) noexcept {
    if (k < 0) return CANDIDATE_FARTHER;
    if (k == 0) {
        VELMORA_ASSERT((q != nullptr || q_len == 0) && (r != nullptr || r_len == 0));
        return q_len == r_len && bytes_equal(q, r, q_len) ? 0 : CANDIDATE_FARTHER;
    }
    if (k == 1) {
        if ((q == nullptr && q_len != 0) || (r == nullptr && r_len != 0)) return CANDIDATE_UNMEASURED;
        if (q_len == r_len) {
            const uint32_t h = hamming_scan_bounded(q, r, q_len, 1);
            return h == UINT32_MAX ? CANDIDATE_FARTHER : static_cast<int32_t>(h);
        }
        if (q_len > r_len)
            return one_delete_matches(q, q_len, r, r_len) ? 1 : CANDIDATE_FARTHER;
        return one_delete_matches(r, r_len, q, q_len) ? 1 : CANDIDATE_FARTHER;
    }
    VELMORA_ASSERT((q != nullptr || q_len == 0) && (r != nullptr || r_len == 0));
    const uint32_t limit = static_cast<uint32_t>(k);
    if (q_len == r_len) {
        // A Hamming count of 3..k is only an upper bound: the kernel decides.
        const uint32_t h = hamming_scan_bounded(q, r, q_len, limit);
        if (h <= 2) return static_cast<int32_t>(h);
    } else if (length_difference(q_len, r_len) > limit) {
        return CANDIDATE_FARTHER;  // known without the kernel, so never "failed"
    }
    const uint32_t d = distance_within_bound(q, q_len, r, r_len, limit);
    if (d == UINT32_MAX) return CANDIDATE_UNMEASURED;
    return d <= limit ? static_cast<int32_t>(d) : CANDIDATE_FARTHER;
}

}  // namespace velmora

extern "C" VORN_API int32_t vorn_edit_distance_leq(const uint8_t *a, size_t a_len,
                                                   const uint8_t *b, size_t b_len,
                                                   int32_t k) VORN_NOEXCEPT {
    using namespace velmora;
    if (a == nullptr && a_len != 0) return -1;
    if ((b == nullptr && b_len != 0) || a_len > SIZE_LIMIT ||
        b_len > SIZE_LIMIT)
        return -1;
    if (k < 0) return 0;
    const size_t bound = static_cast<size_t>(k);
    if (length_difference(a_len, b_len) > bound) return 0;
    if (k == 0) return bytes_equal(a, b, a_len) ? 1 : 0;  // lengths are equal here
    if (a_len == 0 || b_len == 0) return 1;  // the other is at most k long
    if ((a_len > b_len ? a_len : b_len) <= bound) return 1;  // k edits rewrite it all
    if (k == 1) return candidate_distance_within_k(a, a_len, b, b_len, 1) >= 0;
    if (a_len == b_len && same_length_hamming_distance_within_k(a, b, a_len, k) >= 0) return 1;
    const uint32_t d = distance_within_bound(a, a_len, b, b_len, static_cast<uint32_t>(k));
    if (d == UINT32_MAX) return -1;  // not evaluated (no memory), not "farther"
    return d <= bound ? 1 : 0;
}
