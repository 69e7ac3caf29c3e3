// Pairs of any length against the plain dynamic programme: lengths around
// every 64-byte word boundary up to 4,096 and a few far beyond, related
// pairs (1 to 20% edits) and unrelated ones, bytes 0 and 255, and bounds
// from 0 to the length, for every entry point that takes the blocked kernel;
// then the heap of that kernel failing at each allocation.
#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "distance/distance_internal.h"
#include "support/alloc_hooks.h"
#include "test_util.h"
#include "velmora.h"

namespace {

using velmora_test::rng;
using velmora_test::seq_batch;

struct long_pair {
    std::string a, b;
    uint32_t d;  // vorn_edit_distance_dp
    seq_batch buf;
    const uint8_t *pa() const { return buf.ptrs()[0]; }
    const uint8_t *pb() const { return buf.ptrs()[1]; }
};

// A partner for a: related with 1 to 20% edits, unrelated of a nearby or a
// different length, a's bytes mapped onto 0 and 255 only, or a with a
// leading or trailing flank cut off or added (the path then runs along row
// or column 0, or ends along the last row).
std::string partner(rng &g, const std::string &a, int kind) {
    const size_t len = a.size();
    switch (kind) {
        case 0: {
            const unsigned pct = static_cast<unsigned>(g.range(1, 20));
            return g.mutate(a, static_cast<unsigned>(len * pct / 100 + 1), 10);
        }
        case 1: return g.noisy(g.range(len - len / 20, len + len / 20), 10);
        case 2: return g.noisy(g.range(len / 3, 2 * len), 10);
        case 3: {
            std::string s = g.mutate(a, static_cast<unsigned>(len / 50 + 1), 0);
            for (char &c : s) c = (c == 'A' || c == 'C') ? '\0' : '\xff';
            return s;
        }
        default: {
            const size_t flank = g.range(1, len / 8 + 1);
            switch (g.range(0, 4)) {
                case 0: return g.noisy(flank, 10) + a;
                case 1: return a + g.noisy(flank, 10);
                case 2: return a.substr(flank);
                case 3: return a.substr(0, len - flank);
                default: return g.noisy(flank, 10) + a.substr(0, len - flank);  // shifted
            }
        }
    }
}

// The grid, built once: one length next to each word boundary up to 4,096
// (every one of 63, 64, 65 up to 512), a few up to 20,000.
const std::vector<std::unique_ptr<long_pair>> &pairs() {
    static const std::vector<std::unique_ptr<long_pair>> all = [] {
        std::vector<std::unique_ptr<long_pair>> v;
        rng g(velmora_test::test_seed() + 140);
        std::vector<size_t> lens;
        for (size_t w = 64; w <= 4096; w += 64) {
            if (w <= 512) {
                for (size_t l : {w - 1, w, w + 1}) lens.push_back(l);
            } else {
                lens.push_back(w - 1 + g.range(0, 2));
            }
        }
        for (size_t l : {7000u, 12289u, 20000u}) lens.push_back(l);
        int kind = 0;
        for (size_t len : lens) {
            for (int rep = 0; rep < velmora_test::test_scale(); ++rep) {
                auto p = std::make_unique<long_pair>();
                p->a = g.chance(20) ? g.noisy(len, 30) : g.dna(len);
                // The longest pairs are related only, so the grid stays quick.
                p->b = partner(g, p->a, len > 5000 ? 0 : kind++ % 5);
                p->buf.add(p->a);
                p->buf.add(p->b);
                p->d = vorn_edit_distance_dp(p->pa(), p->a.size(), p->pb(), p->b.size());
                v.push_back(std::move(p));
            }
        }
        return v;
    }();
    return all;
}

// Bounds around the distance, the edges 0 and the length, and a few between.
std::vector<int32_t> bounds_for(rng &g, const long_pair &p) {
    const auto d = static_cast<int32_t>(p.d);
    const auto len = static_cast<int32_t>(std::max(p.a.size(), p.b.size()));
    std::vector<int32_t> ks = {0, 1, 2, 31, 32, d - 1, d, d + 1, len / 10, len,
                               static_cast<int32_t>(g.range(0, static_cast<size_t>(len)))};
    ks.erase(std::remove_if(ks.begin(), ks.end(), [](int32_t k) { return k < 0; }), ks.end());
    return ks;
}

#define PAIR_TRACE(p) SCOPED_TRACE(std::to_string((p).a.size()) + "/" + \
                                   std::to_string((p).b.size()) + " d=" + std::to_string((p).d))

TEST(LongPairs, EditDistanceAgreesWithTheDp) {
    for (const auto &p : pairs()) {
        PAIR_TRACE(*p);
        EXPECT_EQ(vorn_edit_distance(p->pa(), p->a.size(), p->pb(), p->b.size()), p->d);
        EXPECT_EQ(vorn_edit_distance(p->pb(), p->b.size(), p->pa(), p->a.size()), p->d);
    }
}

