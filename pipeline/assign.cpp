// The assign job: passes over the reads, batches on worker threads in input
// order, and the reports.
//
// Pipeline of the second pass.  The calling thread parses the FASTQ into
// batches and writes the finished batches in input order (with N > 1 a
// thread of its own reads and decompresses the file ahead); N worker threads
// take batches from a queue, decide them against the one shared, read-only
// index (each batch has its own arrays, so the workers share nothing but the
// index and the exact counts) and format their lines.  At most 2N + 2
// batches are in flight, so memory stays bounded whatever the input size.
// With one thread everything runs in the calling thread.
#include "assign.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "base.h"
#include "decide.h"
#include "fastq.h"
#include "json.h"
#include "ordered.h"
#include "progress.h"
#include "spool.h"
#include "table.h"
#include "windows.h"
#include "whitelist.h"

namespace velmora_pipeline {

const char *const status_names[status_slots] = {"none", "unique", "ambiguous", "invalid"};

size_t status_slot(uint32_t status) {
    switch (status) {
    case VORN_STATUS_NONE: return 0;
    case VORN_STATUS_UNIQUE: return 1;
    case VORN_STATUS_AMBIGUOUS: return 2;
    default: return 3;
    }
}

void assign_counts::add(const assign_counts &o) {
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
    short_reads += o.short_reads;
}

namespace {

constexpr uint32_t rescued_bit = 0x80000000u;

double share(uint64_t part, uint64_t whole) {
    return whole == 0 ? 0.0 : static_cast<double>(part) / static_cast<double>(whole);
}

std::string percent(uint64_t part, uint64_t whole) { return format_fixed(100.0 * share(part, whole), 2); }

// A percentage rounded to two decimals, as a JSON number.
double percent_value(uint64_t part, uint64_t whole) {
    return static_cast<double>(static_cast<int64_t>(10000.0 * share(part, whole) + 0.5)) / 100.0;
}

}  // namespace

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

namespace {

// The barcode tail of a read as both passes take it: window_len bytes from
// start, plus up to extra bytes after them when the read has them.  False
// when the window runs past the end of the read.
bool barcode_tail(const std::string &seq, uint64_t start, uint64_t window_len, uint64_t extra, size_t *len) {
    const uint64_t n = seq.size();
    if (start > n || window_len > n - start) return false;
    *len = static_cast<size_t>(std::min<uint64_t>(n - start, window_len + extra));
    return true;
}

// A batch of reads: parsed on the reading thread, decided and formatted on a
// worker, written on the reading thread.
struct read_batch : window_batch {
    uint64_t seq_no = 0;
    std::vector<uint32_t> assigned;        // entry of each assigned read; top bit: not exact
    std::string out;
    std::string packed;                    // room for compressing out
    assign_counts counts;
    double decide_seconds = 0;
    double format_seconds = 0;

    size_t size() const { return rows.size(); }
    void clear() {
        clear_windows();
        assigned.clear();
        out.clear();
        counts = assign_counts();
    }
};

class batch_worker {
public:
    batch_worker(const decider &d, const whitelist &wl, const assign_options &opt)
        : decider_(d), wl_(wl), opt_(opt), extra_(d.tail_extra()) {}

    // Reads up to batch_size records into b; false when the input is done.
    bool fill(fastq_inputs &in, read_batch &b, std::string &name, std::string &seq, std::string &qual) const {
        b.clear();
        while (b.size() < opt_.batch_size && in.next(&name, &seq, &qual)) {
            size_t len = 0;
            const bool fits = barcode_tail(seq, opt_.barcode_start, opt_.barcode_length, extra_, &len);
            b.rows.add(name, fits ? std::string_view(seq).substr(static_cast<size_t>(opt_.barcode_start), len)
                                  : std::string_view(),
                       fits);
            if (fits) {
                const size_t at = b.rows.window_off.back();
                b.counts.lower_case_reads += fold_upper(b.rows.arena.data() + at, len);
                b.qual_off.push_back(b.rows.arena.size());
                b.rows.arena.append(qual, static_cast<size_t>(opt_.barcode_start), len);
            } else {
                b.qual_off.push_back(SIZE_MAX);
            }
            b.window_lens.push_back(fits ? static_cast<size_t>(opt_.barcode_length) : 1);
        }
        return b.size() > 0;
    }

