// Hamming assignment through the index against brute force: records field by
// field and each query's work counters per route (differential.h), on indexes
// with and without the piece tables; and the bounded Hamming distance of both internal routes
// (2-bit codes, byte blocks) against its definition.
#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "hamming/hamming_internal.h"
#include "differential.h"
#include "test_util.h"

namespace {

using oracle::seq;
using velmora_test::built_index;
using velmora_test::seq_batch;

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
std::vector<seq> make_queries(velmora_test::rng &g, const std::vector<seq> &refs) {
    std::vector<seq> qs;
    for (int i = 0; i < 24; ++i) {
        std::string s = refs.empty() ? g.dna(g.boundary_len(40))
                                     : g.mutate(refs[g.range(0, refs.size() - 1)].bytes,
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
    for (int c = 0; c < 400; ++c) {
        // The first set is empty: every valid query finds nothing, for free.
        std::vector<seq> refs = velmora_test::as_seqs(c == 0 ? std::vector<std::string>{} : make_refs(g));
        // Every third list codes only, which the index keeps without its bytes.
        if (c % 3 == 1) refs = velmora_test::encodable_only(g, refs);
        const uint32_t flags = uint32_t(c % 4);
        const built_index ix(refs, flags);
        ASSERT_NE(ix.index, nullptr);
        velmora_test::index_check check(ix.refs, make_queries(g, refs), flags);
        check.index = ix.index;
        check.hamming_assignment();
    }
}

// Pairs at 0 to 5 substitutions, over lengths across the block edges, for
// the bounded test the Hamming search measures a candidate's bytes with.
TEST(HammingDistance, MatchesDefinitionOnRandomPairs) {
    velmora_test::rng g(velmora_test::test_seed() + 5);
    for (int it = 0; it < 20000; ++it) {
        const size_t len = g.chance(20) ? g.range(60, 72) : g.boundary_len(40);
        const unsigned noise = g.chance(50) ? 0 : 10;
        const std::string a = g.noisy(len, noise);
        std::string b = g.chance(10) ? g.mutate(a, 1, noise)
                                     : g.mutate(a, unsigned(g.range(0, 5)), noise, true);
        if (g.chance(5)) b = g.noisy(len, 30);
        if (b.size() != a.size()) b = g.mutate(a, 1, noise, true);
        seq_batch s;
        s.add(a);
        s.add(b);
        const uint32_t d = oracle::hamming(a, b);
        for (int32_t k : {-1, 0, 1, 2, 3, 4, 5, 32}) {
            const bool within = d != UINT32_MAX && k >= 0 && d <= static_cast<uint32_t>(k);
            ASSERT_EQ(velmora::same_length_hamming_distance_within_k(s.ptr(0), s.ptr(1), a.size(), k),
                      within ? static_cast<int32_t>(d) : -1)
                << '"' << a << "\" vs \"" << b << "\" k=" << k;
        }
    }
}

}  // namespace
