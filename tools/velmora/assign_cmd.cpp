// velmora assign: the barcode of every read against a whitelist.
//
// Pipeline.  The main thread parses the FASTQ into batches and writes the
// finished batches in input order; N worker threads take batches from a
// queue, assign them against the one shared, read-only index (each batch has
// its own result array, so the workers share nothing but the index) and
// format their output lines.  At most 2N + 2 batches are in flight between
// parsing and writing, and the parser waits when that many are out, so
// memory stays bounded whatever the input size and however unevenly the
// batches finish.  With one thread everything runs in the main thread.
//
// A read whose barcode window does not fit goes to the library as a null
// pointer with a nonzero length, which every assignment entry point answers
// with the invalid record and no work, so invalid reads need no separate
// path through the batch.
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <unordered_set>
#include <vector>

#include "fastq.h"
#include "io.h"
#include "progress.h"
#include "tool.h"
#include "velmora.h"
#include "whitelist.h"

namespace velmora_tool {

namespace {

const char assign_help[] =
    "usage: velmora assign --whitelist FILE --reads FILE (--max-edits K | --max-mismatches K)\n"
    "                      [--barcode-start S] [--barcode-length N] [--threads N]\n"
    "                      [--out FILE] [--summary FILE] [--batch-size N]\n"
    "\n"
    "Assigns the barcode of every read of a FASTQ file to the closest whitelist entry.\n"
    "\n"
    "  --whitelist FILE     one barcode per line, plain or gzip; blank lines and lines\n"
    "                       starting with '#' are skipped\n"
    "  --reads FILE         FASTQ, plain or gzip (detected by content); '-' reads stdin\n"
    "  --barcode-start S    0-based position of the barcode in the read (default 0)\n"
    "  --barcode-length N   barcode length (default: the rest of the read from S)\n"
    "  --max-edits K        edit distance (substitutions, insertions, deletions) of at\n"
    "                       most K; K = 0, 1, 2 use the index, larger K compares every\n"
    "                       read with every entry (slow on large whitelists)\n"
    "  --max-mismatches K   substitutions only (Hamming distance), K = 0 to 3; only\n"
    "                       entries of the barcode's own length can match\n"
    "  --threads N          assignment threads (default: number of cores); with N > 1\n"
    "                       the main thread reads and writes alongside them, with N = 1\n"
    "                       everything runs in one thread\n"
    "  --out FILE           result table (default or '-': standard output); written to a\n"
    "                       temporary file and renamed into place only on success\n"
    "  --summary FILE       also write the summary as JSON\n"
    "  --batch-size N       reads per batch handed to a thread (default 8192)\n"
    "\n"
    "Output: one tab-separated line per read, in input order:\n"
    "  read name (header up to the first space), observed barcode, status,\n"
    "  assigned barcode, best distance, second distance, hit count\n"
    "status is 'unique' (one entry at the best distance; it is the assigned barcode),\n"
    "'ambiguous' (two or more entries share the best distance), 'none' (no entry\n"
    "within K) or 'invalid' (the barcode window runs past the end of the read).\n"
    "A '-' marks an absent value: no assigned barcode unless unique, no distances\n"
    "without a hit, no second distance when no entry lies farther than the best but\n"
    "within K, and for invalid reads the observed barcode and hit count too (an\n"
    "empty barcode window also prints as '-').\n"
    "Bytes compare literally: N and lower-case letters never match A, C, G or T.\n"
    "\n"
    "A summary goes to standard error at the end.  Exit status: 0 on success, 1 on\n"
    "a data or file error, 2 on a usage error.\n";

constexpr size_t status_slots = 4;  // none, unique, ambiguous, invalid
const char *const status_names[status_slots] = {"none", "unique", "ambiguous", "invalid"};

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
    std::string out_path;
    std::string summary_path;
    uint64_t barcode_start = 0;
    uint64_t barcode_length = 0;
    bool has_barcode_length = false;
    bool hamming = false;
    int32_t k = -1;
    unsigned threads = 0;
    size_t batch_size = 8192;
};

struct assign_counts {
    uint64_t reads = 0;
    vorn_stats work = {0, 0};  // the library's candidate and verification counters
    uint64_t status[status_slots] = {0, 0, 0, 0};
    std::vector<uint64_t> by_best;  // reads by best distance (unique and ambiguous)

