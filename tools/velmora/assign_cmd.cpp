// velmora assign: the barcode of every read against a whitelist.
//
// Two passes over the reads.  The first counts, for every whitelist entry,
// the reads whose barcode window matches it exactly: how many reads a
// barcode already has is the best evidence of which of two close entries a
// read with errors came from.  (Standard input is copied to a temporary file
// for this, removed however the run ends.)  The second assigns every read:
// the exact lookup finds the exact, unique matches (the rest of their
// fixed-window record, which depends only on the entry, is searched once per
// entry and kept), and every other read goes to the library's
// vorn_rescue_read_stats, which lists the entries within the bound (letting
// the window's end move for indels), decides by posterior over them and
// counts the work of its fixed-window search.  With --no-rescue there is a
// single pass and the distance rule decides.
//
// Pipeline of the second pass.  The main thread parses the FASTQ into
// batches and writes the finished batches in input order (with N > 1 a
// thread of its own reads and decompresses the file ahead); N worker threads
// take batches from a queue, assign them against the one shared, read-only
// index (each batch has its own result arrays, so the workers share nothing
// but the index and the exact counts) and format their output lines.  At
// most 2N + 2 batches are in flight, so memory stays bounded whatever the
// input size.  With one thread everything runs in the main thread.
//
// A read whose barcode window does not fit goes to the library as a null
// pointer with a nonzero length, which every assignment entry point answers
// with the invalid record and no work.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "cli.h"
#include "fastq.h"
#include "io.h"
#include "json.h"
#include "knee.h"
#include "output.h"
#include "pool.h"
#include "progress.h"
#include "tool.h"
#include "velmora.h"
#include "whitelist.h"

namespace velmora_tool {

namespace {

const char assign_help[] =
    "usage: velmora assign --whitelist FILE --reads FILE (--max-edits K | --max-mismatches K)\n"
    "                      [--barcode-start S] [--barcode-length N] [--out FILE]\n"
    "                      [--summary FILE] [--counts FILE] [--knee-plot FILE.svg]\n"
    "                      [--no-rescue] [--fixed-window] [--min-exact N]\n"
    "                      [--prior-pseudocount X] [--indel-weight W] [--min-posterior P]\n"
    "                      [--threads N] [--batch-size N] [--max-line-length BYTES]\n"
    "\n"
    "Assigns the barcode of every read of a FASTQ file to a whitelist entry.\n"
    "\n"
    "Input:\n"
    "  --whitelist FILE     one barcode per line, plain or gzip; blank lines and lines\n"
    "                       starting with '#' are skipped, and so are entries that\n"
    "                       repeat an earlier one (reads are assigned against the\n"
    "                       distinct entries)\n"
    "  --reads FILE         FASTQ, plain or gzip (detected by content); '-' reads stdin.\n"
    "                       With the rescue the reads are read twice: standard input,\n"
    "                       a pipe or a FIFO is first copied to a temporary file in\n"
    "                       TMPDIR (default /tmp), deleted from the start\n"
    "  --barcode-start S    0-based position of the barcode in the read (default 0)\n"
    "  --barcode-length N   barcode length (default: the whitelist's, when all entries\n"
    "                       share one length; required when they do not)\n"
    "  --max-line-length N  longest line accepted in the reads or the whitelist, in\n"
    "                       bytes (default 67108864); a longer one is an error\n"
    "\n"
    "Matching:\n"
    "  --max-edits K        edit distance (substitutions, insertions, deletions) of at\n"
    "                       most K; K = 0, 1, 2 use the index, larger K compares every\n"
    "                       read with every entry (slow on large whitelists)\n"
    "  --max-mismatches K   substitutions only (Hamming distance), K = 0 to 3; the\n"
    "                       window stays fixed and only entries of its length match\n"
    "  --fixed-window       with --max-edits, compare the barcode window only; by\n"
    "                       default a read that is not an exact, unique match is also\n"
    "                       compared with its window's end moved by up to K bases, so\n"
    "                       an insertion or deletion inside the barcode costs one edit\n"
    "\n"
    "Rescue of reads that are not an exact, unique match:\n"
    "  --no-rescue          the distance rule only: assign when one entry alone lies at\n"
    "                       the best distance (one pass over the reads)\n"
    "  --min-exact N        an entry is a candidate only when at least N reads match it\n"
    "                       exactly (default 1)\n"
    "  --prior-pseudocount X  added to a candidate's exact count for its prior\n"
    "                       (default 1)\n"
    "  --indel-weight W     an inserted or deleted base costs the error probability of\n"
    "                       the base next to it times W (default 0.1)\n"
    "  --min-posterior P    assign the top candidate when its posterior is at least P\n"
    "                       (default 0.975)\n"
    "  The posterior of candidate c, over the candidates C of the read:\n"
    "    P(c | read) = prior(c) L(read | c) / sum over d in C of prior(d) L(read | d)\n"
    "    prior(c) = exact reads of c + X; L = product over the aligned bases of\n"
    "    1 - p for a match, p / 3 for a substitution, W p for an indel, with p the\n"
    "    base's error probability from its Phred quality (the neighbor's for a\n"
    "    deletion).\n"
    "\n"
    "Output:\n"
    "  --out FILE           the table (default or '-': standard output)\n"
    "  --summary FILE       the summary as JSON, knee curve included\n"
    "  --counts FILE        reads per barcode, most first: barcode, exact, rescued, total\n"
    "  --knee-plot FILE     reads per barcode against barcode rank, log-log, as SVG\n"
    "  A name ending in .gz is written gzip-compressed.  A new path or a regular file\n"
    "  is written to a temporary file, renamed into place once every output is\n"
    "  complete; a FIFO or device is written directly; a symlink's target is replaced.\n"
    "  An output that names an input or another output is refused before any work.\n"
    "\n"
    "  --threads N          assignment threads (default: number of cores); with N > 1\n"
    "                       the main thread reads and writes alongside them\n"
    "  --batch-size N       reads per batch handed to a thread (default 8192)\n"
    "\n"
    "The table starts with a header line, then one tab-separated line per read, in\n"
    "input order:\n"
    "  read             read name (header up to the first space)\n"
    "  observed         the barcode window, upper-cased\n"
    "  status           unique (assigned), ambiguous (entries within K but none\n"
    "                   assigned), none (no entry within K) or invalid (the window\n"
    "                   runs past the end of the read)\n"
    "  assigned         the assigned entry\n"
    "  distance         best distance; second_distance: the next larger within K\n"
    "  hits             entries within K\n"
    "  posterior        the top candidate's posterior\n"
    "  candidates       entries within K, closest first, at most 8, comma-separated\n"
    "A '-' marks an absent value.  Exact, unique matches are not rescued: their\n"
    "distances and hits are those of the fixed window, with no posterior and no\n"
    "candidates listed.  Lower-case bases in reads are read as upper case (with a\n"
    "warning); N never matches A, C, G or T.\n"
    "\n"
    "A summary goes to standard error at the end.  Exit status: 0 on success, 1 on\n"
    "a data or file error, 2 on a usage error.\n";

constexpr size_t status_slots = 4;  // none, unique, ambiguous, invalid
const char *const status_names[status_slots] = {"none", "unique", "ambiguous", "invalid"};
constexpr size_t max_listed_candidates = 8;
const char table_header[] =
    "read\tobserved\tstatus\tassigned\tdistance\tsecond_distance\thits\tposterior\tcandidates\n";

size_t status_slot(uint32_t status) {
    switch (status) {
    case VORN_STATUS_NONE: return 0;
    case VORN_STATUS_UNIQUE: return 1;
    case VORN_STATUS_AMBIGUOUS: return 2;
    default: return 3;
    }
}

struct assign_options {
    std::string whitelist_path;
    std::string reads_path;
    output_target out{"--out", "output", "-"};
    output_target summary{"--summary", "summary"};
    output_target counts{"--counts", "counts table"};
    output_target knee{"--knee-plot", "knee plot"};
    uint64_t barcode_start = 0;
    uint64_t barcode_length = 0;
    bool has_barcode_length = false;
    bool hamming = false;
    int32_t k = -1;
    unsigned threads = 0;
    size_t batch_size = 8192;
    bool rescue = true;
    bool fixed_window = false;
    uint64_t min_exact = 1;
    double prior_pseudocount = 1;
    double indel_weight = 0.1;
    double min_posterior = 0.975;
    uint64_t max_line_length = default_max_line_length;
};

struct assign_counts {
    uint64_t reads = 0;
    vorn_stats work = {0, 0};  // the library's counters for the fixed-window pass
    uint64_t status[status_slots] = {0, 0, 0, 0};
    std::vector<uint64_t> by_best;  // reads by best distance (unique and ambiguous)
    uint64_t exact = 0;             // exact, unique matches
    uint64_t corrected = 0;         // assigned with errors
    uint64_t ties_broken = 0;       // ...of which two or more entries shared the best distance
    uint64_t lower_case_reads = 0;