    void process(read_batch &b) const {
        const double t0 = thread_cpu_seconds();
        b.decisions.resize(b.size());
        decider_.decide(b.view(), &b.scratch, b.decisions.data(), &b.counts.work);
        tally(b);
        const double t1 = thread_cpu_seconds();
        b.rows.window_len = opt_.barcode_length;
        format_rows(b.rows, b.decisions.data(), wl_, opt_.rescue, &b.out);
        b.decide_seconds = t1 - t0;
        b.format_seconds = thread_cpu_seconds() - t1;
    }

private:
    static void tally(read_batch &b) {
        assign_counts &c = b.counts;
        c.reads += b.size();
        for (const read_decision &d : b.decisions) {
            const vorn_rescue_result &r = d.result;
            ++c.status[status_slot(r.status)];
            if (r.status == VORN_STATUS_INVALID) continue;
            if (r.distance != UINT32_MAX) {
                if (c.by_best.size() <= r.distance) c.by_best.resize(size_t{r.distance} + 1);
                ++c.by_best[r.distance];
            }
            if (r.status != VORN_STATUS_UNIQUE) continue;
            if (d.exact) {
                ++c.exact;
                b.assigned.push_back(r.ref_index);
            } else {
                ++c.corrected;
                c.ties_broken += d.tie_broken;
                b.assigned.push_back(r.ref_index | rescued_bit);
            }
        }
    }

    const decider &decider_;
    const whitelist &wl_;
    const assign_options &opt_;
    uint64_t extra_;
};



}  // namespace

void rank_barcodes(barcode_tally *t) {
    t->order.clear();
    for (uint32_t i = 0; i < t->exact.size(); ++i)
        if (t->total(i) > 0) t->order.push_back(i);
    std::stable_sort(t->order.begin(), t->order.end(),
                     [t](uint32_t a, uint32_t b) { return t->total(a) > t->total(b); });
    std::vector<uint64_t> totals(t->order.size());
    for (size_t r = 0; r < totals.size(); ++r) totals[r] = t->total(t->order[r]);
    t->knee = knee_points(totals, 200);
    for (knee_point &p : t->knee) {
        p.exact = t->exact[t->order[p.rank - 1]];
        p.rescued = t->rescued[t->order[p.rank - 1]];
    }
}

std::string cells_list(const whitelist &wl, const barcode_tally &t, const cell_call &c,
                       const std::vector<std::string> &names) {
    std::string s;
    for (const uint32_t i : t.order) {
        if (!c.found || t.total(i) < c.threshold) break;
        if (names.empty()) s.append(wl.entry(i));
        else s.append(names[i]);
        s.push_back('\n');
    }
    return s;
}


void warn_about_whitelist(const whitelist &wl, const assign_options &opt, const warning_sink &warn) {
    if (wl.repeats_dropped)
        warn("warning: " + format_count(wl.repeats_dropped) +
             " whitelist entries repeat an earlier entry and are dropped; reads are assigned against the " +
             format_count(wl.size()) + " distinct entries");
    if (wl.lower_case_entries)
        warn("warning: " + format_count(wl.lower_case_entries) +
             " whitelist entries hold lower-case letters, read as upper case");
    if (!opt.hamming && opt.k > 2)
        warn("note: with --max-edits above 2 every read is compared with every whitelist entry");
}

namespace {

// Reads inputs above this size in all (about eight million gzip-compressed
// reads, or three million uncompressed) get the faster search's table at one
// error.
constexpr uint64_t large_run_bytes = uint64_t{256} << 20;

}  // namespace

void fill_barcode_length(assign_options *opt, const whitelist &wl) {
    if (opt->has_barcode_length) return;
    const size_t lo = wl.min_length, hi = wl.max_length;
    if (lo != hi)
        throw usage_error("whitelist entries have lengths from " + std::to_string(lo) + " to " +
                          std::to_string(hi) + ": give --barcode-length");
    opt->barcode_length = lo;
}

// The table the metric's search reads (the deletion table for edits, the
// piece tables for Hamming) makes the searches of reads with errors faster,
// but costs about half a second of build per million entries and 100 bytes
// each.  At one error it pays for itself on the real list only after
// several million reads, so a run builds it when its reads inputs are that
// large together.  At two or more errors every read with errors costs many
// times more without it, so it is always built.  Input of unknown size
// (reads from a pipe read once) counts for nothing, so that reads of
// unknown size alone decide by the bound.
uint32_t search_tables(const assign_options &opt, uint64_t reads_bytes) {
    const bool wanted = opt.k >= 2 || reads_bytes > large_run_bytes;
    if (!wanted) return VORN_INDEX_NO_DELETION | VORN_INDEX_NO_PIECES;
    return opt.hamming ? VORN_INDEX_NO_DELETION : VORN_INDEX_NO_PIECES;
}

void build_reference_index(reference *ref, uint32_t tables) {
    ref->index.reset(build_index(ref->list, tables));
}

std::vector<uint64_t> count_exact(const assign_options &opt, fastq_inputs &in, const decider &d, size_t n_entries) {
    std::vector<uint64_t> counts(n_entries, 0);
    progress_meter progress("reads counted");
    std::string name, seq, windows;
    std::vector<size_t> offs, lens;
    std::vector<const uint8_t *> q;
    std::vector<vorn_match> scratch;
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
        for (size_t i = 0; i < n; ++i) q[i] = reinterpret_cast<const uint8_t *>(windows.data() + offs[i]);
        d.count_exact({q.data(), lens.data(), nullptr, nullptr, n}, &scratch, counts.data());
        progress.update(in.records(), in.fraction_read());
    }
    progress.finish();
    return counts;
}

