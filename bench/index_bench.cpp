// Index paths on three reference lists against brute force (vorn_match_many):
//   rand16_1M    1,000,000 random 16-base references
//   real737K     the real 737,280-barcode list (full of close neighbors)
//   rand28_100K  100,000 random 28-base references
// and the build alone of rand16_3M (3,000,000 random 16-base references).
//
// Reads are drawn from the list: 85% exact copies, 10% one substitution, 3%
// one insertion or deletion, 1% two edits, 1% one N.  One item is one query;
// each iteration answers the next chunk of a fixed pool of reads.  Before any
// timing, a stratified sample of the reads (every class represented) is
// answered by the index path and by brute force, and the records must agree.
//
// The rescue rows (idx/rescue_k1, idx/rescue_k2) time vorn_rescue_read on what
// the tool hands it: reads that are not exact unique matches (see
// rescue_pool_for).
//
// Names: idx/<op>/<list>, build/<list>.  Counters: cand/q and verif/q are the
// vorn_stats counters per query over the whole pool.
#include <benchmark/benchmark.h>
#include <malloc.h>

#include <cstdio>
#include <cstdlib>
#include <algorithm>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "bench_data.h"
#include "bench_registry.h"
#include "velmora.h"


namespace velmora_bench {
namespace {

constexpr size_t POOL_READS = 32768;
constexpr size_t CHUNK_READS = 1024;
constexpr size_t SAMPLE_PER_CLASS = 8;
constexpr size_t BRUTE_READS = 4;          // reads per brute-force iteration

// Reads for the rescue rows (see draw_rescue_reads), and whether a sample of
// them agreed with brute force.
struct rescue_pool {
    rescue_reads data;
    size_t window = 0;
    std::string error;  // "" once the sample agreed
    bool checked = false;
};

struct list_state {
    std::string name;
    std::string error;
    seq_list refs;
    vorn_index *index = nullptr;         // every table
    vorn_index *variant[4] = {};         // by build flags, made on first use
    read_batch reads;
    std::vector<size_t> sample;
    std::map<int32_t, std::vector<vorn_match>> brute;  // per k, on the sample
    std::map<std::string, std::string> checked;        // op -> error ("" = agree)
    std::map<int32_t, std::unique_ptr<rescue_pool>> rescue;  // per k
};

// The real list is not part of the repository: its path comes from the
// environment, and the benchmarks on it are skipped without it.
std::string whitelist_path() {
    const char *env = std::getenv("VELMORA_WHITELIST");
    return env != nullptr ? env : "";
}

seq_list make_refs(const std::string &name, std::string *error) {
    if (name == "rand16_1M") return random_refs(16001, 1000000, 16);
    if (name == "rand16_3M") return random_refs(16003, 3000000, 16);
    if (name == "rand28_100K") return random_refs(28001, 100000, 28);
    if (whitelist_path().empty()) {
        *error = "set VELMORA_WHITELIST to the real barcode list";
        return {};
    }
    return load_whitelist(whitelist_path(), error);
}

list_state &list_for(const std::string &name) {
    static std::map<std::string, std::unique_ptr<list_state>> cache;
    auto &slot = cache[name];
    if (slot) return *slot;
    slot = std::make_unique<list_state>();
    list_state &s = *slot;
    s.name = name;
    s.refs = make_refs(name, &s.error);
    if (!s.error.empty()) return s;
    s.index = vorn_index_build(s.refs.ptrs.data(), s.refs.lens.data(), s.refs.size());
    if (s.index == nullptr) {
        s.error = "vorn_index_build failed";
        return s;
    }
    s.reads = draw_reads(s.refs, 777 + s.refs.size(), POOL_READS);
    s.sample = stratified_sample(s.reads, SAMPLE_PER_CLASS);
    return s;
}

const std::vector<vorn_match> &brute_for(list_state &s, int32_t k) {
    auto it = s.brute.find(k);
    if (it != s.brute.end()) return it->second;
    std::vector<vorn_match> out(s.sample.size());
    for (size_t i = 0; i < s.sample.size(); ++i) {
        const size_t r = s.sample[i];
        vorn_match_many(&s.reads.reads.ptrs[r], &s.reads.reads.lens[r], 1, s.refs.ptrs.data(),
                        s.refs.lens.data(), s.refs.size(), k, &out[i]);
    }
    return s.brute[k] = std::move(out);
}

enum class op {
    exact_one, exact_many, exact_ascii_one, exact_ascii_many,
    assign, status, hamming, brute, hits_edit, hits_hamming
};

const vorn_index *index_with(list_state &s, uint32_t flags) {
    if (flags == VORN_INDEX_ALL) return s.index;
    if (s.variant[flags] == nullptr) {
        s.variant[flags] = vorn_index_build_opts(s.refs.ptrs.data(), s.refs.lens.data(),
                                                 s.refs.size(), flags);
    }
    return s.variant[flags];
}

// The record a hit list stands for (best, runner-up distance, count).
void record_from_hits(const vorn_hit *hits, size_t n, vorn_match *m) {
    *m = vorn_match{UINT32_MAX, UINT32_MAX, UINT32_MAX, static_cast<uint32_t>(n), VORN_STATUS_NONE};
    if (n == 0) return;
    m->best_index = hits[0].ref_index;
    m->best_distance = hits[0].distance;
    size_t at_best = 1;
    while (at_best < n && hits[at_best].distance == hits[0].distance) ++at_best;
    if (at_best < n) m->second_distance = hits[at_best].distance;
    m->status = at_best > 1 ? VORN_STATUS_AMBIGUOUS : VORN_STATUS_UNIQUE;
}

// Answers reads [first, first + n) of the pool; stats may be null.
void answer(const list_state &s, const vorn_index *ix, op what, int32_t k, size_t first, size_t n,
            vorn_match *out, vorn_stats *stats) {
    const uint8_t *const *q = s.reads.reads.ptrs.data() + first;
    const size_t *ql = s.reads.reads.lens.data() + first;
    switch (what) {
        case op::exact_one:
        case op::exact_ascii_one: {
            vorn_stats one{0, 0};
            for (size_t i = 0; i < n; ++i) {
                if (what == op::exact_one)
                    vorn_index_lookup_exact_stats(ix, q[i], ql[i], &out[i], &one);
                else
                    vorn_index_lookup_exact_ascii_stats(ix, q[i], ql[i], &out[i], &one);
                if (stats != nullptr) {
                    stats->candidates += one.candidates;
                    stats->verifications += one.verifications;
                }
            }
            break;
        }
        case op::exact_many:
            vorn_index_lookup_exact_many_stats(ix, q, ql, n, out, stats);
            break;
        case op::exact_ascii_many:
            vorn_index_lookup_exact_ascii_many_stats(ix, q, ql, n, out, stats);
            break;
        case op::assign:
            if (stats != nullptr)
                vorn_index_assign_stats(ix, q, ql, n, k, out, stats);
            else
                vorn_index_assign(ix, q, ql, n, k, out);
            break;
        case op::status: {
            vorn_stats local{0, 0};
            vorn_index_assign_status_stats(ix, q, ql, n, k, out, stats ? stats : &local);
            break;
        }
        case op::hamming: {
            vorn_stats local{0, 0};
            vorn_index_assign_hamming_stats(ix, q, ql, n, k, out, stats ? stats : &local);
            break;
        }
        case op::brute:
            vorn_match_many(q, ql, n, s.refs.ptrs.data(), s.refs.lens.data(), s.refs.size(), k,
                            out);
            break;
        case op::hits_edit:
        case op::hits_hamming: {
            // What the tool does per read: list the hits into a small buffer.
            const uint32_t metric = what == op::hits_edit ? VORN_METRIC_EDIT : VORN_METRIC_HAMMING;
            vorn_hit hits[64];
            for (size_t i = 0; i < n; ++i) {
                size_t found = 0;
                vorn_index_hits(ix, q[i], ql[i], metric, k, hits, 64, &found);
                record_from_hits(hits, std::min<size_t>(found, 64), &out[i]);
                out[i].hit_count = static_cast<uint32_t>(found);
            }
            break;
        }
    }
}

bool is_acgt(const std::string &s) {
    for (char c : s)
        if (c != 'A' && c != 'C' && c != 'G' && c != 'T') return false;
    return true;
}

// The records of the sample against brute force; "" when they agree.
std::string check_op(list_state &s, const vorn_index *ix, op what, int32_t k) {
    if (what == op::brute) return {};
    const bool edit = what != op::hamming && what != op::hits_hamming;
    const int32_t ref_k = what == op::assign || what == op::status || what == op::hamming ||
                                  what == op::hits_edit || what == op::hits_hamming
                              ? k
                              : 0;
    const std::vector<vorn_match> *expect = edit ? &brute_for(s, ref_k) : nullptr;
    for (size_t i = 0; i < s.sample.size(); ++i) {
        const size_t r = s.sample[i];
        vorn_match got;
        answer(s, ix, what, k, r, 1, &got, nullptr);
        const std::string &read = s.reads.reads.seqs[r];
        const vorn_match want = edit ? (*expect)[i] : brute_hamming(s.refs, read, static_cast<uint32_t>(k));
        bool ok;
        if (what == op::status) {
            // The status-only form stops once two references share the best
            // distance, so an ambiguous record names the lower of those it
            // examined; a record it did not cut short is the full one.  For
            // k = 1 and an A/C/G/T query the search runs by distance, so the
            // status and the best distance are always the full ones.
            const bool same = got.status == want.status && got.best_index == want.best_index &&
                              got.best_distance == want.best_distance;
            const bool ambiguous = got.status == VORN_STATUS_AMBIGUOUS;
            if (k == 1 && is_acgt(read)) {
                ok = ambiguous ? want.status == VORN_STATUS_AMBIGUOUS &&
                                     got.best_distance == want.best_distance
                               : same;
            } else {
                ok = ambiguous || same;
            }
        } else if (what == op::hits_edit || what == op::hits_hamming) {
            // A hit list gives best, runner-up and count, not a tie counter.
            ok = got.best_index == want.best_index && got.best_distance == want.best_distance &&
                 got.second_distance == want.second_distance && got.hit_count == want.hit_count &&
                 (want.hit_count > 64 || got.status == want.status);
        } else {
            ok = same_match(got, want);
        }
        if (!ok) {
            return "read " + std::to_string(r) + " (" + read + "): got " + describe(got) +
                   ", brute force " + describe(want);
        }
    }
    return {};
}

void run_index(benchmark::State &state, const std::string &list, op what, int32_t k,
               uint32_t flags, const std::string &key) {
    list_state &s = list_for(list);
    if (!s.error.empty()) {
        state.SkipWithError(s.error.c_str());
        return;
    }
    const vorn_index *ix = index_with(s, flags);
    if (ix == nullptr) {
        state.SkipWithError("vorn_index_build_opts failed");
        return;
    }
    auto found = s.checked.find(key);
    if (found == s.checked.end()) found = s.checked.emplace(key, check_op(s, ix, what, k)).first;
    if (!found->second.empty()) {
        state.SkipWithError(found->second.c_str());
        return;
    }
    const size_t pool = s.reads.reads.size();
    const size_t chunk = what == op::brute ? BRUTE_READS : CHUNK_READS;
    std::vector<vorn_match> out(chunk);
    size_t first = 0;
    for (auto _ : state) {
        answer(s, ix, what, k, first, chunk, out.data(), nullptr);
        benchmark::DoNotOptimize(out.data());
        benchmark::ClobberMemory();
        first = what == op::brute ? 0 : (first + chunk) % pool;
    }
    state.SetItemsProcessed(state.iterations() * static_cast<int64_t>(chunk));
    if (what != op::brute) {
        vorn_stats st{0, 0};
        std::vector<vorn_match> all(pool);
        answer(s, ix, what, k, 0, pool, all.data(), &st);
        state.counters["cand/q"] = static_cast<double>(st.candidates) / static_cast<double>(pool);
        state.counters["verif/q"] =
            static_cast<double>(st.verifications) / static_cast<double>(pool);
    }
}

// ---- rescue --------------------------------------------------------------------

// Every iteration answers the whole pool: at k = 2 the few reads whose window
// holds two N, which no route serves, cost most of the time, so a part of
// the pool would time a share of them that varies.
constexpr size_t RESCUE_READS = 1024;
constexpr size_t RESCUE_SAMPLE = 8;
constexpr size_t RESCUE_TAIL = 12;
constexpr size_t RESCUE_CELLS = 2000;

// The references within k of some window of the read, at their least
// distance, in the listing's order: brute force over the list.
std::vector<vorn_hit> brute_windows(const seq_list &refs, const std::string &read, size_t window,
                                    int32_t k) {
    const size_t uk = static_cast<size_t>(k);
    const size_t hi = std::min(window + uk, read.size());
    const size_t lo = std::min(window > uk ? window - uk : 0, hi);
    std::vector<vorn_hit> out;
    const auto *r = reinterpret_cast<const uint8_t *>(read.data());
    for (size_t i = 0; i < refs.size(); ++i) {
        uint32_t best = UINT32_MAX;
        for (size_t n = lo; n <= hi; ++n) {
            if (vorn_edit_distance_leq(r, n, refs.ptrs[i], refs.lens[i], k) != 1) continue;
            best = std::min(best, vorn_edit_distance(r, n, refs.ptrs[i], refs.lens[i]));
        }
        if (best != UINT32_MAX) out.push_back(vorn_hit{static_cast<uint32_t>(i), best});
    }
    std::sort(out.begin(), out.end(), [](const vorn_hit &a, const vorn_hit &b) {
        return a.distance != b.distance ? a.distance < b.distance : a.ref_index < b.ref_index;
    });
    return out;
}

// The reads the tool hands the rescue: exact unique matches are left out, as
// it assigns them before.
rescue_pool &rescue_pool_for(list_state &s, int32_t k) {
    auto &slot = s.rescue[k];
    if (slot) return *slot;
    slot = std::make_unique<rescue_pool>();
    rescue_pool &p = *slot;
    p.window = s.refs.lens[0];
    p.data = draw_rescue_reads(s.refs, 4242 + s.refs.size(), RESCUE_READS, RESCUE_CELLS,
                               RESCUE_TAIL, [&](const std::string &read) {
                                   size_t exact = 0;
                                   vorn_hit first[2];
                                   vorn_index_hits(s.index,
                                                   reinterpret_cast<const uint8_t *>(read.data()),
                                                   std::min(p.window, read.size()),
                                                   VORN_METRIC_EDIT, 0, first, 2, &exact);
                                   return exact != 1;
                               });
    return p;
}

vorn_rescue_params rescue_params(int32_t k) {
    vorn_rescue_params params;
    vorn_rescue_params_default(&params);
    params.k = k;
    return params;
}

// One read; stats may be null.
void rescue_one(const list_state &s, const rescue_pool &p, const vorn_rescue_params &params,
                size_t i, vorn_hit *hits, size_t capacity, size_t *n_hits,
                vorn_rescue_result *result, vorn_stats *stats) {
    const std::string &read = p.data.reads[i];
    vorn_rescue_read_stats(s.index, reinterpret_cast<const uint8_t *>(read.data()),
                           reinterpret_cast<const uint8_t *>(p.data.quals[i].data()), read.size(),
                           p.window, p.data.counts.data(), p.data.counts.size(), &params, hits,
                           capacity, n_hits, result, stats);
}

void run_rescue(benchmark::State &state, const std::string &list, int32_t k) {
    list_state &s = list_for(list);
    if (!s.error.empty()) {
        state.SkipWithError(s.error.c_str());
        return;
    }
    rescue_pool &p = rescue_pool_for(s, k);
    const vorn_rescue_params params = rescue_params(k);
    if (!p.checked) {
        p.checked = true;
        for (size_t i = 0; i < RESCUE_SAMPLE && p.error.empty(); ++i) {
            vorn_hit hits[64];
            size_t n = 0;
            vorn_rescue_result res;
            rescue_one(s, p, params, i, hits, 64, &n, &res, nullptr);
            const std::vector<vorn_hit> want = brute_windows(s.refs, p.data.reads[i], p.window, k);
            bool same = n == want.size();
            for (size_t j = 0; same && j < std::min<size_t>(n, 64); ++j)
                same = hits[j].ref_index == want[j].ref_index && hits[j].distance == want[j].distance;
            if (!same) {
                p.error = "read " + p.data.reads[i] + ": " + std::to_string(n) + " hits, brute force " +
                          std::to_string(want.size());
            }
        }
    }
    if (!p.error.empty()) {
        state.SkipWithError(p.error.c_str());
        return;
    }
    for (auto _ : state) {
        for (size_t i = 0; i < p.data.reads.size(); ++i) {
            vorn_hit hits[8];
            size_t n = 0;
            vorn_rescue_result res;
            rescue_one(s, p, params, i, hits, 8, &n, &res, nullptr);
            benchmark::DoNotOptimize(res);
        }
    }
    state.SetItemsProcessed(state.iterations() * static_cast<int64_t>(p.data.reads.size()));
    vorn_stats total{0, 0};
    for (size_t i = 0; i < p.data.reads.size(); ++i) {
        vorn_hit hits[8];
        size_t n = 0;
        vorn_rescue_result res;
        vorn_stats one{0, 0};
        rescue_one(s, p, params, i, hits, 8, &n, &res, &one);
        total.candidates += one.candidates;
        total.verifications += one.verifications;
    }
    const auto reads = static_cast<double>(p.data.reads.size());
    state.counters["cand/q"] = static_cast<double>(total.candidates) / reads;
    state.counters["verif/q"] = static_cast<double>(total.verifications) / reads;
}

// ---- build -------------------------------------------------------------------

size_t resident_bytes() {
    std::FILE *f = std::fopen("/proc/self/statm", "r");
    if (f == nullptr) return 0;
    unsigned long size = 0, rss = 0;
    const int got = std::fscanf(f, "%lu %lu", &size, &rss);
    std::fclose(f);
    return got == 2 ? rss * 4096 : 0;
}

// Bytes the allocator holds for the program, mmapped blocks included; the
// difference across a build is what the index owns (the tables the build
// options leave out show as the difference between rows).
double heap_bytes() {
    const struct mallinfo2 mi = mallinfo2();
    return static_cast<double>(mi.uordblks) + static_cast<double>(mi.hblkhd);
}

void run_build(benchmark::State &state, const std::string &list, uint32_t flags) {
    static std::map<std::string, std::unique_ptr<seq_list>> cache;
    auto &slot = cache[list];
    std::string error;
    if (!slot) slot = std::make_unique<seq_list>(make_refs(list, &error));
    if (!error.empty() || slot->size() == 0) {
        state.SkipWithError(error.empty() ? "no references" : error.c_str());
        return;
    }
    const seq_list &refs = *slot;
    double rss = 0, heap = 0;
    for (auto _ : state) {
        const size_t before = resident_bytes();
        const double heap_before = heap_bytes();
        vorn_index *ix = vorn_index_build_opts(refs.ptrs.data(), refs.lens.data(), refs.size(), flags);
        state.PauseTiming();
        if (ix == nullptr) {
            state.SkipWithError("vorn_index_build failed");
            break;
        }
        rss = static_cast<double>(resident_bytes() - before);
        heap = heap_bytes() - heap_before;
        vorn_index_free(ix);
        state.ResumeTiming();
    }
    state.counters["rss_B/ref"] = rss / static_cast<double>(refs.size());
    state.counters["tables_B/ref"] = heap / static_cast<double>(refs.size());
    state.SetItemsProcessed(state.iterations() * static_cast<int64_t>(refs.size()));
}

}  // namespace

void register_index() {
    struct entry {
        const char *name;
        op what;
        int32_t k;
        uint32_t flags;
    };
    constexpr uint32_t ALL = VORN_INDEX_ALL;
    constexpr uint32_t NO_DEL = VORN_INDEX_NO_DELETION;
    constexpr uint32_t NO_PIECES = VORN_INDEX_NO_PIECES;
    constexpr uint32_t NONE = VORN_INDEX_NO_DELETION | VORN_INDEX_NO_PIECES;
    const entry entries[] = {
        {"exact_one", op::exact_one, 0, ALL},
        {"exact_many", op::exact_many, 0, ALL},
        {"exact_ascii_one", op::exact_ascii_one, 0, ALL},
        {"exact_ascii_many", op::exact_ascii_many, 0, ALL},
        {"assign_k0", op::assign, 0, ALL},
        {"assign_k1", op::assign, 1, ALL},
        {"assign_k1_nodel", op::assign, 1, NO_DEL},
        {"assign_k2", op::assign, 2, ALL},
        {"status_k1", op::status, 1, ALL},
        {"status_k2", op::status, 2, ALL},
        {"hamming_k1", op::hamming, 1, ALL},
        {"hamming_k2", op::hamming, 2, ALL},
        {"hamming_k3", op::hamming, 3, ALL},
        {"hamming_k1_nopieces", op::hamming, 1, NO_PIECES},
        {"hamming_k2_nopieces", op::hamming, 2, NO_PIECES},
        {"hits_edit_k1", op::hits_edit, 1, ALL},
        {"hits_edit_k1_none", op::hits_edit, 1, NONE},
        {"hits_hamming_k1", op::hits_hamming, 1, ALL},
        {"hits_hamming_k1_none", op::hits_hamming, 1, NONE},
        {"brute_k0", op::brute, 0, ALL},
        {"brute_k1", op::brute, 1, ALL},
        {"brute_k2", op::brute, 2, ALL},
    };
    for (const char *list : {"rand16_1M", "real737K", "rand28_100K"}) {
        for (const entry &e : entries) {
            const std::string key = e.name;
            const std::string name = std::string("idx/") + e.name + "/" + list;
            const std::string l = list;
            const op what = e.what;
            const int32_t k = e.k;
            const uint32_t flags = e.flags;
            benchmark::RegisterBenchmark(name.c_str(), [=](benchmark::State &st) {
                run_index(st, l, what, k, flags, key);
            })->Unit(benchmark::kMicrosecond);
        }
    }
    for (const char *list : {"rand16_1M", "real737K", "rand28_100K"}) {
        for (const int32_t k : {1, 2}) {
            const std::string l = list;
            benchmark::RegisterBenchmark(
                (std::string("idx/rescue_k") + std::to_string(k) + "/" + list).c_str(),
                [=](benchmark::State &st) { run_rescue(st, l, k); })
                ->Unit(benchmark::kMicrosecond);
        }
    }
    const std::pair<const char *, uint32_t> builds[] = {
        {"", ALL}, {"/no_del", NO_DEL}, {"/no_pieces", NO_PIECES}, {"/none", NONE}};
    for (const char *list : {"rand16_1M", "real737K", "rand28_100K", "rand16_3M"}) {
        for (const auto &[suffix, flags] : builds) {
            const std::string l = list;
            const uint32_t f = flags;
            benchmark::RegisterBenchmark((std::string("build/") + list + suffix).c_str(),
                                         [=](benchmark::State &st) { run_build(st, l, f); })
                ->Iterations(1)
                ->Unit(benchmark::kMillisecond);
        }
    }
}

}  // namespace velmora_bench
