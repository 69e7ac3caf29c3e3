// Blocked bit-parallel edit distance for patterns of any length, with an
// optional diagonal band and the Ukkonen cut-off.
//
// The pattern a (rows) is cut into blocks of 64 rows, one 64-bit word of
// vertical differences (Pv, Mv) per block, and each text byte (column)
// advances the blocks top to bottom, carrying the addition's carry and the
// bits shifted out of Ph and Mh into the next block, exactly as the
// fixed-width kernel does for up to 8 words.
//
// Match masks exist only for the bytes that occur in the pattern: row 0 of
// the table is all zeros and serves every other byte, so the table is
// (distinct bytes + 1) x blocks words instead of 256 x blocks.
//
// Band.  A question "is the distance at most k?" needs exact values only in
// cells (i, j) that can lie on a path of cost at most k to the last cell:
// D[i][j] >= |i - j| and the rest of the path costs at least
// |(m - i) - (n - j)|, so with e = i - j and delta = m - n only
//   ceil((delta - k) / 2) <= e <= floor((delta + k) / 2)
// matters.  Column j computes just the blocks that hold those rows.  Cells
// around the band get values that are never below their true ones: a block
// entering at the bottom starts from "one more per row" below the block above,
// and the block at the top of the band sees a +1 horizontal difference from
// the row above it (D[i][j] <= D[i][j-1] + 1).  The min-plus recurrence is
// monotone, so every computed value is an upper bound, and a cell of the
// band whose optimal path stays in the band (all of them, when the distance
// is at most k) gets its exact value.
//
// Cut-off.  Every path to the last cell crosses column j; from row i it still
// needs |c - i| edits with c = j + delta, so a cell with D[i][j] + |c - i|
// above k lies on no path within k.  Consecutive rows differ by at most one,
// so D[i][j] - i never grows and D[i][j] + i never shrinks down the column:
// over a block's rows the smallest such sum sits at row c clamped to the
// block, one masked count of vertical differences away from a known value.
// Blocks whose smallest sum exceeds k leave the band (see band_run); once the
// last one would, the answer is known.
#include <bit>
#include <cstdlib>
#include <cstring>

#include "common.h"
#include "distance/kernels.h"

