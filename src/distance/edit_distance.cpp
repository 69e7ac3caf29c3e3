// The general distance entry point and the alphabet policy.
//
// Equal-length pairs are first counted position by position, stopping past
// two differences: for equal lengths a Hamming distance of at most 2 is the
// edit distance (one fewer edit would need an insertion and a deletion,
// which already cost 2), so near-identical reads never reach a kernel.
// Everything else goes to the bit-parallel kernel with the shorter operand as
// the pattern, which keeps the word count, and so the work per text byte,
// minimal and the heap out of it unless both operands exceed 512 bytes;
// patterns of three words and more first try a band of diagonals, which
// settles close pairs for one word per text byte.  Two operands over 512
// bytes go to the blocked kernel, which searches bands of doubling width.
#include <utility>

#include "common.h"
#include "distance/distance_internal.h"
#include "distance/kernels.h"
#include "velmora.h"

namespace {

// Patterns longer than this (three words and up) try the banded kernel first;
// for two words the full kernel costs about what a failed band attempt does.
constexpr size_t BANDED_FIRST_MIN_PATTERN = 128;

// Bytes compare by value only: no wildcards, no case folding.
constexpr char ALPHABET_POLICY[] =
    "literal-byte; A/C/G/T/N/IUPAC symbols are ordinary byte symbols; no wildcard expansion";

}  // namespace

extern "C" VORN_API const char *vorn_alphabet_policy(void) VORN_NOEXCEPT {
    return ALPHABET_POLICY;
}

extern "C" VORN_API uint32_t vorn_edit_distance(const uint8_t *a, size_t a_len, const uint8_t *b,
                                                size_t b_len) VORN_NOEXCEPT {
    if ((a == nullptr && a_len != 0) || (b == nullptr && b_len != 0)) return UINT32_MAX;
    // Before any byte is read: the shortcut below would otherwise scan
    // lengths no kernel accepts.
    if (a_len > velmora::SIZE_LIMIT || b_len > velmora::SIZE_LIMIT)
        return UINT32_MAX;
    if (a_len == b_len) {
        const uint32_t h = velmora::hamming_scan_bounded(a, b, a_len, 2);
        if (h != UINT32_MAX) return h;
    }
    if (a_len > b_len) {
        std::swap(a, b);
        std::swap(a_len, b_len);
    }
    if (a_len == 0) return static_cast<uint32_t>(b_len);
    // Both longer than 512 bytes: the blocked kernel works band by band, one
    // column per text byte, so the shorter operand is its text.
    if (a_len > velmora::BIT_PARALLEL_MAX_PATTERN) return velmora::edit_distance_blocked(b, b_len, a, a_len);
    // Close pairs of long sequences: the band of the 31 diagonals either side
    // of the main one costs one word per text byte instead of up to eight,
    // and gives the distance whenever it is at most 31.  A farther pair pays
    // for the band only until its lower bound passes 31, usually within the
    // first hundred text bytes, before the full kernel runs.
    if (a_len > BANDED_FIRST_MIN_PATTERN) {
        const uint32_t d = velmora::edit_distance_banded(a, a_len, b, b_len,
                                                         velmora::BANDED_MAX_K);
        if (d <= velmora::BANDED_MAX_K) return d;
    }
    return velmora::edit_distance_bit_parallel(a, a_len, b, b_len);
}