// Either operand as the pattern, longer or shorter than the text.
TEST(LongPairs, Myers64AgreesWithTheDp) {
    for (const auto &p : pairs()) {
        PAIR_TRACE(*p);
        EXPECT_EQ(vorn_edit_distance_myers64(p->pa(), p->a.size(), p->pb(), p->b.size()), p->d);
        EXPECT_EQ(vorn_edit_distance_myers64(p->pb(), p->b.size(), p->pa(), p->a.size()), p->d);
    }
}

TEST(LongPairs, LeqAgreesWithTheDp) {
    rng g(velmora_test::test_seed() + 141);
    for (const auto &p : pairs()) {
        PAIR_TRACE(*p);
        for (const int32_t k : bounds_for(g, *p)) {
            const int32_t want = p->d <= static_cast<uint32_t>(k) ? 1 : 0;
            EXPECT_EQ(vorn_edit_distance_leq(p->pa(), p->a.size(), p->pb(), p->b.size(), k), want)
                << "k=" << k;
            EXPECT_EQ(vorn_edit_distance_leq(p->pb(), p->b.size(), p->pa(), p->a.size(), k), want)
                << "k=" << k;
        }
    }
}

TEST(LongPairs, CandidateDistanceAgreesWithTheDp) {
    rng g(velmora_test::test_seed() + 142);
    for (const auto &p : pairs()) {
        PAIR_TRACE(*p);
        for (const int32_t k : bounds_for(g, *p)) {
            const int32_t want = p->d <= static_cast<uint32_t>(k) ? static_cast<int32_t>(p->d) : -1;
            EXPECT_EQ(velmora::candidate_distance_within_k(p->pa(), p->a.size(), p->pb(),
                                                           p->b.size(), k), want) << "k=" << k;
            EXPECT_EQ(velmora::candidate_distance_within_k(p->pb(), p->b.size(), p->pa(),
                                                           p->a.size(), k), want) << "k=" << k;
        }
    }
}

// Both operands over 512 bytes: each allocation of the call may fail.  The
// failed call answers with its error value, never with a distance or a
// verdict; a call that got its memory answers right; nothing leaks.
TEST(LongPairs, AllocationFailureAtEveryStep) {
    rng g(velmora_test::test_seed() + 143);
    struct shape { size_t len; unsigned edits; };
    for (const shape sh : {shape{513, 3}, shape{700, 40}, shape{3000, 150}}) {
        const std::string a = g.noisy(sh.len, 10);
        const std::string b = g.mutate(a, sh.edits, 10) + "T";  // lengths differ
        seq_batch buf;
        buf.add(a);
        buf.add(b);
        const uint8_t *pa = buf.ptrs()[0], *pb = buf.ptrs()[1];
        const uint32_t d = vorn_edit_distance_dp(pa, a.size(), pb, b.size());
        const auto di = static_cast<int32_t>(d);
        SCOPED_TRACE(std::to_string(sh.len) + " d=" + std::to_string(d));
        struct entry {
            const char *name;
            std::function<int64_t()> call;
            int64_t failed, ok;
            bool kernel;  // false when the length difference already decides
        };
        const size_t gap = b.size() > a.size() ? b.size() - a.size() : a.size() - b.size();
        const bool beyond_needs_kernel = d - 1 >= gap;
        const entry entries[] = {
            {"distance", [&] { return int64_t{vorn_edit_distance(pa, a.size(), pb, b.size())}; },
             UINT32_MAX, d, true},
            {"myers64", [&] { return int64_t{vorn_edit_distance_myers64(pb, b.size(), pa, a.size())}; },
             UINT32_MAX, d, true},
            {"leq within", [&] { return int64_t{vorn_edit_distance_leq(pa, a.size(), pb, b.size(), di)}; },
             -1, 1, true},
            {"leq beyond", [&] { return int64_t{vorn_edit_distance_leq(pa, a.size(), pb, b.size(), di - 1)}; },
             -1, 0, beyond_needs_kernel},
            {"candidate within",
             [&] { return int64_t{velmora::candidate_distance_within_k(pa, a.size(), pb, b.size(), di + 5)}; },
             -2, d, true},
            {"candidate beyond",
             [&] { return int64_t{velmora::candidate_distance_within_k(pb, b.size(), pa, a.size(), di - 1)}; },
             -2, -1, beyond_needs_kernel},
        };
        for (const entry &e : entries) {
            const uint64_t runs = velmora_test::alloc_fault_sweep([&](uint64_t) {
                const int64_t r = e.call();
                EXPECT_EQ(r, velmora_test::alloc_injected() ? e.failed : e.ok) << e.name;
            });
            if (e.kernel) {
                EXPECT_GE(runs, 2u) << e.name << ": the long path took no memory";
            }
        }
    }
}

}  // namespace
