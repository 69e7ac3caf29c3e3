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
#include <vector>

#include "cli.h"
#include "io.h"
#include "json.h"
#include "output.h"
#include "pool.h"
#include "progress.h"
#include "base.h"
#include "commands.h"
#include "velmora.h"
#include "whitelist.h"

namespace velmora_tool {

using namespace velmora_pipeline;

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

// The distinct entries, in order of first appearance, with what the report
// says of the list as given.
struct entry_set {
    std::vector<std::string_view> seqs;
    std::vector<const uint8_t *> ptrs;
    std::vector<size_t> lens;
    uint64_t all = 0;  // entries as listed, duplicates included
    std::map<size_t, uint64_t> lengths;
    uint64_t repeated_sequences = 0, max_multiplicity = 1;
};

// Runs body(begin, end) over [0, n) in chunks on the pool's threads and the
// calling thread, which also drives the progress meter.
template <class Body>
void parallel_chunks(task_pool &pool, uint64_t n, uint64_t chunk, progress_meter &progress, Body body) {
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
    for (unsigned i = 0; i < pool.size(); ++i) pool.submit([&work] { work(false); });
    try {
        work(true);
    } catch (...) {
        pool.wait_idle();  // the tasks use this frame
        throw;
    }
    pool.wait_idle();
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


entry_set distinct_entries(const whitelist &wl) {
    entry_set ent;
    ent.all = wl.listed;
    ent.seqs.resize(wl.size());
    for (size_t i = 0; i < wl.size(); ++i) {
        const uint64_t c = wl.multiplicity[i];
        ent.seqs[i] = wl.stored_entry(i);
        ent.lengths[ent.seqs[i].size()] += c;
        ent.repeated_sequences += c >= 2;
        ent.max_multiplicity = std::max(ent.max_multiplicity, c);
    }
    wl.pointer_arrays(&ent.ptrs, &ent.lens);
    return ent;
}

// What the nearest-entry phase found.
struct nearest_report {
    bool exact = true;       // every distinct entry examined
    uint64_t examined = 0;
    std::vector<uint64_t> hist;  // entries by distance to their nearest other entry
    uint64_t beyond = 0;         // ... with none within the bound
    int32_t lower_bound = 0;     // no pair lies within it (sampled runs)
    // The minimum distance when known, else the interval it lies in.
    uint32_t min_distance = UINT32_MAX, min_at_least = 0, min_at_most = UINT32_MAX;
};

// What the one-error-variant phase found.
struct variant_report {
    bool exact = true;  // every variant examined
    uint64_t total = 0, examined = 0;
    uint64_t kinds[3] = {0, 0, 0};
    double ci_lo = 0, ci_hi = 0;  // 95% interval of the ambiguous share
};

struct verify_report {
    uint64_t mismatches = 0;
    std::string first_problem;
};

struct audit_report {
    uint64_t entries = 0, distinct = 0, repeated_sequences = 0, max_multiplicity = 1;
    std::map<size_t, uint64_t> lengths;
    nearest_report nearest;
    variant_report variants;
    verify_report verify;
    double t_load = 0, t_build = 0, t_nearest = 0, t_variants = 0, t_verify = 0, t_total = 0;
};

// The phases share the distinct entries, their index, a seeded order whose
// prefixes are the random samples of entries, the distances the nearest
// phase found, and the numbering of one-error variants.
class audit_run {
  public:
    audit_run(const audit_options &opt, const entry_set &ent, const vorn_index *index, task_pool &pool)
        : opt_(opt), ent_(ent), index_(index), pool_(pool), n_(ent.seqs.size()), nearest_(n_, UINT32_MAX),
          order_(n_), raw_prefix_(n_ + 1, 0), rng_(opt.seed) {
        for (uint64_t i = 0; i < n_; ++i) order_[i] = i;
        std::mt19937_64 srng(opt.seed ^ 0x9e3779b97f4a7c15u);
        for (uint64_t i = n_; i > 1; --i)
            std::swap(order_[i - 1], order_[std::uniform_int_distribution<uint64_t>(0, i - 1)(srng)]);
        for (uint64_t i = 0; i < n_; ++i)
            raw_prefix_[i + 1] = raw_prefix_[i] + raw_op_count(ent.lens[i], opt.hamming);
    }

    nearest_report nearest();
    variant_report variants();
    verify_report verify(const nearest_report &near, const variant_report &var);

  private:
    void nearest_pass(const std::vector<uint64_t> &which, int32_t bound, std::vector<uint32_t> &out) const;
    void draw_variant(std::string *v);

    const audit_options &opt_;
    const entry_set &ent_;
    const vorn_index *index_;
    task_pool &pool_;  // the calling thread works beside it
    const uint64_t n_;
    std::vector<uint32_t> nearest_;  // filled for the entries examined
    std::vector<uint64_t> order_;
    std::vector<uint64_t> raw_prefix_;  // raw ops of the entries before each
    std::mt19937_64 rng_;
};

// Records each listed entry's distance to its nearest other entry within
// bound in out.
void audit_run::nearest_pass(const std::vector<uint64_t> &which, int32_t bound, std::vector<uint32_t> &out) const {
    progress_meter progress("entries");
    // Chunks small enough to share a short list between the threads.
    const uint64_t count = which.size();
    const uint64_t chunk = std::clamp<uint64_t>(count / (uint64_t{opt_.threads} * 8), 16, 4096);
    parallel_chunks(pool_, count, chunk, progress, [&](uint64_t b, uint64_t e) {
        std::vector<const uint8_t *> q(e - b);
        std::vector<size_t> l(e - b);
        for (uint64_t j = b; j < e; ++j) {
            q[j - b] = ent_.ptrs[which[j]];
            l[j - b] = ent_.lens[which[j]];
        }
        std::vector<vorn_match> res(e - b);
        if (assign_batch(index_, opt_, q.data(), l.data(), e - b, bound, res.data()) != 0)
            throw data_error("the library rejected a batch of entries");
        for (uint64_t j = b; j < e; ++j) {
            const vorn_match &m = res[j - b];
            if (m.status != VORN_STATUS_UNIQUE || m.best_distance != 0 || m.best_index != which[j])
                throw data_error("internal error: entry " + std::to_string(which[j]) +
                                 " was not found at distance 0");
            out[which[j]] = m.second_distance;
        }
    });
}

// Nearest other entry: of every distinct entry when that is affordable, else
// of a random sample.
nearest_report audit_run::nearest() {
    nearest_report r;
    r.exact = opt_.exact || (opt_.sample_entries == 0 && n_ <= nearest_probe);
    uint64_t auto_sample = default_nearest_sample;
    if (!r.exact && opt_.sample_entries == 0) {
        // Time a few entries on this thread and project the whole pass; a
        // sample is sized to the same budget (bounds above 2 cost a scan of
        // the whole list per entry).
        std::vector<uint64_t> probe(order_.begin(), order_.begin() + nearest_probe);
        const double c0 = thread_cpu_seconds();
        nearest_pass(probe, opt_.k, nearest_);
        const double per_entry = std::max(1e-9, (thread_cpu_seconds() - c0) / static_cast<double>(nearest_probe));
        const double affordable = nearest_budget_seconds * opt_.threads / per_entry;
        r.exact = static_cast<double>(n_) <= affordable;
        auto_sample = std::clamp<uint64_t>(static_cast<uint64_t>(affordable), 1000, default_nearest_sample);
    }
    r.examined = n_;
    // What the bound-k pass cannot show in a sample, a cheaper full pass with
    // a lower bound can: no pair of entries lies within lower_bound.  Bound 0
    // needs no pass, the entries being distinct.
    uint32_t lower_min = UINT32_MAX;
    if (r.exact) {
        nearest_pass(order_, opt_.k, nearest_);
    } else {
        r.examined = std::min<uint64_t>(n_, opt_.sample_entries ? opt_.sample_entries : auto_sample);
        r.lower_bound = std::max(0, opt_.hamming ? opt_.k - 1 : std::min(opt_.k - 1, 1));
        if (r.lower_bound >= 1) {
            std::vector<uint32_t> lower(n_, UINT32_MAX);
            nearest_pass(order_, r.lower_bound, lower);
            for (const uint32_t d : lower) lower_min = std::min(lower_min, d);
        }
        nearest_pass(std::vector<uint64_t>(order_.begin(), order_.begin() + static_cast<long>(r.examined)),
                     opt_.k, nearest_);
    }
    r.hist.assign(static_cast<size_t>(std::min<int64_t>(opt_.k, 64)) + 1, 0);
    uint32_t sample_min = UINT32_MAX;
    for (uint64_t s = 0; s < r.examined; ++s) {
        const uint32_t d = nearest_[order_[s]];
        if (d == UINT32_MAX) {
            ++r.beyond;
            continue;
        }
        if (d >= r.hist.size()) r.hist.resize(size_t{d} + 1, 0);
        ++r.hist[d];
        sample_min = std::min(sample_min, d);
    }
    // The minimum distance is known exactly from a full pass, from the lower
    // pass when it found a pair, or when the sample's closest pair sits just
    // above the lower bound.  Otherwise it lies in [min_at_least, min_at_most].
    r.min_at_least = static_cast<uint32_t>(opt_.k) + 1;
    if (r.exact) {
        r.min_distance = sample_min;
    } else if (lower_min != UINT32_MAX) {
        r.min_distance = lower_min;
    } else {
        r.min_at_least = static_cast<uint32_t>(r.lower_bound) + 1;
        r.min_at_most = sample_min;
        if (sample_min == r.min_at_least) r.min_distance = sample_min;
    }
    if (r.min_distance != UINT32_MAX) r.min_at_least = r.min_at_most = r.min_distance;
    return r;
}

// A uniform (entry, variant) pair: an op drawn uniformly from all raw ops,
// kept only when canonical.
void audit_run::draw_variant(std::string *v) {
    for (;;) {
        const uint64_t r = std::uniform_int_distribution<uint64_t>(0, raw_prefix_[n_] - 1)(rng_);
        const uint64_t i = static_cast<uint64_t>(
            std::upper_bound(raw_prefix_.begin(), raw_prefix_.end(), r) - raw_prefix_.begin() - 1);
        if (make_variant(ent_.seqs[i], r - raw_prefix_[i], v)) return;
    }
}

// One-error variants: all of them when affordable, else a random sample.
variant_report audit_run::variants() {
    variant_report r;
    {
        std::string v;
        for (uint64_t i = 0; i < n_; ++i)
            for (uint64_t op = 0; op < raw_prefix_[i + 1] - raw_prefix_[i]; ++op)
                r.total += make_variant(ent_.seqs[i], op, &v);
    }
    r.exact = opt_.exact || (opt_.sample == 0 && r.total <= default_exact_limit);
    const uint64_t sample_size = r.exact ? 0 : (opt_.sample ? opt_.sample : default_sample);
    if (r.total > 0) {
        progress_meter progress(r.exact ? "entries" : "variants");
        std::mutex kinds_mutex;
        if (r.exact) {
            parallel_chunks(pool_, n_, 256, progress, [&](uint64_t b, uint64_t e) {
                packed_seqs vars;
                std::string v;
                for (uint64_t i = b; i < e; ++i)
                    for (uint64_t op = 0; op < raw_prefix_[i + 1] - raw_prefix_[i]; ++op)
                        if (make_variant(ent_.seqs[i], op, &v)) vars.add(v);
                const std::vector<const uint8_t *> q = vars.pointers();
                std::vector<vorn_match> res(q.size());
                if (assign_batch(index_, opt_, q.data(), vars.lens.data(), q.size(), 1, res.data()) != 0)
                    throw data_error("the library rejected a batch of variants");
                tally_kinds(res, r.kinds, &kinds_mutex);
            });
            r.examined = r.total;
        } else {
            packed_seqs vars;
            std::string v;
            for (uint64_t s = 0; s < sample_size; ++s) {
                draw_variant(&v);
                vars.add(v);
            }
            const std::vector<const uint8_t *> q = vars.pointers();
            parallel_chunks(pool_, sample_size, 4096, progress, [&](uint64_t b, uint64_t e) {
                std::vector<vorn_match> res(e - b);
                if (assign_batch(index_, opt_, q.data() + b, vars.lens.data() + b, e - b, 1, res.data()) != 0)
                    throw data_error("the library rejected a batch of variants");
                tally_kinds(res, r.kinds, &kinds_mutex);
            });
            r.examined = sample_size;
        }
    }
    wilson(r.kinds[variant_ambiguous], r.examined, &r.ci_lo, &r.ci_hi);
    return r;
}

// Brute-force cross-check on random entries and variants.
verify_report audit_run::verify(const nearest_report &near, const variant_report &var) {
    verify_report r;
    if (opt_.verify == 0) return r;
    std::mt19937_64 vrng(opt_.seed ^ 0x5bd1e995u);
    std::vector<uint64_t> picks(opt_.verify);
    for (uint64_t &p : picks) p = order_[std::uniform_int_distribution<uint64_t>(0, near.examined - 1)(vrng)];
    std::vector<std::string> variants(var.total ? opt_.verify : 0);
    std::vector<int> variant_kind_index(variants.size());
    rng_.seed(opt_.seed ^ 0x2545f491u);
    for (std::string &v : variants) draw_variant(&v);
    if (!variants.empty()) {
        std::vector<const uint8_t *> q(variants.size());
        std::vector<size_t> lens(variants.size());
        for (size_t j = 0; j < variants.size(); ++j) {
            q[j] = reinterpret_cast<const uint8_t *>(variants[j].data());
            lens[j] = variants[j].size();
        }
        std::vector<vorn_match> res(variants.size());
        if (assign_batch(index_, opt_, q.data(), lens.data(), q.size(), 1, res.data()) != 0)
            throw data_error("the library rejected a batch of variants");
        for (size_t j = 0; j < res.size(); ++j) variant_kind_index[j] = classify(res[j]);
    }
    std::mutex m;
    progress_meter progress("checks");
    const uint64_t checks = picks.size() + variants.size();
    parallel_chunks(pool_, checks, 1, progress, [&](uint64_t b, uint64_t e) {
        for (uint64_t c = b; c < e; ++c) {
            std::string problem;
            if (c < picks.size()) {
                const uint64_t i = picks[c];
                uint32_t best = UINT32_MAX;
                for (uint64_t j = 0; j < n_; ++j)
                    if (j != i) best = std::min(best, brute_distance(ent_.seqs[i], ent_.seqs[j], opt_.k, opt_.hamming));
                if (best != nearest_[i])
                    problem = "entry " + std::string(ent_.seqs[i]) + ": nearest other entry at " +
                              (best == UINT32_MAX ? std::string("> k") : std::to_string(best)) +
                              " by brute force, " +
                              (nearest_[i] == UINT32_MAX ? std::string("> k") : std::to_string(nearest_[i])) +
                              " through the index";
            } else {
                const size_t j = static_cast<size_t>(c - picks.size());
                uint32_t best = UINT32_MAX;
                uint64_t at_best = 0;
                for (uint64_t e2 = 0; e2 < n_; ++e2) {
                    const uint32_t d = brute_distance(variants[j], ent_.seqs[e2], 1, opt_.hamming);
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
                if (r.mismatches++ == 0) r.first_problem = problem;
            }
        }
    });
    return r;
}

std::string text_report(const audit_options &opt, const audit_report &a) {
    const nearest_report &near = a.nearest;
    const variant_report &var = a.variants;
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
    row("entries", format_count(a.entries));
    row("distinct entries", format_count(a.distinct));
    row("duplicate entries",
        a.entries == a.distinct
            ? std::string("0")
            : format_count(a.entries - a.distinct) + " (" + format_count(a.repeated_sequences) +
                  " sequences occur more than once, at most " + format_count(a.max_multiplicity) + " times)");
    std::string lens_text;
    for (const auto &[len, count] : a.lengths)
        lens_text += (lens_text.empty() ? "" : ", ") + std::to_string(len) + ": " + format_count(count);
    row("lengths", lens_text);
    row("metric", metric + ", bound " + kstr);
    if (near.exact)
        r += "\ndistance from each distinct entry to its nearest other entry:\n";
    else
        r += "\ndistance to the nearest other entry, for a random sample of " + format_count(near.examined) +
             " of " + format_count(a.distinct) + " distinct entries (seed " + std::to_string(opt.seed) +
             (opt.sample_entries ? std::string(")")
                                 : "; every entry was projected to take over a minute; --exact forces it)") +
             ":\n";
    auto hist_row = [&](const std::string &label, uint64_t count) {
        std::string interval;
        if (!near.exact) {
            double lo, hi;
            wilson(count, near.examined, &lo, &hi);
            interval = "  (95% interval " + format_fixed(100 * lo, 2) + "% to " + format_fixed(100 * hi, 2) + "%)";
        }
        std::snprintf(line, sizeof line, "  %-26s %14s %9s%s\n", label.c_str(), format_count(count).c_str(),
                      percent_text(count, near.examined).c_str(), interval.c_str());
        r += line;
    };
    for (size_t d = 1; d < near.hist.size(); ++d)  // distinct entries are never at distance 0
        hist_row(std::to_string(d), near.hist[d]);
    hist_row("> " + kstr, near.beyond);
    const std::string dup_note = a.entries != a.distinct ? " between distinct entries (0 counting duplicates)" : "";
    if (near.min_distance != UINT32_MAX) {
        row("minimum distance", std::to_string(near.min_distance) + dup_note);
        row("errors always corrected", std::to_string((near.min_distance - 1) / 2) +
                                           " (floor((d - 1) / 2) with d = " + std::to_string(near.min_distance) +
                                           ")");
    } else if (near.min_at_most != UINT32_MAX) {
        row("minimum distance", "from " + std::to_string(near.min_at_least) + " to " +
                                    std::to_string(near.min_at_most) + " (no pair within " +
                                    std::to_string(near.lower_bound) +
                                    " among all entries; closest pair in the sample at " +
                                    std::to_string(near.min_at_most) + ")" + dup_note);
        row("errors always corrected", "at least " + std::to_string((near.min_at_least - 1) / 2));
    } else {
        // A lower bound past k (k = 0) covers every entry, not just the sample.
        const bool whole_list = near.exact || near.min_at_least > static_cast<uint32_t>(opt.k);
        row("minimum distance", "> " + std::to_string(near.min_at_least - 1) +
                                    (whole_list ? std::string(" (no two distinct entries within the bound)")
                                                : " (no pair within the bound among the sample)") +
                                    dup_note);
        row("errors always corrected", "at least " + std::to_string((near.min_at_least - 1) / 2) + " (d > " +
                                           std::to_string(near.min_at_least - 1) + ")");
    }
    r += std::string("\none-error variants (") +
         (opt.hamming ? "one substitution" : "one substitution, insertion or deletion") +
         ") of the distinct entries:\n";
    if (var.exact)
        row("  counted", "all " + format_count(var.total) + " variants");
    else
        row("  counted", "random sample of " + format_count(var.examined) + " of " + format_count(var.total) +
                             " variants (seed " + std::to_string(opt.seed) + ")");
    row("  ambiguous", format_count(var.kinds[variant_ambiguous]) + " (" +
                           percent_text(var.kinds[variant_ambiguous], var.examined) + ")" +
                           (var.exact ? std::string()
                                      : ", 95% interval " + format_fixed(100 * var.ci_lo, 2) + "% to " +
                                            format_fixed(100 * var.ci_hi, 2) + "%"));
    row("  equal to another entry", format_count(var.kinds[variant_other]) + " (" +
                                        percent_text(var.kinds[variant_other], var.examined) + ")");
    row("  closest to their own entry", format_count(var.kinds[variant_back]) + " (" +
                                            percent_text(var.kinds[variant_back], var.examined) + ")");
    // These figures are the distance rule's; the reads of a run carry more
    // evidence than the distance.
    if (var.kinds[variant_ambiguous] > 0 || near.min_distance <= 2)
        r += "\nThese figures are for the distance rule alone (velmora assign --no-rescue). By\n"
             "default, velmora assign rescues reads that are ambiguous by distance: it weighs\n"
             "each candidate by how many reads match it exactly and by the read's base\n"
             "qualities, and assigns the read when one candidate is clearly the most likely\n"
             "(README: Rescue by posterior).\n";
    if (opt.verify > 0)
        row("\nbrute-force check", a.verify.mismatches == 0
                                       ? "agrees on " + format_count(opt.verify) + " entries and " +
                                             format_count(opt.verify) + " variants"
                                       : format_count(a.verify.mismatches) + " disagreements, first: " +
                                             a.verify.first_problem);
    r += "\ntime: " + format_fixed(a.t_total, 2) + " s (read " + format_fixed(a.t_load, 2) + ", index " +
         format_fixed(a.t_build, 2) + ", nearest " + format_fixed(a.t_nearest, 2) + ", variants " +
         format_fixed(a.t_variants, 2) + (opt.verify ? ", check " + format_fixed(a.t_verify, 2) : std::string()) +
         "), " + std::to_string(opt.threads) + " thread" + (opt.threads == 1 ? "" : "s") + "\n";
    return r;
}

json_value json_report(const audit_options &opt, const audit_report &a) {
    const nearest_report &near = a.nearest;
    const variant_report &var = a.variants;
    auto fixed = [](double v, int decimals) { return std::stod(format_fixed(v, decimals)); };
    json_value j = json_value::object();
    j.set("command", "audit");
    j.set("whitelist", json_value::path(opt.whitelist_path));
    j.set("entries", a.entries);
    j.set("distinct_entries", a.distinct);
    j.set("duplicate_entries", a.entries - a.distinct);
    json_value lens = json_value::object();
    for (const auto &[len, count] : a.lengths) lens.set(std::to_string(len), count);
    j.set("lengths", lens);
    j.set("metric", opt.hamming ? "hamming" : "edit");
    j.set("bound", opt.k);
    json_value hist = json_value::object();
    for (size_t d = 1; d < near.hist.size(); ++d) hist.set(std::to_string(d), near.hist[d]);
    hist.set("beyond_bound", near.beyond);
    j.set("nearest_distance", hist);
    j.set("nearest_method", near.exact ? "exact" : "sample");
    j.set("nearest_examined", near.examined);
    j.set("min_distance", near.min_distance == UINT32_MAX ? json_value() : json_value(near.min_distance));
    j.set("min_distance_at_least", near.min_at_least);
    j.set("min_distance_at_most", near.min_at_most == UINT32_MAX ? json_value() : json_value(near.min_at_most));
    j.set("correction_radius", (near.min_at_least - 1) / 2);
    j.set("correction_radius_is_lower_bound", near.min_distance == UINT32_MAX);
    json_value v = json_value::object();
    v.set("method", var.exact ? "exact" : "sample");
    v.set("total", var.total);
    v.set("examined", var.examined);
    v.set("ambiguous", var.kinds[variant_ambiguous]);
    v.set("equal_to_other_entry", var.kinds[variant_other]);
    v.set("closest_to_own_entry", var.kinds[variant_back]);
    v.set("ambiguous_share",
          fixed(var.examined ? static_cast<double>(var.kinds[variant_ambiguous]) / static_cast<double>(var.examined)
                             : 0.0,
                6));
    if (!var.exact) {
        v.set("ci95_low", fixed(var.ci_lo, 6));
        v.set("ci95_high", fixed(var.ci_hi, 6));
        v.set("seed", opt.seed);
    }
    j.set("variants", v);
    if (opt.verify > 0)
        j.set("verify", json_value::object().set("checked", opt.verify).set("disagreements", a.verify.mismatches));
    j.set("seconds", json_value::object()
                         .set("read", a.t_load)
                         .set("index_build", a.t_build)
                         .set("nearest", a.t_nearest)
                         .set("variants", a.t_variants)
                         .set("check", a.t_verify)
                         .set("total", a.t_total));
    j.set("threads", opt.threads);
    return j;
}

}  // namespace

int run_audit(int argc, char **argv) {
    audit_options opt;
    if (parse_audit_options(argc, argv, &opt)) return exit_ok;
    output_target json_target{"--json", "JSON report", opt.json_path};
    plan_outputs({{"--whitelist", opt.whitelist_path}}, {&json_target});
    const double t_start = now_seconds();
    const whitelist wl = load_whitelist(
        opt.whitelist_path,
        {.max_line_length = opt.max_line_length, .fold_case = false, .count_multiplicity = true});
    const entry_set ent = distinct_entries(wl);
    audit_report report;
    report.entries = ent.all;
    report.distinct = ent.seqs.size();
    report.repeated_sequences = ent.repeated_sequences;
    report.max_multiplicity = ent.max_multiplicity;
    report.lengths = ent.lengths;
    report.t_load = now_seconds() - t_start;

    double t0 = now_seconds();
    std::unique_ptr<vorn_index, void (*)(vorn_index *)> index(build_index(ent.ptrs, ent.lens),
                                                              vorn_index_free);
    report.t_build = now_seconds() - t0;

    task_pool pool(opt.threads - 1);
    audit_run run(opt, ent, index.get(), pool);
    t0 = now_seconds();
    report.nearest = run.nearest();
    report.t_nearest = now_seconds() - t0;
    t0 = now_seconds();
    report.variants = run.variants();
    report.t_variants = now_seconds() - t0;
    t0 = now_seconds();
    report.verify = run.verify(report.nearest, report.variants);
    report.t_verify = now_seconds() - t0;
    report.t_total = now_seconds() - t_start;

    if (!opt.json_path.empty()) {
        output_file jf(json_target);
        jf.write(json_report(opt, report).dump() + "\n");
        jf.finish();
        jf.publish();
    }
    std::fputs(text_report(opt, report).c_str(), stdout);
    if (report.verify.mismatches > 0)
        throw data_error("the brute-force check disagrees with the index: " + report.verify.first_problem);
    return exit_ok;
}

}  // namespace velmora_tool
