// Pairwise distance: libvelmora's entry points against edlib (global mode, distance only), on related pairs (a copy with
// about 5% random edits) and unrelated random pairs of the same length.
//
// Names: pair/<contender>/<length>/<related|unrelated>; one item is one pair.
// Contenders: distance (vorn_edit_distance) vs edlib (k = -1); leq_k2
// (vorn_edit_distance_leq), match_k2 (the distance within k, from
// vorn_match_many on one reference) vs edlib_k2; leq_k10, match_k10 vs
// edlib_k10 with k = 10% of the length; dp (vorn_edit_distance_dp) alone.
#include <benchmark/benchmark.h>
#include <edlib.h>

#include <algorithm>
#include <map>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "bench_data.h"
#include "bench_registry.h"
#include "velmora.h"

namespace velmora_bench {
namespace {

constexpr size_t PAIR_LENGTHS[] = {16, 32, 64, 100, 150, 256, 512, 1000, 2000, 5000, 10000};

struct pair_set {
    std::vector<std::string> a, b;
    std::vector<uint32_t> truth;  // DP distance of each pair
    std::string error;            // non-empty when the contenders disagree
    bool checked = false;
};

int32_t k10(size_t len) { return static_cast<int32_t>(len < 15 ? 1 : (len + 5) / 10); }

const uint8_t *u8(const std::string &s) { return reinterpret_cast<const uint8_t *>(s.data()); }

int edlib_distance(const std::string &a, const std::string &b, int k) {
    EdlibAlignResult r =
        edlibAlign(a.data(), static_cast<int>(a.size()), b.data(), static_cast<int>(b.size()),
                   edlibNewAlignConfig(k, EDLIB_MODE_NW, EDLIB_TASK_DISTANCE, nullptr, 0));
    const int d = r.status == EDLIB_STATUS_OK ? r.editDistance : -2;
    edlibFreeAlignResult(r);
    return d;
}

pair_set make_pairs(size_t len, bool related) {
    // About 64 KiB of pattern bytes per set, at least 8 pairs.
    const size_t n = len >= 1000 ? 8 : std::max<size_t>(8, 65536 / len);
    rng r(len * 2 + (related ? 1 : 0) + 1000);
    pair_set s;
    for (size_t i = 0; i < n; ++i) {
        std::string a = random_seq(r, len);
        std::string b = related ? related_copy(r, a, 5) : random_seq(r, len);
        s.a.push_back(std::move(a));
        s.b.push_back(std::move(b));
    }
    return s;
}

// The distance of a and b when at most k, else UINT32_MAX: one query
// against a one-reference list, the public form of the bounded test every
// matcher applies to a candidate.
uint32_t match_distance(const std::string &a, const std::string &b, int32_t k) {
    const uint8_t *q = u8(a), *r = u8(b);
    const size_t ql = a.size(), rl = b.size();
    vorn_match m;
    if (vorn_match_many(&q, &ql, 1, &r, &rl, 1, k, &m) != 0) return UINT32_MAX - 1;
    return m.status == VORN_STATUS_UNIQUE ? m.best_distance : UINT32_MAX;
}

// Every contender on every pair, against the dynamic programme.
std::string check_pairs(pair_set &s, size_t len) {
    const int32_t ks[] = {2, k10(len)};
    for (size_t i = 0; i < s.a.size(); ++i) {
        const std::string &a = s.a[i], &b = s.b[i];
        const uint32_t d = vorn_edit_distance_dp(u8(a), a.size(), u8(b), b.size());
        s.truth.push_back(d);
        const std::string at = " at pair " + std::to_string(i);
        if (vorn_edit_distance(u8(a), a.size(), u8(b), b.size()) != d)
            return "vorn_edit_distance differs from the DP" + at;
        if (edlib_distance(a, b, -1) != static_cast<int>(d)) return "edlib differs from the DP" + at;
        for (int32_t k : ks) {
            const bool within = d <= static_cast<uint32_t>(k);
            if (vorn_edit_distance_leq(u8(a), a.size(), u8(b), b.size(), k) != (within ? 1 : 0))
                return "vorn_edit_distance_leq differs" + at;
            if (match_distance(a, b, k) != (within ? d : UINT32_MAX)) return "vorn_match_many differs" + at;
            if (edlib_distance(a, b, k) != (within ? static_cast<int>(d) : -1))
                return "bounded edlib differs" + at;
        }
    }
    return {};
}

pair_set &pairs_for(size_t len, bool related) {
    static std::map<std::pair<size_t, bool>, std::unique_ptr<pair_set>> cache;
    auto &slot = cache[{len, related}];
    if (!slot) {
        slot = std::make_unique<pair_set>(make_pairs(len, related));
        slot->error = check_pairs(*slot, len);
        slot->checked = true;
    }
    return *slot;
}

enum class contender { distance, edlib, leq, match, edlib_k, dp };

void run_pairs(benchmark::State &state, size_t len, bool related, contender who, int32_t k) {
    pair_set &s = pairs_for(len, related);
    if (!s.error.empty()) {
        state.SkipWithError(s.error.c_str());
        return;
    }
    const size_t n = s.a.size();
    for (auto _ : state) {
        uint64_t sink = 0;
        for (size_t i = 0; i < n; ++i) {
            const std::string &a = s.a[i], &b = s.b[i];
            switch (who) {
                case contender::distance:
                    sink += vorn_edit_distance(u8(a), a.size(), u8(b), b.size());
                    break;
                case contender::edlib:
                    sink += static_cast<uint64_t>(edlib_distance(a, b, -1));
                    break;
                case contender::leq:
                    sink += static_cast<uint64_t>(
                        vorn_edit_distance_leq(u8(a), a.size(), u8(b), b.size(), k));
                    break;
                case contender::match:
                    sink += match_distance(a, b, k);
                    break;
                case contender::edlib_k:
                    sink += static_cast<uint64_t>(edlib_distance(a, b, k));
                    break;
                case contender::dp:
                    sink += vorn_edit_distance_dp(u8(a), a.size(), u8(b), b.size());
                    break;
            }
        }
        benchmark::DoNotOptimize(sink);
    }
    state.SetItemsProcessed(state.iterations() * static_cast<int64_t>(n));
    if (k >= 0) state.counters["k"] = k;
}

}  // namespace

void register_pairwise() {
    struct entry {
        const char *name;
        contender who;
        int kind;  // 0 unbounded, 1 k = 2, 2 k = 10%
    };
    const entry entries[] = {
        {"distance", contender::distance, 0}, {"edlib", contender::edlib, 0},
        {"leq_k2", contender::leq, 1},        {"match_k2", contender::match, 1},
        {"edlib_k2", contender::edlib_k, 1},  {"leq_k10", contender::leq, 2},
        {"match_k10", contender::match, 2},     {"edlib_k10", contender::edlib_k, 2},
        {"dp", contender::dp, 0},
    };
    for (size_t len : PAIR_LENGTHS) {
        for (int rel = 1; rel >= 0; --rel) {
            for (const entry &e : entries) {
                const int32_t k = e.kind == 0 ? -1 : e.kind == 1 ? 2 : k10(len);
                const std::string name = std::string("pair/") + e.name + "/" +
                                         std::to_string(len) + "/" +
                                         (rel ? "related" : "unrelated");
                const bool related = rel != 0;
                const contender who = e.who;
                benchmark::RegisterBenchmark(name.c_str(),
                                             [=](benchmark::State &st) {
                                                 run_pairs(st, len, related, who, k);
                                             });
            }
        }
    }
}

}  // namespace velmora_bench
