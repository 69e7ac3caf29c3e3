// Pairwise distances against the full-matrix definition (check_pair in
// differential.h): every distance function in both operand orders (the
// bit-parallel kernel also with the longer operand as its pattern, and past
// 512 bytes in its blocked form), and the bounded tests for every k from -1
// to 7 and for k around the distance.
#include <cstdint>
#include <vector>

#include "differential.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    fuzz::input in(data, size);
    std::vector<oracle::seq> pool;
    pool.push_back(in.sequence(pool, 700));
    pool.push_back(in.sequence(pool, 700));
    const oracle::seq &a = pool[0], &b = pool[1];
    velmora_test::check_pair(a, b, a.invalid() || b.invalid() ? UINT32_MAX : oracle::levenshtein(a.bytes, b.bytes));
    return 0;
}