void assign_reads(const assign_options &opt, fastq_inputs &in, const decider &decide, const whitelist &wl,
                  output_file *out, assign_report *report) {
    const batch_worker worker(decide, wl, opt);
    assign_counts &totals = report->counts;
    barcode_tally &tally = report->tally;
    assign_timing &t = report->timing;
    tally.exact.assign(wl.size());
    tally.rescued.assign(wl.size());
    progress_meter progress("reads");
    const double start = now_seconds();
    std::string name, seq, qual;

    auto write_batch = [&](read_batch &b) {
        const double w0 = thread_cpu_seconds();
        if (out) out->write_member(b.out);
        t.write += thread_cpu_seconds() - w0;
        t.decide += b.decide_seconds;
        t.format += b.format_seconds;
        totals.add(b.counts);
        for (const uint32_t v : b.assigned) {
            if (v & rescued_bit) tally.rescued.add(v & ~rescued_bit);
            else tally.exact.add(v);
        }
        progress.update(totals.reads, in.fraction_read());
    };
    auto timed_fill = [&](read_batch &b) {
        const double p0 = thread_cpu_seconds();
        const bool more = worker.fill(in, b, name, seq, qual);
        t.parse += thread_cpu_seconds() - p0;
        return more;
    };

    // A compressed table is compressed here, each batch a gzip member of its
    // own, so that every thread deflates rather than the one that writes.
    run_in_order<read_batch>(
        opt.threads, timed_fill,
        [&worker, out](read_batch &b) {
            worker.process(b);
            if (out) out->pack(b.out, b.packed);
        },
        write_batch);
    t.wall = now_seconds() - start;
    progress.finish();
    rank_barcodes(&tally);
}

std::string counts_table(const whitelist &wl, const barcode_tally &t, const std::vector<std::string> &names) {
    const bool umis = !t.umis.empty();
    std::string s = umis ? "barcode\texact\trescued\ttotal\tumis\n" : "barcode\texact\trescued\ttotal\n";
    for (const uint32_t i : t.order) {
        if (names.empty()) s.append(wl.entry(i));
        else s.append(names[i]);
        s += "\t" + std::to_string(t.exact[i]) + "\t" + std::to_string(t.rescued[i]) + "\t" +
             std::to_string(t.total(i));
        if (umis) s += "\t" + std::to_string(t.umis[i]);
        s += "\n";
    }
    return s;
}