namespace velmora {
namespace {

constexpr size_t ALPHABET = 256;
// Blocks leave the band, and the run stops, only on every eighth column:
// the tests cost about what computing a block does, and leaving a block in
// for a few more columns is always sound.
constexpr size_t TRIM_MASK = 7;

// Match masks and column state of one call.
struct blocked_state {
    size_t words = 0;            // pattern blocks
    size_t row_of[ALPHABET];     // byte -> offset of its mask row (0: absent)
    uint64_t *table = nullptr;   // (distinct + 1) x words
    uint64_t *pv = nullptr;      // words
    uint64_t *mv = nullptr;      // words
};

// Distinct bytes of a, and row offsets for them.  Returns the row count.
size_t assign_rows(blocked_state &s, const uint8_t *a, size_t a_len) noexcept {
    uint8_t seen[ALPHABET];
    std::memset(seen, 0, sizeof seen);
    for (size_t p = 0; p < a_len; ++p) seen[a[p]] = 1;
    size_t rows = 1;
    for (size_t c = 0; c < ALPHABET; ++c) s.row_of[c] = seen[c] ? (rows++) * s.words : 0;
    return rows;
}

void fill_masks(blocked_state &s, const uint8_t *a, size_t a_len, size_t rows) noexcept {
    std::memset(s.table, 0, rows * s.words * sizeof(uint64_t));
    for (size_t w = 0; w < s.words; ++w) {
        const size_t end = a_len - w * 64 < 64 ? a_len : w * 64 + 64;
        uint64_t bit = 1;
        for (size_t p = w * 64; p < end; ++p, bit <<= 1) s.table[s.row_of[a[p]] + w] |= bit;
    }
}

inline int64_t block_delta(uint64_t pv, uint64_t mv) noexcept {
    return static_cast<int64_t>(std::popcount(pv)) - static_cast<int64_t>(std::popcount(mv));
}

// Value of row `row` of block w (64w <= row <= 64w + 64), from the value
// `above` of row 64w.
inline int64_t value_in_block(const blocked_state &s, size_t w, int64_t above,
                              size_t row) noexcept {
    const size_t r = row - 64 * w;  // 0..64
    const uint64_t mask = r >= 64 ? ~uint64_t{0} : (uint64_t{1} << r) - 1;
    return above + block_delta(s.pv[w] & mask, s.mv[w] & mask);
}

// Smallest D[i][j] + |c - i| over the rows of block w that are pattern rows
// (at most m) and the row just above it: at row c itself, clamped to those
// rows, since D[i][j] - i never grows and D[i][j] + i never shrinks down a
// column.  The row above counts because a path may still leave it into the
// block: row 0 for the first block, whose cells are exact and often on the
// path (leading insertions).
inline int64_t block_floor(const blocked_state &s, size_t w, int64_t above, size_t m,
                           int64_t c) noexcept {
    const int64_t lo = static_cast<int64_t>(64 * w);
    const int64_t top_row = static_cast<int64_t>(64 * w + 64);
    const int64_t hi = top_row > static_cast<int64_t>(m) ? static_cast<int64_t>(m) : top_row;
    const int64_t at = c < lo ? lo : (c > hi ? hi : c);
    return value_in_block(s, w, above, static_cast<size_t>(at)) + (c > at ? c - at : at - c);
}

// Result of one band: the distance when at most k, else k + 1; on a cut-off
// also where it happened and the bound it reached (for the next band).
struct band_result {
    uint32_t d;
    size_t cut_column;  // 0 when the run reached the last column
    int64_t cut_bound;
};

// The distance when it is at most k, else k + 1.  m, n >= 1.
//
// Blocks first..last are computed; the static band (rows the diagonals
// within k can reach) caps them, and inside it the band follows the cells
// that can still lie on a path within k (D[i][j] + |c - i| <= k, c = j + m -
// n):
// - a top block none of whose cells qualifies is dropped for good: paths
//   only go down, so nothing below it can need it again;
// - a bottom block none of whose cells qualifies is dropped, and re-enters
//   (from "one more per row" below the block above) as soon as the row above
//   it could start a qualifying path into it in the next column: its value
//   plus remainder is at most k + 2 (one for a diagonal step, one for the
//   column the path may enter on), block by block for runs of deletions;
// - once the last block left does not qualify, nothing can, and the run
//   stops.
band_result band_run(blocked_state &s, size_t m, const uint8_t *b, size_t n, uint64_t k) noexcept {
    const int64_t mi = static_cast<int64_t>(m), ni = static_cast<int64_t>(n);
    const int64_t delta = mi - ni, ki = static_cast<int64_t>(k);
    const uint32_t farther = static_cast<uint32_t>(k + 1);
    if (delta > ki || -delta > ki) return {farther, 0, 0};
    const int64_t emin = -((ki - delta) / 2), emax = (ki + delta) / 2;
    const size_t words = s.words;
    size_t first = 0, last = 0;
    s.pv[0] = ~uint64_t{0};  // column 0: D[i][0] = i
    s.mv[0] = 0;
    int64_t top = 0;      // value of row 64 * first in the current column
    int64_t bottom = 64;  // value of row 64 * (last + 1)
    for (size_t j = 1; j <= n; ++j) {
        const int64_t jj = static_cast<int64_t>(j);
        const int64_t prev_c = jj - 1 + delta;  // remainder centre of column j - 1
        const int64_t lo = jj + emin < 1 ? 1 : jj + emin;
        const int64_t hi = jj + emax > mi ? mi : jj + emax;
        const size_t nf = static_cast<size_t>(lo - 1) / 64, nl = static_cast<size_t>(hi - 1) / 64;
        // Bottom blocks enter while the row above them could start a
        // qualifying path (judged on column j - 1, which they join with
        // "one more per row").
        while (last < nl) {
            const int64_t r = static_cast<int64_t>(64 * (last + 1));
            if (bottom + (prev_c > r ? prev_c - r : r - prev_c) > ki + 2) break;
            ++last;
            s.pv[last] = ~uint64_t{0};
            s.mv[last] = 0;
            bottom += 64;
        }
        // Top blocks leave when outside the static band or (tested every few
        // columns) when no cell of theirs qualifies in column j - 1.
        const bool trim = (j & TRIM_MASK) == 0;
        while (first < last &&
               (first < nf || (trim && block_floor(s, first, top, m, prev_c) > ki))) {
            top += block_delta(s.pv[first], s.mv[first]);
            ++first;
        }

        const uint64_t *eq = s.table + s.row_of[b[j - 1]];
        uint64_t carry = 0, not_ph_in = 0, mh_in = 0;
        for (size_t w = first; w <= last; ++w) {
            const uint64_t e = eq[w], p = s.pv[w], mv = s.mv[w];
            const uint64_t xv = e | mv;
            uint64_t sum;
            const bool c1 = __builtin_add_overflow(e & p, p, &sum);
            const bool c2 = __builtin_add_overflow(sum, carry, &sum);
            carry = static_cast<uint64_t>(c1 | c2);
            const uint64_t xh = (p ^ sum) | e;
            const uint64_t mh = p & xh;
            const uint64_t not_ph = ~mv & (sum | (p | e));
            const uint64_t not_phs = (not_ph << 1) | not_ph_in;
            const uint64_t mhs = (mh << 1) | mh_in;
            not_ph_in = not_ph >> 63;
            mh_in = mh >> 63;
            s.pv[w] = mhs | (~xv & not_phs);
            s.mv[w] = xv & ~not_phs;
        }
        ++top;  // row 0 grows by one; a row above the band is taken as +1
        // The last block's bottom row moves by its horizontal difference.
        bottom += 1 - static_cast<int64_t>(not_ph_in) - static_cast<int64_t>(mh_in);

        if (!trim) continue;
        const int64_t c = jj + delta;
        while (first < last) {
            const int64_t above = bottom - block_delta(s.pv[last], s.mv[last]);
            if (block_floor(s, last, above, m, c) <= ki) break;
            bottom = above;
            --last;
        }
        if (first == last && block_floor(s, last, top, m, c) > ki) {
            return {farther, j, block_floor(s, last, top, m, c)};
        }
    }
    if (last != words - 1) return {farther, n, ki + 1};
    const int64_t above = bottom - block_delta(s.pv[last], s.mv[last]);
    const int64_t d = value_in_block(s, last, above, m);
    return {d > ki ? farther : static_cast<uint32_t>(d), 0, 0};
}

// Runs f with the state set up for pattern a: in `stack` when it fits
// (stack_words words), else in one heap block.  UINT32_MAX when the heap
// block cannot be had.
template <class F>
uint32_t with_state(const uint8_t *a, size_t a_len, uint64_t *stack, size_t stack_words,
                    F f) noexcept {
    blocked_state s;
    s.words = (a_len + 63) / 64;
    const size_t rows = assign_rows(s, a, a_len);
    size_t words = 0, bytes = 0;
    if (!checked_add(rows, 2, &words) || !checked_mul(words, s.words, &words) ||
        !checked_mul(words, sizeof(uint64_t), &bytes))
        return UINT32_MAX;
    uint64_t *mem = stack;
    if (words > stack_words) {
        mem = static_cast<uint64_t *>(std::malloc(bytes));
        if (mem == nullptr) return UINT32_MAX;
    }
    s.table = mem;
    s.pv = mem + rows * s.words;
    s.mv = s.pv + s.words;
    fill_masks(s, a, a_len, rows);
    const uint32_t d = f(s);
    if (mem != stack) std::free(mem);
    return d;
}

// Bound of the first band of an unbounded distance.
constexpr uint64_t FIRST_BAND = 64;

// Exact distance by bands of growing bound.  A band that is cut off at
// column J with a lower bound L suggests a distance near L * n / J (the
// bound grows about linearly along the text), so the next bound is that
// guess with a margin, at least twice the last; once it reaches half the
// longer length, the bound becomes the longer length, which always holds.
uint32_t unbounded(blocked_state &s, size_t m, const uint8_t *b, size_t n) noexcept {
    const uint64_t gap = m > n ? m - n : n - m;
    const uint64_t longer = m > n ? m : n;
    uint64_t k = gap > FIRST_BAND ? gap : FIRST_BAND;
    while (2 * k < longer) {
        const band_result r = band_run(s, m, b, n, k);
        if (r.d <= k) return r.d;
        uint64_t next = 2 * k;
        if (r.cut_column != 0) {
            const uint64_t guess = static_cast<uint64_t>(r.cut_bound) * n / r.cut_column;
            const uint64_t padded = guess + guess / 8;
            if (padded > next) next = padded;
        }
        k = next;
    }
    return band_run(s, m, b, n, longer).d;
}

}  // namespace

uint32_t edit_distance_blocked(const uint8_t *a, size_t a_len, const uint8_t *b,
                               size_t b_len) noexcept {
    VELMORA_ASSERT(a_len >= 1 && b_len >= 1);
    if (a_len > SIZE_LIMIT || b_len > SIZE_LIMIT) return UINT32_MAX;
    return with_state(a, a_len, nullptr, 0, [&](blocked_state &s) {
        return unbounded(s, a_len, b, b_len);
    });
}

uint32_t edit_distance_blocked_within(const uint8_t *a, size_t a_len, const uint8_t *b,
                                      size_t b_len, uint32_t k) noexcept {
    VELMORA_ASSERT(a_len >= 1 && b_len >= 1 && k < UINT32_MAX);
    if (a_len > SIZE_LIMIT || b_len > SIZE_LIMIT) return UINT32_MAX;
    const size_t gap = a_len > b_len ? a_len - b_len : b_len - a_len;
    if (gap > k) return k + 1;
    // Up to 512 pattern bytes everything fits the frame: at most 257 mask
    // rows and the two state vectors of 8 words each.
    uint64_t stack[(ALPHABET + 1 + 2) * 8];
    const bool small = a_len <= BIT_PARALLEL_MAX_PATTERN;
    return with_state(a, a_len, small ? stack : nullptr, small ? sizeof stack / sizeof stack[0] : 0,
                      [&](blocked_state &s) { return band_run(s, a_len, b, b_len, k).d; });
}

}  // namespace velmora
