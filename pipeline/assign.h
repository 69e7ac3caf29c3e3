// The assign job: every read of one library's FASTQ files (one per lane)
// decided against a whitelist, and the table, counts, knee plot and summary
// written.  The velmora command
// and the Python extension both run it; it calls the library through its
// public header only.
//
// Two passes over the reads.  The first counts, for every whitelist entry,
// the reads whose barcode window matches it exactly, over all the inputs:
// how many reads a barcode already has is the best evidence of which of two
// close entries a read with errors came from.  The second decides every read
// (decide.h) and writes its line, input after input.  With the rescue off there is a single pass and the
// distance rule decides.
#ifndef VELMORA_PIPELINE_ASSIGN_H
#define VELMORA_PIPELINE_ASSIGN_H

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "cells.h"
#include "decide.h"
#include "fastq.h"
#include "io.h"
#include "knee.h"
#include "output.h"
#include "velmora.h"
#include "whitelist.h"

namespace velmora_pipeline {

struct assign_options {
    std::string whitelist_path;
    std::vector<std::string> reads_paths;  // in the order read; "-" is standard input
    // With read structures: one per file of a lane, in order; then lanes
    // holds each lane's files in that order (reads_paths, all of them one
    // after another), whitelist_paths one whitelist for every barcode
    // segment or one per barcode segment in order (whitelist_path is its
    // first), and segment_bounds, when not empty, each barcode segment's
    // bound (k is then the largest).
    std::vector<std::string> read_structures;
    std::vector<std::vector<std::string>> lanes;
    std::vector<std::string> whitelist_paths;
    std::vector<int32_t> segment_bounds;
    std::vector<output_target> out_fastq;  // one per read holding template segments
    output_target out_bam{"--out-bam", "unaligned BAM"};
    std::string command_line;              // for the BAM header's @PG line
    output_target out{"--out", "output", "-"};
    output_target summary{"--summary", "summary"};
    output_target counts{"--counts", "counts table"};
    output_target knee{"--knee-plot", "knee plot"};
    output_target cells{"--cells", "cells list"};
    uint64_t barcode_start = 0;
    uint64_t barcode_length = 0;
    bool has_barcode_length = false;  // else the whitelist's common length
    bool hamming = false;
    int32_t k = -1;
    unsigned threads = 1;
    size_t batch_size = 8192;
    bool rescue = true;
    bool fixed_window = false;
    // With UMI segments: molecules counted per barcode, UMIs corrected
    // within each barcode (else counted as read).
    bool umi_correct = true;
    uint64_t min_exact = 1;
    double prior_pseudocount = 1;
    double indel_weight = 0.1;
    double min_posterior = 0.975;
    uint64_t max_line_length = default_max_line_length;
};

inline constexpr size_t status_slots = 4;  // none, unique, ambiguous, invalid
extern const char *const status_names[status_slots];
size_t status_slot(uint32_t status);

// What the reads came to, summed over batches.
struct assign_counts {
    uint64_t reads = 0;
    vorn_stats work = {0, 0};  // the library's counters for the fixed-window searches
    uint64_t status[status_slots] = {0, 0, 0, 0};
    std::vector<uint64_t> by_best;  // reads by best distance (unique and ambiguous)
    uint64_t exact = 0;             // exact, unique matches
    uint64_t corrected = 0;         // assigned with errors
    uint64_t ties_broken = 0;       // ...of which two or more entries shared the best distance
    uint64_t lower_case_reads = 0;
    uint64_t short_reads = 0;       // shorter than their read structure

    void add(const assign_counts &o);
};

// Phase times: wall seconds of the phases before the reads, thread CPU
// seconds of the work on the reads, summed over the threads.
struct assign_timing {
    double load = 0, spool = 0, build = 0, abundance = 0, wall = 0;
    double parse = 0;   // reading, decompressing and parsing the reads
    double decide = 0;  // the library's searches and the rescue
    double format = 0;  // the table's lines
    double write = 0;   // writing (and compressing) the table
    double umis = 0;    // grouping the UMIs of every cell, after the reads
    double umi_rewrite = 0;  // the pass that writes the outputs that waited for the corrected UMIs

