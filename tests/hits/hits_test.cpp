// vorn_index_hits against brute force: every reference within k under the
// metric, in (distance, position) order, whatever route the query takes
// (exact key, one- and two-edit searches, unknown bytes, long reads, pieces,
// replacement search, the pass over every reference) and whatever tables the
// build kept; truncation to the capacity; working memory running out.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "oracle.h"
#include "support/alloc_hooks.h"
#include "test_util.h"
#include "velmora.h"

// vorn_hit lives in the global namespace, where lookup finds these.
inline bool operator==(const vorn_hit &a, const vorn_hit &b) {
    return a.ref_index == b.ref_index && a.distance == b.distance;
}
inline void PrintTo(const vorn_hit &h, std::ostream *os) {
    *os << "(" << h.ref_index << "," << h.distance << ")";
}

namespace {

using velmora_test::rng;
using velmora_test::seq_batch;

std::vector<vorn_hit> brute(const std::vector<oracle::seq> &refs, const std::string &q, uint32_t metric,
                            uint32_t k) {
    std::vector<vorn_hit> out;
    for (size_t r = 0; r < refs.size(); ++r) {
        const std::string &s = refs[r].bytes;
        if (metric == VORN_METRIC_HAMMING && s.size() != q.size()) continue;
        const uint32_t d = metric == VORN_METRIC_HAMMING ? oracle::hamming(q, s) : oracle::levenshtein(q, s);
        if (d <= k) out.push_back({uint32_t(r), d});
    }
    std::stable_sort(out.begin(), out.end(),
                     [](const vorn_hit &a, const vorn_hit &b) { return a.distance < b.distance; });
    return out;
}

struct built {
    seq_batch batch;
    vorn_index *index;
    built(const std::vector<oracle::seq> &refs, uint32_t flags) : batch(refs) {
        index = vorn_index_build_opts(batch.ptrs(), batch.lens(), batch.size(), flags);
    }
    ~built() { vorn_index_free(index); }
};

// References around seeds of one length (boundary lengths included), with
// near neighbors, duplicates, N and lower-case bytes; queries from the same
// seeds, so every route meets hits at every distance.
TEST(IndexHits, EqualBruteForceOnEveryRoute) {
    rng g(velmora_test::test_seed() + 131);
    const size_t lengths[] = {0, 1, 2, 8, 16, 31, 32, 33, 34, 35};
    for (size_t len : lengths) {
        for (int round = 0; round < 3; ++round) {
            std::vector<std::string> seeds = {g.dna(len), g.dna(len), std::string(len, 'A')};
            std::vector<oracle::seq> refs;
            for (const auto &s : seeds) {
                for (size_t i = g.range(5, 40); i > 0; --i) {
                    refs.push_back({g.mutate(s, unsigned(g.range(0, 3)), g.chance(15) ? 20 : 0, g.chance(50))});
                    if (g.chance(10)) refs.push_back(refs.back());
                }
            }
            std::vector<std::string> queries;
            for (int i = 0; i < 12; ++i)
                queries.push_back(g.mutate(seeds[g.range(0, 2)], unsigned(g.range(0, 3)), g.chance(25) ? 15 : 0,
                                           g.chance(50)));
            for (uint32_t flags = 0; flags < 4; ++flags) {
                const built b(refs, flags);
                ASSERT_NE(b.index, nullptr);
                for (const auto &q : queries) {
                    for (uint32_t metric : {VORN_METRIC_EDIT, VORN_METRIC_HAMMING}) {
                        for (uint32_t k = 0; k <= 3; ++k) {
                            SCOPED_TRACE(::testing::Message() << "query '" << q << "' metric " << metric
                                                              << " k " << k << " flags " << flags);
                            const auto want = brute(refs, q, metric, k);
                            std::vector<vorn_hit> got(want.size() + 2, vorn_hit{7, 7});
                            size_t n = 99;
                            ASSERT_EQ(vorn_index_hits(b.index, velmora_test::bytes(q), q.size(), metric,
                                                      int32_t(k), got.data(), got.size(), &n),
                                      0);
                            ASSERT_EQ(n, want.size());
                            got.resize(n);
                            ASSERT_EQ(got, want);
                        }
                    }
                }
            }
        }
    }
}

// The count is always the full one; only min(count, capacity) entries are
// written, and nothing past them.
TEST(IndexHits, CapacityTruncates) {
    const std::vector<oracle::seq> refs = velmora_test::as_seqs({"ACGT", "ACGA", "ACGT", "TCGT", "ACG", "GGGG"});
    const built b(refs, VORN_INDEX_ALL);
    const auto want = brute(refs, "ACGT", VORN_METRIC_EDIT, 1);
    ASSERT_EQ(want.size(), 5u);
    for (size_t capacity : {0u, 1u, 3u, 5u, 8u}) {
        std::vector<vorn_hit> got(8, vorn_hit{77, 77});
        size_t n = 0;
        ASSERT_EQ(vorn_index_hits(b.index, velmora_test::bytes("ACGT"), 4, VORN_METRIC_EDIT, 1,
                                  capacity == 0 ? nullptr : got.data(), capacity, &n),
                  0);
        EXPECT_EQ(n, want.size());
        for (size_t i = 0; i < got.size(); ++i) {
            if (i < std::min(capacity, want.size())) EXPECT_EQ(got[i], want[i]) << i;
            else EXPECT_EQ(got[i], (vorn_hit{77, 77})) << i;
        }
    }
}

// A query with more hits than the listing keeps inline and more candidates
// than the candidate set keeps inline: failing each allocation in turn gives
// -2 with nothing written, or the full list, and never a leak.
TEST(IndexHits, AllocationFailures) {
    rng g(velmora_test::test_seed() + 132);
    const std::string q = g.dna(16);
    std::vector<oracle::seq> refs;
    for (int i = 0; i < 150; ++i) refs.push_back({g.mutate(q, 1)});
    for (int i = 0; i < 60; ++i) refs.push_back({q});
    for (int i = 0; i < 20; ++i) refs.push_back({g.mutate(q, 1, 30)});
    for (uint32_t flags = 0; flags < 4; ++flags) {
        const built b(refs, flags);
        ASSERT_NE(b.index, nullptr);
        for (uint32_t metric : {VORN_METRIC_EDIT, VORN_METRIC_HAMMING}) {
            for (int32_t k : {1, 2, 3}) {
                SCOPED_TRACE(::testing::Message() << "metric " << metric << " k " << k << " flags " << flags);
                const auto want = brute(refs, q, metric, uint32_t(k));
                std::vector<vorn_hit> got(want.size());
                for (uint64_t fail_at = 1;; ++fail_at) {
                    std::fill(got.begin(), got.end(), vorn_hit{5, 5});
                    size_t n = 99;
                    velmora_test::alloc_arm(fail_at);
                    const int32_t rc = vorn_index_hits(b.index, velmora_test::bytes(q), q.size(), metric, k,
                                                       got.data(), got.size(), &n);
                    const velmora_test::alloc_counters run = velmora_test::alloc_disarm();
                    EXPECT_EQ(run.live, 0);
                    if (run.injected) {
                        ASSERT_EQ(rc, -2);
                        EXPECT_EQ(n, 0u);
                        EXPECT_TRUE(std::all_of(got.begin(), got.end(),
                                                [](const vorn_hit &h) { return h == vorn_hit{5, 5}; }));
                        continue;
                    }
                    ASSERT_EQ(rc, 0);
                    ASSERT_EQ(n, want.size());
                    ASSERT_EQ(got, want);
                    break;
                }
            }
        }
    }
}

TEST(IndexHits, RejectedArguments) {
    const built b(velmora_test::as_seqs({"ACGT"}), VORN_INDEX_ALL);
    vorn_hit h{9, 9};
    size_t n = 42;
    const uint8_t *q = velmora_test::bytes("ACGT");
    struct row {
        const vorn_index *ix;
        const uint8_t *q;
        size_t len;
        uint32_t metric;
        int32_t k;
        vorn_hit *hits;
        size_t cap;
        size_t *n;
    };
    const row rows[] = {
        {nullptr, q, 4, VORN_METRIC_EDIT, 1, &h, 1, &n},  {b.index, q, 4, VORN_METRIC_EDIT, 1, &h, 1, nullptr},
        {b.index, nullptr, 4, VORN_METRIC_EDIT, 1, &h, 1, &n}, {b.index, q, 4, VORN_METRIC_EDIT, 1, nullptr, 1, &n},
        {b.index, q, 4, VORN_METRIC_EDIT, -1, &h, 1, &n},  {b.index, q, 4, VORN_METRIC_HAMMING, 4, &h, 1, &n},
        {b.index, q, 4, 2u, 1, &h, 1, &n},
    };
    for (const row &r : rows) {
        EXPECT_EQ(vorn_index_hits(r.ix, r.q, r.len, r.metric, r.k, r.hits, r.cap, r.n), -1);
        EXPECT_EQ(n, 42u);
        EXPECT_EQ(h, (vorn_hit{9, 9}));
    }
}

}  // namespace
