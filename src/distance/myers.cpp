// Bit-parallel edit distance (Myers' bit-vector method, multi-word form).
//
// The DP matrix has one row per pattern byte (a) and one column per text byte
// (b).  A column is held as its vertical differences D[i][j] - D[i-1][j], each
// +1, 0 or -1, as two bit vectors: Pv (the +1 rows) and Mv (the -1 rows), one
// bit per pattern byte, bit p of word p / 64 for pattern position p.  Each
// text byte t advances the column with a fixed handful of word operations
// driven by Eq = the positions where a[p] == t (row t of the match table).
// Row 0 of the matrix grows by one per text byte (the bit shifted into the
// horizontal +1 vector is 1), which makes the score a global distance; the
// score follows the pattern's last row.  Patterns up to 512 bytes (8 words)
// run here with everything in the stack frame; longer ones go to the blocked
// kernel (blocked.cpp), which keeps its masks on the heap.
//
// Invariants and shortcuts that keep the result equal to the word-by-word
// definition:
// - Information only flows upwards (carries of the addition and the one-bit
//   shifts), so the bits above the pattern's last position never influence
//   the probed bit.  They are left unmasked: one AND per word saved.
// - The multi-word column is advanced word by word in one pass, carrying the
//   addition's carry and the bits shifted out of Ph and Mh into the next
//   word; the word count is a template argument, so each pass is a straight
//   unrolled sequence.  Each W gets its own non-inlined function, so the
//   dispatcher's frame does not add up all their tables.
// - The match table is not cleared wholesale on short inputs: only the rows
//   of bytes that occur in the text or in the pattern are zeroed before the
//   pattern's bits are set, so every row the text reads is defined and holds
//   exactly the pattern's positions.  Once a_len + b_len exceeds 64, the
//   whole table (256 rows of W words) is cleared instead with block stores,
//   which is then the cheaper way.
#include <bit>
#include <cstring>

#include "common.h"
#include "distance/kernels.h"
#include "velmora.h"

