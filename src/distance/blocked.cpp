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
// needs |c - i| edits with c = j + delta, so min over rows of D[i][j] +
// |c - i| bounds the distance from below.  Consecutive rows differ by at
// most one, so D[i][j] - i never grows and D[i][j] + i never shrinks down
// the column: the minimum sits at row c itself (clamped to the computed
// rows), and one prefix count of the vertical differences gives it.  Once it
// exceeds k the answer is known.
#include <bit>
#include <cstdlib>
#include <cstring>

#include "common.h"
#include "distance/kernels.h"

namespace velmora {
namespace {

constexpr size_t ALPHABET = 256;
// The cut-off is tested every this many columns: a few operations per
// block, so rare enough to cost nothing and soon enough to stop early.
constexpr size_t CUTOFF_EVERY = 8;

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

// Value of pattern row `row` (row >= 64 * first), from the value `top` of
// row 64 * first and the vertical differences below it.
int64_t value_at(const blocked_state &s, size_t first, int64_t top, size_t row) noexcept {
    size_t b = first, rest = row - 64 * first;
    int64_t v = top;
    for (; rest >= 64; rest -= 64, ++b) v += block_delta(s.pv[b], s.mv[b]);
    if (rest != 0) {
        const uint64_t mask = (uint64_t{1} << rest) - 1;
        v += block_delta(s.pv[b] & mask, s.mv[b] & mask);
    }
    return v;
}

// The distance when it is at most k, else k + 1.  m, n >= 1.  With k at
// least the longer length the answer is always exact and no cut-off is tried.
uint32_t band_run(blocked_state &s, size_t m, const uint8_t *b, size_t n, uint64_t k) noexcept {
    const int64_t mi = static_cast<int64_t>(m), ni = static_cast<int64_t>(n);
    const int64_t delta = mi - ni, ki = static_cast<int64_t>(k);
    if (delta > ki || -delta > ki) return static_cast<uint32_t>(k + 1);
    const bool no_cutoff = k >= m && k >= n;
    const int64_t emin = -((ki - delta) / 2), emax = (ki + delta) / 2;
    size_t first = 0, last = 0;
    bool started = false;
    int64_t top = 0;  // value of row 64 * first in the last column computed
    for (size_t j = 1; j <= n; ++j) {
        const int64_t jj = static_cast<int64_t>(j);
        const int64_t lo = jj + emin < 1 ? 1 : jj + emin;
        const int64_t hi = jj + emax > mi ? mi : jj + emax;
        const size_t nf = static_cast<size_t>(lo - 1) / 64, nl = static_cast<size_t>(hi - 1) / 64;
        for (; first < nf; ++first) top += block_delta(s.pv[first], s.mv[first]);
        const size_t from = started ? last + 1 : 0;
        for (size_t w = from; w <= nl; ++w) {
            s.pv[w] = ~uint64_t{0};
            s.mv[w] = 0;
        }
        if (nl + 1 > from) last = nl;
        started = true;

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

        if (!no_cutoff && (j % CUTOFF_EVERY == 0)) {
            const int64_t c = jj + delta;
            const int64_t row_lo = static_cast<int64_t>(64 * first);
            const int64_t row_hi = static_cast<int64_t>(64 * (last + 1)) > mi
                                       ? mi
                                       : static_cast<int64_t>(64 * (last + 1));
            const int64_t at = c < row_lo ? row_lo : (c > row_hi ? row_hi : c);
            const int64_t bound = value_at(s, first, top, static_cast<size_t>(at)) +
                                  (c > at ? c - at : at - c);
            if (bound > ki) return static_cast<uint32_t>(k + 1);
        }
    }
    const int64_t d = value_at(s, first, top, m);
    return d > ki ? static_cast<uint32_t>(k + 1) : static_cast<uint32_t>(d);
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

// Band half-width of the first try of an unbounded distance, and the share
// of the pattern beyond which a band costs more than the full kernel.
constexpr uint64_t FIRST_BAND = 64;

uint32_t unbounded(blocked_state &s, size_t m, const uint8_t *b,
                   size_t n) noexcept {
    const uint64_t gap = m > n ? m - n : n - m;
    const uint64_t longer = m > n ? m : n;
    uint64_t k = gap > FIRST_BAND ? gap : FIRST_BAND;
    // A band of k rows costs about k / m of the full kernel per column, and
    // a failed try is cut off after about 2k columns at most on unrelated
    // pairs: doubling keeps the total within a small factor of the last try.
    while (2 * k < longer) {
        const uint32_t d = band_run(s, m, b, n, k);
        if (d <= k) return d;
        k *= 2;
    }
    return band_run(s, m, b, n, longer);
}

}  // namespace

uint32_t edit_distance_blocked(const uint8_t *a, size_t a_len, const uint8_t *b,
                               size_t b_len) noexcept {
    VELMORA_ASSERT(a_len >= 1 && b_len >= 1);
    if (a_len > DISTANCE_LENGTH_LIMIT || b_len > DISTANCE_LENGTH_LIMIT) return UINT32_MAX;
    return with_state(a, a_len, nullptr, 0, [&](blocked_state &s) {
        return unbounded(s, a_len, b, b_len);
    });
}

uint32_t edit_distance_blocked_within(const uint8_t *a, size_t a_len, const uint8_t *b,
                                      size_t b_len, uint32_t k) noexcept {
    VELMORA_ASSERT(a_len >= 1 && b_len >= 1 && k < UINT32_MAX);
    if (a_len > DISTANCE_LENGTH_LIMIT || b_len > DISTANCE_LENGTH_LIMIT) return UINT32_MAX;
    const size_t gap = a_len > b_len ? a_len - b_len : b_len - a_len;
    if (gap > k) return k + 1;
    // Up to 512 pattern bytes everything fits the frame: at most 257 mask
    // rows and the two state vectors of 8 words each.
    uint64_t stack[(ALPHABET + 1 + 2) * 8];
    const bool small = a_len <= 512;
    return with_state(a, a_len, small ? stack : nullptr, small ? sizeof stack / sizeof stack[0] : 0,
                      [&](blocked_state &s) { return band_run(s, a_len, b, b_len, k); });
}

}  // namespace velmora
