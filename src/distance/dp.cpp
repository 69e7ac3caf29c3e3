// Reference edit distance: the classic dynamic programme over the matrix
// D[i][j] = distance between the first i bytes of a and the first j of b,
//   D[i][j] = min(D[i-1][j] + 1, D[i][j-1] + 1, D[i-1][j-1] + (a[i-1] != b[j-1])),
// kept as two rows of b_len + 1 cells (the previous and the current row of a).
// Time a_len * b_len, memory 2 * (b_len + 1) cells on the heap.
//
// Both lengths are at most 0x7FFFFFFF, so every cell (at most max(i, j)) and
// every intermediate (at most one more) fits 32 unsigned bits; the cells are
// unsigned so that even the intermediate max + 1 cannot overflow.
#include <cstdlib>

#include "common.h"
#include "velmora.h"

using namespace velmora;

extern "C" VORN_API uint32_t vorn_edit_distance_dp(const uint8_t *a, size_t a_len,
                                                   const uint8_t *b, size_t b_len) VORN_NOEXCEPT {
    if (a == nullptr && a_len != 0) return UINT32_MAX;
    if ((b == nullptr && b_len != 0) || a_len > SIZE_LIMIT ||
        b_len > SIZE_LIMIT)
        return UINT32_MAX;
    if (a_len == 0) return static_cast<uint32_t>(b_len);
    if (b_len == 0) return static_cast<uint32_t>(a_len);

    size_t cells = 0, row_bytes = 0;
    if (!checked_add(b_len, 1, &cells) || !checked_mul(cells, sizeof(uint32_t), &row_bytes))
        return UINT32_MAX;
    auto *prev = static_cast<uint32_t *>(std::malloc(row_bytes));
    auto *cur = static_cast<uint32_t *>(std::malloc(row_bytes));
    if (prev == nullptr || cur == nullptr) {
        std::free(prev);
        std::free(cur);
        return UINT32_MAX;
    }

    for (size_t j = 0; j <= b_len; ++j) prev[j] = static_cast<uint32_t>(j);
    for (size_t i = 1; i <= a_len; ++i) {
        const uint8_t c = a[i - 1];
        uint32_t left = static_cast<uint32_t>(i);
        cur[0] = left;
        for (size_t j = 1; j <= b_len; ++j) {
            const uint32_t up = prev[j];
            const uint32_t diag = prev[j - 1] + (c != b[j - 1] ? 1u : 0u);
            const uint32_t gap = (up < left ? up : left) + 1;
            left = gap < diag ? gap : diag;
            cur[j] = left;
        }
        uint32_t *t = prev;
        prev = cur;
        cur = t;
    }
    const uint32_t d = prev[b_len];
    std::free(prev);
    std::free(cur);
    return d;
}