    void add(const assign_counts &o) {
        reads += o.reads;
        work.candidates += o.work.candidates;
        work.verifications += o.work.verifications;
        for (size_t i = 0; i < status_slots; ++i) status[i] += o.status[i];
        if (by_best.size() < o.by_best.size()) by_best.resize(o.by_best.size());
        for (size_t i = 0; i < o.by_best.size(); ++i) by_best[i] += o.by_best[i];
        exact += o.exact;
        corrected += o.corrected;
        ties_broken += o.ties_broken;
        lower_case_reads += o.lower_case_reads;
    }
};

struct read_batch {
    uint64_t seq_no = 0;
    size_t n = 0;
    std::string arena;                     // names, barcode tails and their qualities
    std::vector<size_t> name_off, name_len, tail_off, tail_len, qual_off;
    std::vector<const uint8_t *> queries;  // the windows, into arena; null when invalid
    std::vector<size_t> query_lens;
    std::vector<vorn_match> results;
    std::vector<size_t> search_at;         // reads that are not exact, unique matches...
    std::vector<const uint8_t *> search_queries;
    std::vector<size_t> search_lens;
    std::vector<vorn_match> search_results;  // ...and their fixed-window records
    std::vector<uint32_t> assigned;        // entry of each assigned read; top bit: not exact
    std::string out;
    assign_counts counts;
    double assign_seconds = 0;
    double format_seconds = 0;

    void clear() {
        n = 0;
        arena.clear();
        name_off.clear();
        name_len.clear();
        tail_off.clear();
        tail_len.clear();
        qual_off.clear();
        queries.clear();
        query_lens.clear();
        assigned.clear();
        out.clear();
        counts = assign_counts();
    }
};

constexpr uint32_t rescued_bit = 0x80000000u;

// Appends a decimal number.
void append_u32(std::string &out, uint32_t v) {
    char buf[12];
    size_t i = sizeof buf;
    do {
        buf[--i] = static_cast<char>('0' + v % 10);
        v /= 10;
    } while (v != 0);
    out.append(buf + i, sizeof buf - i);
}

void append_u32_or_dash(std::string &out, uint32_t v) {
    if (v == UINT32_MAX) out.push_back('-');
    else append_u32(out, v);
}

// Upper-cases ASCII letters in place; true when there were lower-case ones.
bool fold_upper(char *p, size_t n) {
    bool lower = false;
    for (size_t i = 0; i < n; ++i) {
        if (p[i] >= 'a' && p[i] <= 'z') {
            p[i] = static_cast<char>(p[i] - 32);
            lower = true;
        }
    }
    return lower;
}

// The barcode tail of a read as both passes take it: window_len bytes from
// start, plus up to extra bytes after them when the read has them.  False
// when the window runs past the end of the read.
bool barcode_tail(const std::string &seq, uint64_t start, uint64_t window_len, uint64_t extra,
                  size_t *len) {
    const uint64_t n = seq.size();
    if (start > n || window_len > n - start) return false;
    *len = static_cast<size_t>(std::min<uint64_t>(n - start, window_len + extra));
    return true;
}

class assigner {
public:
    assigner(const vorn_index *index, const whitelist &wl, const assign_options &opt,
             const std::vector<uint64_t> &exact_counts)
        : index_(index), wl_(wl), opt_(opt), exact_counts_(exact_counts) {
        vorn_rescue_params_default(&params_);
        params_.metric = opt.hamming ? VORN_METRIC_HAMMING : VORN_METRIC_EDIT;
        params_.k = opt.k;
        params_.fixed_window = opt.hamming || opt.fixed_window ? 1 : 0;
        params_.rescue = opt.rescue ? 1 : 0;
        params_.min_exact = opt.min_exact;
        params_.prior_pseudocount = opt.prior_pseudocount;
        params_.indel_weight = opt.indel_weight;
        params_.min_posterior = opt.min_posterior;
        extra_ = params_.fixed_window ? 0 : static_cast<uint64_t>(opt.k);
        memo_ = std::make_unique<memo_slot[]>(wl.size());
        record_needed_ = !opt.rescue && params_.fixed_window;
    }

