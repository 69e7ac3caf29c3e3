// The four exact lookups against a naive scan of every reference, counters
// included, plus the argument checks and the worked cases.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "index/index_internal.h"
#include "index_test_util.h"
#include "support/alloc_hooks.h"
#include "test_util.h"

namespace {

using index_test::fold_upper;
using index_test::naive_encodable;
using velmora_test::seq_batch;

using velmora_test::built_index;

// Expected record and counters of one query, from a loop over every
// reference.  Counters: an encodable query is charged the references the
// table holds for it; every non-encodable reference of the query's length is
// charged once when the scan runs.  The case-ignoring lookup runs the scan
// for every query, the byte-exact one only for non-encodable queries.
struct expectation {
    vorn_match record;
    uint64_t charged;
};

expectation naive_lookup(const oracle::seq &q, const std::vector<oracle::seq> &refs, bool fold) {
    if (q.invalid()) return {oracle::match_invalid(), 0};
    vorn_match m = oracle::match_none();
    uint64_t charged = 0;
    const std::string key = fold ? fold_upper(q.bytes) : q.bytes;
    const bool query_encodes = naive_encodable(key);
    for (size_t r = 0; r < refs.size(); ++r) {
        const std::string &ref = refs[r].bytes;
        if (ref.size() != q.bytes.size()) continue;
        const bool ref_encodable = naive_encodable(ref);
        if (ref_encodable ? (query_encodes && ref == key) : (fold || !query_encodes)) ++charged;
        if ((fold ? fold_upper(ref) : ref) != key) continue;
        if (m.hit_count == 0) m.best_index = static_cast<uint32_t>(r);
        m.best_distance = 0;
        m.hit_count += 1;
    }
    if (m.hit_count == 1) m.status = VORN_STATUS_UNIQUE;
    if (m.hit_count >= 2) m.status = VORN_STATUS_AMBIGUOUS;
    return {m, refs.empty() ? 0 : charged};
}

// Queries aimed at the references: copies, case changes, one-edit
// neighbors, fresh noise, empty and null ones.
std::vector<oracle::seq> random_queries(velmora_test::rng &g, const std::vector<oracle::seq> &refs,
                                        size_t n) {
    std::vector<oracle::seq> qs;
    for (size_t i = 0; i < n; ++i) {
        oracle::seq q;
        const unsigned pick = static_cast<unsigned>(g.range(0, 99));
        const std::string base = refs.empty() ? g.dna(g.boundary_len(36))
                                              : refs[g.range(0, refs.size() - 1)].bytes;
        if (pick < 3) {
            q.null_ptr = true;
        } else if (pick < 6) {
            q.null_ptr = true;
            q.claimed_len = g.range(1, 40);
        } else if (pick < 40) {
            q.bytes = base;
        } else if (pick < 65) {
            q.bytes = base;
            for (auto &c : q.bytes) {
                if (!g.chance(40)) continue;
                if (c >= 'A' && c <= 'Z') c = static_cast<char>(c + 32);
                else if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 32);
            }
        } else if (pick < 85) {
            q.bytes = g.mutate(base, 1, 15, g.chance(50));
        } else {
            q.bytes = g.noisy(g.boundary_len(36), 10);
        }
        qs.push_back(q);
    }
    return qs;
}

using single_fn = int32_t (*)(const vorn_index *, const uint8_t *, size_t, vorn_match *,
                              vorn_stats *);
using batch_fn = int32_t (*)(const vorn_index *, const uint8_t *const *, const size_t *, size_t,
                             vorn_match *, vorn_stats *);
struct lookup_case {
    const char *name;
    single_fn single;
    batch_fn batch;
    bool fold;
};
const lookup_case LOOKUPS[] = {
    {"byte-exact", vorn_index_lookup_exact_stats, vorn_index_lookup_exact_many_stats, false},
    {"ascii", vorn_index_lookup_exact_ascii_stats, vorn_index_lookup_exact_ascii_many_stats, true},
};

void check_against_naive(const vorn_index *idx, const std::vector<oracle::seq> &refs,
                         const std::vector<oracle::seq> &qs) {
    seq_batch qb(qs);
    for (const auto &lk : LOOKUPS) {
        std::vector<vorn_match> batch(qs.size());
        vorn_stats batch_stats{123, 456};
        const auto heap = velmora_test::alloc_measure([&] {
            EXPECT_EQ(lk.batch(idx, qb.ptrs(), qb.lens(), qb.size(), batch.data(), &batch_stats), 0);
        });
        EXPECT_EQ(heap.allocations, 0u) << "the lookups allocate nothing";
        uint64_t total = 0;
        for (size_t i = 0; i < qs.size(); ++i) {
            const expectation want = naive_lookup(qs[i], refs, lk.fold);
            total += want.charged;
            vorn_match single;
            vorn_stats stats{9, 9};
            ASSERT_EQ(lk.single(idx, qb.ptrs()[i], qb.lens()[i], &single, &stats), 0);
            const std::string shown = qs[i].null_ptr ? "(null)" : qs[i].bytes;
            ASSERT_EQ(single, want.record) << lk.name << " query " << i << " '" << shown << "'";
            ASSERT_EQ(stats, (vorn_stats{want.charged, want.charged})) << lk.name << " '" << shown << "'";
            ASSERT_EQ(batch[i], want.record) << lk.name << " batch query " << i;
            // Counters are optional.
            ASSERT_EQ(lk.single(idx, qb.ptrs()[i], qb.lens()[i], &single, nullptr), 0);
            ASSERT_EQ(single, want.record);
        }
        EXPECT_EQ(batch_stats, (vorn_stats{total, total})) << lk.name;
        ASSERT_EQ(lk.batch(idx, qb.ptrs(), qb.lens(), qb.size(), batch.data(), nullptr), 0);
    }
}