std::string summary_text(const assign_report &report) {
    const assign_options &opt = report.options;
    const assign_counts &c = report.counts;
    const barcode_tally &bt = report.tally;
    const assign_timing &t = report.timing;
    const double rate = t.reads_wall() > 0 ? static_cast<double>(c.reads) / t.reads_wall() : 0;
    std::string s = "velmora assign: " + format_count(c.reads) + " reads in " +
                    format_fixed(t.reads_wall(), 2) + " s (" + format_count(static_cast<uint64_t>(rate)) +
                    " reads/s, " + std::to_string(opt.threads) + " thread" +
                    (opt.threads == 1 ? "" : "s") + "), " +
                    (opt.hamming ? "max mismatches " : "max edits ") + std::to_string(opt.k) +
                    (opt.rescue ? ", rescue by posterior" : ", distance rule") +
                    (opt.hamming || opt.fixed_window ? "" : ", indel windows") + "\n";
    // A run over read structures may index several lists.
    std::string entries = format_count(report.whitelist_entries);
    std::vector<std::string> lists;
    for (const segment_report &sr : report.segments) {
        if (std::find(lists.begin(), lists.end(), sr.whitelist) != lists.end()) continue;
        entries = (lists.empty() ? "" : entries + " + ") + format_count(sr.whitelist_entries);
        lists.push_back(sr.whitelist);
    }
    s += std::string(lists.size() > 1 ? "  indexes of " : "  index of ") + entries + " barcodes built in " +
         format_fixed(t.build, 2) +
         " s (whitelist" + (lists.size() > 1 ? "s" : "") + " read in " + format_fixed(t.load, 2) + " s";
    if (report.spooled) {
        uint64_t bytes = 0;
        for (const reads_input_report &in : report.inputs) bytes += in.spool_bytes;
        s += ", reads spooled to " + format_fixed(static_cast<double>(bytes) / 1e6, 1) + " MB in " +
             format_fixed(t.spool, 2) + " s";
    }
    if (opt.rescue) s += ", exact counts in " + format_fixed(t.abundance, 2) + " s";
    s += ")\n";
    if (report.inputs.size() > 1)
        for (const reads_input_report &in : report.inputs)
            s += "  " + format_count(in.reads) + " reads from " + (in.path == "-" ? "standard input" : in.path) + "\n";
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
    if (!report.segments.empty()) {
        row("  shorter than structure", c.short_reads);
        for (const segment_report &sr : report.segments) {
            const std::string label = "segment " + sr.name + " assigned";
            std::snprintf(line, sizeof line, "  %-26s %14s %7s%%\n", label.c_str(), format_count(sr.status[1]).c_str(),
                          percent(sr.status[1], c.reads).c_str());
            s += line;
        }
    }
    for (size_t d = 0; d < c.by_best.size(); ++d) {
        if (c.by_best[d] == 0) continue;
        const std::string label = "best distance " + std::to_string(d);
        row(label.c_str(), c.by_best[d]);
    }
    s += "  barcodes with reads: " + format_count(bt.order.size()) + "\n";
    const cell_call &cells = report.cells;
    if (cells.found)
        s += "  cells: " + format_count(cells.cells) + " (" + format_count(cells.threshold) +
             " reads or more), holding " + percent(cells.reads_in_cells, c.status[1]) + "% of the assigned reads\n";
    else if (!bt.order.empty())
        s += "  cells: none called (reads per barcode show no valley between ambient and cells)\n";
    return s;
}