    void add(const assign_counts &o) {
        reads += o.reads;
        work.candidates += o.work.candidates;
        work.verifications += o.work.verifications;
        for (size_t i = 0; i < status_slots; ++i) status[i] += o.status[i];
        if (by_best.size() < o.by_best.size()) by_best.resize(o.by_best.size());
        for (size_t i = 0; i < o.by_best.size(); ++i) by_best[i] += o.by_best[i];
    }
};

struct read_batch {
    uint64_t seq_no = 0;
    size_t n = 0;
    std::string arena;                    // names and observed barcodes
    std::vector<size_t> name_off, name_len, bc_off;
    std::vector<const uint8_t *> queries;  // into arena; null for an invalid window
    std::vector<size_t> query_lens;
    std::vector<vorn_match> results;
    std::string out;
    assign_counts counts;
    double assign_seconds = 0;
    double format_seconds = 0;

    void clear() {
        n = 0;
        arena.clear();
        name_off.clear();
        name_len.clear();
        bc_off.clear();
        queries.clear();
        query_lens.clear();
        out.clear();
        counts = assign_counts();
    }
};

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

class assigner {
public:
    assigner(const vorn_index *index, const whitelist &wl, const assign_options &opt)
        : index_(index), wl_(wl), opt_(opt) {}

    // Reads up to batch_size records into b; false when the input is done.
    bool fill(fastq_reader &in, read_batch &b, std::string &name, std::string &seq) const {
        b.clear();
        const uint64_t start = opt_.barcode_start;
        while (b.n < opt_.batch_size && in.next(&name, &seq)) {
            b.name_off.push_back(b.arena.size());
            b.name_len.push_back(name.size());
            b.arena += name;
            const uint64_t len = seq.size();
            bool fits;
            uint64_t bc_len;
            if (opt_.has_barcode_length) {
                fits = start <= len && opt_.barcode_length <= len - start;
                bc_len = opt_.barcode_length;
            } else {
                fits = start <= len;
                bc_len = fits ? len - start : 0;
            }
            b.bc_off.push_back(fits ? b.arena.size() : SIZE_MAX);
            if (fits) b.arena.append(seq, start, bc_len);
            b.query_lens.push_back(fits ? bc_len : 1);
            ++b.n;
        }
        // Pointers only once the arena has stopped moving.
        b.queries.resize(b.n);
        for (size_t i = 0; i < b.n; ++i)
            b.queries[i] = b.bc_off[i] == SIZE_MAX
                               ? nullptr
                               : reinterpret_cast<const uint8_t *>(b.arena.data() + b.bc_off[i]);
        return b.n > 0;
    }

    void process(read_batch &b) const {
        const double t0 = thread_cpu_seconds();
        b.results.resize(b.n);
        const int32_t rc =
            opt_.hamming ? vorn_index_assign_hamming_stats(index_, b.queries.data(),
                                                           b.query_lens.data(), b.n, opt_.k,
                                                           b.results.data(), &b.counts.work)
                         : vorn_index_assign_stats(index_, b.queries.data(), b.query_lens.data(),
                                                   b.n, opt_.k, b.results.data(), &b.counts.work);
        if (rc != 0) throw data_error("the library rejected a batch of reads");
        const double t1 = thread_cpu_seconds();
        format(b);
        b.assign_seconds = t1 - t0;
        b.format_seconds = thread_cpu_seconds() - t1;
    }

private:
    void format(read_batch &b) const {
        std::string &out = b.out;
        out.reserve(b.n * 64);
        for (size_t i = 0; i < b.n; ++i) {
            const vorn_match &m = b.results[i];
            const size_t slot = status_slot(m.status);
            ++b.counts.reads;
            ++b.counts.status[slot];
            out.append(b.arena, b.name_off[i], b.name_len[i]);
            out.push_back('\t');
            if (b.queries[i]) {
                if (b.query_lens[i] == 0) out.push_back('-');
                else out.append(b.arena, b.bc_off[i], b.query_lens[i]);
            } else {
                out.push_back('-');
            }
            out.push_back('\t');
            out += status_names[slot];
            out.push_back('\t');
            if (m.status == VORN_STATUS_UNIQUE) out.append(wl_.entry(m.best_index));
            else out.push_back('-');
            out.push_back('\t');
            if (m.best_distance != UINT32_MAX) {
                append_u32(out, m.best_distance);
                if (b.counts.by_best.size() <= m.best_distance)
                    b.counts.by_best.resize(size_t{m.best_distance} + 1);
                ++b.counts.by_best[m.best_distance];
            } else {
                out.push_back('-');
            }
            out.push_back('\t');
            if (m.second_distance != UINT32_MAX) append_u32(out, m.second_distance);
            else out.push_back('-');
            out.push_back('\t');
            if (m.status != VORN_STATUS_INVALID) append_u32(out, m.hit_count);
            else out.push_back('-');
            out.push_back('\n');
        }
    }

