// The four exact lookups against a naive scan of every reference, counters
// included, on reference lists full of case variants, duplicates and
// near neighbours, with queries that flip letter case.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "test_util.h"

namespace {

using velmora_test::built_index;
using velmora_test::seq_batch;

std::string fold_upper(std::string s) {
    for (auto &c : s)
        if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
    return s;
}

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
    const bool query_encodes = oracle::encodable(key);
    for (size_t r = 0; r < refs.size(); ++r) {
        const std::string &ref = refs[r].bytes;
        if (ref.size() != q.bytes.size()) continue;
        const bool ref_encodable = oracle::encodable(ref);
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

// A reference list aimed at the index's edges: boundary lengths,
// duplicates, near neighbours, partly lower-case copies, N, bytes 0 and 255.
std::vector<oracle::seq> random_refs(velmora_test::rng &g, size_t n) {
    std::vector<oracle::seq> refs;
    for (size_t i = 0; i < n; ++i) {
        const unsigned pick = static_cast<unsigned>(g.range(0, 99));
        std::string s = refs.empty() || pick >= 50 ? g.noisy(g.boundary_len(40), g.chance(50) ? 0 : 8)
                                                   : refs[g.range(0, refs.size() - 1)].bytes;
        if (pick < 20) {
            s = g.mutate(s, 1, 10);
        } else if (pick < 35) {
            for (auto &c : s)
                if (g.chance(30) && c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
        }
        refs.push_back(oracle::seq{s});
    }
    return refs;
}

// Copies with letter case flipped here and there, one-byte neighbours,
// strangers, empty and null queries.
std::vector<oracle::seq> random_queries(velmora_test::rng &g, const std::vector<oracle::seq> &refs,
                                        size_t n) {
    std::vector<oracle::seq> qs = velmora_test::near_neighbour_queries(g, refs, n, 36);
    for (auto &q : qs) {
        if (q.null_ptr || refs.empty() || g.chance(40)) continue;
        q.bytes = refs[g.range(0, refs.size() - 1)].bytes;
        for (auto &c : q.bytes) {
            if (!g.chance(40)) continue;
            if (c >= 'A' && c <= 'Z') c = static_cast<char>(c + 32);
            else if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 32);
        }
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

TEST(ExactLookup, RandomAgainstNaiveScan) {
    velmora_test::rng g(velmora_test::test_seed() + 3);
    SCOPED_TRACE(::testing::Message() << "seed " << velmora_test::test_seed());
    for (int round = 0; round < 150 && !::testing::Test::HasFailure(); ++round) {
        const auto refs = random_refs(g, round == 0 ? 0 : g.range(1, round < 40 ? 12 : 200));
        const built_index idx(refs);
        ASSERT_NE(idx.index, nullptr);
        const auto qs = random_queries(g, refs, 120);
        seq_batch qb(qs);
        for (const auto &lk : LOOKUPS) {
            std::vector<vorn_match> batch(qs.size());
            vorn_stats batch_stats{123, 456};
            ASSERT_EQ(lk.batch(idx.index, qb.ptrs(), qb.lens(), qb.size(), batch.data(), &batch_stats), 0);
            uint64_t total = 0;
            for (size_t i = 0; i < qs.size(); ++i) {
                const expectation want = naive_lookup(qs[i], refs, lk.fold);
                total += want.charged;
                vorn_match single;
                vorn_stats stats{9, 9};
                ASSERT_EQ(lk.single(idx.index, qb.ptr(i), qb.len(i), &single, &stats), 0);
                SCOPED_TRACE(::testing::Message() << lk.name << " query " << i << " '" << qs[i].bytes << "'");
                ASSERT_EQ(single, want.record);
                ASSERT_EQ(stats, (vorn_stats{want.charged, want.charged}));
                ASSERT_EQ(batch[i], want.record);
            }
            EXPECT_EQ(batch_stats, (vorn_stats{total, total})) << lk.name;
        }
    }
}

}  // namespace