std::string summary_json(const assign_report &report) {
    const assign_options &opt = report.options;
    const assign_counts &c = report.counts;
    const barcode_tally &bt = report.tally;
    const assign_timing &t = report.timing;
    const double rate = t.reads_wall() > 0 ? static_cast<double>(c.reads) / t.reads_wall() : 0;
    json_value j = json_value::object();
    j.set("command", "assign");
    j.set("version", std::to_string(VELMORA_VERSION_MAJOR) + "." + std::to_string(VELMORA_VERSION_MINOR) +
                         "." + std::to_string(VELMORA_VERSION_PATCH));
    j.set("whitelist", json_value::path(opt.whitelist_path));
    j.set("whitelist_entries", report.whitelist_entries);
    j.set("whitelist_duplicates_dropped", report.whitelist_repeats_dropped);
    j.set("reads_file", json_value::path(opt.reads_paths.front()));
    json_value inputs = json_value::array();
    for (const reads_input_report &in : report.inputs)
        inputs.push(json_value::object()
                        .set("path", json_value::path(in.path))
                        .set("reads", in.reads)
                        .set("spool_bytes", in.spool_bytes));
    j.set("reads_files", inputs);
    j.set("metric", opt.hamming ? "hamming" : "edit");
    j.set("max_distance", opt.k);
    j.set("window", opt.hamming || opt.fixed_window ? "fixed" : "indel");
    if (report.segments.empty()) {
        j.set("barcode_start", opt.barcode_start);
        j.set("barcode_length", opt.barcode_length);
    } else {
        json_value rs = json_value::array();
        for (const std::string &text : opt.read_structures) rs.push(text);
        j.set("read_structures", rs);
        json_value segs = json_value::array();
        for (const segment_report &sr : report.segments) {
            json_value st = json_value::object();
            for (size_t slot = 0; slot < status_slots; ++slot) st.set(status_names[slot], sr.status[slot]);
            segs.push(json_value::object()
                          .set("name", sr.name)
                          .set("read", sr.read + 1)
                          .set("offset", sr.offset)
                          .set("length", sr.length)
                          .set("whitelist", json_value::path(sr.whitelist))
                          .set("whitelist_entries", sr.whitelist_entries)
                          .set("status", st));
        }
        j.set("segments", segs);
        j.set("short_reads", c.short_reads);
    }
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
    for (const knee_point &p : bt.knee)
        knee.push(json_value::array().push(p.rank).push(p.reads).push(p.exact).push(p.rescued));
    j.set("knee", json_value::object()
                      .set("axes", json_value::array().push("rank").push("reads").push("exact").push("rescued"))
                      .set("points", knee));
    const cell_call &cells = report.cells;
    json_value cj = json_value::object();
    cj.set("found", cells.found);
    cj.set("threshold", cells.threshold);
    cj.set("cells", cells.cells);
    cj.set("reads_in_cells", cells.reads_in_cells);
    cj.set("reads_in_cells_percent", percent_value(cells.reads_in_cells, c.status[1]));
    j.set("cells", cj);
    if (!bt.umis.empty()) {
        uint64_t molecules = 0;
        for (const uint32_t i : bt.order) molecules += bt.umis[i];
        j.set("umis", json_value::object()
                          .set("corrected", report.options.umi_correct)
                          .set("molecules", molecules)
                          .set("distinct_pairs", report.umi_pairs)
                          .set("pair_table_bytes", report.umi_pair_bytes)
                          .set("held_bytes", report.umi_held_bytes));
    }
    j.set("lower_case_reads", c.lower_case_reads);
    j.set("library_work", json_value::object()
                              .set("candidates", c.work.candidates)
                              .set("verifications", c.work.verifications));
    j.set("reads_per_second", static_cast<double>(static_cast<int64_t>(rate * 10 + 0.5)) / 10);
    j.set("index_build_seconds", t.build);
    j.set("wall_seconds", json_value::object()
                              .set("whitelist_read", t.load)
                              .set("reads_spool", t.spool)
                              .set("index_build", t.build)
                              .set("exact_counts", t.abundance)
                              .set("reads", t.wall)
                              .set("umis", t.umis)
                              .set("umi_rewrite", t.umi_rewrite));
    // Phase costs in thread CPU time, summed over the threads: parsing
    // (including decompression) and writing on the main thread; on the
    // workers, assignment (every search of the library, the rescue included)
    // and the formatting of the table's lines.
    j.set("cpu_seconds", json_value::object()
                             .set("parse", t.parse)
                             .set("assign", t.decide)
                             .set("format", t.format)
                             .set("write", t.write));
    return j.dump() + "\n";
}


void write_reports(const assign_report &report, const whitelist &wl, output_group *outputs) {
    const assign_options &opt = report.options;
    const barcode_tally &tally = report.tally;
    if (opt.summary.requested()) outputs->open(opt.summary)->write(summary_json(report));
    if (opt.counts.requested()) outputs->open(opt.counts)->write(counts_table(wl, tally, report.identities));
    if (opt.knee.requested()) {
        outputs->open(opt.knee)->write(knee_svg(tally.knee,
                                                "reads per barcode: " + format_count(tally.order.size()) +
                                                    " barcodes, " + format_count(report.counts.status[1]) +
                                                    " reads assigned",
                                                report.cells.found ? report.cells.threshold : 0));
    }
    if (opt.cells.requested()) outputs->open(opt.cells)->write(cells_list(wl, tally, report.cells, report.identities));
}

