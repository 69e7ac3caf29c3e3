// vorn_rescue_read: worked posteriors known by hand, and a differential check
// against the windows (indels inside the barcode included) and the model
// written out from their definitions.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "test_util.h"

namespace {

using velmora_test::built_index;
using velmora_test::bytes;
using velmora_test::rng;

struct outcome {
    int32_t rc;
    vorn_rescue_result r;
    std::vector<vorn_hit> hits;  // the first min(n, capacity)
    size_t n;
    vorn_stats stats;            // the fixed window's work, from vorn_rescue_read_stats
};

vorn_rescue_params params(uint32_t rescue = 1, int32_t k = 1) {
    vorn_rescue_params p;
    vorn_rescue_params_default(&p);
    p.rescue = rescue;
    p.k = k;
    return p;
}

// One call of vorn_rescue_read, or of vorn_rescue_read_stats when counted.
outcome run(const built_index &ix, const std::string &read, const std::string *quals, size_t window,
            const std::vector<uint64_t> &counts, const vorn_rescue_params &p, size_t capacity = 64,
            bool counted = false) {
    outcome o{0, velmora_test::poisoned<vorn_rescue_result>(), std::vector<vorn_hit>(capacity), 7,
              {77, 77}};
    const uint8_t *q = quals ? bytes(*quals) : nullptr;
    o.rc = counted ? vorn_rescue_read_stats(ix.index, bytes(read), q, read.size(), window, counts.data(),
                                            counts.size(), &p, o.hits.data(), capacity, &o.n, &o.r, &o.stats)
                   : vorn_rescue_read(ix.index, bytes(read), q, read.size(), window, counts.data(),
                                      counts.size(), &p, o.hits.data(), capacity, &o.n, &o.r);
    o.hits.resize(std::min(o.n, capacity));
    return o;
}

// ---- worked cases -----------------------------------------------------------

const std::string T = "ACGTACGTTGCAAGCT";
std::string with(std::string s, size_t pos, char c) { return s[pos] = c, s; }
const std::string X = with(T, 3, 'A');                 // one substitution, at position 3
const std::string Y = with(T, 10, 'A');                // one substitution, at position 10
const std::string Z = with(with(T, 3, 'A'), 12, 'T');  // two substitutions
// The read (T, then GGTTAA) with base 8 deleted from the entry, and with
// base 8 inserted into it.
const std::string D = T.substr(0, 8) + "C" + T.substr(8, 7);
const std::string I = T.substr(0, 8) + T.substr(9) + "G";

TEST(RescueWorked, PosteriorAndDecisionByHand) {
    const double p3 = std::pow(10.0, -0.2), p10 = 1e-4;  // Q2 at position 3, Q40 elsewhere
    const double x_lik = p3 / 3 * (1 - p10), y_lik = (1 - p3) * p10 / 3;
    // Without qualities every base errs at 0.001.  Against a substitution,
    // a deletion also leaves one more read base to what follows the barcode
    // (one in four); an insertion's base is one of four, but it leaves one
    // read base fewer.
    const double del_vs_x = 0.1 * 0.001 / 4 / (0.001 / 3), ins_vs_x = 0.1 * 0.001 * 0.999 / (0.001 / 3);
    std::string q(T.size() + 6, 'I');
    q[3] = '#';
    struct row {
        const char *name;
        uint32_t rescue;
        std::vector<std::string> refs;
        std::vector<uint64_t> counts;
        bool with_quals;
        int32_t k;
        double min_posterior;
        uint32_t status, ref, distance, second;
        double posterior;
        uint64_t min_exact = 1;
    } rows[] = {
        {"tie broken by quality", 1, {X, Y}, {100, 100}, true, 1, 0.975,
         VORN_STATUS_UNIQUE, 0, 1, 1, x_lik / (x_lik + y_lik)},
        {"tie broken by abundance", 1, {X, Y}, {1000, 1}, false, 1, 0.975,
         VORN_STATUS_UNIQUE, 0, 1, 1, 1000.0 / 1001.0},
        {"abundance short of the threshold", 1, {X, Y}, {30, 1}, false, 1, 0.975,
         VORN_STATUS_AMBIGUOUS, UINT32_MAX, 1, UINT32_MAX, 30.0 / 31.0},
        {"pseudocount for an entry without exact reads", 1, {X, Y}, {0, 3}, false, 1, 0.975,
         VORN_STATUS_AMBIGUOUS, UINT32_MAX, 1, UINT32_MAX, 3.0 / 4.0, 0},
        {"a deletion leaves a base to the next segment", 1, {X, D}, {100, 100}, false, 1, 0.9,
         VORN_STATUS_UNIQUE, 0, 1, 1, 1 / (1 + del_vs_x)},
        {"an inserted base is one of four", 1, {X, I}, {100, 100}, false, 1, 0.5,
         VORN_STATUS_UNIQUE, 0, 1, 1, 1 / (1 + ins_vs_x)},
        {"exact tie never assigns", 1, {X, Y}, {5, 5}, false, 1, 0.5,
         VORN_STATUS_AMBIGUOUS, UINT32_MAX, 1, UINT32_MAX, 0.5},
        {"unseen entry is no candidate", 1, {X, Y}, {0, 3}, false, 1, 0.975,
         VORN_STATUS_UNIQUE, 1, 1, 1, 1.0},
        {"farther entry assigned", 1, {X, Z}, {0, 50}, false, 2, 0.975,
         VORN_STATUS_UNIQUE, 1, 2, 1, 1.0},
        {"no candidate at all", 1, {X, Y}, {0, 0}, false, 1, 0.975,
         VORN_STATUS_AMBIGUOUS, UINT32_MAX, 1, UINT32_MAX, 0.0},
        {"exact unique skips the model", 1, {T, X}, {0, 9}, false, 1, 0.975,
         VORN_STATUS_UNIQUE, 0, 0, 1, 1.0},
        {"nothing within the bound", 1, {"TTTTTTTTTTTTTTTT"}, {9}, false, 1, 0.975,
         VORN_STATUS_NONE, UINT32_MAX, UINT32_MAX, UINT32_MAX, 0.0},
        {"distance rule, two at the best", 0, {X, Y}, {}, false, 1, 0.975,
         VORN_STATUS_AMBIGUOUS, UINT32_MAX, 1, UINT32_MAX, 0.0},
        {"distance rule, one at the best", 0, {X, Z}, {}, false, 2, 0.975,
         VORN_STATUS_UNIQUE, 0, 1, 2, 0.0},
    };
    for (const row &c : rows) {
        SCOPED_TRACE(c.name);
        built_index ix(c.refs);
        vorn_rescue_params p = params(c.rescue, c.k);
        p.min_posterior = c.min_posterior;
        p.min_exact = c.min_exact;
        const outcome o = run(ix, T + "GGTTAA", c.with_quals ? &q : nullptr, 16, c.counts, p);
        ASSERT_EQ(o.rc, 0);
        EXPECT_EQ(o.r.status, c.status);
        EXPECT_EQ(o.r.ref_index, c.ref);
        EXPECT_EQ(o.r.distance, c.distance);
        EXPECT_EQ(o.r.second_distance, c.second);
        EXPECT_NEAR(o.r.posterior, c.posterior, 1e-9);
    }
}

// ---- differential -----------------------------------------------------------

// The model from its definition: the best alignment of a read prefix ending
// on an allowed length with the whole reference, staying within band of the
// diagonal, found top-down; an inserted base and each read base the prefix
// leaves before `longest` are one of four.
double oracle_log_likelihood(const std::string &read, const std::vector<double> &perr,
                             size_t shortest, size_t longest, const std::string &ref, size_t band,
                             double w) {
    const double NEG = -INFINITY;
    std::map<std::pair<size_t, size_t>, double> memo;
    std::function<double(size_t, size_t)> best = [&](size_t i, size_t j) -> double {
        if ((i > j ? i - j : j - i) > band) return NEG;
        if (i == 0 && j == 0) return 0.0;
        const auto key = std::make_pair(i, j);
        if (auto it = memo.find(key); it != memo.end()) return it->second;
        double v = NEG;
        if (i > 0 && j > 0) {
            const double p = perr[i - 1];
            v = std::max(v, best(i - 1, j - 1) + std::log(read[i - 1] == ref[j - 1] ? 1 - p : p / 3));
        }
        if (i > 0) v = std::max(v, best(i - 1, j) + std::log(w * perr[i - 1] / 4));
        if (j > 0) {
            double p = 0.001;
            if (i > 0) p = perr[i - 1];
            if (i < read.size()) p = i > 0 ? std::max(p, perr[i]) : perr[i];
            v = std::max(v, best(i, j - 1) + std::log(w * p));
        }
        return memo[key] = v;
    };
    double out = NEG;
    for (size_t n = shortest; n <= longest; ++n)
        out = std::max(out, best(n, ref.size()) + static_cast<double>(longest - n) * std::log(0.25));
    return out;
}

TEST(RescueDifferential, WindowsHitsAndPosteriorMatchTheDefinitions) {
    const uint64_t seed = velmora_test::test_seed();
    SCOPED_TRACE(seed);
    rng g(seed);
    for (int round = 0; round < 30; ++round) {
        std::vector<oracle::seq> rs = velmora_test::near_neighbor_refs(g, 4, 30, 36);
        // Every other list codes only, which the index keeps without its bytes.
        if (round % 2 == 1) rs = velmora_test::encodable_only(g, rs);
        if (round % 3 == 2) {  // references across the prefix kernel's 64-base word
            const std::string seed = g.dna(g.range(62, 66));
            for (int i = 0; i < 8; ++i) rs.push_back(oracle::seq{g.mutate(seed, static_cast<unsigned>(g.range(0, 3)))});
        }
        built_index ix(rs);
        std::vector<uint64_t> counts;
        for (size_t i = 0; i < rs.size(); ++i) counts.push_back(g.chance(40) ? 0 : g.range(1, 300));
        for (int q = 0; q < 20; ++q) {
            const std::string &base = rs[g.range(0, rs.size() - 1)].bytes;
            const size_t window = g.chance(80) ? base.size() : g.boundary_len(36);
            const std::string read = g.mutate(base, static_cast<unsigned>(g.range(0, 3)), 15) +
                                     (g.chance(80) ? g.noisy(g.range(0, 5), 10) : "");
            std::string quals;
            for (size_t i = 0; i < read.size(); ++i) quals += static_cast<char>(g.range(28, 75));
            vorn_rescue_params p = params(g.chance(70) ? 1 : 0);
            p.metric = g.chance(75) ? VORN_METRIC_EDIT : VORN_METRIC_HAMMING;
            p.k = static_cast<int32_t>(g.range(0, 3));
            p.fixed_window = g.chance(30) ? 1 : 0;
            p.min_exact = g.range(0, 2);
            p.prior_pseudocount = g.chance(20) ? 0.0 : g.chance(50) ? 1.0 : 0.25;
            p.quality_offset = 33;
            if (g.chance(15)) p.indel_weight = 0.0;  // alignments without gaps only
            const bool with_quals = g.chance(70);
            const size_t capacity = g.range(0, 8);
            const outcome o = run(ix, read, with_quals ? &quals : nullptr, window, counts, p, capacity);
            SCOPED_TRACE(read + " window " + std::to_string(window) + " k " + std::to_string(p.k) +
                         " metric " + std::to_string(p.metric));
            ASSERT_EQ(o.rc, 0);

            // The counted form: the same answer, and the fixed window's work as
            // the record's search counts it.
            const outcome c = run(ix, read, with_quals ? &quals : nullptr, window, counts, p, capacity, true);
            ASSERT_EQ(c.rc, 0);
            EXPECT_EQ(std::memcmp(&c.r, &o.r, sizeof o.r), 0);
            ASSERT_EQ(c.n, o.n);
            EXPECT_EQ(c.hits, o.hits);
            const uint8_t *fixed_q = bytes(read);
            const size_t fixed_len = std::min(window, read.size());
            vorn_match record;
            vorn_stats work{0, 0};
            ASSERT_EQ(p.metric == VORN_METRIC_EDIT
                          ? vorn_index_assign_stats(ix.index, &fixed_q, &fixed_len, 1, p.k, &record, &work)
                          : vorn_index_assign_hamming_stats(ix.index, &fixed_q, &fixed_len, 1, p.k, &record, &work),
                      0);
            EXPECT_EQ(c.stats.candidates, work.candidates);
            EXPECT_EQ(c.stats.verifications, work.verifications);

            // Windows and hits.
            const auto k = static_cast<size_t>(p.k);
            const bool edit = p.metric == VORN_METRIC_EDIT;
            const size_t fixed = std::min(window, read.size());
            const auto dist = [&](const std::string &a, const std::string &b) {
                return edit ? oracle::levenshtein(a, b) : oracle::hamming(a, b);
            };
            size_t lo = fixed, hi = fixed;
            size_t exact = 0;
            for (const auto &r : rs) exact += dist(read.substr(0, fixed), r.bytes) == 0;
            const bool exact_unique = exact == 1;
            if (edit && !p.fixed_window && k > 0 && !exact_unique) {
                hi = std::min(window + k, read.size());
                lo = std::min(window > k ? window - k : 0, hi);
            }
            std::vector<vorn_hit> want;
            for (size_t r = 0; r < rs.size(); ++r) {
                uint32_t d = UINT32_MAX;
                for (size_t n = lo; n <= hi; ++n) d = std::min(d, dist(read.substr(0, n), rs[r].bytes));
                if (d <= k) want.push_back({static_cast<uint32_t>(r), d});
            }
            std::sort(want.begin(), want.end(), [](const vorn_hit &a, const vorn_hit &b) {
                return std::make_pair(a.distance, a.ref_index) < std::make_pair(b.distance, b.ref_index);
            });
            ASSERT_EQ(o.n, want.size());
            EXPECT_EQ(o.r.hit_count, want.size());
            EXPECT_EQ(o.hits, std::vector<vorn_hit>(want.begin(), want.begin() + long(o.hits.size())));

            // The decision.
            size_t pick = SIZE_MAX;
            double posterior = 0.0;
            bool borderline = false;
            if (exact_unique) {
                pick = 0;
                posterior = p.rescue ? 1.0 : 0.0;
            } else if (!p.rescue) {
                if (want.size() == 1 || (want.size() > 1 && want[1].distance > want[0].distance))
                    pick = 0;
            } else {
                std::vector<double> perr;
                for (size_t i = 0; i < read.size(); ++i) {
                    const int qv = std::max(0, quals[i] - 33);
                    perr.push_back(with_quals ? std::min(0.75, std::pow(10.0, -qv / 10.0)) : 0.001);
                }
                std::vector<double> score(want.size(), -INFINITY);
                for (size_t i = 0; i < want.size(); ++i) {
                    const uint64_t c = counts[want[i].ref_index];
                    const double prior = c > 0 ? static_cast<double>(c) : p.prior_pseudocount;
                    if (c < p.min_exact || prior == 0.0) continue;
                    score[i] = std::log(prior) +
                               oracle_log_likelihood(read, perr, lo, hi, rs[want[i].ref_index].bytes,
                                                     edit ? k : 0, p.indel_weight);
                }
                const size_t top = static_cast<size_t>(
                    std::max_element(score.begin(), score.end()) - score.begin());
                if (!want.empty() && score[top] > -INFINITY) {
                    double sum = 0, runner = -INFINITY;
                    for (size_t i = 0; i < want.size(); ++i) {
                        sum += std::exp(score[i] - score[top]);
                        if (i != top) runner = std::max(runner, score[i]);
                    }
                    posterior = 1 / sum;
                    borderline = std::abs(posterior - p.min_posterior) < 1e-9 ||
                                 std::abs(runner - score[top]) < 1e-6;
                    if (runner < score[top] && posterior >= p.min_posterior) pick = top;
                }
            }
            EXPECT_NEAR(o.r.posterior, posterior, 1e-9);
            if (borderline) continue;
            if (pick == SIZE_MAX) {
                EXPECT_EQ(o.r.status, want.empty() ? VORN_STATUS_NONE : VORN_STATUS_AMBIGUOUS);
                EXPECT_EQ(o.r.ref_index, UINT32_MAX);
                EXPECT_EQ(o.r.distance, want.empty() ? UINT32_MAX : want[0].distance);
                uint32_t next = UINT32_MAX;
                for (const auto &h : want)
                    if (h.distance > want[0].distance) next = std::min(next, h.distance);
                EXPECT_EQ(o.r.second_distance, next);
            } else {
                EXPECT_EQ(o.r.status, VORN_STATUS_UNIQUE);
                EXPECT_EQ(o.r.ref_index, want[pick].ref_index);
                EXPECT_EQ(o.r.distance, want[pick].distance);
                EXPECT_EQ(o.r.second_distance,
                          want.size() > 1 ? want[pick == 0 ? 1 : 0].distance : UINT32_MAX);
            }
        }
    }
}

}  // namespace
