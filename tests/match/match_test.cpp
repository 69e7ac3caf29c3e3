// Brute-force matchers against the oracle, their argument checks and the
// record rules on hand-made cases.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "oracle.h"
#include "support/alloc_hooks.h"
#include "test_util.h"
#include "velmora.h"

using oracle::seq;
using velmora_test::rng;
using velmora_test::seq_batch;

namespace {

void expect_match_many(const std::vector<seq> &qs, const std::vector<seq> &refs, int32_t k) {
    seq_batch qb(qs), rb(refs);
    std::vector<vorn_match> out(qs.size());
    ASSERT_EQ(vorn_match_many(qb.ptrs(), qb.lens(), qb.size(), rb.ptrs(), rb.lens(), rb.size(), k,
                              out.data()),
              0);
    for (size_t i = 0; i < qs.size(); ++i)
        EXPECT_EQ(out[i], oracle::edit_record(qs[i], refs, static_cast<uint32_t>(k)))
            << "query " << i << " '" << qs[i].bytes << "' k=" << k;
}

void expect_assign_many(const std::vector<seq> &qs, const std::vector<seq> &refs, int32_t k,
                        uint32_t single) {
    seq_batch qb(qs), rb(refs);
    std::vector<vorn_assignment> out(qs.size());
    ASSERT_EQ(vorn_assign_many(qb.ptrs(), qb.lens(), qb.size(), rb.ptrs(), rb.lens(), rb.size(), k,
                               single, out.data()),
              0);
    for (size_t i = 0; i < qs.size(); ++i)
        EXPECT_EQ(out[i], oracle::assignment_record(qs[i], refs, static_cast<uint32_t>(k), single))
            << "query " << i << " '" << qs[i].bytes << "' k=" << k << " single=" << single;
}

}  // namespace

TEST(MatchMany, AgreesWithOracleOnNeighborSets) {
    rng g(velmora_test::test_seed());
    const int rounds = 40 * velmora_test::test_scale();
    for (int round = 0; round < rounds; ++round) {
        const std::vector<seq> refs = velmora_test::near_neighbor_refs(g, 4, g.range(1, 30));
        const std::vector<seq> qs = velmora_test::near_neighbor_queries(g, refs, 13);
        for (int32_t k = 0; k <= 5; ++k) {
            expect_match_many(qs, refs, k);
            expect_assign_many(qs, refs, k, static_cast<uint32_t>(round & 1));
        }
    }
}

TEST(MatchMany, InvalidSequences) {
    const std::vector<seq> refs = {seq{"ACGT"}, seq{"ACGA"}};
    // An invalid query marks only itself, with or without references.
    for (const auto &r : {refs, std::vector<seq>{}}) {
        expect_match_many({seq{"ACGT"}, seq{"", true, 3}, seq{"", true, 0}}, r, 1);
        expect_assign_many({seq{"ACGT"}, seq{"", true, 3}, seq{"", true, 0}}, r, 1, 1);
    }
    // An invalid reference anywhere makes every valid query invalid, even
    // after an exact hit at position 0.
    std::vector<seq> bad = {seq{"ACGT"}, seq{"C"}, seq{"G"}, seq{"T"}, seq{"A"}, seq{"", true, 4}};
    for (int32_t k : {0, 1, 2, 3}) {
        expect_match_many({seq{"ACGT"}, seq{"TTTT"}, seq{"", true, 2}}, bad, k);
        expect_assign_many({seq{"ACGT"}, seq{"TTTT"}}, bad, k, 1);
    }
}