namespace velmora {
namespace {

constexpr size_t MATCH_TABLE_ROWS = 256;
// Up to this many pattern and text bytes, zeroing their rows one by one is
// cheaper than clearing all 256 rows with block stores (measured: the break
// even lies near 64 bytes, whatever the row width).
constexpr size_t LAZY_CLEAR_LIMIT = 64;

// Rows of W words; row c holds bit p set exactly when a[p] == c, and every
// row that b reads is defined.
template <size_t W>
inline void match_table_build(uint64_t *table, const uint8_t *a, size_t a_len, const uint8_t *b,
                              size_t b_len) noexcept {
    if (a_len + b_len <= LAZY_CLEAR_LIMIT) {
        for (size_t j = 0; j < b_len; ++j)
            for (size_t w = 0; w < W; ++w) table[size_t{b[j]} * W + w] = 0;
        // The rows of a's bytes too: they are or-ed into below, and a row b
        // never reads must not be read uninitialised either.
        for (size_t p = 0; p < a_len; ++p)
            for (size_t w = 0; w < W; ++w) table[size_t{a[p]} * W + w] = 0;
    } else {
        std::memset(table, 0, MATCH_TABLE_ROWS * W * sizeof(uint64_t));
    }
    for (size_t w = 0; w * 64 < a_len; ++w) {
        const size_t end = a_len - w * 64 < 64 ? a_len : w * 64 + 64;
        uint64_t bit = 1;
        for (size_t p = w * 64; p < end; ++p, bit <<= 1) table[size_t{a[p]} * W + w] |= bit;
    }
}

// One-word column (pattern of 1 to 64 bytes) in two registers, and the score
// of its last row.
struct one_word_column {
    uint64_t pv = ~uint64_t{0};  // column 0: D[i][0] = i, every step +1
    uint64_t mv = 0;
    uint32_t score;
};

// Advances the column by one text byte whose match mask is eq; probe is the
// bit of the pattern's last row.
inline void one_word_step(one_word_column &c, uint64_t eq, uint64_t probe) noexcept {
    const uint64_t pv = c.pv, mv = c.mv;
    const uint64_t xv = eq | mv;
    const uint64_t sum = (eq & pv) + pv;
    const uint64_t xh = (sum ^ pv) | eq;
    const uint64_t mh = pv & xh;
    // The complement of Ph = Mv | ~(Xh | Pv), and of the shifted
    // (Ph << 1) | 1, which is just (~Ph) << 1; and Xh | Pv = Sum | Pv | Eq,
    // with Pv | Eq ready early.  Both take operations off the
    // loop-carried chain from Pv to the next Pv (7 instead of 11).
    const uint64_t not_ph = ~mv & (sum | (pv | eq));
    // Ph and Mh are never both set at one bit: +1, -1 or nothing.
    c.score += static_cast<uint32_t>((not_ph & probe) == 0);
    c.score -= static_cast<uint32_t>((mh & probe) != 0);
    const uint64_t not_phs = not_ph << 1;  // row 0 grows: Ph shifts in a 1
    c.pv = (mh << 1) | (~xv & not_phs);    // Mh' | ~(Xv | Ph')
    c.mv = xv & ~not_phs;                  // Xv & Ph'
}

// One-word pattern (1 to 64 bytes).
uint32_t myers_one_word(const uint8_t *a, size_t a_len, const uint8_t *b, size_t b_len) noexcept {
    uint64_t table[MATCH_TABLE_ROWS];
    match_table_build<1>(table, a, a_len, b, b_len);
    const uint64_t probe = uint64_t{1} << (a_len - 1);
    one_word_column c;
    c.score = static_cast<uint32_t>(a_len);
    for (size_t j = 0; j < b_len; ++j) one_word_step(c, table[b[j]], probe);
    return c.score;
}

// W-word pattern (65 to 512 bytes).  The table is 256 * W words of the frame.
template <size_t W>
[[gnu::noinline]] uint32_t myers_words(const uint8_t *a, size_t a_len, const uint8_t *b,
                                       size_t b_len) noexcept {
    uint64_t table[MATCH_TABLE_ROWS * W];
    match_table_build<W>(table, a, a_len, b, b_len);
    const uint64_t probe = uint64_t{1} << ((a_len - 1) % 64);  // in word W - 1
    uint64_t pv[W], mv[W];
    for (size_t w = 0; w < W; ++w) {
        pv[w] = ~uint64_t{0};
        mv[w] = 0;
    }
    uint32_t score = static_cast<uint32_t>(a_len);
    for (size_t j = 0; j < b_len; ++j) {
        const uint64_t *eq = table + size_t{b[j]} * W;
        uint64_t carry = 0;       // of (Eq & Pv) + Pv across words
        uint64_t not_ph_in = 0;   // ~Ph's bit into word 0: row 0 grows, Ph shifts in a 1
        uint64_t mh_in = 0;
        uint64_t not_ph_top = 0, mh_top = 0;  // last word's ~Ph and Mh before the shift
        // Fully unrolled, so that Pv and Mv stay in registers across text bytes
        // instead of round-tripping through the stack on the loop-carried chain.
#pragma GCC unroll 8
        for (size_t w = 0; w < W; ++w) {
            const uint64_t e = eq[w], p = pv[w], m = mv[w];
            const uint64_t xv = e | m;
            uint64_t sum;
            const bool c1 = __builtin_add_overflow(e & p, p, &sum);
            const bool c2 = __builtin_add_overflow(sum, carry, &sum);
            carry = static_cast<uint64_t>(c1 | c2);  // never both
            const uint64_t xh = (p ^ sum) | e;
            const uint64_t mh = p & xh;
            const uint64_t not_ph = ~m & (sum | (p | e));  // ~Ph, as in the one-word kernel
            not_ph_top = not_ph;
            mh_top = mh;
            const uint64_t not_phs = (not_ph << 1) | not_ph_in;
            const uint64_t mhs = (mh << 1) | mh_in;
            not_ph_in = not_ph >> 63;
            mh_in = mh >> 63;
            pv[w] = mhs | (~xv & not_phs);
            mv[w] = xv & ~not_phs;
        }
        score += static_cast<uint32_t>((not_ph_top & probe) == 0);
        score -= static_cast<uint32_t>((mh_top & probe) != 0);
    }
    return score;
}

// Every path to the last cell crosses column j, and from row i there it still
// needs at least |(m - i) - (n - j)| edits.  A path within k crosses inside
// the band, where the column holds exact values, so the smallest
// value-plus-remainder over the band's rows bounds the distance from below;
// once it exceeds k the answer is known.  Rows are 1-based here: `above` is
// row top, bit b of the word is row top + 1 + b.
// The bound walks the 2k + 2 rows of the band, so it is taken every
// power-of-two number of text bytes at least that large (and at least 8),
// which keeps it to a few operations per text byte for every k.
inline size_t banded_check_mask(size_t k) noexcept {
    size_t every = 8;
    while (every < 2 * k + 2) every <<= 1;
    return every - 1;
}

inline uint64_t banded_lower_bound(uint64_t pv, uint64_t mv, uint64_t above, size_t top,
                                   size_t j, size_t m, size_t n, size_t k) noexcept {
    const auto remainder = [&](size_t i) -> uint64_t {
        const size_t rows = m - i, cols = n - j;
        return rows > cols ? rows - cols : cols - rows;
    };
    const size_t last = m < j + k ? m : j + k;
    uint64_t v = above;
    uint64_t best = v + remainder(top);
    for (size_t i = top + 1, b = 0; i <= last; ++i, ++b) {
        v = v + ((pv >> b) & 1) - ((mv >> b) & 1);
        const uint64_t bound = v + remainder(i);
        best = bound < best ? bound : best;
    }
    return best;
}

// Banded kernel: only the diagonal band |i - j| <= k of the matrix matters
// when the question is whether the distance is at most k, since a path
// through a cell outside it already costs more than k.  One 64-bit word
// holds the band (2k + 1 <= 64 rows): while j <= k + 1 its top row is
// pattern row 1; after that it slides down one row per text byte.  The row
// just above the word enters the column step as a +1 horizontal difference,
// which is exact for row 0 and, once the word slides, stands for a cell
// outside the band whose value it keeps above k; the row entering at the
// bottom gets a +1 vertical difference, for the same reason.  So a cell
// within k of the start gets its exact value and every other cell a value
// above k.  `above` tracks the value of the cell just above the word.
// Every few text bytes the lower bound above may end the run early.
template <size_t W>
[[gnu::noinline]] uint32_t banded_words(const uint8_t *a, size_t a_len, const uint8_t *b,
                                        size_t b_len, size_t k) noexcept {
    uint64_t table[MATCH_TABLE_ROWS * W];
    match_table_build<W>(table, a, a_len, b, b_len);
    uint64_t pv = ~uint64_t{0};
    uint64_t mv = 0;
    uint64_t above = 0;  // the cell above the word, in the current column
    size_t top = 0;      // pattern position (0-based) of the word's bit 0
    const size_t check_mask = banded_check_mask(k);
    for (size_t j = 1; j <= b_len; ++j) {
        if (j > k + 1) {
            // Slide: the old top row leaves and becomes the cell above; its
            // value moves one column on with a +1 horizontal difference.
            above += (pv & 1) + 1;
            above -= mv & 1;
            pv = (pv >> 1) | (uint64_t{1} << 63);
            mv >>= 1;
            ++top;
        } else {
            above = j;  // row 0 of the matrix
        }
        const uint64_t *row = table + size_t{b[j - 1]} * W;
        const size_t w = top / 64, shift = top % 64;
        uint64_t eq = row[w] >> shift;
        if (shift != 0 && w + 1 < W) eq |= row[w + 1] << (64 - shift);
        const uint64_t xv = eq | mv;
        const uint64_t xh = (((eq & pv) + pv) ^ pv) | eq;
        const uint64_t ph = mv | ~(xh | pv);
        const uint64_t mh = pv & xh;
        const uint64_t phs = (ph << 1) | 1;
        const uint64_t mhs = mh << 1;
        pv = mhs | ~(xv | phs);
        mv = phs & xv;
        if ((j & check_mask) == 0 && banded_lower_bound(pv, mv, above, top, j, a_len,
                                                              b_len, k) > k) {
            return static_cast<uint32_t>(k + 1);
        }
    }
    // Value of the last pattern row: the cell above plus the vertical
    // differences down to it.  The caller guarantees it lies in the word.
    const size_t last = a_len - 1 - top;
    const uint64_t rows = last >= 63 ? ~uint64_t{0} : (uint64_t{1} << (last + 1)) - 1;
    const uint64_t d = above + static_cast<uint64_t>(std::popcount(pv & rows)) -
                       static_cast<uint64_t>(std::popcount(mv & rows));
    return d > k ? static_cast<uint32_t>(k + 1) : static_cast<uint32_t>(d);
}

}  // namespace

uint32_t edit_distance_bit_parallel(const uint8_t *a, size_t a_len, const uint8_t *b,
                                    size_t b_len) noexcept {
    if ((a == nullptr && a_len != 0) || (b == nullptr && b_len != 0)) return UINT32_MAX;
    // Rejected on every path, not only the DP fallback: the 32-bit score then
    // cannot overflow, whatever the text length.
    if (a_len > SIZE_LIMIT || b_len > SIZE_LIMIT) return UINT32_MAX;
    if (a_len == 0) return static_cast<uint32_t>(b_len);
    if (b_len == 0) return static_cast<uint32_t>(a_len);
    if (a_len > BIT_PARALLEL_MAX_PATTERN) return edit_distance_blocked(a, a_len, b, b_len);
    switch ((a_len + 63) / 64) {
        case 1: return myers_one_word(a, a_len, b, b_len);
        case 2: return myers_words<2>(a, a_len, b, b_len);
        case 3: return myers_words<3>(a, a_len, b, b_len);
        case 4: return myers_words<4>(a, a_len, b, b_len);
        case 5: return myers_words<5>(a, a_len, b, b_len);
        case 6: return myers_words<6>(a, a_len, b, b_len);
        case 7: return myers_words<7>(a, a_len, b, b_len);
        default: return myers_words<8>(a, a_len, b, b_len);
    }
}

}  // namespace velmora