    // Wall seconds of the passes that decide and write the reads, for their
    // rate.
    double reads_wall() const { return wall + umi_rewrite; }
};

// Reads per entry: four bytes each until some entry passes 2^32 - 1, then
// eight for every entry (a list of millions of entries is held once more
// for each count, so the narrow form halves the run's largest arrays).
class entry_counts {
public:
    void assign(size_t n) {
        narrow_.assign(n, 0);
        std::vector<uint64_t>().swap(wide_);
    }
    size_t size() const { return wide_.empty() ? narrow_.size() : wide_.size(); }
    uint64_t operator[](size_t i) const { return wide_.empty() ? narrow_[i] : wide_[i]; }
    void add(size_t i) {
        if (wide_.empty()) {
            if (narrow_[i] != UINT32_MAX) {
                ++narrow_[i];
                return;
            }
            widen();
        }
        ++wide_[i];
    }
    void set(size_t i, uint64_t v) {
        if (wide_.empty()) {
            if (v <= UINT32_MAX) {
                narrow_[i] = static_cast<uint32_t>(v);
                return;
            }
            widen();
        }
        wide_[i] = v;
    }

private:
    void widen() {
        wide_.assign(narrow_.begin(), narrow_.end());
        std::vector<uint32_t>().swap(narrow_);
    }
    std::vector<uint32_t> narrow_;
    std::vector<uint64_t> wide_;
};

// Reads per whitelist entry from the second pass, and what the reports
// derive from them.
struct barcode_tally {
    entry_counts exact, rescued;
    std::vector<uint32_t> order;  // entries with reads, most reads first
    std::vector<uint64_t> umis;   // distinct (corrected) UMIs per entry; empty without UMIs
    std::vector<knee_point> knee;
    uint64_t total(uint32_t i) const { return exact[i] + rescued[i]; }
};

// One reads input as it was read.
struct reads_input_report {
    std::string path;
    uint64_t reads = 0;
    uint64_t spool_bytes = 0;  // the size of its temporary copy; 0: read in place
};

// A barcode segment of a read-structure run, and what its reads came to.
struct segment_report {
    std::string name;       // C1, C2, B1: kind and ordinal within the kind
    size_t read = 0;        // which file of a lane holds it
    uint64_t offset = 0, length = 0;
    std::string whitelist;
    uint64_t whitelist_entries = 0;
    uint64_t status[status_slots] = {0, 0, 0, 0};
};

struct assign_report {
    assign_options options;  // as run: the barcode length filled in
    uint64_t whitelist_entries = 0;
    uint64_t whitelist_repeats_dropped = 0;
    std::vector<reads_input_report> inputs;
    bool spooled = false;  // an input was copied to be read twice
    assign_counts counts;
    barcode_tally tally;
    cell_call cells;
    assign_timing timing;
    std::vector<std::string> warnings;  // what the caller should show the user
    // Read-structure runs: the barcode segments, and the cell identities
    // that tally counts (the corrected C segments joined by '-').
    std::vector<segment_report> segments;
    std::vector<std::string> identities;
    // Runs that count UMIs: the distinct (identity, UMI) pairs, and the
    // bytes their table took at its largest.
    uint64_t umi_pairs = 0, umi_pair_bytes = 0;
    // Decisions held in a temporary file until the UMIs were corrected.
    uint64_t umi_held_bytes = 0;
};

// Receives what the user should be told along the way ("warning: ...",
// "note: ..."), as soon as it is known.
using warning_sink = std::function<void(const std::string &)>;

// A whitelist and its index: what the passes share, read-only.
struct reference {
    whitelist list;
    std::unique_ptr<vorn_index, void (*)(vorn_index *)> index{nullptr, vorn_index_free};
};

// The barcode length when the option is absent: the whitelist's, which all
// its entries must then share (usage_error otherwise).
void fill_barcode_length(assign_options *opt, const whitelist &wl);

// The index tables worth building for a run of reads_bytes of reads inputs
// (0: unknown), as VORN_INDEX_NO_* flags; the records are the same whichever
// are built.
uint32_t search_tables(const assign_options &opt, uint64_t reads_bytes);
// Builds ref->index over ref->list; data_error when out of memory.
void build_reference_index(reference *ref, uint32_t tables);

// The first pass over in: reads per whitelist entry whose window matches it
// exactly (and only it).
std::vector<uint64_t> count_exact(const assign_options &opt, fastq_inputs &in, const decider &d, size_t n_entries);

// The second pass over in: decides every read, writes its line to out (null:
// nothing is written) and fills report's counts, tally and read timings.
// opt.barcode_length must be filled in.
void assign_reads(const assign_options &opt, fastq_inputs &in, const decider &d, const whitelist &wl,
                  output_file *out, assign_report *report);

// The --counts table; names[i] names tally entry i (an entry of wl when
// names is empty).
std::string counts_table(const whitelist &wl, const barcode_tally &t, const std::vector<std::string> &names = {});
std::string cells_list(const whitelist &wl, const barcode_tally &t, const cell_call &c,
                       const std::vector<std::string> &names = {});
// Orders the entries with reads (most first, ties by index) and draws the
// knee curve.
void rank_barcodes(barcode_tally *t);
void warn_about_whitelist(const whitelist &wl, const assign_options &opt, const warning_sink &warn);
// Upper-cases ASCII letters in place; true when there were lower-case ones.
bool fold_upper(char *p, size_t n);

// The job over read structures (structured.cpp): paired and index reads,
// several barcode segments, tagged FASTQ and BAM out.  run_assign hands over
// to it when read_structures is not empty; report->options is the options.
void run_structured(assign_report *report, const warning_sink &warn);
// The published outputs of any run: summary, counts, knee plot, cells.
void write_reports(const assign_report &report, const whitelist &wl, output_group *outputs);

// Runs the job: checks every output against the inputs before anything is
// read, reads, decides, writes, and publishes the outputs together.  Throws
// usage_error or data_error; then no output is published.
assign_report run_assign(const assign_options &options, const warning_sink &warn);

// A warning when most reads stayed unassigned (a wrong window, most often),
// else empty.
std::string unassigned_warning(const assign_report &report);

// The summary as the command prints it, and as the --summary JSON.
std::string summary_text(const assign_report &report);
std::string summary_json(const assign_report &report);

}  // namespace velmora_pipeline

#endif
