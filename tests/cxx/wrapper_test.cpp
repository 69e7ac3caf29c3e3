// velmora.hpp against the C calls it wraps and against the naive oracle, on
// randomized batches full of near neighbors, duplicates, N, lower case,
// bytes 0 and 255 and the lengths around the 2-bit code's 32-byte limit.
// A wrapper fault (wrong array, lost length, swapped arguments, a dropped
// counter) shows as a record that differs from the direct C call.
#include <gtest/gtest.h>

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <functional>
#include <list>
#include <new>
#include <stdexcept>
#include <string>
#include <string_view>
#include <utility>
#include <vector>
#if __cplusplus >= 202002L
#include <span>
#endif

#include "oracle.h"
#include "test_util.h"
#include "velmora.hpp"

namespace {

using velmora_test::rng;
using velmora_test::seq_batch;
using strings = std::vector<std::string>;

struct c_index {
    vorn_index *p;
    explicit c_index(const seq_batch &b) : p(vorn_index_build(b.ptrs(), b.lens(), b.size())) {}
    ~c_index() { vorn_index_free(p); }
    c_index(const c_index &) = delete;
    c_index &operator=(const c_index &) = delete;
};

strings make_refs(rng &r, size_t n) {
    strings refs;
    for (size_t i = 0; i < n; ++i) {
        if (!refs.empty() && r.chance(15)) {
            refs.push_back(refs[r.range(0, refs.size() - 1)]);
        } else if (!refs.empty() && r.chance(35)) {
            refs.push_back(r.mutate(refs[r.range(0, refs.size() - 1)],
                                    static_cast<unsigned>(r.range(1, 2)), 10));
        } else {
            refs.push_back(r.noisy(r.boundary_len(), 8));
        }
    }
    return refs;
}

strings make_queries(rng &r, const strings &refs, size_t n, bool substitutions_only) {
    strings q;
    for (size_t i = 0; i < n; ++i) {
        if (!refs.empty() && r.chance(80)) {
            q.push_back(r.mutate(refs[r.range(0, refs.size() - 1)],
                                 static_cast<unsigned>(r.range(0, 3)), 10, substitutions_only));
        } else {
            q.push_back(r.noisy(r.boundary_len(), 8));
        }
    }
    return q;
}

std::vector<vorn_match> c_records(size_t n) { return std::vector<vorn_match>(n ? n : 1); }

vorn_stats poisoned_stats() {
    vorn_stats s;
    std::memset(&s, 0xA5, sizeof s);
    return s;
}

void expect_prefix_eq(const std::vector<vorn_match> &got, const std::vector<vorn_match> &want,
                      size_t n, const char *what) {
    ASSERT_EQ(got.size(), n) << what;
    for (size_t i = 0; i < n; ++i) EXPECT_EQ(got[i], want[i]) << what << " query " << i;
}

// One round: wrapper and C on the same batch, every entry point.
void compare_round(uint64_t seed, size_t n_refs) {
    SCOPED_TRACE("seed " + std::to_string(seed) + " refs " + std::to_string(n_refs));
    rng r(seed);
    const strings refs = make_refs(r, n_refs);
    const strings queries = make_queries(r, refs, 60, false);
    const strings ham_queries = make_queries(r, refs, 60, true);
    const seq_batch c_refs(velmora_test::as_seqs(refs));
    const seq_batch c_q(velmora_test::as_seqs(queries));
    const seq_batch c_hq(velmora_test::as_seqs(ham_queries));
    const size_t n = queries.size();

    const velmora::Index index(refs);
    const c_index cix(c_refs);
    ASSERT_NE(cix.p, nullptr);
    EXPECT_EQ(index.size(), refs.size());

    std::vector<oracle::seq> oracle_refs = velmora_test::as_seqs(refs);
    for (int32_t k = 0; k <= 3; ++k) {
        SCOPED_TRACE("k " + std::to_string(k));
        auto want = c_records(n);
        vorn_stats want_stats{}, got_stats = poisoned_stats();
        ASSERT_EQ(
            vorn_index_assign_stats(cix.p, c_q.ptrs(), c_q.lens(), n, k, want.data(), &want_stats),
            0);
        expect_prefix_eq(index.assign(queries, k), want, n, "assign");
        expect_prefix_eq(index.assign(queries, k, got_stats), want, n, "assign stats");
        EXPECT_EQ(got_stats, want_stats);

        ASSERT_EQ(vorn_index_assign_status_stats(cix.p, c_q.ptrs(), c_q.lens(), n, k, want.data(),
                                                 &want_stats),
                  0);
        got_stats = poisoned_stats();
        expect_prefix_eq(index.assign_status(queries, k, got_stats), want, n, "assign_status");
        EXPECT_EQ(got_stats, want_stats);

        ASSERT_EQ(vorn_match_many(c_q.ptrs(), c_q.lens(), n, c_refs.ptrs(), c_refs.lens(),
                                  c_refs.size(), k, want.data()),
                  0);
        const auto brute = velmora::match_many(queries, refs, k);
        expect_prefix_eq(brute, want, n, "match_many");
        for (size_t i = 0; i < n; ++i)
            EXPECT_EQ(brute[i], oracle::edit_record(oracle::seq{queries[i]}, oracle_refs,
                                                    static_cast<uint32_t>(k)))
                << "query " << i;

        ASSERT_EQ(vorn_index_assign_hamming_stats(cix.p, c_hq.ptrs(), c_hq.lens(), n, k,
                                                  want.data(), &want_stats),
                  0);
        got_stats = poisoned_stats();
        const auto ham = index.assign_hamming(ham_queries, k, got_stats);
        expect_prefix_eq(ham, want, n, "assign_hamming");
        EXPECT_EQ(got_stats, want_stats);
        for (size_t i = 0; i < n; ++i)
            EXPECT_EQ(ham[i], oracle::hamming_record(oracle::seq{ham_queries[i]}, oracle_refs,
                                                     static_cast<uint32_t>(k)))
                << "query " << i;

        for (uint32_t single = 0; single <= 1; ++single) {
            std::vector<vorn_assignment> want_a(n);
            ASSERT_EQ(vorn_assign_many(c_q.ptrs(), c_q.lens(), n, c_refs.ptrs(), c_refs.lens(),
                                       c_refs.size(), k, single, want_a.data()),
                      0);
            const auto got_a = velmora::assign_many(queries, refs, k, single == 1);
            ASSERT_EQ(got_a.size(), n);
            for (size_t i = 0; i < n; ++i) EXPECT_EQ(got_a[i], want_a[i]) << "query " << i;
        }
    }

    for (const auto letters : {velmora::LetterCase::sensitive, velmora::LetterCase::ignore_ascii}) {
        const bool fold = letters == velmora::LetterCase::ignore_ascii;
        auto want = c_records(n);
        vorn_stats want_stats{}, got_stats = poisoned_stats();
        ASSERT_EQ(
            (fold ? vorn_index_lookup_exact_ascii_many_stats : vorn_index_lookup_exact_many_stats)(
                cix.p, c_q.ptrs(), c_q.lens(), n, want.data(), &want_stats),
            0);
        expect_prefix_eq(index.lookup_exact(queries, letters, got_stats), want, n, "lookup_exact");
        EXPECT_EQ(got_stats, want_stats);
        for (size_t i = 0; i < n; ++i) {
            vorn_match one{};
            vorn_stats one_stats{}, got_one_stats = poisoned_stats();
            ASSERT_EQ((fold ? vorn_index_lookup_exact_ascii_stats : vorn_index_lookup_exact_stats)(
                          cix.p, c_q.ptrs()[i], c_q.lens()[i], &one, &one_stats),
                      0);
            EXPECT_EQ(index.lookup_exact_one(queries[i], letters, got_one_stats), one);
            EXPECT_EQ(got_one_stats, one_stats);
        }
    }
}

TEST(CxxWrapper, SameRecordsAsTheCCalls) {
    const uint64_t seed = velmora_test::test_seed();
    const size_t sizes[] = {0, 1, 2, 40, 150};
    for (int round = 0; round < 2 * velmora_test::test_scale(); ++round)
        for (const size_t n_refs : sizes)
            compare_round(seed + 7919 * static_cast<uint64_t>(round) + n_refs, n_refs);
}

TEST(CxxWrapper, DistancesMatchTheOracle) {
    rng r(velmora_test::test_seed());
    for (int i = 0; i < 400; ++i) {
        // Every tenth pair is long, past the 512-byte pattern limit.
        const size_t len = i % 10 == 0 ? r.range(500, 600) : r.boundary_len(70);
        const std::string a = r.noisy(len, 10);
        const std::string b = r.chance(70) ? r.mutate(a, static_cast<unsigned>(r.range(0, 6)), 10)
                                           : r.noisy(r.boundary_len(70), 10);
        const uint32_t d = oracle::levenshtein(a, b);
        EXPECT_EQ(velmora::edit_distance(a, b), d) << a << " / " << b;
        EXPECT_EQ(velmora::edit_distance_dp(a, b), d);
        EXPECT_EQ(velmora::edit_distance_myers64(a, b), d);
        const int32_t di = static_cast<int32_t>(d);
        for (const int32_t k : {di - 1, di, di + 1})
            EXPECT_EQ(velmora::edit_distance_leq(a, b, k), di <= k) << "k " << k;
    }
}

// Every accepted way of handing over a batch gives the same records.
TEST(CxxSequences, AllInputFormsAgree) {
    rng r(velmora_test::test_seed());
    strings refs = make_refs(r, 30);
    for (auto &s : refs)  // const char * stops at a NUL
        for (auto &c : s)
            if (c == '\0') c = 'N';
    const strings queries = make_queries(r, refs, 30, false);
    const velmora::Index by_string(refs);
    const auto want = by_string.assign(queries, 2);

    std::vector<std::string_view> views(refs.begin(), refs.end());
    std::list<std::string> listed(refs.begin(), refs.end());
    std::vector<std::vector<std::uint8_t>> raw;
    std::vector<std::vector<std::byte>> bytes;
    std::vector<const char *> cstrs;
    std::vector<velmora::ByteView> byte_views;
    for (const auto &s : refs) {
        raw.emplace_back(s.begin(), s.end());
        bytes.emplace_back();
        for (const char c : s) bytes.back().push_back(static_cast<std::byte>(c));
        cstrs.push_back(s.c_str());
        byte_views.emplace_back(s);
    }
    EXPECT_EQ(velmora::Index(views).assign(queries, 2), want);
    EXPECT_EQ(velmora::Index(listed).assign(queries, 2), want);
    EXPECT_EQ(velmora::Index(raw).assign(queries, 2), want);
    EXPECT_EQ(velmora::Index(bytes).assign(queries, 2), want);
    EXPECT_EQ(velmora::Index(cstrs).assign(queries, 2), want);
    EXPECT_EQ(velmora::Index(byte_views).assign(queries, 2), want);
#if __cplusplus >= 202002L
    std::vector<std::span<const std::uint8_t>> spans(raw.begin(), raw.end());
    EXPECT_EQ(velmora::Index(spans).assign(queries, 2), want);
#endif
    // Braced lists, for both sides.
    const velmora::Index listed_index{"ACGTACGT", "ACGTTCGT", std::string_view("AC\0T", 4)};
    const auto got = listed_index.assign({"ACGTACGA", std::string_view("AC\0T", 4)}, 1);
    ASSERT_EQ(got.size(), 2u);
    EXPECT_EQ(velmora::status_of(got[0]), velmora::Status::unique);
    EXPECT_EQ(got[0].best_index, 0u);
    EXPECT_EQ(got[1].best_index, 2u);  // the NUL byte is part of the sequence
    EXPECT_EQ(got[1].best_distance, 0u);
}

// A query with a null pointer and a nonzero length is a per-query problem,
// as in C: its record is invalid, the others are filled, nothing throws.
TEST(CxxWrapper, InvalidQueryMarksOnlyItsRecord) {
    const velmora::Index index{"ACGT", "TTTT"};
    const std::vector<velmora::ByteView> queries{"ACGT", velmora::ByteView(nullptr, 3), "TTTA"};
    for (const auto &records :
         {index.assign(queries, 1), index.assign_status(queries, 1),
          index.assign_hamming(queries, 1), index.lookup_exact(queries),
          velmora::match_many(queries, std::vector<std::string>{"ACGT", "TTTT"}, 1)}) {
        ASSERT_EQ(records.size(), 3u);
        EXPECT_EQ(records[0].best_index, 0u);
        EXPECT_EQ(records[1], oracle::match_invalid());
        EXPECT_NE(records[2].status, VORN_STATUS_INVALID);
    }
}

// The C calls refuse a null result array even for an empty batch; the
// wrapper must still give an empty result and zero the counters.
TEST(CxxWrapper, EmptyBatches) {
    const velmora::Index empty_index(strings{});
    const velmora::Index index{"ACGT"};
    const strings none;
    for (const velmora::Index *ix : {&empty_index, &index}) {
        vorn_stats s = poisoned_stats();
        EXPECT_TRUE(ix->assign(none, 1, s).empty());
        EXPECT_EQ(s, (vorn_stats{0, 0}));
        s = poisoned_stats();
        EXPECT_TRUE(ix->assign_status(none, 2, s).empty());
        EXPECT_EQ(s, (vorn_stats{0, 0}));
        s = poisoned_stats();
        EXPECT_TRUE(ix->assign_hamming(none, 3, s).empty());
        EXPECT_EQ(s, (vorn_stats{0, 0}));
        s = poisoned_stats();
        EXPECT_TRUE(ix->lookup_exact(none, velmora::LetterCase::ignore_ascii, s).empty());
        EXPECT_EQ(s, (vorn_stats{0, 0}));
    }
    EXPECT_TRUE(velmora::match_many(none, strings{"A"}, 1).empty());
    EXPECT_TRUE(velmora::assign_many(none, none, 0).empty());
    EXPECT_EQ(empty_index.assign({"", "A"}, 2),
              (std::vector<vorn_match>{oracle::match_none(), oracle::match_none()}));
}

// Refused arguments throw before the library is called: the counters the
// caller passed stay as they were.
TEST(CxxErrors, RefusedArguments) {
    const velmora::Index index{"ACGT", "ACGA"};
    const strings q{"ACGT"};
    const std::vector<velmora::ByteView> bad_refs{"ACGT", velmora::ByteView(nullptr, 2)};
    velmora::Index moved(strings{"A"});
    const velmora::Index taker(std::move(moved));
    const velmora::Index unbuilt;
    vorn_stats s = poisoned_stats();
    const vorn_stats untouched = s;

    struct refusal {
        const char *what;
        std::function<void()> call;
    };
    const refusal invalid[] = {
        {"assign k<0", [&] { index.assign(q, -1, s); }},
        {"assign_status k<0", [&] { index.assign_status(q, -1, s); }},
        {"hamming k=4", [&] { index.assign_hamming(q, 4, s); }},
        {"hamming k<0", [&] { index.assign_hamming(q, -1, s); }},
        {"match_many k<0", [&] { velmora::match_many(q, q, -1); }},
        {"assign_many k<0", [&] { velmora::assign_many(q, q, -1); }},
        {"null reference", [&] { velmora::Index bad(bad_refs); }},
        {"null operand", [&] { velmora::edit_distance("A", velmora::ByteView(nullptr, 1)); }},
        {"null operand leq",
         [&] { velmora::edit_distance_leq(velmora::ByteView(nullptr, 1), "", 1); }},
    };
    for (const auto &c : invalid) {
        EXPECT_THROW(c.call(), std::invalid_argument) << c.what;
        EXPECT_EQ(s, untouched) << c.what;
    }
    const refusal empty[] = {
        {"moved-from assign", [&] { moved.assign(q, 1, s); }},
        {"moved-from hamming", [&] { moved.assign_hamming(q, 1, s); }},
        {"moved-from lookup", [&] { moved.lookup_exact(q, velmora::LetterCase::sensitive, s); }},
        {"unbuilt lookup one",
         [&] { unbuilt.lookup_exact_one("A", velmora::LetterCase::sensitive, s); }},
        {"unbuilt status", [&] { unbuilt.assign_status(q, 1, s); }},
    };
    for (const auto &c : empty) {
        EXPECT_THROW(c.call(), std::logic_error) << c.what;
        EXPECT_EQ(s, untouched) << c.what;
    }
    EXPECT_FALSE(velmora::edit_distance_leq("A", "A", -1));  // as in C: no, not an error
}

// Ownership: one vorn_index_free per built index whatever the moves (a
// double free or a leak shows under the sanitizer build).
TEST(CxxIndex, MovesTransferOwnership) {
    velmora::Index a{"ACGT", "TTTT"};
    const vorn_index *handle = a.native_handle();
    velmora::Index b(std::move(a));
    EXPECT_FALSE(a);
    EXPECT_EQ(a.size(), 0u);
    EXPECT_EQ(b.native_handle(), handle);
    EXPECT_EQ(b.size(), 2u);

    velmora::Index c{"GGGG"};
    c = std::move(b);  // frees c's own index
    EXPECT_EQ(c.native_handle(), handle);
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
