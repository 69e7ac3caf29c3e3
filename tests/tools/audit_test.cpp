// End-to-end runs of `velmora audit` against an all-pairs computation done
// here: nearest-entry distances, minimum distance, and the exact fate of
// every one-error variant.
#include <gtest/gtest.h>

#include <random>
#include <set>

#include "tool_harness.h"

using namespace tool_test;

namespace {

// Distance when at most k, else UINT32_MAX, written plainly.
uint32_t capped(const std::string &a, const std::string &b, uint32_t k, bool hamming) {
    if (hamming) {
        const uint32_t d = oracle::hamming(a, b);
        return d <= k ? d : UINT32_MAX;
    }
    const size_t diff = a.size() > b.size() ? a.size() - b.size() : b.size() - a.size();
    if (diff > k) return UINT32_MAX;
    if (k == 1 && diff == 1) {
        // One deletion from the longer must give the shorter: skip the first
        // mismatch and compare the rest.
        const std::string &l = a.size() > b.size() ? a : b, &s = a.size() > b.size() ? b : a;
        size_t p = 0;
        while (p < s.size() && s[p] == l[p]) ++p;
        return l.compare(p + 1, std::string::npos, s, p, std::string::npos) == 0 ? 1 : UINT32_MAX;
    }
    if (k == 1) {
        const uint32_t h = oracle::hamming(a, b);
        return h <= 1 ? h : UINT32_MAX;
    }
    const uint32_t d = oracle::levenshtein(a, b);
    return d <= k ? d : UINT32_MAX;
}

// Every distinct sequence exactly one substitution (by A, C, G or T) away,
// plus for edit distance every one-deletion and one-insertion sequence.
std::set<std::string> one_error_variants(const std::string &s, bool hamming) {
    std::set<std::string> out;
    for (size_t p = 0; p < s.size(); ++p)
        for (char b : std::string("ACGT"))
            if (s[p] != b) out.insert(s.substr(0, p) + b + s.substr(p + 1));
    if (!hamming) {
        for (size_t p = 0; p < s.size(); ++p) out.insert(s.substr(0, p) + s.substr(p + 1));
        for (size_t p = 0; p <= s.size(); ++p)
            for (char b : std::string("ACGT")) out.insert(s.substr(0, p) + b + s.substr(p));
    }
    return out;
}

struct audit_expect {
    long long entries = 0, distinct = 0;
    std::vector<long long> nearest;  // [d] for d = 1..k
    long long beyond = 0;
    long long min_distance = -1;
    long long variants = 0, ambiguous = 0, other = 0, back = 0;
};

audit_expect expected_audit(const std::vector<std::string> &entries, bool hamming, uint32_t k) {
    audit_expect e;
    e.entries = static_cast<long long>(entries.size());
    std::vector<std::string> d;
    std::set<std::string> seen;
    for (const std::string &s : entries)
        if (seen.insert(s).second) d.push_back(s);
    e.distinct = static_cast<long long>(d.size());
    e.nearest.assign(k + 1, 0);
    for (size_t i = 0; i < d.size(); ++i) {
        uint32_t best = UINT32_MAX;
        for (size_t j = 0; j < d.size(); ++j)
            if (j != i) best = std::min(best, capped(d[i], d[j], k, hamming));
        if (best == UINT32_MAX) {
            ++e.beyond;
        } else {
            ++e.nearest[best];
            if (e.min_distance < 0 || best < e.min_distance) e.min_distance = best;
        }
    }
    for (const std::string &s : d) {
        for (const std::string &v : one_error_variants(s, hamming)) {
            ++e.variants;
            uint32_t best = UINT32_MAX;
            int at_best = 0;
            for (const std::string &r : d) {
                const uint32_t dist = capped(v, r, 1, hamming);
                if (dist < best) {
                    best = dist;
                    at_best = 1;
                } else if (dist == best && dist != UINT32_MAX) {
                    ++at_best;
                }
            }
            if (at_best >= 2) ++e.ambiguous;
            else if (best == 0) ++e.other;
            else ++e.back;
        }
    }
    return e;
}

// Mostly 16-base barcodes with many partners one or two edits away, a few
// duplicates, N, lower case, and lengths 15, 17 and 31..35.
std::vector<std::string> crowded_whitelist(uint64_t seed) {
    std::mt19937_64 g(seed);
    auto rand_seq = [&](size_t len) {
        std::string s(len, 'A');
        for (char &c : s) c = g() % 15 == 0 ? "NnacgtR"[g() % 7] : "ACGT"[g() % 4];
        return s;
    };
    std::vector<std::string> wl;
    static const size_t lens[] = {15, 17, 31, 33, 35};
    for (int i = 0; i < 60; ++i) wl.push_back(rand_seq(g() % 8 == 0 ? lens[g() % 5] : 16));
    for (int i = 0; i < 50; ++i) {
        std::string s = wl[g() % wl.size()];
        for (unsigned e = 0, n = 1 + static_cast<unsigned>(g() % 2); e < n; ++e) {
            const size_t p = g() % s.size();
            switch (g() % 4) {
            case 0: s.erase(p, 1); break;
            case 1: s.insert(p, 1, "ACGT"[g() % 4]); break;
            default: s[p] = "ACGT"[g() % 4]; break;
            }
        }
        if (!s.empty()) wl.push_back(s);
    }
    for (int i = 0; i < 6; ++i) wl.push_back(wl[g() % wl.size()]);
    return wl;
}

struct audit_case {
    const char *label;
    bool hamming;
    int32_t k;
};

class AuditExact : public ::testing::TestWithParam<audit_case> {};

TEST_P(AuditExact, MatchesAllPairs) {
    const audit_case &c = GetParam();
    for (uint64_t seed : {11u, 12u}) {
        SCOPED_TRACE("seed " + std::to_string(seed));
        scratch_dir dir;
        const std::vector<std::string> wl = crowded_whitelist(seed);
        std::string text = "# crowded\n";
        for (const std::string &s : wl) text += s + "\n";
        write_gzip(dir.file("wl.gz"), text);
        const audit_expect e = expected_audit(wl, c.hamming, static_cast<uint32_t>(c.k));

        const run_result r = run_tool(dir, {"audit", "--whitelist", dir.file("wl.gz"),
                                            c.hamming ? "--max-mismatches" : "--max-edits", std::to_string(c.k),
                                            "--exact", "--threads", "3", "--json", dir.file("a.json")});
        ASSERT_EQ(r.status, 0) << r.err;
        EXPECT_NE(r.out.find("minimum distance"), std::string::npos) << r.out;
        const std::string j = read_file(dir.file("a.json"));
        EXPECT_EQ(json_number(j, "entries"), e.entries);
        EXPECT_EQ(json_number(j, "distinct_entries"), e.distinct);
        EXPECT_EQ(json_number(j, "duplicate_entries"), e.entries - e.distinct);
        for (int32_t d = 1; d <= c.k; ++d)
            EXPECT_EQ(json_number(j, std::to_string(d), "nearest_distance"), e.nearest[static_cast<size_t>(d)]) << d;
        EXPECT_EQ(json_number(j, "beyond_bound", "nearest_distance"), e.beyond);
        if (e.min_distance < 0) {
            EXPECT_NE(j.find("\"min_distance\": null"), std::string::npos);
        } else {
            EXPECT_EQ(json_number(j, "min_distance"), e.min_distance);
            EXPECT_EQ(json_number(j, "correction_radius"), (e.min_distance - 1) / 2);
        }
        EXPECT_EQ(json_number(j, "total", "variants"), e.variants);
        EXPECT_EQ(json_number(j, "examined", "variants"), e.variants);
        EXPECT_EQ(json_number(j, "ambiguous", "variants"), e.ambiguous);
        EXPECT_EQ(json_number(j, "equal_to_other_entry", "variants"), e.other);
        EXPECT_EQ(json_number(j, "closest_to_own_entry", "variants"), e.back);
    }
}

INSTANTIATE_TEST_SUITE_P(Tool, AuditExact,
                         ::testing::Values(audit_case{"edit0", false, 0}, audit_case{"edit1", false, 1},
                                           audit_case{"edit2", false, 2}, audit_case{"edit3", false, 3},
                                           audit_case{"ham1", true, 1}, audit_case{"ham3", true, 3}),
                         [](const auto &info) { return std::string(info.param.label); });

// A sample must be drawn uniformly over (entry, variant) pairs: a bias
// towards some entries or kinds of edit would move the share well outside
// what sampling noise allows.  The built-in brute-force check must agree.
TEST(ToolAudit, SampleIsUnbiasedAndCheckAgrees) {
    for (const bool hamming : {false, true}) {
        SCOPED_TRACE(hamming ? "hamming" : "edit");
        scratch_dir dir;
        const std::vector<std::string> wl = crowded_whitelist(21);
        std::string text;
        for (const std::string &s : wl) text += s + "\n";
        write_file(dir.file("wl.txt"), text);
        const audit_expect e = expected_audit(wl, hamming, 1);
        const run_result r = run_tool(dir, {"audit", "--whitelist", dir.file("wl.txt"),
                                            hamming ? "--max-mismatches" : "--max-edits", "1", "--sample", "4000",
                                            "--seed", "5", "--verify", "40", "--json", dir.file("a.json")});
        ASSERT_EQ(r.status, 0) << r.err;
        const std::string j = read_file(dir.file("a.json"));
        EXPECT_NE(j.find("\"method\": \"sample\""), std::string::npos);
        EXPECT_EQ(json_number(j, "examined", "variants"), 4000);
        EXPECT_EQ(json_number(j, "total", "variants"), e.variants);
        const long long amb = json_number(j, "ambiguous", "variants");
        EXPECT_EQ(amb + json_number(j, "equal_to_other_entry", "variants") +
                      json_number(j, "closest_to_own_entry", "variants"),
                  4000);
        const double exact_share = static_cast<double>(e.ambiguous) / static_cast<double>(e.variants);
        // Four thousand draws: the standard error is under 0.8 points.
        EXPECT_NEAR(static_cast<double>(amb) / 4000.0, exact_share, 0.04);
        EXPECT_EQ(json_number(j, "disagreements", "verify"), 0);
    }
}

// Sampled nearest-entry distances: the histogram covers exactly the sample,
// the built-in brute-force check (which draws from the sample) agrees, and
// the full pass with a bound one lower still pins the minimum distance.
TEST(ToolAudit, NearestSampleKeepsMinimumExact) {
    for (const bool hamming : {false, true}) {
        SCOPED_TRACE(hamming ? "hamming" : "edit");
        scratch_dir dir;
        const std::vector<std::string> wl = crowded_whitelist(31);
        std::string text;
        for (const std::string &s : wl) text += s + "\n";
        write_file(dir.file("wl.txt"), text);
        const int32_t k = hamming ? 3 : 2;
        const audit_expect e = expected_audit(wl, hamming, static_cast<uint32_t>(k));
        ASSERT_GT(e.min_distance, 0);
        const run_result r = run_tool(dir, {"audit", "--whitelist", dir.file("wl.txt"),
                                            hamming ? "--max-mismatches" : "--max-edits", std::to_string(k),
                                            "--sample-entries", "40", "--verify", "40", "--json", dir.file("a.json")});
        ASSERT_EQ(r.status, 0) << r.err;
        const std::string j = read_file(dir.file("a.json"));
        EXPECT_NE(j.find("\"nearest_method\": \"sample\""), std::string::npos);
        EXPECT_EQ(json_number(j, "nearest_examined"), 40);
        long long sum = json_number(j, "beyond_bound", "nearest_distance");
        for (int32_t d = 1; d <= k; ++d) sum += json_number(j, std::to_string(d), "nearest_distance");
        EXPECT_EQ(sum, 40);
        EXPECT_EQ(json_number(j, "min_distance"), e.min_distance);
        EXPECT_EQ(json_number(j, "disagreements", "verify"), 0);
    }
}

TEST(ToolAudit, UsageAndDataErrors) {
    scratch_dir dir;
    write_file(dir.file("wl.txt"), "ACGT\nACGA\n");
    const struct {
        std::vector<std::string> args;
        int status;
        const char *message;
    } cases[] = {
        {{"audit", "--whitelist", dir.file("none.txt")}, 1, "cannot open whitelist"},
        {{"audit", "--whitelist", dir.file("wl.txt"), "--max-mismatches", "4"}, 2, "Value 4 not in range 0 to 3"},
        {{"audit", "--whitelist", dir.file("wl.txt"), "--exact", "--sample", "10"}, 2, "--exact excludes --sample"},
        {{"audit", "--whitelist", dir.file("wl.txt"), "--max-edits", "1", "--max-mismatches", "1"}, 2,
         "--max-edits excludes --max-mismatches"},
        {{"audit"}, 2, "--whitelist is required"},
    };
    for (const auto &c : cases) {
        const run_result r = run_tool(dir, c.args);
        EXPECT_EQ(r.status, c.status) << c.message;
        EXPECT_NE(r.err.find(c.message), std::string::npos) << r.err;
    }
}

}  // namespace
