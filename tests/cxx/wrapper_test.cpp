// velmora.hpp against the C calls it wraps, on randomized batches full of
// near neighbors, duplicates, N and lower case: a wrapper fault (wrong
// array, lost length, swapped arguments, a dropped counter or hit) shows as a
// difference.  Then what the wrapper adds: the accepted batch forms, empty
// batches, exceptions for refused arguments, and ownership of the index.
#include <gtest/gtest.h>

#include <cstddef>
#include <cstdint>
#include <functional>
#include <list>
#include <stdexcept>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "test_util.h"
#include "velmora.hpp"

namespace {

using velmora_test::poisoned;
using velmora_test::rng;
using velmora_test::seq_batch;
using strings = std::vector<std::string>;

strings strings_of(const std::vector<oracle::seq> &v) {
    strings out;
    for (const auto &s : v) out.push_back(s.bytes);
    return out;
}

TEST(CxxWrapper, SameResultsAsTheCCalls) {
    rng g(velmora_test::test_seed());
    for (const size_t n_refs : {0u, 1u, 40u, 150u}) {
        const strings refs = strings_of(velmora_test::near_neighbor_refs(g, 4, n_refs, 36));
        strings queries;
        for (const auto &q : velmora_test::near_neighbor_queries(g, velmora_test::as_seqs(refs), 50, 36))
            if (!q.null_ptr) queries.push_back(q.bytes);
        const seq_batch cr(velmora_test::as_seqs(refs)), cq(velmora_test::as_seqs(queries));
        const size_t n = queries.size();
        const velmora::Index index(refs), lean(refs, velmora::Tables::no_deletion | velmora::Tables::no_pieces);
        vorn_index *c = vorn_index_build(cr.ptrs(), cr.lens(), cr.size());
        ASSERT_NE(c, nullptr);
        EXPECT_EQ(index.size(), refs.size());
        std::vector<vorn_match> want(n + 1);
        std::vector<vorn_assignment> want_a(n + 1);
        vorn_stats ws{}, gs = poisoned<vorn_stats>();
        for (int32_t k = 0; k <= 3; ++k) {
            SCOPED_TRACE(::testing::Message() << "refs " << n_refs << " k " << k);
            ASSERT_EQ(vorn_index_assign_stats(c, cq.ptrs(), cq.lens(), n, k, want.data(), &ws), 0);
            EXPECT_TRUE(std::equal(want.begin(), want.begin() + long(n), index.assign(queries, k, gs).begin()));
            EXPECT_EQ(gs, ws);
            EXPECT_EQ(index.assign(queries, k), lean.assign(queries, k));
            ASSERT_EQ(vorn_index_assign_status_stats(c, cq.ptrs(), cq.lens(), n, k, want.data(), &ws), 0);
            EXPECT_TRUE(std::equal(want.begin(), want.begin() + long(n), index.assign_status(queries, k, gs).begin()));
            EXPECT_EQ(gs, ws);
            ASSERT_EQ(vorn_index_assign_hamming_stats(c, cq.ptrs(), cq.lens(), n, k, want.data(), &ws), 0);
            EXPECT_TRUE(std::equal(want.begin(), want.begin() + long(n), index.assign_hamming(queries, k, gs).begin()));
            EXPECT_EQ(gs, ws);
            ASSERT_EQ(vorn_match_many(cq.ptrs(), cq.lens(), n, cr.ptrs(), cr.lens(), cr.size(), k, want.data()), 0);
            EXPECT_TRUE(std::equal(want.begin(), want.begin() + long(n), velmora::match_many(queries, refs, k).begin()));
            ASSERT_EQ(vorn_assign_many(cq.ptrs(), cq.lens(), n, cr.ptrs(), cr.lens(), cr.size(), k, 1, want_a.data()), 0);
            EXPECT_TRUE(std::equal(want_a.begin(), want_a.begin() + long(n),
                                   velmora::assign_many(queries, refs, k, true).begin()));
            for (size_t i = 0; i < n && i < 10; ++i) {
                for (const auto metric : {velmora::Metric::edit, velmora::Metric::hamming}) {
                    std::vector<vorn_hit> hits(refs.size() + 1);
                    size_t nh = 0;
                    ASSERT_EQ(vorn_index_hits(c, cq.ptr(i), cq.len(i), uint32_t(metric), k, hits.data(), hits.size(), &nh), 0);
                    hits.resize(nh);
                    EXPECT_EQ(index.hits(queries[i], k, metric), hits);
                }
                vorn_rescue_params p = velmora::rescue_params();
                p.k = k;
                const std::vector<uint64_t> counts(refs.size(), 3);
                const std::string quals(queries[i].size(), 'I');
                const velmora::Decision d = index.rescue_read(queries[i], quals, queries[i].size(), counts, p);
                std::vector<vorn_hit> hits(refs.size() + 1);
                size_t nh = 0;
                vorn_rescue_result r{};
                ASSERT_EQ(vorn_rescue_read(c, cq.ptr(i), velmora_test::bytes(quals), cq.len(i), cq.len(i),
                                           counts.data(), counts.size(), &p, hits.data(), hits.size(), &nh, &r), 0);
                hits.resize(nh);
                EXPECT_EQ(d.hits, hits);
                EXPECT_EQ(d.result.status, r.status);
                EXPECT_EQ(d.result.ref_index, r.ref_index);
                EXPECT_EQ(d.result.posterior, r.posterior);
            }
        }
        for (const auto letters : {velmora::LetterCase::sensitive, velmora::LetterCase::ignore_ascii}) {
            const bool fold = letters == velmora::LetterCase::ignore_ascii;
            ASSERT_EQ((fold ? vorn_index_lookup_exact_ascii_many_stats : vorn_index_lookup_exact_many_stats)(
                          c, cq.ptrs(), cq.lens(), n, want.data(), &ws), 0);
            EXPECT_TRUE(std::equal(want.begin(), want.begin() + long(n), index.lookup_exact(queries, letters, gs).begin()));
            EXPECT_EQ(gs, ws);
            for (size_t i = 0; i < n; ++i) EXPECT_EQ(index.lookup_exact_one(queries[i], letters), want[i]);
        }
        for (size_t i = 0; i + 1 < n; ++i) {
            const std::string &a = queries[i], &b = queries[i + 1];
            const uint32_t d = oracle::levenshtein(a, b);
            EXPECT_EQ(velmora::edit_distance(a, b), d);
            EXPECT_EQ(velmora::edit_distance_dp(a, b), d);
            EXPECT_EQ(velmora::edit_distance_myers64(a, b), d);
            EXPECT_TRUE(velmora::edit_distance_leq(a, b, int32_t(d)));
            EXPECT_FALSE(velmora::edit_distance_leq(a, b, int32_t(d) - 1));
        }
        vorn_index_free(c);
    }
}

// Every accepted way of handing over a batch gives the same records; a
// query with a null pointer and a nonzero length marks only its record.
TEST(CxxWrapper, BatchFormsAndInvalidQueries) {
    const strings refs = {"ACGTACGT", "ACGTTCGT", std::string("AC\0T", 4), "acgtnnnn"};
    const strings queries = {"ACGTACGA", std::string("AC\0T", 4), "ACGTNNNN", ""};
    const auto want = velmora::Index(refs).assign(queries, 2);
    std::vector<std::string_view> views(refs.begin(), refs.end());
    std::list<std::string> listed(refs.begin(), refs.end());
    std::vector<std::vector<std::uint8_t>> raw;
    std::vector<std::vector<std::byte>> bytes;
    for (const auto &s : refs) {
        raw.emplace_back(s.begin(), s.end());
        bytes.emplace_back();
        for (const char ch : s) bytes.back().push_back(static_cast<std::byte>(ch));
    }
    EXPECT_EQ(velmora::Index(views).assign(queries, 2), want);
    EXPECT_EQ(velmora::Index(listed).assign(queries, 2), want);
    EXPECT_EQ(velmora::Index(raw).assign(queries, 2), want);
    EXPECT_EQ(velmora::Index(bytes).assign(queries, 2), want);
    EXPECT_EQ(want[1].best_index, 2u);  // the NUL byte is part of the sequence
    EXPECT_EQ(want[1].best_distance, 0u);

    const velmora::Index index{"ACGT", "TTTT"};
    const std::vector<velmora::ByteView> holed{"ACGT", velmora::ByteView(nullptr, 3), "TTTA"};
    for (const auto &records : {index.assign(holed, 1), index.assign_status(holed, 1), index.assign_hamming(holed, 1),
                                index.lookup_exact(holed), velmora::match_many(holed, strings{"ACGT", "TTTT"}, 1)}) {
        ASSERT_EQ(records.size(), 3u);
        EXPECT_EQ(records[0].best_index, 0u);
        EXPECT_EQ(records[1], oracle::match_invalid());
        EXPECT_NE(records[2].status, VORN_STATUS_INVALID);
    }
    // The C calls refuse a null result array even for an empty batch; the
    // wrapper gives an empty result and zeroes the counters.
    vorn_stats s = poisoned<vorn_stats>();
    EXPECT_TRUE(index.assign(strings{}, 1, s).empty());
    EXPECT_EQ(s, (vorn_stats{0, 0}));
    EXPECT_TRUE(velmora::assign_many(strings{}, strings{}, 0).empty());
}

// Refused arguments throw before the library is called, leaving the
// caller's counters as they were; a moved-from index refuses use.
TEST(CxxWrapper, RefusedArgumentsThrow) {
    const velmora::Index index{"ACGT", "ACGA"};
    const strings q{"ACGT"};
    const std::vector<std::uint64_t> two{1, 1};
    vorn_rescue_params bad_post = velmora::rescue_params();
    bad_post.min_posterior = 2;
    vorn_stats s = poisoned<vorn_stats>();
    const std::vector<std::function<void()>> invalid{
        [&] { index.assign(q, -1, s); },
        [&] { index.assign_hamming(q, 4, s); },
        [&] { velmora::match_many(q, q, -1); },
        [&] { velmora::Index bad(std::vector<velmora::ByteView>{"ACGT", velmora::ByteView(nullptr, 2)}); },
        [&] { velmora::edit_distance("A", velmora::ByteView(nullptr, 1)); },
        [&] { index.hits("ACGT", 1, velmora::Metric{7}); },
        [&] { index.rescue_read("ACGT", "II", 4, two); },
        [&] { index.rescue_read("ACGT", {}, 4, two, bad_post); },
        [&] { velmora::Index({"ACGT"}, velmora::Tables{8}); },
    };
    for (size_t i = 0; i < invalid.size(); ++i) {
        EXPECT_THROW(invalid[i](), std::invalid_argument) << i;
        EXPECT_EQ(s, poisoned<vorn_stats>()) << i;
    }
    EXPECT_FALSE(velmora::edit_distance_leq("A", "A", -1));  // as in C: no, not an error
    velmora::Index moved{"A"};
    const velmora::Index taker(std::move(moved));
    EXPECT_THROW(moved.assign(q, 1, s), std::logic_error);
    EXPECT_THROW(velmora::Index().hits("A", 1), std::logic_error);
}

// One vorn_index_free per built index whatever the moves (a double free or
// a leak shows under the sanitizer build).
TEST(CxxWrapper, MovesTransferOwnership) {
    velmora::Index a{"ACGT", "TTTT"};
    const vorn_index *handle = a.native_handle();
    velmora::Index b(std::move(a));
    EXPECT_FALSE(a);
    EXPECT_EQ(b.native_handle(), handle);
    velmora::Index c{"GGGG"};
    c = std::move(b);  // frees c's own index
    velmora::Index &alias = c;
    c = std::move(alias);  // self-move keeps the index
    ASSERT_TRUE(c);
    EXPECT_EQ(c.lookup_exact_one("TTTT").best_index, 1u);
    vorn_index *raw = c.release();
    EXPECT_FALSE(c);
    EXPECT_EQ(raw, handle);
    vorn_index_free(raw);
    a = velmora::Index{"A"};  // a moved-from index can be reused
    EXPECT_EQ(a.lookup_exact_one("A").status, VORN_STATUS_UNIQUE);
}

}  // namespace