// The record rules written out by hand, so that the oracle cannot share a
// misreading with the library: second distance, ties, the single-hit rule
// and every edit class.
TEST(AssignMany, RecordRulesAndEditClasses) {
    struct Case {
        std::vector<std::string> refs;
        std::string query;
        int32_t k;
        uint32_t single;
        vorn_assignment want;
    };
    const uint32_t X = UINT32_MAX;
    const Case cases[] = {
        {{"ACGA", "ACGC", "AGGC"}, "ACGT", 2, 0, {0, 1, 2, 2, 3, VORN_STATUS_AMBIGUOUS, VORN_EDIT_SUBSTITUTION}},
        {{"TTTT", "ACGA", "ACTA"}, "ACGT", 3, 0, {1, 1, 2, 1, 3, VORN_STATUS_UNIQUE, VORN_EDIT_SUBSTITUTION}},
        {{"", "A", "AC", "ACG"}, "", 2, 0, {0, 0, 1, 1, 3, VORN_STATUS_UNIQUE, VORN_EDIT_EXACT}},
        {{"ACGT", "ACGTAA"}, "ACGT", 2, 0, {0, 0, 2, 1, 2, VORN_STATUS_UNIQUE, VORN_EDIT_EXACT}},
        {{"ACGT", "ACGTAA"}, "ACGT", 2, 1, {0, 0, 2, 1, 2, VORN_STATUS_AMBIGUOUS, VORN_EDIT_EXACT}},
        {{"ACGT"}, "ACGTA", 1, 0, {0, 1, X, 1, 1, VORN_STATUS_UNIQUE, VORN_EDIT_INSERTION}},
        {{"ACGT"}, "ACG", 1, 0, {0, 1, X, 1, 1, VORN_STATUS_UNIQUE, VORN_EDIT_DELETION}},
        {{"ACGT"}, "ACCT", 1, 0, {0, 1, X, 1, 1, VORN_STATUS_UNIQUE, VORN_EDIT_SUBSTITUTION}},
        // A tie keeps the first reference's class.
        {{"ACCT", "ACGTT"}, "ACGT", 1, 0, {0, 1, X, 2, 2, VORN_STATUS_AMBIGUOUS, VORN_EDIT_SUBSTITUTION}},
        {{"AGGA"}, "ACGT", 2, 0, {0, 2, X, 1, 1, VORN_STATUS_UNIQUE, VORN_EDIT_TWO}},
        {{"TTTT"}, "ACGA", 4, 0, {0, 4, X, 1, 1, VORN_STATUS_UNIQUE, VORN_EDIT_OTHER}},
        {{"TTTT"}, "ACGA", 1, 0, {X, X, X, 0, 0, VORN_STATUS_NONE, VORN_EDIT_NONE}},
    };
    for (const Case &c : cases) {
        seq_batch rb(velmora_test::as_seqs(c.refs));
        seq_batch qb;
        qb.add(c.query);
        vorn_assignment a;
        vorn_match m;
        ASSERT_EQ(vorn_assign_many(qb.ptrs(), qb.lens(), 1, rb.ptrs(), rb.lens(), rb.size(), c.k,
                                   c.single, &a), 0);
        ASSERT_EQ(vorn_match_many(qb.ptrs(), qb.lens(), 1, rb.ptrs(), rb.lens(), rb.size(), c.k, &m), 0);
        EXPECT_EQ(a, c.want) << c.query << " k=" << c.k;
        const vorn_match want_m{c.want.best_index, c.want.best_distance, c.want.second_distance,
                                c.want.hit_count, c.want.hit_count == 0    ? VORN_STATUS_NONE
                                                  : c.want.best_count >= 2 ? VORN_STATUS_AMBIGUOUS
                                                                           : VORN_STATUS_UNIQUE};
        EXPECT_EQ(m, want_m) << c.query << " k=" << c.k;
    }
}