    // Reads up to batch_size records into b; false when the input is done.
    bool fill(fastq_reader &in, read_batch &b, std::string &name, std::string &seq,
              std::string &qual) const {
        b.clear();
        while (b.n < opt_.batch_size && in.next(&name, &seq, &qual)) {
            b.name_off.push_back(b.arena.size());
            b.name_len.push_back(name.size());
            b.arena += name;
            size_t len = 0;
            const bool fits = barcode_tail(seq, opt_.barcode_start, opt_.barcode_length, extra_, &len);
            b.tail_off.push_back(fits ? b.arena.size() : SIZE_MAX);
            b.tail_len.push_back(len);
            if (fits) {
                const size_t start = static_cast<size_t>(opt_.barcode_start);
                const size_t at = b.arena.size();
                b.arena.append(seq, start, len);
                b.counts.lower_case_reads += fold_upper(b.arena.data() + at, len);
                b.qual_off.push_back(b.arena.size());
                b.arena.append(qual, start, len);
            } else {
                b.qual_off.push_back(SIZE_MAX);
            }
            b.query_lens.push_back(fits ? static_cast<size_t>(opt_.barcode_length) : 1);
            ++b.n;
        }
        // Pointers only once the arena has stopped moving.
        b.queries.resize(b.n);
        for (size_t i = 0; i < b.n; ++i)
            b.queries[i] = b.tail_off[i] == SIZE_MAX
                               ? nullptr
                               : reinterpret_cast<const uint8_t *>(b.arena.data() + b.tail_off[i]);
        return b.n > 0;
    }

    void process(read_batch &b) const {
        const double t0 = thread_cpu_seconds();
        b.results.resize(b.n);
        // Most reads are exact, unique matches: the exact lookup finds them,
        // and the rest of their record and the work of their search come from
        // the memo.  The others are searched once: by the rescue, which
        // counts the fixed window's work as this search would, or, with the
        // distance rule on the fixed window, by the record's search here.
        if (b.n && vorn_index_lookup_exact_many_stats(index_, b.queries.data(), b.query_lens.data(), b.n,
                                                      b.results.data(), nullptr) != 0)
            throw data_error("the library rejected a batch of reads");
        b.search_at.clear();
        b.search_queries.clear();
        b.search_lens.clear();
        for (size_t i = 0; i < b.n; ++i) {
            vorn_match &m = b.results[i];
            if (m.status == VORN_STATUS_UNIQUE) {
                const exact_entry e = exact_record(m.best_index, b.queries[i], b.query_lens[i]);
                m.second_distance = e.second_distance;
                m.hit_count = e.hit_count;
                b.counts.work.candidates += e.work.candidates;
                b.counts.work.verifications += e.work.verifications;
            } else if (record_needed_ && m.status != VORN_STATUS_INVALID) {
                b.search_at.push_back(i);
                b.search_queries.push_back(b.queries[i]);
                b.search_lens.push_back(b.query_lens[i]);
            }
        }
        const size_t n = b.search_at.size();
        b.search_results.resize(n);
        vorn_stats work{0, 0};
        if (n && fixed_window_search(b.search_queries.data(), b.search_lens.data(), n,
                                     b.search_results.data(), &work) != 0)
            throw data_error("the library rejected a batch of reads");
        for (size_t j = 0; j < n; ++j) b.results[b.search_at[j]] = b.search_results[j];
        b.counts.work.candidates += work.candidates;
        b.counts.work.verifications += work.verifications;
        const double t1 = thread_cpu_seconds();
        format(b);
        b.assign_seconds = t1 - t0;
        b.format_seconds = thread_cpu_seconds() - t1;
    }

private:
    void format(read_batch &b) const {
        std::string &out = b.out;
        out.reserve(b.n * 72);
        vorn_hit hits[max_listed_candidates];
        for (size_t i = 0; i < b.n; ++i) {
            const vorn_match &m = b.results[i];
            ++b.counts.reads;
            out.append(b.arena, b.name_off[i], b.name_len[i]);
            out.push_back('\t');
            if (!b.queries[i] || b.query_lens[i] == 0) out.push_back('-');
            else out.append(b.arena, b.tail_off[i], b.query_lens[i]);
            out.push_back('\t');
            if (m.status == VORN_STATUS_INVALID) {
                ++b.counts.status[status_slot(m.status)];
                out += "invalid\t-\t-\t-\t-\t-\t-\n";
                continue;
            }
            if (m.status == VORN_STATUS_UNIQUE && m.best_distance == 0) {
                // Exact, unique: nothing to rescue.
                ++b.counts.status[status_slot(m.status)];
                ++b.counts.exact;
                count_best(b, 0);
                b.assigned.push_back(m.best_index);
                // The entry is the window itself, already in cache.
                out += "unique\t";
                out.append(b.arena, b.tail_off[i], b.query_lens[i]);
                out += "\t0\t";
                append_u32_or_dash(out, m.second_distance);
                out.push_back('\t');
                append_u32(out, m.hit_count);
                out += "\t-\t-\n";
                continue;
            }
            vorn_rescue_result r;
            size_t n_hits = 0;
            const uint8_t *tail = b.queries[i];
            int32_t rc;
            if (record_needed_) {
                // The distance rule on the fixed window is the record itself;
                // only the list of entries is missing.
                r = {m.status, m.status == VORN_STATUS_UNIQUE ? m.best_index : UINT32_MAX, m.best_distance,
                     m.second_distance, m.hit_count, 0.0};
                rc = m.hit_count == 0 ? 0
                                      : vorn_index_hits(index_, tail, b.query_lens[i], params_.metric, opt_.k, hits,
                                                        max_listed_candidates, &n_hits);
            } else {
                const uint8_t *quals = reinterpret_cast<const uint8_t *>(b.arena.data() + b.qual_off[i]);
                vorn_stats work{0, 0};
                rc = vorn_rescue_read_stats(index_, tail, quals, b.tail_len[i], b.query_lens[i],
                                            opt_.rescue ? exact_counts_.data() : nullptr,
                                            opt_.rescue ? exact_counts_.size() : 0, &params_, hits,
                                            max_listed_candidates, &n_hits, &r, &work);
                b.counts.work.candidates += work.candidates;
                b.counts.work.verifications += work.verifications;
            }
            if (rc == -2) throw data_error("out of memory");
            if (rc != 0) throw data_error("the library rejected a read");
            ++b.counts.status[status_slot(r.status)];
            if (r.distance != UINT32_MAX) count_best(b, r.distance);
            out += status_names[status_slot(r.status)];
            out.push_back('\t');
            if (r.status == VORN_STATUS_UNIQUE) {
                out.append(wl_.entry(r.ref_index));
                b.assigned.push_back(r.ref_index | rescued_bit);
                ++b.counts.corrected;
                b.counts.ties_broken += n_hits >= 2 && hits[1].distance == hits[0].distance;
            } else {
                out.push_back('-');
            }
            out.push_back('\t');
            append_u32_or_dash(out, r.distance);
            out.push_back('\t');
            append_u32_or_dash(out, r.second_distance);
            out.push_back('\t');
            append_u32(out, r.hit_count);
            out.push_back('\t');
            if (opt_.rescue && r.hit_count > 0) {
                char p[32];
                std::snprintf(p, sizeof p, "%.6f", r.posterior);
                out += p;
            } else {
                out.push_back('-');
            }
            out.push_back('\t');
            const size_t listed = std::min(n_hits, max_listed_candidates);
            if (listed == 0) out.push_back('-');
            for (size_t h = 0; h < listed; ++h) {
                if (h) out.push_back(',');
                out.append(wl_.entry(hits[h].ref_index));
            }
            out.push_back('\n');
        }
    }

