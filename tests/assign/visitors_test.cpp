// Edit-code enumeration and seed-candidate visitors, white box: the variant
// order against a string-level oracle, early stop, the candidate measuring
// rules, the non-encodable window, and the two-level search reaching exactly
// the encodable references within two edits.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <set>
#include <string>
#include <vector>

#include "assign/assign_internal.h"
#include "assign_fixture.h"
#include "match/match_record.h"
#include "test_util.h"

using namespace velmora;
using assign_test::built_index;
using assign_test::decode;
using assign_test::encode;

namespace {

struct recorded {
    std::vector<std::string> calls;
    size_t stop_at = SIZE_MAX;  // 1-based call that returns stop_value
    int32_t stop_value = 0;
};

int32_t record_visitor(uint64_t code, uint64_t len, void *ctx) noexcept {
    auto *r = static_cast<recorded *>(ctx);
    // Every variant must be a proper code of its length.
    if (len < 32 && (code >> (2 * len)) != 0) r->calls.push_back("<stray high bits>");
    r->calls.push_back(decode(code, len));
    return r->calls.size() == r->stop_at ? r->stop_value : 0;
}

std::vector<std::string> enumerate(const std::string &s) {
    recorded r;
    EXPECT_EQ(index_visit_one_edit_codes(encode(s), s.size(), record_visitor, &r), 0);
    return r.calls;
}

// The same order, built on strings.
std::vector<std::string> expected_variants(const std::string &s) {
    std::vector<std::string> out;
    for (size_t p = 0; p < s.size(); ++p)
        for (char b : std::string("ACGT"))
            if (b != s[p]) {
                std::string t = s;
                t[p] = b;
                out.push_back(t);
            }
    for (size_t p = 0; p < s.size(); ++p) out.push_back(s.substr(0, p) + s.substr(p + 1));
    if (s.size() <= 31)
        for (size_t p = 0; p <= s.size(); ++p)
            for (char b : std::string("ACGT")) out.push_back(s.substr(0, p) + b + s.substr(p));
    return out;
}

TEST(EditCodeVisit, ShortCodesInDocumentedOrder) {
    EXPECT_EQ(enumerate(""), (std::vector<std::string>{"A", "C", "G", "T"}));
    EXPECT_EQ(enumerate("AC"),
              (std::vector<std::string>{"CC", "GC", "TC", "AA", "AG", "AT", "C", "A", "AAC", "CAC",
                                        "GAC", "TAC", "AAC", "ACC", "AGC", "ATC", "ACA", "ACC",
                                        "ACG", "ACT"}));
    const auto aaa = enumerate("AAA");
    EXPECT_EQ(std::vector<std::string>(aaa.begin() + 9, aaa.begin() + 12),
              (std::vector<std::string>{"AA", "AA", "AA"}));
}

// Lengths around the word boundary and bases in the high positions: the
// deletion at the last base of 32 and the insertion after the last base of
// 31 are where a plain formula would shift by 64.
TEST(EditCodeVisit, MatchesStringOracleAtEveryLength) {
    velmora_test::rng g(velmora_test::test_seed());
    std::vector<std::string> cases = {"A", "T", "GT", std::string(31, 'T'), std::string(32, 'T'),
                                      std::string(31, 'G'), std::string(32, 'C'),
                                      std::string(30, 'T') + "G", std::string(31, 'A') + "T"};
    for (size_t len = 0; len <= 32; ++len) cases.push_back(g.dna(len));
    for (const auto &s : cases) {
        const auto got = enumerate(s);
        ASSERT_EQ(got, expected_variants(s)) << s;
        const size_t n = s.size();
        EXPECT_EQ(got.size(), n == 32 ? 128 : 8 * n + 4) << s;
    }
}

TEST(EditCodeVisit, NonzeroVisitorResultEndsTheEnumeration) {
    struct row {
        std::string s;
        size_t stop_at;
        int32_t value;
    };
    // First call, a deletion call, an insertion call, the very last call.
    const row rows[] = {{"ACGT", 1, 7}, {"ACGT", 13, -1}, {"ACGT", 20, 1}, {"ACGT", 36, 1},
                        {std::string(32, 'G'), 128, 5}, {"", 4, 2}};
    for (const row &r : rows) {
        recorded rec;
        rec.stop_at = r.stop_at;
        rec.stop_value = r.value;
        EXPECT_EQ(index_visit_one_edit_codes(encode(r.s), r.s.size(), record_visitor, &rec),
                  r.value);
        EXPECT_EQ(rec.calls.size(), r.stop_at);
    }
}

// Per-query state the visitors share, as a path sets it up.
struct query_state {
    candidate_seen_scope seen;
    vorn_match result;
    int32_t best_count = 0;
    vorn_stats stats{0, 0};
    query_state() { match_reset(&result, VORN_STATUS_NONE); }
};

TEST(SeedCandidate, ArrivalOrderDoesNotChangeTheRecord) {
    std::vector<std::string> refs(10, "TTTTTT");
    refs[4] = refs[6] = refs[9] = "ACGA";
    built_index bi(refs);
    ASSERT_NE(bi.index, nullptr);
    const std::string q = "ACGT";
    query_state st;
    for (uint64_t r : {9u, 4u, 6u}) {
        EXPECT_EQ(index_verify_seed_candidate(bi.index, r, &st.seen.set,
                                              velmora_test::bytes(q), q.size(), 1, &st.result,
                                              &st.best_count, &st.stats),
                  0);
    }
    EXPECT_EQ(st.result.best_index, 4u);
    EXPECT_EQ(st.result.best_distance, 1u);
    EXPECT_EQ(st.result.hit_count, 3u);
    EXPECT_EQ(st.best_count, 3);
    EXPECT_EQ(st.stats, (vorn_stats{3, 3}));

    // Already taken up: neither measured nor counted again.
    const vorn_match before = st.result;
    EXPECT_EQ(index_verify_seed_candidate(bi.index, 4, &st.seen.set, velmora_test::bytes(q),
                                          q.size(), 1, &st.result, &st.best_count, &st.stats),
              0);
    EXPECT_EQ(st.result, before);
    EXPECT_EQ(st.best_count, 3);
    EXPECT_EQ(st.stats, (vorn_stats{3, 3}));

    // A reference beyond k is counted but is no hit.
    EXPECT_EQ(index_verify_seed_candidate(bi.index, 0, &st.seen.set, velmora_test::bytes(q),
                                          q.size(), 1, &st.result, &st.best_count, &st.stats),
              0);
    EXPECT_EQ(st.result, before);
    EXPECT_EQ(st.stats, (vorn_stats{4, 4}));
}

TEST(SeedCandidate, ExactProbeTakesOnlyItsOwnKey) {
    // "", "A", "AA" all have code 0; the bucket chain may also hold others.
    built_index bi(std::vector<std::string>{"", "A", "AA", "A", "ACGN", "C", "A", "AAA"});
    ASSERT_NE(bi.index, nullptr);
    struct row {
        std::string probe;
        uint32_t stop;
        std::vector<uint64_t> measured;
        vorn_match result;
    };
    const std::string q = "A";
    const row rows[] = {
        {"A", 0, {6, 3, 1}, {1, 0, UINT32_MAX, 3, VORN_STATUS_NONE}},
        // Chains run from the highest position down: the stop comes after 6 and 3.
        {"A", 1, {6, 3}, {3, 0, UINT32_MAX, 2, VORN_STATUS_NONE}},
        {"", 0, {0}, {0, 1, UINT32_MAX, 1, VORN_STATUS_NONE}},
        {"AA", 1, {2}, {2, 1, UINT32_MAX, 1, VORN_STATUS_NONE}},
        {"AAAA", 0, {}, oracle::match_none()},
    };
    for (const row &r : rows) {
        query_state st;
        EXPECT_EQ(index_visit_exact_seed_candidates(bi.index, encode(r.probe), r.probe.size(),
                                                    &st.seen.set, velmora_test::bytes(q), q.size(),
                                                    1, &st.result, &st.best_count, &st.stats,
                                                    r.stop),
                  0);
        EXPECT_EQ(std::vector<uint64_t>(st.seen.set.items, st.seen.set.items + st.seen.set.count),
                  r.measured)
            << r.probe;
        EXPECT_EQ(st.result, r.result) << r.probe;
        EXPECT_EQ(st.stats.candidates, r.measured.size());
    }
}

TEST(SeedCandidate, NonEncodableScanKeepsItsWindowOfTwo) {
    // Query of 4 bytes: lengths 2 to 6 are examined, 1 and 7 are not.
    built_index bi(std::vector<std::string>{"ACGTNNN", "ACGN", "AC", "NC", "N", "ACGTNN", "acgt",
                                            std::string(40, 'A')});
    ASSERT_NE(bi.index, nullptr);
    const std::string q = "ACGT";
    query_state st;
    EXPECT_EQ(index_scan_nonencodable_seed_candidates(bi.index, &st.seen.set,
                                                      velmora_test::bytes(q), q.size(), &st.result,
                                                      &st.best_count, &st.stats, 0),
              0);
    EXPECT_EQ(std::vector<uint64_t>(st.seen.set.items, st.seen.set.items + st.seen.set.count),
              (std::vector<uint64_t>{1, 3, 5, 6}));
    // ACGN at 1, ACGTNN at 2; NC is 3 away and acgt 4.
    EXPECT_EQ(st.result, (vorn_match{1, 1, 2, 2, VORN_STATUS_NONE}));
    EXPECT_EQ(st.stats, (vorn_stats{4, 4}));

    // Stop flag: the second reference at the best distance ends the scan.
    built_index tie(std::vector<std::string>{"ACGN", "ACGT", "NCGT", "ACNT"});
    query_state st2;
    EXPECT_EQ(index_scan_nonencodable_seed_candidates(tie.index, &st2.seen.set,
                                                      velmora_test::bytes(q), q.size(),
                                                      &st2.result, &st2.best_count, &st2.stats, 1),
              1);
    EXPECT_EQ(st2.result, (vorn_match{0, 1, UINT32_MAX, 2, VORN_STATUS_NONE}));
    EXPECT_EQ(st2.seen.set.count, 2u);
}

// The two visitors started from the query code look up every code within two
// edits: the references they take up are exactly the encodable ones within
// two edits, whatever the near-neighbour structure.
TEST(SeedCandidate, TwoLevelSearchReachesEveryEncodableReferenceWithinTwoEdits) {
    velmora_test::rng g(velmora_test::test_seed() + 1);
    for (int round = 0; round < 12; ++round) {
        const auto refs = assign_test::near_neighbour_refs(g, 4, 60, 34);
        built_index bi(refs);
        ASSERT_NE(bi.index, nullptr);
        for (int i = 0; i < 25; ++i) {
            std::string q = g.mutate(refs[g.range(0, refs.size() - 1)].bytes,
                                     static_cast<unsigned>(g.range(0, 3)));
            if (!assign_test::is_encodable(q)) q = g.dna(g.boundary_len(32) % 33);
            query_state st;
            k2_visit_ctx ctx{bi.index,   &st.seen.set,    velmora_test::bytes(q), q.size(),
                             &st.result, &st.best_count, &st.stats,             0};
            ASSERT_EQ(index_visit_exact_seed_candidates(bi.index, encode(q), q.size(), &st.seen.set,
                                                        velmora_test::bytes(q), q.size(), 2,
                                                        &st.result, &st.best_count, &st.stats, 0),
                      0);
            ASSERT_EQ(index_visit_one_edit_codes(encode(q), q.size(), visit_k2_first_edit_code,
                                                 &ctx),
                      0);
            std::set<uint64_t> want;
            std::vector<oracle::seq> encodable_only;
            for (size_t r = 0; r < refs.size(); ++r) {
                const bool enc = assign_test::is_encodable(refs[r].bytes);
                encodable_only.push_back(enc ? refs[r] : oracle::seq{"\x01\x02\x03\x04\x05"});
                if (enc && oracle::levenshtein(q, refs[r].bytes) <= 2) want.insert(r);
            }
            const std::set<uint64_t> got(st.seen.set.items, st.seen.set.items + st.seen.set.count);
            ASSERT_EQ(got, want) << q;
            vorn_match expect = oracle::edit_record(oracle::seq{q}, encodable_only, 2);
            expect.status = VORN_STATUS_NONE;  // the path writes the status, not the visitors
            EXPECT_EQ(st.result, expect) << q;
            EXPECT_EQ(st.stats.candidates, want.size());
        }
    }
}

}  // namespace