assign_report run_assign(const assign_options &options, const warning_sink &warn) {
    assign_report report;
    report.options = options;
    assign_options &opt = report.options;
    assign_timing &t = report.timing;
    if (!opt.read_structures.empty()) {
        run_structured(&report, warn);
        return report;
    }
    if (opt.whitelist_paths.size() > 1) throw usage_error("several --whitelist need --read-structure");
    if (!opt.out_fastq.empty() || opt.out_bam.requested())
        throw usage_error(std::string(opt.out_fastq.empty() ? "--out-bam" : "--out-fastq") +
                          " needs --read-structure (the template segments to write)");
    if (opt.reads_paths.empty()) throw usage_error("--reads is required");
    const auto stdin_reads = std::count(opt.reads_paths.begin(), opt.reads_paths.end(), "-");
    if (stdin_reads > 1) throw usage_error("--reads can name standard input ('-') only once");
    if (stdin_reads > 0 && opt.whitelist_path == "-")
        throw usage_error("--whitelist and --reads cannot both read standard input");
    // Every output is checked against the inputs and the other outputs
    // before anything is read.
    std::vector<input_path> inputs;
    for (const std::string &p : opt.reads_paths) inputs.push_back({"--reads", p});
    inputs.push_back({"--whitelist", opt.whitelist_path});
    plan_outputs(inputs, {&opt.out, &opt.summary, &opt.counts, &opt.knee, &opt.cells});

    double t0 = now_seconds();
    // Reads are upper-cased, so the entries are too.
    reference ref;
    ref.list = load_whitelist(opt.whitelist_path, {.max_line_length = opt.max_line_length, .compact = true});
    const whitelist &wl = ref.list;
    report.whitelist_entries = wl.size();
    report.whitelist_repeats_dropped = wl.repeats_dropped;
    fill_barcode_length(&opt, wl);
    warn_about_whitelist(wl, opt, warn);
    t.load = now_seconds() - t0;

    // With the rescue the reads are read twice; an input that cannot be read
    // again is spooled first.
    t0 = now_seconds();
    std::vector<std::unique_ptr<input_spool>> spools;
    for (const std::string &p : opt.reads_paths) {
        report.inputs.push_back({p});
        spools.push_back(opt.rescue && needs_spool(p) ? std::make_unique<input_spool>(p) : nullptr);
        report.inputs.back().spool_bytes = spools.back() ? spools.back()->spooled_bytes() : 0;
        report.spooled |= spools.back() != nullptr;
    }
    t.spool = report.spooled ? now_seconds() - t0 : 0;
    // A descriptor on each spooled copy for one pass; -1: read in place.
    auto pass_fds = [&spools] {
        std::vector<int> fds;
        for (const auto &sp : spools) fds.push_back(sp ? sp->take_reader() : -1);
        return fds;
    };
    // A missing file fails before the build.
    auto in = std::make_unique<fastq_inputs>(opt.reads_paths, pass_fds(), opt.max_line_length, opt.threads > 1);

    t0 = now_seconds();
    uint64_t reads_bytes = 0;  // a spooled input counts at its own size, not its copy's
    for (size_t i = 0; i < spools.size(); ++i) reads_bytes += spools[i] ? spools[i]->input_bytes() : in->size(i);
    build_reference_index(&ref, search_tables(opt, reads_bytes));
    t.build = now_seconds() - t0;

    std::vector<uint64_t> exact_counts;
    const decider decide(ref.index.get(), wl.size(), opt, exact_counts, &wl);
    if (opt.rescue) {
        t0 = now_seconds();
        fastq_inputs first(opt.reads_paths, pass_fds(), opt.max_line_length, opt.threads > 1);
        exact_counts = count_exact(opt, first, decide, wl.size());
        t.abundance = now_seconds() - t0;
    }

    output_group outputs;
    output_file *out = opt.out.requested() ? outputs.open(opt.out) : nullptr;
    if (out) out->write(table_header);
    assign_reads(opt, *in, decide, wl, out, &report);
    for (size_t i = 0; i < report.inputs.size(); ++i) report.inputs[i].reads = in->records_by_input()[i];
    const barcode_tally &tally = report.tally;
    {
        std::vector<uint64_t> totals(tally.order.size());
        for (size_t r = 0; r < totals.size(); ++r) totals[r] = tally.total(tally.order[r]);
        report.cells = call_cells(totals);
    }

    // Every output is complete before any is renamed into place.
    write_reports(report, wl, &outputs);
    outputs.commit();

    if (report.counts.lower_case_reads)
        warn("warning: " + format_count(report.counts.lower_case_reads) +
             " reads hold lower-case bases in the barcode; they were read as upper case");
    return report;
}

std::string unassigned_warning(const assign_report &report) {
    const assign_counts &c = report.counts;
    if (c.reads == 0 || 2 * c.status[1] >= c.reads) return "";
    if (!report.segments.empty())
        return "warning: " + percent(c.reads - c.status[1], c.reads) +
               "% of reads were not assigned; are the read structures right?";
    return "warning: " + percent(c.reads - c.status[1], c.reads) +
           "% of reads were not assigned; is the barcode window right? (--barcode-start " +
           std::to_string(report.options.barcode_start) + ", --barcode-length " +
           std::to_string(report.options.barcode_length) + ")";
}

}  // namespace velmora_pipeline