    int32_t fixed_window_search(const uint8_t *const *q, const size_t *lens, size_t n, vorn_match *res,
                                vorn_stats *work) const {
        return opt_.hamming ? vorn_index_assign_hamming_stats(index_, q, lens, n, opt_.k, res, work)
                            : vorn_index_assign_stats(index_, q, lens, n, opt_.k, res, work);
    }

    // The fixed-window record of a read equal to entry e depends on e alone,
    // so it is searched once per entry.  Workers racing on one entry store
    // the same values; ready (hit count + 1) is published last.
    struct exact_entry {
        uint32_t second_distance = UINT32_MAX;
        uint32_t hit_count = 0;
        vorn_stats work{0, 0};
    };
    struct memo_slot {
        std::atomic<uint32_t> ready{0};
        std::atomic<uint32_t> second_distance{0};
        std::atomic<uint32_t> candidates{0};
        std::atomic<uint32_t> verifications{0};
    };

    exact_entry exact_record(uint32_t e, const uint8_t *query, size_t len) const {
        memo_slot &slot = memo_[e];
        exact_entry r;
        const uint32_t ready = slot.ready.load(std::memory_order_acquire);
        if (ready != 0) {
            r.hit_count = ready - 1;
            r.second_distance = slot.second_distance.load(std::memory_order_relaxed);
            r.work.candidates = slot.candidates.load(std::memory_order_relaxed);
            r.work.verifications = slot.verifications.load(std::memory_order_relaxed);
            return r;
        }
        vorn_match m;
        if (fixed_window_search(&query, &len, 1, &m, &r.work) != 0)
            throw data_error("the library rejected a read");
        r.second_distance = m.second_distance;
        r.hit_count = m.hit_count;
        if (r.hit_count < UINT32_MAX && r.work.candidates <= UINT32_MAX && r.work.verifications <= UINT32_MAX) {
            slot.second_distance.store(r.second_distance, std::memory_order_relaxed);
            slot.candidates.store(static_cast<uint32_t>(r.work.candidates), std::memory_order_relaxed);
            slot.verifications.store(static_cast<uint32_t>(r.work.verifications), std::memory_order_relaxed);
            slot.ready.store(r.hit_count + 1, std::memory_order_release);
        }
        return r;
    }

    static void count_best(read_batch &b, uint32_t d) {
        if (b.counts.by_best.size() <= d) b.counts.by_best.resize(size_t{d} + 1);
        ++b.counts.by_best[d];
    }

    const vorn_index *index_;
    const whitelist &wl_;
    const assign_options &opt_;
    const std::vector<uint64_t> &exact_counts_;
    vorn_rescue_params params_;
    uint64_t extra_ = 0;
    std::unique_ptr<memo_slot[]> memo_;
    bool record_needed_ = false;  // the distance rule on the fixed window decides from the record
};

// Batches assigned on the pool's threads and handed back in input order.
class ordered_batches {
public:
    ordered_batches(const assigner &a, unsigned threads, size_t max_in_flight)
        : assigner_(a), slots_(max_in_flight, nullptr), pool_(threads) {}

    void submit(read_batch *b) {
        pool_.submit([this, b] { process(b); });
    }

    // The batch with sequence number seq_no once it is finished; blocks when
    // wait is set, else returns null if it is not ready yet.
    read_batch *take(uint64_t seq_no, bool wait) {
        std::unique_lock<std::mutex> lock(mutex_);
        read_batch *&slot = slots_[seq_no % slots_.size()];
        for (;;) {
            if (!error_.empty()) throw data_error(error_);
            if (slot && slot->seq_no == seq_no) {
                read_batch *b = slot;
                slot = nullptr;
                return b;
            }
            if (!wait) return nullptr;
            done_cv_.wait(lock);
        }
    }

private:
    void process(read_batch *b) {
        std::string err;
        try {
            assigner_.process(*b);
        } catch (const std::exception &e) {
            err = e.what();
        }
        {
            std::lock_guard<std::mutex> lock(mutex_);
            if (!err.empty()) error_ = err;
            slots_[b->seq_no % slots_.size()] = b;
        }
        done_cv_.notify_all();
    }