// Rejected calls return -1 and leave every output byte as it was.
TEST(MatchMany, ArgumentChecks) {
    seq_batch qb(velmora_test::as_seqs({"ACGT", "AC"}));
    seq_batch rb(velmora_test::as_seqs({"ACGT"}));
    const uint8_t *const *Q = qb.ptrs();
    const size_t *QL = qb.lens();
    const uint8_t *const *R = rb.ptrs();
    const size_t *RL = rb.lens();
    struct Case {
        const char *name;
        const uint8_t *const *q;
        const size_t *ql;
        size_t nq;
        const uint8_t *const *r;
        const size_t *rl;
        size_t nr;
        int32_t k;
        bool null_out;
        uint32_t single;
        int32_t want;
    };
    const Case cases[] = {
        {"null out", Q, QL, 2, R, RL, 1, 1, true, 0, -1},
        {"negative k", Q, QL, 2, R, RL, 1, -1, false, 0, -1},
        {"negative k, empty batch", nullptr, nullptr, 0, nullptr, nullptr, 0, -1, false, 0, -1},
        {"empty batch, no refs", nullptr, nullptr, 0, nullptr, nullptr, 0, 1, false, 0, 0},
        {"empty batch, refs null", nullptr, nullptr, 0, nullptr, RL, 1, 1, false, 0, -1},
        {"empty batch, refs given", nullptr, nullptr, 0, R, RL, 1, 1, false, 0, 0},
        {"null queries", nullptr, QL, 2, R, RL, 1, 1, false, 0, -1},
        {"null query lengths", Q, nullptr, 2, R, RL, 1, 1, false, 0, -1},
        {"null refs", Q, QL, 2, nullptr, RL, 1, 1, false, 0, -1},
        {"null ref lengths", Q, QL, 2, R, nullptr, 1, 1, false, 0, -1},
        {"too many refs", Q, QL, 2, R, RL, size_t{0x80000000}, 1, false, 0, -1},
        {"too many refs, empty batch", nullptr, nullptr, 0, R, RL, size_t{0x80000000}, 1, false,
         0, -1},
        {"single-hit flag 2", Q, QL, 0, nullptr, nullptr, 0, 1, false, 2, -1},
    };
    for (const Case &c : cases) {
        vorn_match out[2];
        vorn_assignment aout[2];
        std::memset(out, 0xA5, sizeof out);
        std::memset(aout, 0xA5, sizeof aout);
        const bool match_form = c.single <= 1;
        if (match_form) {
            EXPECT_EQ(vorn_match_many(c.q, c.ql, c.nq, c.r, c.rl, c.nr, c.k, c.null_out ? nullptr : out),
                      c.want)
                << c.name;
        }
        EXPECT_EQ(vorn_assign_many(c.q, c.ql, c.nq, c.r, c.rl, c.nr, c.k, c.single,
                                   c.null_out ? nullptr : aout),
                  c.want)
            << c.name;
        if (c.want != 0 || c.nq == 0) {
            for (size_t b = 0; b < sizeof out; ++b)
                ASSERT_EQ(reinterpret_cast<unsigned char *>(out)[b], 0xA5) << c.name;
            for (size_t b = 0; b < sizeof aout; ++b)
                ASSERT_EQ(reinterpret_cast<unsigned char *>(aout)[b], 0xA5) << c.name;
        }
    }
}

// Sequences over 512 bytes go to the dynamic-programming kernel, which needs
// heap rows; when they cannot be had the query is reported invalid, never as
// "farther than k", and nothing leaks.
TEST(MatchMany, KernelOutOfMemoryMarksQueryInvalid) {
    rng g(7);
    const std::string ref = g.dna(700);
    const std::string query = g.mutate(ref, 2).substr(0, 600) + ref.substr(600, 98);
    seq_batch qb, rb;
    qb.add(query);
    rb.add(ref);
    const vorn_match want = oracle::edit_record(seq{query}, {seq{ref}}, 5);
    const vorn_assignment want_a = oracle::assignment_record(seq{query}, {seq{ref}}, 5, false);
    const vorn_assignment invalid_a = oracle::assignment_record(seq{"", true, 1}, {}, 5, false);
    velmora_test::alloc_fault_sweep([&](uint64_t) {
        vorn_match m;
        vorn_assignment a;
        ASSERT_EQ(vorn_match_many(qb.ptrs(), qb.lens(), 1, rb.ptrs(), rb.lens(), 1, 5, &m), 0);
        const bool match_failed = velmora_test::alloc_injected();
        ASSERT_EQ(vorn_assign_many(qb.ptrs(), qb.lens(), 1, rb.ptrs(), rb.lens(), 1, 5, 0, &a), 0);
        const bool assign_failed = velmora_test::alloc_injected() && !match_failed;
        EXPECT_EQ(m, match_failed ? oracle::match_invalid() : want);
        EXPECT_EQ(a, assign_failed ? invalid_a : want_a);
    });
}
