// velmora audit: how well separated are the entries of a whitelist?
//
// Everything is computed through one index over the distinct entries, never
// by comparing all pairs:
//   - nearest other entry: each distinct entry is assigned against the index
//     with the chosen bound k.  It finds itself at distance 0 and, being
//     distinct, is the only entry there, so the record is unique and its
//     second_distance is the distance to the nearest other entry (absent when
//     no other entry lies within k).
//   - one-error variants: every sequence one substitution (or, for edit
//     distance, one insertion or deletion) away from an entry is assigned
//     with bound 1.  Its own entry is at distance 1, so the record is
//     ambiguous exactly when another entry is equally close, and unique at
//     distance 0 when the variant is itself another entry.
// Variants are enumerated as canonical single-edit operations, so each
// distinct variant of an entry is counted once (deleting either base of a
// run, or inserting a base next to the same base, gives one variant).  When
// there are too many to assign in reasonable time, a uniform random sample
// of (entry, variant) pairs is drawn by rejection and the share comes with a
// 95% Wilson interval.
#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdio>
#include <map>
#include <memory>
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <unordered_map>
#include <vector>

#include "cli.h"
#include "io.h"
#include "json.h"
#include "output.h"
#include "progress.h"
#include "tool.h"
#include "velmora.h"
#include "whitelist.h"