    const assigner &assigner_;
    std::mutex mutex_;
    std::condition_variable done_cv_;
    std::vector<read_batch *> slots_;
    std::string error_;
    task_pool pool_;  // last: its threads are joined before the rest goes
};

// Parses the command line; true when --help was given.
bool parse_assign_options(int argc, char **argv, assign_options *opt) {
    command_line cl("velmora assign", assign_help);
    std::string out_path = "-";
    int32_t edits = -1, mismatches = -1;
    uint64_t length = 0;
    uint64_t batch_size = opt->batch_size;
    cl.option("--whitelist", &opt->whitelist_path, true);
    cl.option("--reads", &opt->reads_path, true);
    cl.option("--out", &out_path);
    cl.option("--summary", &opt->summary.given);
    cl.option("--counts", &opt->counts.given);
    cl.option("--knee-plot", &opt->knee.given);
    cl.option("--barcode-start", &opt->barcode_start, 0, uint64_t{INT64_MAX});
    cl.option("--barcode-length", &length, 0, uint64_t{INT64_MAX});
    cl.option("--max-edits", &edits, 0, INT32_MAX);
    cl.option("--max-mismatches", &mismatches, 0, 3);
    cl.excludes("--max-edits", "--max-mismatches");
    cl.option("--threads", &opt->threads, 1u, 1024u);
    cl.option("--batch-size", &batch_size, 1, uint64_t{1} << 24);
    cl.flag("--no-rescue");
    cl.flag("--fixed-window");
    cl.option("--min-exact", &opt->min_exact, 0, uint64_t{INT64_MAX});
    cl.option("--prior-pseudocount", &opt->prior_pseudocount, 0, 1e12);
    cl.option("--indel-weight", &opt->indel_weight, 0, 1e6);
    cl.option("--min-posterior", &opt->min_posterior, 0, 1);
    cl.option("--max-line-length", &opt->max_line_length, 1, uint64_t(max_line_length_option_max));
    if (cl.parse(argc, argv)) return true;
    opt->batch_size = static_cast<size_t>(batch_size);

    if (cl.count("--max-edits") == 0 && cl.count("--max-mismatches") == 0)
        throw usage_error("one of --max-edits K or --max-mismatches K is required");
    opt->hamming = cl.count("--max-mismatches") > 0;
    opt->k = opt->hamming ? mismatches : edits;
    opt->has_barcode_length = cl.count("--barcode-length") > 0;
    opt->barcode_length = length;
    opt->rescue = cl.count("--no-rescue") == 0;
    opt->fixed_window = cl.count("--fixed-window") > 0;
    if (opt->fixed_window && opt->hamming)
        throw usage_error("--fixed-window goes with --max-edits (with --max-mismatches the window is always fixed)");
    if (!opt->rescue) {
        for (const char *o : {"--min-exact", "--prior-pseudocount", "--indel-weight", "--min-posterior"})
            if (cl.count(o)) throw usage_error(std::string(o) + " has no effect with --no-rescue");
    }
    if (opt->whitelist_path == "-" && opt->reads_path == "-")
        throw usage_error("--whitelist and --reads cannot both read standard input");
    opt->out.given = out_path.empty() ? "-" : out_path;
    for (output_target *t : {&opt->summary, &opt->counts, &opt->knee})
        if (t->given == "-") throw usage_error(t->option + " needs a file name, not '-'");
    if (cl.count("--threads") == 0) opt->threads = default_thread_count();
    return false;
}

double share(uint64_t part, uint64_t whole) {
    return whole == 0 ? 0.0 : static_cast<double>(part) / static_cast<double>(whole);
}

std::string percent(uint64_t part, uint64_t whole) { return format_fixed(100.0 * share(part, whole), 2); }

// A percentage rounded to two decimals, as a JSON number.
double percent_value(uint64_t part, uint64_t whole) {
    return static_cast<double>(static_cast<int64_t>(10000.0 * share(part, whole) + 0.5)) / 100.0;
}

struct assign_timing {
    double load = 0, build = 0, abundance = 0, parse = 0, assign = 0, format = 0, write = 0, wall = 0;
};

// Per-barcode tallies of the second pass and what the reports derive from
// them.
struct barcode_tally {
    std::vector<uint64_t> exact, rescued;
    std::vector<uint32_t> order;     // entries with reads, most reads first
    std::vector<knee_point> knee;
    uint64_t total(uint32_t i) const { return exact[i] + rescued[i]; }
};

void rank_barcodes(barcode_tally *t) {
    t->order.clear();
    for (uint32_t i = 0; i < t->exact.size(); ++i)
        if (t->total(i) > 0) t->order.push_back(i);
    std::stable_sort(t->order.begin(), t->order.end(),
                     [t](uint32_t a, uint32_t b) { return t->total(a) > t->total(b); });
    std::vector<uint64_t> totals(t->order.size());
    for (size_t r = 0; r < totals.size(); ++r) totals[r] = t->total(t->order[r]);
    t->knee = knee_points(totals, 200);
}

std::string counts_table(const whitelist &wl, const barcode_tally &t) {
    std::string s = "barcode\texact\trescued\ttotal\n";
    for (const uint32_t i : t.order) {
        s.append(wl.entry(i));
        s += "\t" + std::to_string(t.exact[i]) + "\t" + std::to_string(t.rescued[i]) + "\t" +
             std::to_string(t.total(i)) + "\n";
    }
    return s;
}

std::string summary_text(const assign_options &opt, const whitelist &wl, const assign_counts &c,
                         const barcode_tally &bt, const assign_timing &t) {
    const double rate = t.wall > 0 ? static_cast<double>(c.reads) / t.wall : 0;
    std::string s = "velmora assign: " + format_count(c.reads) + " reads in " +
                    format_fixed(t.wall, 2) + " s (" + format_count(static_cast<uint64_t>(rate)) +
                    " reads/s, " + std::to_string(opt.threads) + " thread" +
                    (opt.threads == 1 ? "" : "s") + "), " +
                    (opt.hamming ? "max mismatches " : "max edits ") + std::to_string(opt.k) +
                    (opt.rescue ? ", rescue by posterior" : ", distance rule") +
                    (opt.hamming || opt.fixed_window ? "" : ", indel windows") + "\n";
    s += "  index of " + format_count(wl.size()) + " barcodes built in " + format_fixed(t.build, 2) +
         " s (whitelist read in " + format_fixed(t.load, 2) + " s";
    if (opt.rescue) s += ", exact counts in " + format_fixed(t.abundance, 2) + " s";
    s += ")\n";
    char line[160];
    auto row = [&](const char *label, uint64_t v) {
        std::snprintf(line, sizeof line, "  %-26s %14s %7s%%\n", label, format_count(v).c_str(),
                      percent(v, c.reads).c_str());
        s += line;
    };
    row("assigned", c.status[1]);
    row("  exact", c.exact);
    row("  with errors", c.corrected);
    if (opt.rescue) row("    ties broken", c.ties_broken);
    row("not assigned: ambiguous", c.status[2]);
    row("not assigned: none", c.status[0]);
    row("invalid", c.status[3]);
    for (size_t d = 0; d < c.by_best.size(); ++d) {
        if (c.by_best[d] == 0) continue;
        const std::string label = "best distance " + std::to_string(d);
        row(label.c_str(), c.by_best[d]);
    }
    s += "  barcodes with reads: " + format_count(bt.order.size()) + "\n";
    return s;
}

std::string summary_json(const assign_options &opt, const whitelist &wl, const assign_counts &c,
                         const barcode_tally &bt, const assign_timing &t) {
    const double rate = t.wall > 0 ? static_cast<double>(c.reads) / t.wall : 0;
    json_value j = json_value::object();
    j.set("command", "assign");
    j.set("version", std::to_string(VELMORA_VERSION_MAJOR) + "." + std::to_string(VELMORA_VERSION_MINOR) +
                         "." + std::to_string(VELMORA_VERSION_PATCH));
    j.set("whitelist", json_value::path(opt.whitelist_path));
    j.set("whitelist_entries", wl.size());
    j.set("whitelist_duplicates_dropped", wl.repeats_dropped);
    j.set("reads_file", json_value::path(opt.reads_path));
    j.set("metric", opt.hamming ? "hamming" : "edit");
    j.set("max_distance", opt.k);
    j.set("window", opt.hamming || opt.fixed_window ? "fixed" : "indel");
    j.set("barcode_start", opt.barcode_start);
    j.set("barcode_length", opt.barcode_length);
    j.set("threads", opt.threads);
    j.set("reads", c.reads);
    json_value status = json_value::object();
    for (size_t slot = 0; slot < status_slots; ++slot)
        status.set(status_names[slot], json_value::object()
                                           .set("count", c.status[slot])
                                           .set("percent", percent_value(c.status[slot], c.reads)));
    j.set("status", status);
    json_value best = json_value::object();
    for (size_t d = 0; d < c.by_best.size(); ++d)
        if (c.by_best[d] != 0) best.set(std::to_string(d), c.by_best[d]);
    j.set("best_distance", best);
    json_value rescue = json_value::object();
    rescue.set("enabled", opt.rescue);
    if (opt.rescue) {
        rescue.set("min_exact", opt.min_exact);
        rescue.set("prior_pseudocount", opt.prior_pseudocount);
        rescue.set("indel_weight", opt.indel_weight);
        rescue.set("min_posterior", opt.min_posterior);
    }
    rescue.set("assigned_exact", c.exact);
    rescue.set("assigned_with_errors", c.corrected);
    rescue.set("ties_broken", c.ties_broken);
    rescue.set("assigned_percent", percent_value(c.status[1], c.reads));
    j.set("rescue", rescue);
    j.set("barcodes_with_reads", bt.order.size());
    json_value knee = json_value::array();
    for (const knee_point &p : bt.knee) knee.push(json_value::array().push(p.rank).push(p.reads));
    j.set("knee", json_value::object().set("axes", json_value::array().push("rank").push("reads")).set("points", knee));
    j.set("lower_case_reads", c.lower_case_reads);
    j.set("library_work", json_value::object()
                              .set("candidates", c.work.candidates)
                              .set("verifications", c.work.verifications));
    j.set("reads_per_second", static_cast<double>(static_cast<int64_t>(rate * 10 + 0.5)) / 10);
    j.set("index_build_seconds", t.build);
    j.set("wall_seconds", json_value::object()
                              .set("whitelist_read", t.load)
                              .set("index_build", t.build)
                              .set("exact_counts", t.abundance)
                              .set("reads", t.wall));
    // Phase costs in thread CPU time, summed over the threads: parsing
    // (including decompression) and writing on the main thread, assignment
    // and line formatting on the workers.
    j.set("cpu_seconds", json_value::object()
                             .set("parse", t.parse)
                             .set("assign", t.assign)
                             .set("format", t.format)
                             .set("write", t.write));
    return j.dump() + "\n";
}

void warn_about_whitelist(const whitelist &wl, const assign_options &opt) {
    if (wl.repeats_dropped)
        std::fprintf(stderr,
                     "velmora assign: warning: %s whitelist entries repeat an earlier entry and are "
                     "dropped; reads are assigned against the %s distinct entries\n",
                     format_count(wl.repeats_dropped).c_str(), format_count(wl.size()).c_str());
    if (wl.lower_case_entries)
        std::fprintf(stderr,
                     "velmora assign: warning: %s whitelist entries hold lower-case letters, read "
                     "as upper case\n",
                     format_count(wl.lower_case_entries).c_str());
    if (!opt.hamming && opt.k > 2)
        std::fprintf(stderr,
                     "velmora assign: note: with --max-edits above 2 every read is compared with "
                     "every whitelist entry\n");
}

// The barcode length when the option is absent: the whitelist's, which all
// its entries must share.
uint64_t common_length(const whitelist &wl) {
    size_t lo = SIZE_MAX, hi = 0;
    for (size_t i = 0; i < wl.size(); ++i) {
        lo = std::min(lo, wl.entry(i).size());
        hi = std::max(hi, wl.entry(i).size());
    }
    if (lo != hi)
        throw usage_error("whitelist entries have lengths from " + std::to_string(lo) + " to " +
                          std::to_string(hi) + ": give --barcode-length");
    return lo;
}

// Reads that cannot be read twice (standard input, a pipe, a FIFO, a
// device) copied to a temporary file for the two passes.  The file is
// unlinked as soon as it exists: the descriptors opened on it first keep it
// readable, each at an offset of its own, and nothing is left behind however
// the run ends, SIGKILL included.
class input_spool {
public:
    explicit input_spool(const std::string &path) {
        const std::string name = path == "-" ? "standard input" : "'" + path + "'";
        owned_fd in;
        if (path == "-") {
            if (!standard_stream_open(0))
                throw data_error("cannot read reads from standard input: it is not open");
        } else if ((in.fd = open(path.c_str(), O_RDONLY | O_CLOEXEC)) < 0) {
            fail("cannot open reads file '" + path + "'", errno);
        }
        const char *dir = std::getenv("TMPDIR");
        const std::string folder = dir && *dir ? dir : "/tmp";
        std::string tmpl = folder + "/velmora-spool-XXXXXX";
        std::vector<char> temp(tmpl.begin(), tmpl.end());
        temp.push_back('\0');
        owned_fd out;
        out.fd = mkstemp(temp.data());
        if (out.fd < 0) fail("cannot create a temporary file in " + folder, errno);
        for (owned_fd &r : readers_) r.fd = open(temp.data(), O_RDONLY | O_CLOEXEC);
        const int open_err = errno;
        unlink(temp.data());
        for (const owned_fd &r : readers_)
            if (r.fd < 0) fail("cannot reopen a temporary file in " + folder, open_err);
        const int from = path == "-" ? 0 : in.fd;
        std::vector<char> buf(1 << 20);
        for (;;) {
            const ssize_t got = read(from, buf.data(), buf.size());
            if (got < 0 && errno == EINTR) continue;
            if (got < 0) fail("cannot read reads from " + name, errno);
            if (got == 0) break;
            for (ssize_t done = 0; done < got;) {
                const ssize_t w = ::write(out.fd, buf.data() + done, static_cast<size_t>(got - done));
                if (w < 0 && errno == EINTR) continue;
                if (w < 0) fail("cannot copy the reads of " + name + " to a temporary file in " + folder, errno);
                done += w;
            }
        }
    }

