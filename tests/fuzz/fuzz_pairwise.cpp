// Pairwise distances against the full-matrix definition: the three distance
// functions in both operand orders (the bit-parallel kernel also with the
// longer operand as its pattern, and past 512 bytes in its blocked form), and
// the bounded yes/no test for every k from -1 to 6 and for k around the
// distance, where a band that is one diagonal too narrow would show.
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "gen.h"

namespace {

void check_distance(const char *fn, uint32_t got, uint32_t want, const oracle::seq &a,
                    const oracle::seq &b) {
    if (got == want) return;
    char what[160];
    std::snprintf(what, sizeof what, "%s returned %u, expected %u", fn, got, want);
    fuzz::fail(what, {a, b}, {});
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    fuzz::input in(data, size);
    std::vector<oracle::seq> pool;
    pool.push_back(in.sequence(pool, 700));
    pool.push_back(in.sequence(pool, 700));
    const oracle::seq &a = pool[0];
    const oracle::seq &b = pool[1];
    fuzz::batch held(pool);
    const uint8_t *pa = held.ptr(0), *pb = held.ptr(1);
    const size_t la = held.len(0), lb = held.len(1);

    const bool invalid = a.invalid() || b.invalid();
    const uint32_t want = invalid ? UINT32_MAX : oracle::levenshtein(a.bytes, b.bytes);

    check_distance("vorn_edit_distance_dp(a, b)", vorn_edit_distance_dp(pa, la, pb, lb), want, a, b);
    check_distance("vorn_edit_distance_dp(b, a)", vorn_edit_distance_dp(pb, lb, pa, la), want, a, b);
    check_distance("vorn_edit_distance_myers64(a, b)", vorn_edit_distance_myers64(pa, la, pb, lb),
                   want, a, b);
    check_distance("vorn_edit_distance_myers64(b, a)", vorn_edit_distance_myers64(pb, lb, pa, la),
                   want, a, b);
    check_distance("vorn_edit_distance(a, b)", vorn_edit_distance(pa, la, pb, lb), want, a, b);
    check_distance("vorn_edit_distance(b, a)", vorn_edit_distance(pb, lb, pa, la), want, a, b);

    std::vector<int32_t> ks = {-1, 0, 1, 2, 3, 4, 5, 6};
    if (!invalid) {
        const auto d = static_cast<int32_t>(want);
        for (const int32_t k : {d / 2, d - 2, d - 1, d, d + 1})
            if (k > 6) ks.push_back(k);
    }
    for (const int32_t k : ks) {
        const int32_t expect = invalid ? -1 : (k >= 0 && want <= static_cast<uint32_t>(k)) ? 1 : 0;
        const int32_t ab = vorn_edit_distance_leq(pa, la, pb, lb, k);
        const int32_t ba = vorn_edit_distance_leq(pb, lb, pa, la, k);
        if (ab != expect || ba != expect) {
            char what[160];
            std::snprintf(what, sizeof what,
                          "vorn_edit_distance_leq k=%d gave %d (a, b) and %d (b, a), expected %d "
                          "(distance %u)",
                          k, ab, ba, expect, want);
            fuzz::fail(what, {a, b}, {});
        }
    }
    return 0;
}