    const vorn_index *index_;
    const whitelist &wl_;
    const assign_options &opt_;
};

// Worker threads and the in-order hand-back of finished batches.
class worker_pool {
public:
    worker_pool(const assigner &a, unsigned threads, size_t max_in_flight)
        : assigner_(a), slots_(max_in_flight, nullptr) {
        for (unsigned i = 0; i < threads; ++i) threads_.emplace_back([this] { run(); });
    }
    ~worker_pool() {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            closing_ = true;
        }
        work_cv_.notify_all();
        for (std::thread &t : threads_) t.join();
    }

    void submit(read_batch *b) {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            todo_.push_back(b);
        }
        work_cv_.notify_one();
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
    void run() {
        for (;;) {
            read_batch *b;
            {
                std::unique_lock<std::mutex> lock(mutex_);
                work_cv_.wait(lock, [this] { return closing_ || !todo_.empty(); });
                if (closing_) return;
                b = todo_.front();
                todo_.pop_front();
            }
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
    }

    const assigner &assigner_;
    std::mutex mutex_;
    std::condition_variable work_cv_, done_cv_;
    std::deque<read_batch *> todo_;
    std::vector<read_batch *> slots_;
    std::vector<std::thread> threads_;
    std::string error_;
    bool closing_ = false;
};

assign_options parse_assign_options(int argc, char **argv, bool *help) {
    assign_options opt;
    arg_list args(argc, argv, 2);
    bool seen_edits = false, seen_mismatches = false, seen_threads = false;
    std::unordered_set<std::string> seen;
    while (!args.done()) {
        const std::string a = args.next();
        if (a == "--help" || a == "-h") {
            *help = true;
            return opt;
        }
        if (a.rfind("--", 0) == 0 && !seen.insert(a).second)
            throw usage_error("option " + a + " is given twice");
        if (a == "--whitelist") opt.whitelist_path = args.value(a);
        else if (a == "--reads") opt.reads_path = args.value(a);
        else if (a == "--out") opt.out_path = args.value(a);
        else if (a == "--summary") opt.summary_path = args.value(a);
        else if (a == "--barcode-start")
            opt.barcode_start = static_cast<uint64_t>(parse_integer(a, args.value(a), 0, INT64_MAX));
        else if (a == "--barcode-length") {
            opt.barcode_length = static_cast<uint64_t>(parse_integer(a, args.value(a), 0, INT64_MAX));
            opt.has_barcode_length = true;
        } else if (a == "--max-edits") {
            opt.k = static_cast<int32_t>(parse_integer(a, args.value(a), 0, INT32_MAX));
            seen_edits = true;
        } else if (a == "--max-mismatches") {
            opt.k = static_cast<int32_t>(parse_integer(a, args.value(a), 0, 3));
            opt.hamming = true;
            seen_mismatches = true;
        } else if (a == "--threads") {
            opt.threads = static_cast<unsigned>(parse_integer(a, args.value(a), 1, 1024));
            seen_threads = true;
        } else if (a == "--batch-size")
            opt.batch_size = static_cast<size_t>(parse_integer(a, args.value(a), 1, 1 << 24));
        else
            throw usage_error(a.rfind("-", 0) == 0 ? "unknown option " + a
                                                   : "unexpected argument '" + a + "'");
    }
    if (opt.whitelist_path.empty()) throw usage_error("--whitelist FILE is required");
    if (opt.reads_path.empty()) throw usage_error("--reads FILE is required");
    if (seen_edits && seen_mismatches)
        throw usage_error("--max-edits and --max-mismatches exclude each other");
    if (!seen_edits && !seen_mismatches)
        throw usage_error("one of --max-edits K or --max-mismatches K is required");
    if (opt.whitelist_path == "-" && opt.reads_path == "-")
        throw usage_error("--whitelist and --reads cannot both read standard input");
    if (!opt.summary_path.empty() && opt.summary_path == opt.out_path && opt.out_path != "-")
        throw usage_error("--out and --summary name the same file");
    if (opt.summary_path == "-") throw usage_error("--summary needs a file name, not '-'");
    if (!seen_threads) opt.threads = default_thread_count();
    return opt;
}

std::string percent(uint64_t part, uint64_t whole) {
    return format_fixed(whole == 0 ? 0.0 : 100.0 * static_cast<double>(part) / static_cast<double>(whole), 2);
}

struct assign_timing {
    double load = 0, build = 0, parse = 0, assign = 0, format = 0, write = 0, wall = 0;
};

std::string summary_text(const assign_options &opt, const whitelist &wl, const assign_counts &c,
                         const assign_timing &t) {
    const double rate = t.wall > 0 ? static_cast<double>(c.reads) / t.wall : 0;
    std::string s = "velmora assign: " + format_count(c.reads) + " reads in " +
                    format_fixed(t.wall, 2) + " s (" + format_count(static_cast<uint64_t>(rate)) +
                    " reads/s, " + std::to_string(opt.threads) + " thread" +
                    (opt.threads == 1 ? "" : "s") + "), " +
                    (opt.hamming ? "max mismatches " : "max edits ") + std::to_string(opt.k) + "\n";
    s += "  index of " + format_count(wl.size()) + " barcodes built in " + format_fixed(t.build, 2) +
         " s (whitelist read in " + format_fixed(t.load, 2) + " s)\n";
    for (const size_t slot : {size_t{1}, size_t{2}, size_t{0}, size_t{3}}) {
        char line[128];
        std::snprintf(line, sizeof line, "  %-10s %14s %7s%%\n", status_names[slot],
                      format_count(c.status[slot]).c_str(), percent(c.status[slot], c.reads).c_str());
        s += line;
    }
    for (size_t d = 0; d < c.by_best.size(); ++d) {
        if (c.by_best[d] == 0) continue;
        char line[128];
        std::snprintf(line, sizeof line, "  distance %-3zu %12s %7s%%\n", d,
                      format_count(c.by_best[d]).c_str(), percent(c.by_best[d], c.reads).c_str());
        s += line;
    }
    return s;
}

std::string summary_json(const assign_options &opt, const whitelist &wl, const assign_counts &c,
                         const assign_timing &t) {
    const double rate = t.wall > 0 ? static_cast<double>(c.reads) / t.wall : 0;
    std::string j = "{\n  \"command\": \"assign\",\n  \"version\": \"";
    j += std::to_string(VELMORA_VERSION_MAJOR) + "." + std::to_string(VELMORA_VERSION_MINOR) + "." +
         std::to_string(VELMORA_VERSION_PATCH) + "\",\n  \"whitelist\": ";
    json_append_string(j, opt.whitelist_path);
    j += ",\n  \"whitelist_entries\": " + std::to_string(wl.size()) + ",\n  \"reads_file\": ";
    json_append_string(j, opt.reads_path);
    j += ",\n  \"metric\": \"";
    j += opt.hamming ? "hamming" : "edit";
    j += "\",\n  \"max_distance\": " + std::to_string(opt.k);
    j += ",\n  \"barcode_start\": " + std::to_string(opt.barcode_start);
    j += ",\n  \"barcode_length\": " +
         (opt.has_barcode_length ? std::to_string(opt.barcode_length) : std::string("null"));
    j += ",\n  \"threads\": " + std::to_string(opt.threads);
    j += ",\n  \"reads\": " + std::to_string(c.reads);
    j += ",\n  \"status\": {";
    for (size_t slot = 0; slot < status_slots; ++slot) {
        j += slot ? ",\n" : "\n";
        j += "    \"" + std::string(status_names[slot]) + "\": {\"count\": " +
             std::to_string(c.status[slot]) + ", \"percent\": " + percent(c.status[slot], c.reads) + "}";
    }
    j += "\n  },\n  \"best_distance\": {";
    bool first = true;
    for (size_t d = 0; d < c.by_best.size(); ++d) {
        if (c.by_best[d] == 0) continue;
        j += first ? "\n" : ",\n";
        first = false;
        j += "    \"" + std::to_string(d) + "\": " + std::to_string(c.by_best[d]);
    }
    j += first ? "},\n" : "\n  },\n";
    j += "  \"library_work\": {\"candidates\": " + std::to_string(c.work.candidates) +
         ", \"verifications\": " + std::to_string(c.work.verifications) + "},\n";
    j += "  \"reads_per_second\": " + format_fixed(rate, 1);
    j += ",\n  \"index_build_seconds\": " + format_fixed(t.build, 4);
    j += ",\n  \"wall_seconds\": {\"whitelist_read\": " + format_fixed(t.load, 4) +
         ", \"index_build\": " + format_fixed(t.build, 4) + ", \"reads\": " + format_fixed(t.wall, 4) + "}";
    // Phase costs in thread CPU time, summed over the threads: parsing
    // (including decompression) and writing on the main thread, assignment
    // and line formatting on the workers.
    j += ",\n  \"cpu_seconds\": {\"parse\": " + format_fixed(t.parse, 4) +
         ", \"assign\": " + format_fixed(t.assign, 4) + ", \"format\": " + format_fixed(t.format, 4) +
         ", \"write\": " + format_fixed(t.write, 4) + "}";
    j += "\n}\n";
    return j;
}

void warn_about_whitelist(const whitelist &wl, const assign_options &opt) {
    std::unordered_set<std::string_view> distinct;
    distinct.reserve(wl.size());
    uint64_t dup = 0;
    for (size_t i = 0; i < wl.size(); ++i) dup += !distinct.insert(wl.entry(i)).second;
    if (dup)
        std::fprintf(stderr,
                     "velmora assign: warning: %s whitelist entries repeat an earlier entry; reads "
                     "closest to them are reported ambiguous\n",
                     format_count(dup).c_str());
    if (wl.lower_case_entries)
        std::fprintf(stderr,
                     "velmora assign: warning: %s whitelist entries hold lower-case letters, which "
                     "match only the same lower-case letters in reads\n",
                     format_count(wl.lower_case_entries).c_str());
    if (!opt.hamming && opt.k > 2)
        std::fprintf(stderr,
                     "velmora assign: note: with --max-edits above 2 every read is compared with "
                     "every whitelist entry\n");
}

}  // namespace