extern "C" VORN_API uint32_t vorn_edit_distance_myers64(const uint8_t *a, size_t a_len,
                                                        const uint8_t *b,
                                                        size_t b_len) VORN_NOEXCEPT {
    return velmora::edit_distance_bit_parallel(a, a_len, b, b_len);
}

namespace velmora {

void edit_distance_prefixes(const uint8_t *a, size_t a_len, const uint8_t *b, size_t first,
                            size_t last, size_t at, uint32_t *least, uint32_t *at_value) noexcept {
    VELMORA_ASSERT(a_len >= 1 && a_len <= 64 && first <= last);
    uint64_t table[MATCH_TABLE_ROWS];
    match_table_build<1>(table, a, a_len, b, last);
    const uint64_t probe = uint64_t{1} << (a_len - 1);
    one_word_column c;
    c.score = static_cast<uint32_t>(a_len);  // the empty prefix
    uint32_t low = UINT32_MAX;
    for (size_t j = 0;; ++j) {
        // c.score is the distance to the prefix of j bytes.
        if (j >= first) {
            if (c.score < low) low = c.score;
            if (j == at) *at_value = c.score;
        }
        if (j == last) break;
        one_word_step(c, table[b[j]], probe);
    }
    *least = low;
}

uint32_t edit_distance_banded(const uint8_t *a, size_t a_len, const uint8_t *b, size_t b_len,
                              uint32_t k) noexcept {
    VELMORA_ASSERT(k >= 1 && k <= BANDED_MAX_K && a_len >= 1 && a_len <= BIT_PARALLEL_MAX_PATTERN);
    const size_t gap = a_len > b_len ? a_len - b_len : b_len - a_len;
    if (gap > k) return k + 1;
    switch ((a_len + 63) / 64) {
        case 1: return banded_words<1>(a, a_len, b, b_len, k);
        case 2: return banded_words<2>(a, a_len, b, b_len, k);
        case 3: return banded_words<3>(a, a_len, b, b_len, k);
        case 4: return banded_words<4>(a, a_len, b, b_len, k);
        case 5: return banded_words<5>(a, a_len, b, b_len, k);
        case 6: return banded_words<6>(a, a_len, b, b_len, k);
        case 7: return banded_words<7>(a, a_len, b, b_len, k);
        default: return banded_words<8>(a, a_len, b, b_len, k);
    }
}

}  // namespace velmora
