// Hamming assignment through the index against brute force: records field by
// field, work counters per route, argument checks, and recovery when the
// candidate set cannot grow.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "index/index_internal.h"
#include "oracle.h"
#include "support/alloc_hooks.h"
#include "test_util.h"
#include "velmora.h"

namespace {

using oracle::seq;
using velmora_test::built_index;
using velmora_test::seq_batch;
using velmora_test::poisoned;

bool is_encodable(const std::string &s) { return oracle::encodable(s); }

// Does ref agree with q on at least one of the k + 1 pieces the query is cut
// into (lengths differing by at most one, longer pieces first)?
bool agrees_on_a_piece(const std::string &q, const std::string &ref, int k) {
    const size_t m = static_cast<size_t>(k) + 1, base = q.size() / m, extra = q.size() % m;
    size_t start = 0;
    for (size_t j = 0; j < m; ++j) {
        const size_t len = base + (j < extra ? 1 : 0);
        if (q.compare(start, len, ref, start, len) == 0) return true;
        start += len;
    }
    return false;
}

// What one query adds to each counter, written from the route definitions.
uint64_t expected_taken_up(const seq &q, const std::vector<std::string> &refs, int k) {
    if (q.invalid() || refs.empty()) return 0;
    const std::string &s = q.bytes;
    uint64_t n = 0;
    for (const std::string &r : refs) {
        if (r.size() != s.size()) continue;
        if (k == 0) {
            n += is_encodable(s) ? (r == s) : !is_encodable(r);
        } else if (s.size() > 32 || !is_encodable(r)) {
            n += 1;
        } else if (is_encodable(s)) {
            n += agrees_on_a_piece(s, r, k);
        } else {
            n += oracle::hamming(s, r) <= static_cast<uint32_t>(k);
        }
    }
    return n;
}

struct outcome {
    vorn_match match;
    vorn_stats stats;
};

outcome assign_one(const vorn_index *ix, const seq &q, int32_t k) {
    seq_batch b;
    b.add(q);
    outcome o{};
    EXPECT_EQ(vorn_index_assign_hamming_stats(ix, b.ptrs(), b.lens(), 1, k, &o.match, &o.stats), 0);
    return o;
}

// ---- randomized differential ------------------------------------------------

// References crowded around a few centres: substitution mutants at 0 to 4,
// duplicates, homopolymers, neighbors one byte longer or shorter, and
// non-encodable ones (N, lower case, 0x00, 0xFF).
std::vector<std::string> make_refs(velmora_test::rng &g) {
    std::vector<std::string> refs;
    const size_t centres = g.range(1, 5);
    for (size_t c = 0; c < centres; ++c) {
        const size_t len = g.boundary_len(40);
        const std::string centre = g.chance(15) ? g.noisy(len, 20) : g.dna(len);
        refs.push_back(centre);
        const size_t mutants = g.range(0, 14);
        for (size_t i = 0; i < mutants; ++i) {
            refs.push_back(g.mutate(centre, unsigned(g.range(0, 4)), g.chance(20) ? 30 : 0, true));
        }
        if (g.chance(30)) refs.push_back(std::string(len, "ACGTN"[g.range(0, 4)]));
        if (g.chance(30)) refs.push_back(centre + g.base());
        if (g.chance(30) && !centre.empty()) refs.push_back(centre.substr(1));
    }
    const size_t dups = g.range(0, 4);
    for (size_t i = 0; i < dups; ++i) refs.push_back(refs[g.range(0, refs.size() - 1)]);
    for (size_t i = refs.size(); i > 1; --i) std::swap(refs[i - 1], refs[g.range(0, i - 1)]);
    return refs;
}

// Queries near the references, with 1 to 4 unknown bytes in some, plus the
// empty query, null pointers and unrelated sequences.
std::vector<seq> make_queries(velmora_test::rng &g, const std::vector<std::string> &refs) {
    std::vector<seq> qs;
    for (int i = 0; i < 24; ++i) {
        std::string s = refs.empty() ? g.dna(g.boundary_len(40))
                                     : g.mutate(refs[g.range(0, refs.size() - 1)],
                                                unsigned(g.range(0, 4)), 0, true);
        if (g.chance(40) && !s.empty()) {
            const size_t unknown = g.range(1, 4);
            for (size_t u = 0; u < unknown; ++u) s[g.range(0, s.size() - 1)] = g.noisy_byte(100);
        }
        qs.push_back(seq{s});
    }
    qs.push_back(seq{g.noisy(g.boundary_len(40), 10)});
    qs.push_back(seq{""});
    qs.push_back(seq{"", true, 0});
    qs.push_back(seq{"", true, 3});
    return qs;
}

TEST(HammingAssign, MatchesBruteForceOnNeighborSets) {
    const uint64_t seed = velmora_test::test_seed();
    SCOPED_TRACE(testing::Message() << "seed " << seed);
    velmora_test::rng g(seed);
    const int cases = 600 * velmora_test::test_scale();
    for (int c = 0; c < cases; ++c) {
        // The first set is empty: every valid query finds nothing, for free.
        const std::vector<std::string> refs = c == 0 ? std::vector<std::string>{} : make_refs(g);
        const std::vector<seq> refs_seq = velmora_test::as_seqs(refs);
        const built_index ix(refs);
        ASSERT_NE(ix.index, nullptr);
        const std::vector<seq> qs = make_queries(g, refs);
        seq_batch batch(qs);
        for (int32_t k = 0; k <= 3; ++k) {
            std::vector<vorn_match> results(qs.size());
            vorn_stats total{};
            ASSERT_EQ(vorn_index_assign_hamming_stats(ix.index, batch.ptrs(), batch.lens(),
                                                      qs.size(), k, results.data(), &total),
                      0);
            uint64_t sum = 0;
            for (size_t i = 0; i < qs.size(); ++i) {
                const vorn_match want = oracle::hamming_record(qs[i], refs_seq, uint32_t(k));
                ASSERT_EQ(results[i], want)
                    << "case " << c << " k " << k << " query " << i << " \"" << qs[i].bytes << '"';
                const uint64_t taken = expected_taken_up(qs[i], refs, k);
                const outcome alone = assign_one(ix.index, qs[i], k);
                ASSERT_EQ(alone.match, want);
                ASSERT_EQ(alone.stats, (vorn_stats{taken, taken}))
                    << "case " << c << " k " << k << " query \"" << qs[i].bytes << '"';
                sum += taken;
            }
            ASSERT_EQ(total, (vorn_stats{sum, sum})) << "counters accumulate over the batch";
        }
    }
}

// ---- worked cases -----------------------------------------------------------

TEST(HammingAssign, WorkedCases) {
    const uint32_t X = UINT32_MAX;
    std::vector<std::string> all_t4;  // every 4-mer, so those ending in T are 64 hits
    for (int i = 0; i < 256; ++i) {
        std::string s;
        for (int p = 0; p < 4; ++p) s += "ACGT"[(i >> (2 * p)) & 3];
        all_t4.push_back(s);
    }
    struct row {
        const char *what;
        std::vector<std::string> refs;
        seq query;
        int32_t k;
        vorn_match want;
        uint64_t taken;
    };
    // clang-format off
    const row rows[] = {
        // TTTT, GGGG and GGGA agree on a third and are counted, but are too far.
        {"duplicates keep the lower index",
         {"TTTT", "GGGG", "CCCC", "ACGT", "TTTA", "GGGA", "CCCA", "ACGT"}, seq{"ACGT"}, 2,
         {3, 0, X, 2, VORN_STATUS_AMBIGUOUS}, 5},
        {"no encodable reference, so no piece table", {"ACNT", "acgt", "ACGTN"}, seq{"ACGT"}, 1,
         {0, 1, X, 1, VORN_STATUS_UNIQUE}, 2},
        {"empty query as null", {"A", "", "AA"}, seq{"", true, 0}, 1,
         {1, 0, X, 1, VORN_STATUS_UNIQUE}, 1},
        // GGGG agrees on no half; ACNN is measured and is too far.
        {"far candidates are counted", {"ACTT", "ACGA", "GGGG", "ACNN"}, seq{"ACGT"}, 1,
         {0, 1, X, 2, VORN_STATUS_AMBIGUOUS}, 3},
        // ACTT is reached from all four replacements but counted once.
        {"reached by many probes, counted once", {"TCGT", "ACTT"}, seq{"ACNT"}, 2,
         {1, 1, 2, 2, VORN_STATUS_UNIQUE}, 2},
        {"64 replacements", all_t4, seq{"NNNT"}, 3, {192, 3, X, 64, VORN_STATUS_AMBIGUOUS}, 64},
    };
    // clang-format on
    for (const row &r : rows) {
        SCOPED_TRACE(r.what);
        const built_index ix(r.refs);
        ASSERT_NE(ix.index, nullptr);
        const outcome o = assign_one(ix.index, r.query, r.k);
        EXPECT_EQ(o.match, r.want);
        EXPECT_EQ(o.stats, (vorn_stats{r.taken, r.taken}));
    }
}

// ---- arguments and empty index ----------------------------------------------

TEST(HammingAssign, RejectedCallsWriteNothing) {
    const built_index ix(std::vector<std::string>{"ACGT"});
    ASSERT_NE(ix.index, nullptr);
    seq_batch b(velmora_test::as_seqs({"ACGT", "ACGA"}));
    struct row {
        const char *what;
        const vorn_index *index;
        const uint8_t *const *queries;
        const size_t *lens;
        int32_t k;
        bool null_results;
    };
    const row rows[] = {
        {"k = 4", ix.index, b.ptrs(), b.lens(), 4, false},
        {"k = -1", ix.index, b.ptrs(), b.lens(), -1, false},
        {"k = INT32_MIN", ix.index, b.ptrs(), b.lens(), INT32_MIN, false},
        {"null index", nullptr, b.ptrs(), b.lens(), 1, false},
        {"null results", ix.index, b.ptrs(), b.lens(), 1, true},
        {"null queries", ix.index, nullptr, b.lens(), 1, false},
        {"null lengths", ix.index, b.ptrs(), nullptr, 1, false},
    };
    for (const row &r : rows) {
        SCOPED_TRACE(r.what);
        vorn_match results[2] = {poisoned<vorn_match>(), poisoned<vorn_match>()};
        vorn_stats stats = poisoned<vorn_stats>();
        EXPECT_EQ(vorn_index_assign_hamming_stats(r.index, r.queries, r.lens, 2, r.k,
                                                  r.null_results ? nullptr : results, &stats),
                  -1);
        EXPECT_EQ(results[0], poisoned<vorn_match>());
        EXPECT_EQ(results[1], poisoned<vorn_match>());
        EXPECT_EQ(stats, poisoned<vorn_stats>());
    }

    // An empty batch needs no arrays and still resets the counters.
    vorn_match results[2];
    vorn_stats stats{7, 9};
    EXPECT_EQ(vorn_index_assign_hamming_stats(ix.index, nullptr, nullptr, 0, 3, results, &stats),
              0);
    EXPECT_EQ(stats, (vorn_stats{0, 0}));
    EXPECT_EQ(vorn_index_assign_hamming_stats(ix.index, b.ptrs(), b.lens(), 2, 1, results, nullptr),
              0);
    EXPECT_EQ(results[1], (vorn_match{0, 1, UINT32_MAX, 1, VORN_STATUS_UNIQUE}))
        << "null stats accepted";
}

// ---- memory -----------------------------------------------------------------

// A query with A/C/G/T only is decided from the piece entries: no heap, and
// the reference copies are never read (scribbled over here, the encodable
// ones still match by their codes).
TEST(HammingAssign, EncodableQueriesUseNoHeapAndNoReferenceBytes) {
    velmora_test::rng g(velmora_test::test_seed());
    std::vector<std::string> refs;
    for (int i = 0; i < 300; ++i) refs.push_back(g.dna(g.range(14, 18)));
    for (int i = 0; i < 300; ++i) refs.push_back(g.mutate(refs[size_t(i)], 2, 0, true));
    std::vector<seq> qs;
    for (int i = 0; i < 200; ++i)
        qs.push_back(seq{g.mutate(refs[g.range(0, 599)], unsigned(g.range(0, 3)), 0, true)});
    const built_index ix(refs);
    ASSERT_NE(ix.index, nullptr);
    for (uint64_t r = 0; r < ix->n_refs; ++r) {
        std::memset(const_cast<uint8_t *>(velmora::index_ref_bytes(ix.index, r)), 'X',
                    velmora::index_ref_len(ix.index, r));
    }

    seq_batch b(qs);
    for (int32_t k = 1; k <= 3; ++k) {
        std::vector<vorn_match> results(qs.size());
        const velmora_test::alloc_counters c = velmora_test::alloc_measure([&] {
            vorn_index_assign_hamming_stats(ix.index, b.ptrs(), b.lens(), qs.size(), k,
                                            results.data(), nullptr);
        });
        EXPECT_EQ(c.allocations, 0u) << "k " << k;
        for (size_t i = 0; i < qs.size(); ++i) {
            ASSERT_EQ(results[i],
                      oracle::hamming_record(qs[i], velmora_test::as_seqs(refs), uint32_t(k)))
                << "k " << k;
        }
    }
}

// Sets whose search takes up more than 128 references, so the candidate set
// must grow: every allocation along the way is made to fail in turn.  The
// query is then decided by the full scan with the same record, the counters
// only grow, and nothing leaks.
TEST(HammingAssign, CandidateSetFailureFallsBackToFullScan) {
    std::vector<std::string> all5, n4;
    for (int i = 0; i < 1024; ++i) {
        std::string s;
        for (int p = 0; p < 5; ++p) s += "ACGT"[(i >> (2 * p)) & 3];
        all5.push_back(s);
        if (i < 256) n4.push_back("N" + s.substr(0, 4));
        if (i < 256) n4.push_back("n" + s.substr(0, 4));
    }
    std::vector<std::string> mixed = all5;
    mixed.insert(mixed.end(), n4.begin(), n4.begin() + 40);
    struct row {
        const char *what;
        std::vector<std::string> refs;
        std::string query;
        int32_t k;
    };
    const row rows[] = {
        {"replacement search, 268 encodable hits", mixed, "NACGT", 3},
        {"non-encodable scan through the set", n4, "NAAAN", 3},
        {"non-encodable scan after too many unknowns", n4, "NnNnA", 3},
    };
    for (const row &r : rows) {
        SCOPED_TRACE(r.what);
        const built_index ix(r.refs);
        ASSERT_NE(ix.index, nullptr);
        const seq q{r.query};
        const vorn_match want =
            oracle::hamming_record(q, velmora_test::as_seqs(r.refs), uint32_t(r.k));
        const uint64_t taken = expected_taken_up(q, r.refs, r.k);
        const uint64_t same_length =
            uint64_t(std::count_if(r.refs.begin(), r.refs.end(), [&](const std::string &s) {
                return s.size() == r.query.size();
            }));
        seq_batch b;
        b.add(q);
        uint64_t failures = 0;
        const uint64_t runs = velmora_test::alloc_fault_sweep([&](uint64_t) {
            vorn_match m;
            vorn_stats st;
            const int32_t rc =
                vorn_index_assign_hamming_stats(ix.index, b.ptrs(), b.lens(), 1, r.k, &m, &st);
            const bool injected = velmora_test::alloc_injected();
            EXPECT_EQ(rc, 0);
            EXPECT_EQ(m, want);
            EXPECT_EQ(st.candidates, st.verifications);
            if (injected) {
                failures += 1;
                EXPECT_GE(st.candidates, same_length);  // the full scan ran after the failure
            } else {
                EXPECT_EQ(st.candidates, taken);
            }
        });
        EXPECT_GE(runs, 3u) << "the set should have allocated at least twice";
        EXPECT_EQ(failures, runs - 1);
    }
}

}  // namespace
