// velmora.hpp's hit listing, table choice and per-read decision against the
// C calls they wrap and against brute force: a wrapper that loses hits past
// its first buffer, drops the qualities or passes the wrong counts shows as
// a difference.
#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <stdexcept>
#include <string>
#include <vector>

#include "oracle.h"
#include "test_util.h"
#include "velmora.hpp"

namespace {

using velmora_test::rng;

bool same(const std::vector<vorn_hit> &a, const std::vector<vorn_hit> &b) {
    return std::equal(a.begin(), a.end(), b.begin(), b.end(), [](const vorn_hit &x, const vorn_hit &y) {
        return x.ref_index == y.ref_index && x.distance == y.distance;
    });
}

TEST(CxxHits, EveryHitAndTheDecisionAsTheCCallGivesThem) {
    rng g(velmora_test::test_seed());
    // Many copies of a few seeds: listings far longer than a first buffer.
    std::vector<std::string> refs;
    for (int i = 0; i < 60; ++i) refs.push_back(g.mutate(i % 3 ? "ACGTACGTTGCAAGCT" : "TTGCAAGCTACGTACG", 1, 10));
    const velmora::Index full(refs), lean(refs, velmora::Tables::no_deletion | velmora::Tables::no_pieces);
    std::vector<std::uint64_t> counts;
    for (size_t i = 0; i < refs.size(); ++i) counts.push_back(g.range(0, 5));
    for (int q = 0; q < 200; ++q) {
        const std::string read = g.mutate(refs[g.range(0, refs.size() - 1)], static_cast<unsigned>(g.range(0, 2)), 10) + "GATC";
        const bool hamming = g.chance(30);
        const auto k = static_cast<std::int32_t>(g.range(0, 3));
        const std::string query = read.substr(0, 16);
        std::vector<vorn_hit> want;
        for (size_t r = 0; r < refs.size(); ++r) {
            const uint32_t d = hamming ? oracle::hamming(query, refs[r]) : oracle::levenshtein(query, refs[r]);
            if (d <= static_cast<uint32_t>(k)) want.push_back({static_cast<uint32_t>(r), d});
        }
        std::stable_sort(want.begin(), want.end(), [](const vorn_hit &a, const vorn_hit &b) { return a.distance < b.distance; });
        const auto metric = hamming ? velmora::Metric::hamming : velmora::Metric::edit;
        EXPECT_TRUE(same(full.hits(query, k, metric), want)) << query;
        EXPECT_TRUE(same(lean.hits(query, k, metric), want)) << query;

        vorn_rescue_params p = velmora::rescue_params();
        p.metric = static_cast<std::uint32_t>(metric);
        p.k = k;
        const std::string quals(read.size(), static_cast<char>(g.range(35, 70)));
        const velmora::Decision d = full.rescue_read(read, quals, 16, counts, p);
        std::vector<vorn_hit> c_hits(refs.size());
        vorn_rescue_result c{};
        size_t n = 0;
        ASSERT_EQ(vorn_rescue_read(full.native_handle(), velmora_test::bytes(read), velmora_test::bytes(quals), read.size(), 16,
                                   counts.data(), counts.size(), &p, c_hits.data(), c_hits.size(), &n, &c),
                  0);
        c_hits.resize(n);
        EXPECT_TRUE(same(d.hits, c_hits));
        EXPECT_EQ(d.result.status, c.status);
        EXPECT_EQ(d.result.ref_index, c.ref_index);
        EXPECT_EQ(d.result.hit_count, n);
        EXPECT_EQ(d.result.posterior, c.posterior);
    }
}

TEST(CxxHits, RefusedArgumentsThrowInvalidArgument) {
    const velmora::Index ix{"ACGT", "ACGA"};
    const std::vector<std::uint64_t> two{1, 1};
    vorn_rescue_params bad_k = velmora::rescue_params(), no_counts = bad_k, bad_post = bad_k;
    bad_k.k = -1;
    bad_post.min_posterior = 2;
    const std::vector<std::function<void()>> calls{
        [&] { ix.hits("ACGT", 4, velmora::Metric::hamming); },
        [&] { ix.hits("ACGT", 1, velmora::Metric{7}); },
        [&] { ix.hits(velmora::ByteView(nullptr, 3), 1); },
        [&] { ix.rescue_read("ACGT", "II", 4, two); },
        [&] { ix.rescue_read("ACGT", {}, 4, two, bad_k); },
        [&] { ix.rescue_read("ACGT", {}, 4, {1}, no_counts); },
        [&] { ix.rescue_read("ACGT", {}, 4, two, bad_post); },
        [&] { velmora::Index({"ACGT"}, velmora::Tables{8}); },
    };
    for (size_t i = 0; i < calls.size(); ++i) EXPECT_THROW(calls[i](), std::invalid_argument) << i;
    vorn_rescue_params rule = velmora::rescue_params();
    rule.rescue = 0;
    EXPECT_EQ(ix.rescue_read("ACGT", {}, 4, {}, rule).result.status, VORN_STATUS_UNIQUE);
    EXPECT_THROW(velmora::Index().hits("A", 1), std::logic_error);
}

}  // namespace
