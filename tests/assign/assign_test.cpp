// Edit-tolerant index assignment, all three forms, against the naive oracle
// and the models: records field by field and the work counters of each query
// and of the batch, on neighbor sets aimed at each path (every encodable
// length, one or two foreign bytes, 33- to 35-base reads).
#include <gtest/gtest.h>

#include <cstdint>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "differential.h"
#include "test_util.h"

namespace {

using oracle::seq;
using velmora_test::built_index;
using velmora_test::near_neighbor_queries;
using velmora_test::near_neighbor_refs;
using velmora_test::rng;
using velmora_test::seq_batch;

std::string with_base(std::string s, size_t p, char b) {
    s[p] = b;
    return s;
}

// Every form against brute force and the models (differential.h), on an
// index built with the given tables beside one with every table, k up to 5,
// the status-only search held to its documented order.
void check_round(const std::vector<seq> &refs, const std::vector<seq> &qs, uint32_t flags) {
    built_index bi(refs, flags), every(refs, VORN_INDEX_ALL);
    ASSERT_NE(bi.index, nullptr);
    ASSERT_NE(every.index, nullptr);
    velmora_test::index_check check(refs, qs, flags);
    check.index = bi.index;
    check.other = every.index;
    check.edit_ks = {0, 1, 2, 3, 5};
    check.search_order = true;
    check.exact_lookups();
    check.edit_assignment();
}

// Queries of every encodable length 0 to 32 among their mutants at 0 to 3
// edits (noisy bytes included), duplicates and strangers.
void every_encodable_length(rng &g, std::vector<seq> &refs, std::vector<seq> &qs) {
    for (size_t len = 0; len <= 32; ++len) {
        qs.push_back(seq{g.dna(len)});
        for (size_t i = g.range(1, 5); i > 0; --i) {
            refs.push_back(seq{g.mutate(qs.back().bytes, unsigned(g.range(0, 3)), g.chance(30) ? 20 : 0)});
        }
        if (g.chance(20)) refs.push_back(refs.back());
        // Edits at the last base, where the variant lists end.
        const std::string &q = qs.back().bytes;
        if (len > 0 && g.chance(50)) {
            std::string r = with_base(q, len - 1, q[len - 1] == 'A' ? 'T' : 'A');
            if (g.chance(50)) r.insert(g.range(0, len), 1, g.base());
            else r.erase(g.range(0, len - 1), 1);
            refs.push_back(seq{r});
        }
        if (g.chance(30)) refs.push_back(seq{q + g.dna(g.range(1, 2))});
        // A query whose only neighbours are two bases longer, inserted near
        // one place: the status-only search stops among them.
        if (len <= 30 && g.chance(40)) {
            const std::string lone = g.dna(len);
            qs.push_back(seq{lone});
            const size_t p = g.range(0, len);
            const char b = g.base();
            for (size_t i = g.range(3, 5); i > 0; --i) {
                std::string r = lone;
                r.insert(p, 1, b);
                r.insert(g.range(p, std::min(p + 2, r.size())), 1, g.base());
                refs.push_back(seq{r});
            }
        }
    }
    for (int i = 0; i < 10; ++i) refs.push_back(seq{g.noisy(g.boundary_len(36), 10)});
}

// For every length 1 to 32: one foreign byte (N, lower case, 0x00, 0xFF) at
// the first, a middle and the last position, and two foreign bytes; the
// references are the query's repairs and near neighbors.
void foreign_bytes(rng &g, std::vector<seq> &refs, std::vector<seq> &qs) {
    static const char foreign[] = {'N', 'a', '\0', '\xff', 'n', 't'};
    size_t pick = g.range(0, 5);
    for (size_t len = 1; len <= 32; ++len) {
        const std::string base = g.dna(len);
        for (const size_t pos : {size_t{0}, len / 2, len - 1})
            qs.push_back(seq{with_base(base, pos, foreign[pick++ % 6])});
        std::string two = with_base(base, g.range(0, len - 1), foreign[pick++ % 6]);
        qs.push_back(seq{with_base(two, g.range(0, len - 1), foreign[pick++ % 6])});
        for (int i = 0; i < 3; ++i) refs.push_back(seq{g.mutate(base, unsigned(g.range(0, 2)))});
        const std::string &near = qs[qs.size() - 1 - g.range(0, 3)].bytes;
        refs.push_back(seq{g.mutate(near, unsigned(g.range(0, 2)), 15)});
        if (g.chance(25)) refs.push_back(seq{near});
        if (g.chance(15)) refs.push_back(refs.back());
    }
    for (int i = 0; i < 10; ++i) refs.push_back(seq{g.noisy(g.boundary_len(34), 15)});
}

// All-ACGT queries of 33, 34 and 35 bases (some with a run) against
// references of 31 to 36 bytes made by deletions and edits from them.
void long_reads(rng &g, std::vector<seq> &refs, std::vector<seq> &qs) {
    for (const size_t len : {33u, 33u, 34u, 34u, 35u}) {
        std::string q = g.dna(len);
        if (g.chance(30)) q.replace(g.range(0, len - 8), 8, std::string(8, q[0]));
        qs.push_back(seq{q});
        for (int i = 0; i < 12; ++i) {
            std::string r = q;
            for (size_t d = g.range(0, 4); d > 0 && !r.empty(); --d) r.erase(g.range(0, r.size() - 1), 1);
            refs.push_back(seq{g.mutate(r, unsigned(g.range(0, 2)), g.chance(20) ? 25 : 0)});
        }
        if (g.chance(30)) refs.push_back(refs.back());
        // Two deletions one or two bases apart, where the windows meet.
        std::string near = q;
        const size_t p = g.range(0, len - 3);
        near.erase(p + g.range(1, 2), 1);
        refs.push_back(seq{near.erase(p, 1)});
    }
    for (int i = 0; i < 6; ++i) refs.push_back(seq{g.noisy(g.range(31, 36), 5)});
}

// Every A/C/G/T sequence of up to five bases, shuffled, a few twice: a
// search that looks up a code it should not finds a reference there.
void every_short_sequence(rng &g, std::vector<seq> &refs, std::vector<seq> &qs) {
    std::vector<std::string> all{""};
    for (size_t at = 0; at < all.size() && all[at].size() < 5; ++at)
        for (const char b : std::string("ACGT")) all.push_back(all[at] + b);
    for (size_t i = all.size(); i > 1; --i) std::swap(all[i - 1], all[g.range(0, i - 1)]);
    for (const std::string &s : all) {
        refs.push_back(seq{s});
        if (g.chance(2)) refs.push_back(seq{s});
    }
    for (int i = 0; i < 24; ++i) qs.push_back(seq{g.dna(g.range(0, 7))});
    for (int i = 0; i < 8; ++i) {
        const size_t len = g.range(1, 6);
        qs.push_back(seq{with_base(g.dna(len), g.range(0, len - 1), 'N')});
    }
}

// Lists of A/C/G/T only, which the index holds as codes alone: one length
// (0, 1, 15, 16, 17, 31 or 32: the key word's and the narrow codes' edges)
// or several, with groups of
// duplicates, and their mutants as queries.  The same list with one entry
// the codes cannot hold (an N, a lower-case base, 33 bases) puts every
// reference back in the byte copy: the records must not notice.
void codes_only(rng &g, std::vector<seq> &refs, std::vector<seq> &qs) {
    static const size_t lens[] = {0, 1, 15, 16, 17, 31, 32};
    const bool one_length = g.chance(50);
    const size_t common = lens[g.range(0, 6)];
    for (size_t i = g.range(1, 60); i > 0; --i) {
        if (!refs.empty() && g.chance(20)) {
            refs.push_back(refs[g.range(0, refs.size() - 1)]);
            continue;
        }
        std::string r = g.dna(one_length ? common : lens[g.range(0, 6)]);
        if (!refs.empty() && g.chance(50)) {
            r = refs[g.range(0, refs.size() - 1)].bytes;  // a neighbor: one base replaced
            if (!r.empty()) r[g.range(0, r.size() - 1)] = "ACGT"[g.range(0, 3)];
        }
        refs.push_back(seq{r});
    }
    for (int i = 0; i < 40; ++i) {
        const std::string &r = refs[g.range(0, refs.size() - 1)].bytes;
        qs.push_back(seq{g.mutate(r, unsigned(g.range(0, 2)), g.chance(20) ? 15 : 0)});
    }
}

TEST(IndexAssignDifferential, CodesOnlyAndByteCopyListsEqualOracle) {
    const uint64_t seed = velmora_test::test_seed();
    SCOPED_TRACE("seed " + std::to_string(seed));
    rng g(seed);
    static const char *const breakers[] = {"ACGTNACGT", "acgt", "ACGTACGTACGTACGTACGTACGTACGTACGTA"};
    for (int round = 0; round < 24 && !::testing::Test::HasFailure(); ++round) {
        SCOPED_TRACE(::testing::Message() << "round " << round);
        std::vector<seq> refs, qs;
        codes_only(g, refs, qs);
        check_round(refs, qs, uint32_t(round % 4));
        refs.insert(refs.begin() + std::ptrdiff_t(g.range(0, refs.size())), seq{breakers[round % 3]});
        check_round(refs, qs, uint32_t(round % 4));
    }
}

TEST(IndexAssignDifferential, RecordsAndCountersEqualOracle) {
    const uint64_t seed = velmora_test::test_seed();
    SCOPED_TRACE("seed " + std::to_string(seed));
    rng g(seed);
    const int rounds = 40;
    for (int round = 0; round < rounds && !::testing::Test::HasFailure(); ++round) {
        SCOPED_TRACE(::testing::Message() << "round " << round);
        std::vector<seq> refs, qs;
        switch (round % 6) {
            case 0:
            case 1:
                refs = near_neighbor_refs(g, g.range(1, 6), g.range(1, 90), round % 2 ? 34 : 40);
                qs = near_neighbor_queries(g, refs, 60, round % 2 ? 34 : 40);
                break;
            case 2: every_encodable_length(g, refs, qs); break;
            case 3: foreign_bytes(g, refs, qs); break;
            case 4: every_short_sequence(g, refs, qs); break;
            default: long_reads(g, refs, qs); break;
        }
        check_round(refs, qs, uint32_t(round / 6 % 4));  // every table set for each kind
    }
}

}  // namespace