    // A descriptor on the copy, at its start, for one of the two passes;
    // the caller owns it.
    int take_reader() {
        for (owned_fd &r : readers_)
            if (r.fd >= 0) return std::exchange(r.fd, -1);
        throw std::logic_error("more passes over spooled reads than descriptors");
    }

private:
    struct owned_fd {
        int fd = -1;
        owned_fd() = default;
        owned_fd(const owned_fd &) = delete;
        owned_fd &operator=(const owned_fd &) = delete;
        ~owned_fd() {
            if (fd >= 0) close(fd);
        }
    };
    [[noreturn]] static void fail(const std::string &what, int err) {
        throw data_error(what + ": " + std::strerror(err));
    }
    owned_fd readers_[2];
};

// Whether two passes can read the reads: a regular file can be opened
// twice.  A path that cannot be examined is left to the reader's own error.
bool needs_spool(const std::string &path) {
    struct stat st;
    if (path == "-") return true;
    return stat(path.c_str(), &st) == 0 && !S_ISREG(st.st_mode) && !S_ISDIR(st.st_mode);
}

// The first pass: reads per whitelist entry whose window matches it exactly
// (and only it).
std::vector<uint64_t> count_exact(const std::string &reads_path, int spool_fd, const vorn_index *index,
                                  const assign_options &opt, size_t n_entries) {
    std::vector<uint64_t> counts(n_entries, 0);
    fastq_reader in(reads_path, opt.max_line_length, opt.threads > 1, spool_fd);
    progress_meter progress("reads counted");
    std::string name, seq, windows;
    std::vector<size_t> offs, lens;
    std::vector<const uint8_t *> q;
    std::vector<vorn_match> res;
    uint64_t total = 0;
    for (bool more = true; more;) {
        windows.clear();
        offs.clear();
        while (offs.size() < 8192 && (more = in.next(&name, &seq))) {
            size_t len = 0;
            if (!barcode_tail(seq, opt.barcode_start, opt.barcode_length, 0, &len)) continue;
            offs.push_back(windows.size());
            windows.append(seq, static_cast<size_t>(opt.barcode_start), len);
            fold_upper(windows.data() + offs.back(), len);
        }
        const size_t n = offs.size();
        q.resize(n);
        lens.assign(n, static_cast<size_t>(opt.barcode_length));
        res.resize(n);
        for (size_t i = 0; i < n; ++i) q[i] = reinterpret_cast<const uint8_t *>(windows.data() + offs[i]);
        if (n && vorn_index_lookup_exact_many_stats(index, q.data(), lens.data(), n, res.data(), nullptr) != 0)
            throw data_error("the library rejected a batch of reads");
        for (size_t i = 0; i < n; ++i)
            if (res[i].status == VORN_STATUS_UNIQUE) ++counts[res[i].best_index];
        total = in.records();
        const uint64_t size = in.file_size();
        progress.update(total, size ? share(in.bytes_consumed(), size) : -1.0);
    }
    progress.finish();
    return counts;
}

// Reads files above this size (about eight million gzip-compressed reads, or
// three million uncompressed) get the faster search's table.
constexpr uint64_t large_run_bytes = uint64_t{256} << 20;

int assign_run(const assign_options &cli_opt) {
    assign_options opt = cli_opt;
    // Every output is checked against the inputs and the other outputs
    // before anything is read.
    plan_outputs({{"--reads", opt.reads_path}, {"--whitelist", opt.whitelist_path}},
                 {&opt.out, &opt.summary, &opt.counts, &opt.knee});

    assign_timing t;
    double t0 = now_seconds();
    // Reads are upper-cased, so the entries are too.
    const whitelist wl = load_whitelist(opt.whitelist_path, {.max_line_length = opt.max_line_length});
    if (!opt.has_barcode_length) opt.barcode_length = common_length(wl);
    // With the rescue the reads are read twice; what cannot be read again is
    // spooled first.
    std::unique_ptr<input_spool> spool;
    if (opt.rescue && needs_spool(opt.reads_path)) spool = std::make_unique<input_spool>(opt.reads_path);
    // A missing file fails before the build.
    auto in = std::make_unique<fastq_reader>(opt.reads_path, opt.max_line_length, opt.threads > 1,
                                             spool ? spool->take_reader() : -1);
    warn_about_whitelist(wl, opt);
    t.load = now_seconds() - t0;

    t0 = now_seconds();
    std::vector<const uint8_t *> ptrs;
    std::vector<size_t> lens;
    wl.pointer_arrays(&ptrs, &lens);
    // The table the metric's search reads (the deletion table for edits, the
    // piece tables for Hamming) makes the searches of reads with errors faster,
    // but costs about half a second of build per million entries and 100 bytes
    // each; on the real list it pays for itself only after several million
    // reads.  Smaller inputs, and inputs of unknown size, search the key table
    // alone; the records are the same either way.
    const bool large_run = in->file_size() > large_run_bytes;
    const uint32_t tables = !large_run     ? VORN_INDEX_NO_DELETION | VORN_INDEX_NO_PIECES
                            : opt.hamming ? VORN_INDEX_NO_DELETION
                                          : VORN_INDEX_NO_PIECES;
    std::unique_ptr<vorn_index, void (*)(vorn_index *)> index(build_index(ptrs, lens, tables),
                                                              vorn_index_free);
    t.build = now_seconds() - t0;

    std::vector<uint64_t> exact_counts;
    if (opt.rescue) {
        t0 = now_seconds();
        exact_counts = count_exact(opt.reads_path, spool ? spool->take_reader() : -1, index.get(), opt, wl.size());
        t.abundance = now_seconds() - t0;
    }

    output_group outputs;
    auto table_owned = std::make_unique<output_file>(opt.out);
    output_file &out = *table_owned;
    outputs.add(std::move(table_owned));
    out.write(table_header);

    const assigner a(index.get(), wl, opt, exact_counts);
    assign_counts totals;
    barcode_tally tally;
    tally.exact.assign(wl.size(), 0);
    tally.rescued.assign(wl.size(), 0);
    progress_meter progress("reads");
    const double start = now_seconds();
    std::string name, seq, qual;

    auto write_batch = [&](read_batch &b) {
        const double w0 = thread_cpu_seconds();
        out.write(b.out);
        t.write += thread_cpu_seconds() - w0;
        t.assign += b.assign_seconds;
        t.format += b.format_seconds;
        totals.add(b.counts);
        for (const uint32_t v : b.assigned) {
            if (v & rescued_bit) ++tally.rescued[v & ~rescued_bit];
            else ++tally.exact[v];
        }
        const uint64_t size = in->file_size();
        progress.update(totals.reads, size ? share(in->bytes_consumed(), size) : -1.0);
    };
    auto timed_fill = [&](read_batch &b) {
        const double p0 = thread_cpu_seconds();
        const bool more = a.fill(*in, b, name, seq, qual);
        t.parse += thread_cpu_seconds() - p0;
        return more;
    };

    if (opt.threads == 1) {
        read_batch b;
        while (timed_fill(b)) {
            a.process(b);
            write_batch(b);
        }
    } else {
        const size_t max_in_flight = 2 * size_t{opt.threads} + 2;
        std::vector<std::unique_ptr<read_batch>> owned;
        std::vector<read_batch *> spare;
        ordered_batches pool(a, opt.threads, max_in_flight);
        uint64_t next_seq = 0, next_write = 0;
        auto write_ready = [&](bool wait) {
            while (next_write < next_seq) {
                read_batch *b = pool.take(next_write, wait);
                if (!b) return;
                write_batch(*b);
                spare.push_back(b);
                ++next_write;
                wait = false;
            }
        };
        for (;;) {
            if (next_seq - next_write >= max_in_flight) write_ready(true);
            if (spare.empty()) {
                owned.push_back(std::make_unique<read_batch>());
                spare.push_back(owned.back().get());
            }
            read_batch *b = spare.back();
            if (!timed_fill(*b)) break;
            spare.pop_back();
            b->seq_no = next_seq++;
            pool.submit(b);
            write_ready(false);
        }
        while (next_write < next_seq) write_ready(true);
    }
    t.wall = now_seconds() - start;
    progress.finish();
    rank_barcodes(&tally);

    // Every output is complete before any is renamed into place.
    if (opt.summary.requested()) {
        auto f = std::make_unique<output_file>(opt.summary);
        f->write(summary_json(opt, wl, totals, tally, t));
        outputs.add(std::move(f));
    }
    if (opt.counts.requested()) {
        auto f = std::make_unique<output_file>(opt.counts);
        f->write(counts_table(wl, tally));
        outputs.add(std::move(f));
    }
    if (opt.knee.requested()) {
        auto f = std::make_unique<output_file>(opt.knee);
        f->write(knee_svg(tally.knee, "reads per barcode: " + format_count(tally.order.size()) +
                                          " barcodes, " + format_count(totals.status[1]) + " reads assigned"));
        outputs.add(std::move(f));
    }
    outputs.commit();

    if (totals.lower_case_reads)
        std::fprintf(stderr,
                     "velmora assign: warning: %s reads hold lower-case bases in the barcode; they "
                     "were read as upper case\n",
                     format_count(totals.lower_case_reads).c_str());
    std::fputs(summary_text(opt, wl, totals, tally, t).c_str(), stderr);
    if (totals.reads > 0 && 2 * totals.status[1] < totals.reads)
        std::fprintf(stderr,
                     "velmora assign: warning: %s%% of reads were not assigned; is the barcode window "
                     "right? (--barcode-start %llu, --barcode-length %llu)\n",
                     percent(totals.reads - totals.status[1], totals.reads).c_str(),
                     static_cast<unsigned long long>(opt.barcode_start),
                     static_cast<unsigned long long>(opt.barcode_length));
    return exit_ok;
}

}  // namespace

int run_assign(int argc, char **argv) {
    assign_options opt;
    if (parse_assign_options(argc, argv, &opt)) return exit_ok;
    return assign_run(opt);
}

}  // namespace velmora_tool