TEST(ExactLookup, RandomAgainstNaiveScan) {
    velmora_test::rng g(velmora_test::test_seed() + 3);
    SCOPED_TRACE(::testing::Message() << "seed " << velmora_test::test_seed());
    const int rounds = 200 * velmora_test::test_scale();
    for (int round = 0; round < rounds; ++round) {
        const size_t n = round == 0 ? 0 : g.range(1, round < 40 ? 12 : 200);
        auto refs = index_test::random_refs(g, n);
        built_index idx(refs);
        ASSERT_NE(idx.index, nullptr);
        for (auto &r : refs) r.null_ptr = false;  // a null empty reference is just empty
        check_against_naive(idx.index, refs, random_queries(g, refs, 150));
        if (::testing::Test::HasFailure()) return;
    }
}

// The folding rules where a mistake is easy: both spellings found and the
// table plus the lower-case references charged; only a-z fold.
TEST(ExactLookup, WorkedCases) {
    const uint32_t X = UINT32_MAX;
    struct row {
        std::vector<std::string> refs;
        std::string query;
        bool fold;
        vorn_match want;
        uint64_t charged;
    } const rows[] = {
        {{"ACGT", "TTTT", "ACGT"}, "ACGT", false, {0, 0, X, 2, VORN_STATUS_AMBIGUOUS}, 2},
        {{"acgt", "ACGT", "aCGt", "ACGN"}, "AcGt", true, {0, 0, X, 3, VORN_STATUS_AMBIGUOUS}, 1 + 3},
        {{"AC-N", "ac_n"}, "ac-n", true, {0, 0, X, 1, VORN_STATUS_UNIQUE}, 2},
        {{std::string("\0\xff", 2), std::string("\0\xdf", 2)}, std::string("\0\xff", 2), true,
         {0, 0, X, 1, VORN_STATUS_UNIQUE}, 2},
    };
    for (const auto &c : rows) {
        built_index idx(c.refs);
        seq_batch qb;
        qb.add(c.query);
        vorn_match m;
        vorn_stats s{};
        const auto fn = c.fold ? vorn_index_lookup_exact_ascii_stats : vorn_index_lookup_exact_stats;
        ASSERT_EQ(fn(idx.index, qb.ptrs()[0], qb.lens()[0], &m, &s), 0) << c.query;
        EXPECT_EQ(m, c.want) << c.query;
        EXPECT_EQ(s, (vorn_stats{c.charged, c.charged})) << c.query;
    }
}

// Rejected calls write nothing: results and counters keep their fill.
TEST(ExactLookup, ArgumentChecks) {
    built_index bi(std::vector<std::string>{"ACGT", "ACGN"});
    const vorn_index *idx = bi.index;
    ASSERT_NE(idx, nullptr);
    seq_batch qb;
    qb.add(oracle::seq{"ACGT"});
    qb.add(oracle::seq{"", true, 3});  // null pointer with length 3
    qb.add(oracle::seq{"", true, 0});  // null pointer, empty
    qb.add(oracle::seq{"ACGN"});
    const vorn_match poison = velmora_test::poisoned<vorn_match>();
    const vorn_stats spoiled{77, 88};

    for (const auto &lk : LOOKUPS) {
        SCOPED_TRACE(lk.name);
        vorn_match m = poison;
        vorn_stats s = spoiled;
        EXPECT_EQ(lk.single(nullptr, qb.ptrs()[0], 4, &m, &s), -1);
        EXPECT_EQ(lk.single(idx, qb.ptrs()[0], 4, nullptr, &s), -1);
        EXPECT_EQ(m, poison);
        EXPECT_EQ(s, spoiled);
        // An invalid single query still zeroes the counters.
        EXPECT_EQ(lk.single(idx, nullptr, 3, &m, &s), 0);
        EXPECT_EQ(m, oracle::match_invalid());
        EXPECT_EQ(s, (vorn_stats{0, 0}));

        vorn_match out[4] = {poison, poison, poison, poison};
        s = spoiled;
        EXPECT_EQ(lk.batch(nullptr, qb.ptrs(), qb.lens(), 4, out, &s), -1);
        EXPECT_EQ(lk.batch(nullptr, nullptr, nullptr, 0, nullptr, &s), -1);
        EXPECT_EQ(lk.batch(idx, nullptr, qb.lens(), 4, out, &s), -1);
        EXPECT_EQ(lk.batch(idx, qb.ptrs(), nullptr, 4, out, &s), -1);
        EXPECT_EQ(lk.batch(idx, qb.ptrs(), qb.lens(), 4, nullptr, &s), -1);
        for (const auto &o : out) EXPECT_EQ(o, poison);
        EXPECT_EQ(s, spoiled);
        EXPECT_EQ(lk.batch(idx, nullptr, nullptr, 0, nullptr, &s), 0);
        EXPECT_EQ(s, (vorn_stats{0, 0}));

        // An invalid query marks only its own record.
        s = spoiled;
        EXPECT_EQ(lk.batch(idx, qb.ptrs(), qb.lens(), 4, out, &s), 0);
        EXPECT_EQ(out[0], (vorn_match{0, 0, UINT32_MAX, 1, VORN_STATUS_UNIQUE}));
        EXPECT_EQ(out[1], oracle::match_invalid());
        EXPECT_EQ(out[2], oracle::match_none());
        EXPECT_EQ(out[3], (vorn_match{1, 0, UINT32_MAX, 1, VORN_STATUS_UNIQUE}));
        // The folded ACGT also scans ACGN, the non-encodable reference of its length.
        const uint64_t charged = lk.fold ? 3 : 2;
        EXPECT_EQ(s, (vorn_stats{charged, charged}));
    }
}

}  // namespace