namespace velmora_tool {

namespace {

const char audit_help[] =
    "usage: velmora audit --whitelist FILE [--max-edits K | --max-mismatches K]\n"
    "                     [--threads N] [--exact | [--sample N] [--sample-entries N]]\n"
    "                     [--seed S] [--verify N] [--json FILE] [--max-line-length N]\n"
    "\n"
    "Reports how well the entries of a whitelist are separated: entries, duplicates,\n"
    "lengths, the distance from each distinct entry to its nearest other entry (up to\n"
    "K), the minimum distance d and the number of errors always corrected,\n"
    "floor((d - 1) / 2), and the share of one-error variants of the entries that are\n"
    "equally close to two or more entries (ambiguous).\n"
    "\n"
    "  --whitelist FILE     one barcode per line, plain or gzip\n"
    "  --max-edits K        edit distance, bound K (default: --max-edits 2)\n"
    "  --max-mismatches K   Hamming distance (substitutions only), K = 0 to 3\n"
    "  --threads N          threads (default: number of cores)\n"
    "  --exact              examine every entry and every one-error variant, however\n"
    "                       long it takes\n"
    "  --sample N           estimate the ambiguous share from N random variants\n"
    "                       (default: exact up to 4,000,000 variants, else 200,000)\n"
    "  --sample-entries N   estimate the nearest-entry distances from N random entries\n"
    "                       (default: every entry when that is projected to take at\n"
    "                       most a minute, else as many as fit in a minute, from 1,000\n"
    "                       to 20,000; a full pass with a bound one lower (at most 1\n"
    "                       for edits) then still pins down a small minimum distance)\n"
    "  --seed S             seed of the random samples (default 1)\n"
    "  --verify N           also check N random entries and N random variants by\n"
    "                       comparing them with every entry (exit status 1 if they\n"
    "                       disagree)\n"
    "  --json FILE          also write the report as JSON\n"
    "  --max-line-length N  longest whitelist line accepted, in bytes (default 67108864)\n"
    "\n"
    "Distances and variants are computed over the distinct entries; duplicates are\n"
    "reported separately.  Exit status: 0 on success, 1 on a data or file error, 2 on\n"
    "a usage error.\n";

constexpr uint64_t default_exact_limit = 4000000;
constexpr uint64_t default_sample = 200000;
// The nearest-entry pass is sampled when it is projected to take longer than
// this (bound-2 edit searches cost milliseconds per entry on large lists).
constexpr double nearest_budget_seconds = 60;
constexpr uint64_t nearest_probe = 64;
constexpr uint64_t default_nearest_sample = 20000;

struct audit_options {
    std::string whitelist_path;
    std::string json_path;
    bool hamming = false;
    int32_t k = 2;
    unsigned threads = 0;
    bool exact = false;
    uint64_t sample = 0;          // variants to sample; 0: choose
    uint64_t sample_entries = 0;  // entries to sample for the nearest pass; 0: choose
    uint64_t seed = 1;
    uint64_t verify = 0;
    uint64_t max_line_length = default_max_line_length;  // longest whitelist line accepted
};

// Parses the command line; true when --help was given.
bool parse_audit_options(int argc, char **argv, audit_options *opt) {
    command_line cl("velmora audit", audit_help);
    int32_t edits = 2, mismatches = -1;
    cl.option("--whitelist", &opt->whitelist_path, true);
    cl.option("--json", &opt->json_path);
    cl.option("--max-edits", &edits, 0, INT32_MAX);
    cl.option("--max-mismatches", &mismatches, 0, 3);
    cl.excludes("--max-edits", "--max-mismatches");
    cl.option("--threads", &opt->threads, 1u, 1024u);
    cl.flag("--exact", &opt->exact);
    cl.option("--sample", &opt->sample, 1, uint64_t{INT64_MAX});
    cl.option("--sample-entries", &opt->sample_entries, 1, uint64_t{INT64_MAX});
    cl.excludes("--exact", "--sample");
    cl.excludes("--exact", "--sample-entries");
    cl.option("--seed", &opt->seed, 0, uint64_t{INT64_MAX});
    cl.option("--verify", &opt->verify, 0, 100000000);
    cl.option("--max-line-length", &opt->max_line_length, 1, uint64_t(max_line_length_option_max));
    if (cl.parse(argc, argv)) return true;
    opt->hamming = cl.count("--max-mismatches") > 0;
    opt->k = opt->hamming ? mismatches : edits;
    if (opt->json_path == "-") throw usage_error("--json needs a file name, not '-'");
    if (cl.count("--threads") == 0) opt->threads = default_thread_count();
    return false;
}

// ------------------------------------------------------------ variants

const char bases[4] = {'A', 'C', 'G', 'T'};

// Single-edit operations on a sequence of length L are numbered
// [0, 4L) substitution of base op % 4 at op / 4, then (edit distance only)
// [4L, 5L) deletion, [5L, 9L + 4) insertion of base (op - 5L) % 4 before
// position (op - 5L) / 4.
uint64_t raw_op_count(size_t len, bool hamming) {
    return hamming ? 4 * uint64_t{len} : 9 * uint64_t{len} + 4;
}

// Writes the variant for op into *out; false when op is not a canonical
// one-error variant (a substitution by the same byte, or an indel that
// another op with a lower position already produces).
bool make_variant(std::string_view s, uint64_t op, std::string *out) {
    const size_t len = s.size();
    if (op < 4 * uint64_t{len}) {
        const size_t p = static_cast<size_t>(op / 4);
        const char b = bases[op % 4];
        if (s[p] == b) return false;
        out->assign(s);
        (*out)[p] = b;
        return true;
    }
    op -= 4 * uint64_t{len};
    if (op < len) {
        const size_t p = static_cast<size_t>(op);
        if (p > 0 && s[p - 1] == s[p]) return false;
        out->assign(s.substr(0, p));
        out->append(s.substr(p + 1));
        return true;
    }
    op -= len;
    const size_t p = static_cast<size_t>(op / 4);
    const char b = bases[op % 4];
    if (p > 0 && s[p - 1] == b) return false;
    out->assign(s.substr(0, p));
    out->push_back(b);
    out->append(s.substr(p));
    return true;
}

enum variant_kind : int { variant_back = 0, variant_ambiguous = 1, variant_other = 2 };

int classify(const vorn_match &m) {
    if (m.status == VORN_STATUS_AMBIGUOUS) return variant_ambiguous;
    if (m.status == VORN_STATUS_UNIQUE && m.best_distance == 0) return variant_other;
    if (m.status == VORN_STATUS_UNIQUE) return variant_back;
    throw data_error("internal error: a one-error variant found no entry within 1");
}

// ------------------------------------------------------------ the audit

struct entry_set {
    std::vector<std::string_view> seqs;
    std::vector<const uint8_t *> ptrs;
    std::vector<size_t> lens;
};

// Runs body(begin, end) over [0, n) in chunks on opt.threads threads, the
// calling thread included, which also drives the progress meter.
template <class Body>
void parallel_chunks(uint64_t n, uint64_t chunk, unsigned threads, progress_meter &progress,
                     Body body) {
    std::atomic<uint64_t> next{0}, done{0};
    std::mutex err_mutex;
    std::string error;
    auto work = [&](bool main_thread) {
        for (;;) {
            const uint64_t b = next.fetch_add(chunk);
            if (b >= n) return;
            const uint64_t e = std::min(n, b + chunk);
            try {
                body(b, e);
            } catch (const std::exception &ex) {
                std::lock_guard<std::mutex> lock(err_mutex);
                if (error.empty()) error = ex.what();
                next.store(n);
                return;
            }
            const uint64_t d = done.fetch_add(e - b) + (e - b);
            if (main_thread) progress.update(d, static_cast<double>(d) / static_cast<double>(n));
        }
    };
    std::vector<std::thread> pool;
    for (unsigned i = 1; i < threads; ++i) pool.emplace_back(work, false);
    work(true);
    for (std::thread &t : pool) t.join();
    if (!error.empty()) throw data_error(error);
}

int32_t assign_batch(const vorn_index *index, const audit_options &opt, const uint8_t *const *q,
                     const size_t *lens, size_t n, int32_t k, vorn_match *out) {
    return opt.hamming ? vorn_index_assign_hamming_stats(index, q, lens, n, k, out, nullptr)
                       : vorn_index_assign(index, q, lens, n, k, out);
}

// Distance of a and b when at most k, else UINT32_MAX: the brute-force
// reference for --verify, written without the index.
uint32_t brute_distance(std::string_view a, std::string_view b, int32_t k, bool hamming) {
    const uint64_t bound = static_cast<uint64_t>(k);
    if (hamming) {
        if (a.size() != b.size()) return UINT32_MAX;
        uint64_t d = 0;
        for (size_t i = 0; i < a.size() && d <= bound; ++i) d += a[i] != b[i];
        return d <= bound ? static_cast<uint32_t>(d) : UINT32_MAX;
    }
    const uint64_t diff = a.size() > b.size() ? a.size() - b.size() : b.size() - a.size();
    if (diff > bound) return UINT32_MAX;
    const auto *pa = reinterpret_cast<const uint8_t *>(a.data());
    const auto *pb = reinterpret_cast<const uint8_t *>(b.data());
    if (vorn_edit_distance_leq(pa, a.size(), pb, b.size(), k) != 1) return UINT32_MAX;
    return vorn_edit_distance(pa, a.size(), pb, b.size());
}

std::string percent_text(uint64_t part, uint64_t whole) {
    return format_fixed(whole ? 100.0 * static_cast<double>(part) / static_cast<double>(whole) : 0.0, 2) + "%";
}

// 95% Wilson score interval of a proportion.
void wilson(uint64_t hits, uint64_t n, double *lo, double *hi) {
    if (n == 0) {
        *lo = 0;
        *hi = 1;
        return;
    }
    const double z = 1.959963984540054;
    const double nn = static_cast<double>(n);
    const double p = static_cast<double>(hits) / nn;
    const double denom = 1 + z * z / nn;
    const double centre = (p + z * z / (2 * nn)) / denom;
    const double half = z * std::sqrt(p * (1 - p) / nn + z * z / (4 * nn * nn)) / denom;
    *lo = std::max(0.0, centre - half);
    *hi = std::min(1.0, centre + half);
}

// Variants packed back to back, with the pointer and length arrays the
// library takes; pointers are made only once the arena has stopped growing.
struct packed_seqs {
    std::string arena;
    std::vector<size_t> offs, lens;
    void add(const std::string &v) {
        offs.push_back(arena.size());
        lens.push_back(v.size());
        arena += v;
    }
    std::vector<const uint8_t *> pointers() const {
        std::vector<const uint8_t *> q(offs.size());
        for (size_t j = 0; j < q.size(); ++j)
            q[j] = reinterpret_cast<const uint8_t *>(arena.data() + offs[j]);
        return q;
    }
};

// Adds the classes of a batch's records to the shared tally.
void tally_kinds(const std::vector<vorn_match> &res, uint64_t *kinds, std::mutex *mutex) {
    uint64_t local[3] = {0, 0, 0};
    for (const vorn_match &m : res) ++local[classify(m)];
    std::lock_guard<std::mutex> lock(*mutex);
    for (int c = 0; c < 3; ++c) kinds[c] += local[c];
}

}  // namespace

int run_audit(int argc, char **argv) {
    audit_options opt;
    if (parse_audit_options(argc, argv, &opt)) return exit_ok;
    output_target json_target{"--json", "JSON report", opt.json_path};
    plan_outputs({{"--whitelist", opt.whitelist_path}}, {&json_target});
    const double t_start = now_seconds();
    const whitelist wl = load_whitelist(opt.whitelist_path, opt.max_line_length);
    const uint64_t n_all = wl.size();

    // Distinct entries in order of first appearance.
    entry_set ent;
    std::map<size_t, uint64_t> lengths;
    uint64_t repeated_sequences = 0, max_multiplicity = 1;
    {
        std::unordered_map<std::string_view, uint64_t> count;
        count.reserve(n_all);
        for (size_t i = 0; i < n_all; ++i) {
            const std::string_view s = wl.entry(i);
            ++lengths[s.size()];
            uint64_t &c = count[s];
            if (++c == 1) ent.seqs.push_back(s);
            if (c == 2) ++repeated_sequences;
            max_multiplicity = std::max(max_multiplicity, c);
        }
    }
    const uint64_t n = ent.seqs.size();
    ent.ptrs.resize(n);
    ent.lens.resize(n);
    for (uint64_t i = 0; i < n; ++i) {
        ent.ptrs[i] = reinterpret_cast<const uint8_t *>(ent.seqs[i].data());
        ent.lens[i] = ent.seqs[i].size();
    }
    const double t_load = now_seconds() - t_start;

    double t0 = now_seconds();
    std::unique_ptr<vorn_index, void (*)(vorn_index *)> index(build_index(ent.ptrs, ent.lens),
                                                              vorn_index_free);
    const double t_build = now_seconds() - t0;

    // Nearest other entry: of every distinct entry when that is affordable,
    // else of a random sample (see choose_nearest_plan).
    t0 = now_seconds();
    std::vector<uint32_t> nearest(n, UINT32_MAX);  // filled for the entries examined
    auto nearest_pass = [&](const std::vector<uint64_t> &which, int32_t bound, std::vector<uint32_t> &out) {
        progress_meter progress("entries");
        // Chunks small enough to share a short list between the threads.
        const uint64_t count = which.size();
        const uint64_t chunk = std::clamp<uint64_t>(count / (uint64_t{opt.threads} * 8), 16, 4096);
        parallel_chunks(count, chunk, opt.threads, progress, [&](uint64_t b, uint64_t e) {
            std::vector<const uint8_t *> q(e - b);
            std::vector<size_t> l(e - b);
            for (uint64_t j = b; j < e; ++j) {
                q[j - b] = ent.ptrs[which[j]];
                l[j - b] = ent.lens[which[j]];
            }
            std::vector<vorn_match> res(e - b);
            if (assign_batch(index.get(), opt, q.data(), l.data(), e - b, bound, res.data()) != 0)
                throw data_error("the library rejected a batch of entries");
            for (uint64_t j = b; j < e; ++j) {
                const vorn_match &m = res[j - b];
                if (m.status != VORN_STATUS_UNIQUE || m.best_distance != 0 || m.best_index != which[j])
                    throw data_error("internal error: entry " + std::to_string(which[j]) +
                                     " was not found at distance 0");
                out[which[j]] = m.second_distance;
            }
        });
    };
    std::vector<uint64_t> order(n);
    for (uint64_t i = 0; i < n; ++i) order[i] = i;
    {
        // A seeded shuffle: its prefixes are the random samples of entries.
        std::mt19937_64 srng(opt.seed ^ 0x9e3779b97f4a7c15u);
        for (uint64_t i = n; i > 1; --i)
            std::swap(order[i - 1], order[std::uniform_int_distribution<uint64_t>(0, i - 1)(srng)]);
    }
    bool nearest_exact = opt.exact || (opt.sample_entries == 0 && n <= nearest_probe);
    uint64_t auto_sample = default_nearest_sample;
    if (!nearest_exact && opt.sample_entries == 0) {
        // Time a few entries on this thread and project the whole pass; a
        // sample is sized to the same budget (bounds above 2 cost a scan of
        // the whole list per entry).
        std::vector<uint64_t> probe(order.begin(), order.begin() + nearest_probe);
        const double c0 = thread_cpu_seconds();
        nearest_pass(probe, opt.k, nearest);
        const double per_entry = std::max(1e-9, (thread_cpu_seconds() - c0) / static_cast<double>(nearest_probe));
        const double affordable = nearest_budget_seconds * opt.threads / per_entry;
        nearest_exact = static_cast<double>(n) <= affordable;
        auto_sample = std::clamp<uint64_t>(static_cast<uint64_t>(affordable), 1000, default_nearest_sample);
    }
    uint64_t nearest_examined = n;
    // What the bound-k pass cannot show in a sample, a cheaper full pass with
    // a lower bound can: no pair of entries lies within lower_bound.  Bound 0
    // needs no pass, the entries being distinct.
    int32_t lower_bound = 0;
    uint32_t lower_min = UINT32_MAX;
    if (nearest_exact) {
        nearest_pass(order, opt.k, nearest);
    } else {
        nearest_examined = std::min<uint64_t>(n, opt.sample_entries ? opt.sample_entries : auto_sample);
        lower_bound = std::max(0, opt.hamming ? opt.k - 1 : std::min(opt.k - 1, 1));
        if (lower_bound >= 1) {
            std::vector<uint32_t> lower(n, UINT32_MAX);
            nearest_pass(order, lower_bound, lower);
            for (const uint32_t d : lower) lower_min = std::min(lower_min, d);
        }
        nearest_pass(std::vector<uint64_t>(order.begin(), order.begin() + static_cast<long>(nearest_examined)),
                     opt.k, nearest);
    }
    const double t_nearest = now_seconds() - t0;
    std::vector<uint64_t> nearest_hist(static_cast<size_t>(std::min<int64_t>(opt.k, 64)) + 1, 0);
    uint64_t beyond = 0;
    uint32_t sample_min = UINT32_MAX;
    for (uint64_t s = 0; s < nearest_examined; ++s) {
        const uint32_t d = nearest[order[s]];
        if (d == UINT32_MAX) {
            ++beyond;
            continue;
        }
        if (d >= nearest_hist.size()) nearest_hist.resize(size_t{d} + 1, 0);
        ++nearest_hist[d];
        sample_min = std::min(sample_min, d);
    }
    // The minimum distance is known exactly from a full pass, from the lower
    // pass when it found a pair, or when the sample's closest pair sits just
    // above the lower bound.  Otherwise it lies in [min_at_least, min_at_most].
    uint32_t min_distance = UINT32_MAX;
    uint32_t min_at_least = static_cast<uint32_t>(opt.k) + 1, min_at_most = UINT32_MAX;
    if (nearest_exact) {
        min_distance = sample_min;
    } else if (lower_min != UINT32_MAX) {
        min_distance = lower_min;
    } else {
        min_at_least = static_cast<uint32_t>(lower_bound) + 1;
        min_at_most = sample_min;
        if (sample_min == min_at_least) min_distance = sample_min;
    }
    if (min_distance != UINT32_MAX) min_at_least = min_at_most = min_distance;

    // One-error variants.
    t0 = now_seconds();
    std::vector<uint64_t> raw_prefix(n + 1, 0);
    for (uint64_t i = 0; i < n; ++i)
        raw_prefix[i + 1] = raw_prefix[i] + raw_op_count(ent.lens[i], opt.hamming);
    uint64_t total_variants = 0;
    {
        std::string v;
        for (uint64_t i = 0; i < n; ++i)
            for (uint64_t op = 0; op < raw_prefix[i + 1] - raw_prefix[i]; ++op)
                total_variants += make_variant(ent.seqs[i], op, &v);
    }
    const bool exact = opt.exact || (opt.sample == 0 && total_variants <= default_exact_limit);
    const uint64_t sample_size = exact ? 0 : (opt.sample ? opt.sample : default_sample);
    uint64_t kinds[3] = {0, 0, 0};
    uint64_t examined = 0;

    // Uniform (entry, variant) pairs: an op drawn uniformly from all raw ops,
    // kept only when canonical.
    std::mt19937_64 rng(opt.seed);
    auto draw_variant = [&](uint64_t *entry_out, std::string *v) {
        for (;;) {
            const uint64_t r = std::uniform_int_distribution<uint64_t>(0, raw_prefix[n] - 1)(rng);
            const uint64_t i = static_cast<uint64_t>(
                std::upper_bound(raw_prefix.begin(), raw_prefix.end(), r) - raw_prefix.begin() - 1);
            if (make_variant(ent.seqs[i], r - raw_prefix[i], v)) {
                *entry_out = i;
                return;
            }
        }
    };

    if (total_variants > 0) {
        progress_meter progress(exact ? "entries" : "variants");
        std::mutex kinds_mutex;
        if (exact) {
            parallel_chunks(n, 256, opt.threads, progress, [&](uint64_t b, uint64_t e) {
                packed_seqs vars;
                std::string v;
                for (uint64_t i = b; i < e; ++i)
                    for (uint64_t op = 0; op < raw_prefix[i + 1] - raw_prefix[i]; ++op)
                        if (make_variant(ent.seqs[i], op, &v)) vars.add(v);
                const std::vector<const uint8_t *> q = vars.pointers();
                std::vector<vorn_match> res(q.size());
                if (assign_batch(index.get(), opt, q.data(), vars.lens.data(), q.size(), 1,
                                 res.data()) != 0)
                    throw data_error("the library rejected a batch of variants");
                tally_kinds(res, kinds, &kinds_mutex);
            });
            examined = total_variants;
        } else {
            packed_seqs vars;
            std::string v;
            uint64_t origin;
            for (uint64_t s = 0; s < sample_size; ++s) {
                draw_variant(&origin, &v);
                vars.add(v);
            }
            const std::vector<const uint8_t *> q = vars.pointers();
            parallel_chunks(sample_size, 4096, opt.threads, progress, [&](uint64_t b, uint64_t e) {
                std::vector<vorn_match> res(e - b);
                if (assign_batch(index.get(), opt, q.data() + b, vars.lens.data() + b, e - b, 1,
                                 res.data()) != 0)
                    throw data_error("the library rejected a batch of variants");
                tally_kinds(res, kinds, &kinds_mutex);
            });
            examined = sample_size;
        }
    }
    const double t_variants = now_seconds() - t0;
    double ci_lo = 0, ci_hi = 0;
    wilson(kinds[variant_ambiguous], examined, &ci_lo, &ci_hi);

    // Brute-force cross-check on random entries and variants.
    t0 = now_seconds();
    uint64_t verify_mismatches = 0;
    std::string verify_first_problem;
    if (opt.verify > 0) {
        std::mt19937_64 vrng(opt.seed ^ 0x5bd1e995u);
        std::vector<uint64_t> picks(opt.verify);
        for (uint64_t &p : picks) p = order[std::uniform_int_distribution<uint64_t>(0, nearest_examined - 1)(vrng)];
        std::vector<std::string> variants(total_variants ? opt.verify : 0);
        std::vector<int> variant_kind_index(variants.size());
        rng.seed(opt.seed ^ 0x2545f491u);
        for (std::string &v : variants) {
            uint64_t origin;
            draw_variant(&origin, &v);
        }
        if (!variants.empty()) {
            std::vector<const uint8_t *> q(variants.size());
            std::vector<size_t> lens(variants.size());
            for (size_t j = 0; j < variants.size(); ++j) {
                q[j] = reinterpret_cast<const uint8_t *>(variants[j].data());
                lens[j] = variants[j].size();
            }
            std::vector<vorn_match> res(variants.size());
            if (assign_batch(index.get(), opt, q.data(), lens.data(), q.size(), 1, res.data()) != 0)
                throw data_error("the library rejected a batch of variants");
            for (size_t j = 0; j < res.size(); ++j) variant_kind_index[j] = classify(res[j]);
        }
        std::mutex m;
        progress_meter progress("checks");
        const uint64_t checks = picks.size() + variants.size();
        parallel_chunks(checks, 1, opt.threads, progress, [&](uint64_t b, uint64_t e) {
            for (uint64_t c = b; c < e; ++c) {
                std::string problem;
                if (c < picks.size()) {
                    const uint64_t i = picks[c];
                    uint32_t best = UINT32_MAX;
                    for (uint64_t j = 0; j < n; ++j)
                        if (j != i) best = std::min(best, brute_distance(ent.seqs[i], ent.seqs[j], opt.k, opt.hamming));
                    if (best != nearest[i])
                        problem = "entry " + std::string(ent.seqs[i]) + ": nearest other entry at " +
                                  (best == UINT32_MAX ? std::string("> k") : std::to_string(best)) +
                                  " by brute force, " +
                                  (nearest[i] == UINT32_MAX ? std::string("> k") : std::to_string(nearest[i])) +
                                  " through the index";
                } else {
                    const size_t j = static_cast<size_t>(c - picks.size());
                    uint32_t best = UINT32_MAX;
                    uint64_t at_best = 0;
                    for (uint64_t r = 0; r < n; ++r) {
                        const uint32_t d = brute_distance(variants[j], ent.seqs[r], 1, opt.hamming);
                        if (d < best) {
                            best = d;
                            at_best = 1;
                        } else if (d == best && d != UINT32_MAX) {
                            ++at_best;
                        }
                    }
                    const int kind = at_best >= 2 ? variant_ambiguous
                                     : best == 0  ? variant_other
                                                  : variant_back;
                    if (best == UINT32_MAX || kind != variant_kind_index[j])
                        problem = "variant " + variants[j] + ": brute force and the index disagree";
                }
                if (!problem.empty()) {
                    std::lock_guard<std::mutex> lock(m);
                    if (verify_mismatches++ == 0) verify_first_problem = problem;
                }
            }
        });
    }
    const double t_verify = now_seconds() - t0;

    // ---------------------------------------------------------- report
    const std::string metric = opt.hamming ? "Hamming distance (substitutions only)"
                                           : "edit distance (substitutions, insertions, deletions)";
    const std::string kstr = std::to_string(opt.k);
    std::string r;
    char line[256];
    auto row = [&](const char *label, const std::string &value) {
        std::snprintf(line, sizeof line, "%-28s %s\n", label, value.c_str());
        r += line;
    };
    row("whitelist", opt.whitelist_path);
    row("entries", format_count(n_all));
    row("distinct entries", format_count(n));
    row("duplicate entries",
        n_all == n ? std::string("0")
                   : format_count(n_all - n) + " (" + format_count(repeated_sequences) +
                         " sequences occur more than once, at most " + format_count(max_multiplicity) +
                         " times)");
    std::string lens_text;
    for (const auto &[len, count] : lengths)
        lens_text += (lens_text.empty() ? "" : ", ") + std::to_string(len) + ": " + format_count(count);
    row("lengths", lens_text);
    row("metric", metric + ", bound " + kstr);
    if (nearest_exact)
        r += "\ndistance from each distinct entry to its nearest other entry:\n";
    else
        r += "\ndistance to the nearest other entry, for a random sample of " + format_count(nearest_examined) +
             " of " + format_count(n) + " distinct entries (seed " + std::to_string(opt.seed) +
             (opt.sample_entries ? std::string(")")
                                 : "; every entry was projected to take over a minute; --exact forces it)") +
             ":\n";
    auto hist_row = [&](const std::string &label, uint64_t count) {
        std::string interval;
        if (!nearest_exact) {
            double lo, hi;
            wilson(count, nearest_examined, &lo, &hi);
            interval = "  (95% interval " + format_fixed(100 * lo, 2) + "% to " + format_fixed(100 * hi, 2) + "%)";
        }
        std::snprintf(line, sizeof line, "  %-26s %14s %9s%s\n", label.c_str(), format_count(count).c_str(),
                      percent_text(count, nearest_examined).c_str(), interval.c_str());
        r += line;
    };
    for (size_t d = 1; d < nearest_hist.size(); ++d)  // distinct entries are never at distance 0
        hist_row(std::to_string(d), nearest_hist[d]);
    hist_row("> " + kstr, beyond);
    const std::string dup_note = n_all != n ? " between distinct entries (0 counting duplicates)" : "";
    if (min_distance != UINT32_MAX) {
        row("minimum distance", std::to_string(min_distance) + dup_note);
        row("errors always corrected", std::to_string((min_distance - 1) / 2) +
                                           " (floor((d - 1) / 2) with d = " + std::to_string(min_distance) + ")");
    } else if (min_at_most != UINT32_MAX) {
        row("minimum distance", "from " + std::to_string(min_at_least) + " to " + std::to_string(min_at_most) +
                                    " (no pair within " + std::to_string(lower_bound) +
                                    " among all entries; closest pair in the sample at " +
                                    std::to_string(min_at_most) + ")" + dup_note);
        row("errors always corrected", "at least " + std::to_string((min_at_least - 1) / 2));
    } else {
        // A lower bound past k (k = 0) covers every entry, not just the sample.
        const bool whole_list = nearest_exact || min_at_least > static_cast<uint32_t>(opt.k);
        row("minimum distance", "> " + std::to_string(min_at_least - 1) +
                                    (whole_list ? std::string(" (no two distinct entries within the bound)")
                                                   : " (no pair within the bound among the sample)") +
                                    dup_note);
        row("errors always corrected", "at least " + std::to_string((min_at_least - 1) / 2) + " (d > " +
                                           std::to_string(min_at_least - 1) + ")");
    }
    r += std::string("\none-error variants (") +
         (opt.hamming ? "one substitution" : "one substitution, insertion or deletion") +
         ") of the distinct entries:\n";
    if (exact)
        row("  counted", "all " + format_count(total_variants) + " variants");
    else
        row("  counted", "random sample of " + format_count(examined) + " of " + format_count(total_variants) +
                             " variants (seed " + std::to_string(opt.seed) + ")");
    row("  ambiguous", format_count(kinds[variant_ambiguous]) + " (" +
                           percent_text(kinds[variant_ambiguous], examined) + ")" +
                           (exact ? std::string()
                                  : ", 95% interval " + format_fixed(100 * ci_lo, 2) + "% to " +
                                        format_fixed(100 * ci_hi, 2) + "%"));
    row("  equal to another entry", format_count(kinds[variant_other]) + " (" +
                                        percent_text(kinds[variant_other], examined) + ")");
    row("  closest to their own entry", format_count(kinds[variant_back]) + " (" +
                                            percent_text(kinds[variant_back], examined) + ")");
    if (opt.verify > 0)
        row("\nbrute-force check", verify_mismatches == 0
                                       ? "agrees on " + format_count(opt.verify) + " entries and " +
                                             format_count(opt.verify) + " variants"
                                       : format_count(verify_mismatches) + " disagreements, first: " +
                                             verify_first_problem);
    const double t_total = now_seconds() - t_start;
    r += "\ntime: " + format_fixed(t_total, 2) + " s (read " + format_fixed(t_load, 2) + ", index " +
         format_fixed(t_build, 2) + ", nearest " + format_fixed(t_nearest, 2) + ", variants " +
         format_fixed(t_variants, 2) + (opt.verify ? ", check " + format_fixed(t_verify, 2) : std::string()) +
         "), " + std::to_string(opt.threads) + " thread" + (opt.threads == 1 ? "" : "s") + "\n";

    if (!opt.json_path.empty()) {
        auto fixed = [](double v, int decimals) { return std::stod(format_fixed(v, decimals)); };
        json_value j = json_value::object();
        j.set("command", "audit");
        j.set("whitelist", opt.whitelist_path);
        j.set("entries", n_all);
        j.set("distinct_entries", n);
        j.set("duplicate_entries", n_all - n);
        json_value lens = json_value::object();
        for (const auto &[len, count] : lengths) lens.set(std::to_string(len), count);
        j.set("lengths", lens);
        j.set("metric", opt.hamming ? "hamming" : "edit");
        j.set("bound", opt.k);
        json_value hist = json_value::object();
        for (size_t d = 1; d < nearest_hist.size(); ++d) hist.set(std::to_string(d), nearest_hist[d]);
        hist.set("beyond_bound", beyond);
        j.set("nearest_distance", hist);
        j.set("nearest_method", nearest_exact ? "exact" : "sample");
        j.set("nearest_examined", nearest_examined);
        j.set("min_distance", min_distance == UINT32_MAX ? json_value() : json_value(min_distance));
        j.set("min_distance_at_least", min_at_least);
        j.set("min_distance_at_most", min_at_most == UINT32_MAX ? json_value() : json_value(min_at_most));
        j.set("correction_radius", (min_at_least - 1) / 2);
        j.set("correction_radius_is_lower_bound", min_distance == UINT32_MAX);
        json_value var = json_value::object();
        var.set("method", exact ? "exact" : "sample");
        var.set("total", total_variants);
        var.set("examined", examined);
        var.set("ambiguous", kinds[variant_ambiguous]);
        var.set("equal_to_other_entry", kinds[variant_other]);
        var.set("closest_to_own_entry", kinds[variant_back]);
        var.set("ambiguous_share",
                fixed(examined ? static_cast<double>(kinds[variant_ambiguous]) / static_cast<double>(examined) : 0.0, 6));
        if (!exact) {
            var.set("ci95_low", fixed(ci_lo, 6));
            var.set("ci95_high", fixed(ci_hi, 6));
            var.set("seed", opt.seed);
        }
        j.set("variants", var);
        if (opt.verify > 0)
            j.set("verify", json_value::object().set("checked", opt.verify).set("disagreements", verify_mismatches));
        j.set("seconds", json_value::object()
                             .set("read", t_load)
                             .set("index_build", t_build)
                             .set("nearest", t_nearest)
                             .set("variants", t_variants)
                             .set("check", t_verify)
                             .set("total", t_total));
        j.set("threads", opt.threads);
        output_file jf(json_target);
        jf.write(j.dump() + "\n");
        jf.finish();
        jf.publish();
    }
    std::fputs(r.c_str(), stdout);
    if (verify_mismatches > 0)
        throw data_error("the brute-force check disagrees with the index: " + verify_first_problem);
    return exit_ok;
}

}  // namespace velmora_tool