int run_assign(int argc, char **argv) {
    bool help = false;
    const assign_options opt = parse_assign_options(argc, argv, &help);
    if (help) {
        std::fputs(assign_help, stdout);
        return exit_ok;
    }
    // Fail on an unusable output location before the long part of the run.
    check_output_path(opt.out_path, "output");
    check_output_path(opt.summary_path, "summary");

    assign_timing t;
    double t0 = now_seconds();
    const whitelist wl = load_whitelist(opt.whitelist_path);
    fastq_reader in(opt.reads_path);  // opened early: a missing file fails before the build
    warn_about_whitelist(wl, opt);
    t.load = now_seconds() - t0;

    t0 = now_seconds();
    std::vector<const uint8_t *> ptrs;
    std::vector<size_t> lens;
    wl.pointer_arrays(&ptrs, &lens);
    // Only the tables the metric reads: edit assignment never uses the piece
    // tables, Hamming assignment never uses the deletion table.
    const uint32_t tables = opt.hamming ? VORN_INDEX_NO_DELETION : VORN_INDEX_NO_PIECES;
    std::unique_ptr<vorn_index, void (*)(vorn_index *)> index(build_index(ptrs, lens, tables),
                                                              vorn_index_free);
    t.build = now_seconds() - t0;

    output_file out(opt.out_path, "output");
    const assigner a(index.get(), wl, opt);
    assign_counts totals;
    progress_meter progress("reads");
    const double start = now_seconds();
    std::string name, seq;

    auto write_batch = [&](read_batch &b) {
        const double w0 = thread_cpu_seconds();
        out.write(b.out);
        t.write += thread_cpu_seconds() - w0;
        t.assign += b.assign_seconds;
        t.format += b.format_seconds;
        totals.add(b.counts);
        const uint64_t size = in.file_size();
        progress.update(totals.reads,
                        size ? static_cast<double>(in.bytes_consumed()) / static_cast<double>(size)
                             : -1.0);
    };
    auto timed_fill = [&](read_batch &b) {
        const double p0 = thread_cpu_seconds();
        const bool more = a.fill(in, b, name, seq);
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
        worker_pool pool(a, opt.threads, max_in_flight);
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

    // Both files are complete before either is renamed into place.
    std::unique_ptr<output_file> summary;
    if (!opt.summary_path.empty()) {
        summary = std::make_unique<output_file>(opt.summary_path, "summary");
        summary->write(summary_json(opt, wl, totals, t));
    }
    out.commit();
    if (summary) summary->commit();
    std::fputs(summary_text(opt, wl, totals, t).c_str(), stderr);
    return exit_ok;
}

}  // namespace velmora_tool
