// The tag job: the records of a BAM file (aligned or not) written back in
// input order with the corrected barcode added as CB:Z, the raw barcode
// taken from a tag of each record (CR, its qualities from CY) or from its
// name.  It calls the library through decide.h, as assign does.
//
// The same two passes and the same decision as assign (assign.h): the first
// counts, for every whitelist entry, the templates whose raw barcode equals
// it, over the whole file; the second decides every record with those
// counts as the prior.  A template counts once: its primary record, and of
// a pair read 1 only, so that neither mates nor secondary and supplementary
// alignments weigh a barcode twice.  Every record is then decided on its
// own; the records of one template carry the same raw barcode and
// qualities, and the decision is a function of those and the counts alone,
// so they all get the same CB.
//
// With a UMI tag, the records' UMIs are corrected within each cell (umi.h:
// the cell is the record's CB entry) and written as UB.  A correction is
// known only once every UMI has been counted, so the second pass decides
// and counts without writing, holding each record's decision (its entry)
// in a temporary file, and a third pass reads the file again and writes
// it with CB and UB.  The UMIs that count are those of the records that
// count a barcode, assigned a CB; every record assigned a CB whose UMI has
// a code of the run's length gets UB, its (cell, UMI) pair's correction,
// so that a template's records agree.
//
// The calling thread reads records and writes them; worker threads take
// the barcodes out of batches of records and decide them (ordered.h);
// htslib's own thread pool inflates and deflates the BGZF blocks.
#ifndef VELMORA_PIPELINE_TAG_H
#define VELMORA_PIPELINE_TAG_H

#include <cstdint>
#include <string>

#include "assign.h"
#include "output.h"

namespace velmora_pipeline {

// Where a record's raw sequence and its qualities are.  The sequence is a
// string tag's whole value, or with name_pattern (a POSIX extended regular
// expression) the first capture group of its first match in the read name.
// The qualities (Phred + 33) come from quality_tag when the record has it
// as a string of the sequence's length; otherwise every base is taken at
// the library's default error probability, as for reads without
// qualities.  A corrected UMI (UR/UY into UB) would be a second source.
struct sequence_source {
    std::string tag = "CR";
    std::string quality_tag = "CY";
    std::string name_pattern;
};

struct tag_options {
    // The whitelist, the bound and the decision's parameters, threads and
    // batch size, as assign takes them; the barcode window options are not
    // used (the barcode is the whole raw sequence).
    assign_options match;
    std::string bam_path;  // "-": standard input (spooled when read twice)
    output_target out{"--out", "BAM output"};
    output_target summary{"--summary", "summary"};
    sequence_source barcode;
    // A record without a barcode: an error naming it (false), or written
    // without CB and counted (true).
    bool pass_missing = false;
    // The string tag of the raw UMI; empty: no UMIs, and no UB written or
    // removed.  Grouped unless match.umi_correct is false.
    std::string umi_tag;
};

struct tag_report {
    tag_options options;
    uint64_t whitelist_entries = 0;
    uint64_t records = 0;              // written
    uint64_t templates_counted = 0;    // records of the first pass that gave the prior
    uint64_t missing_barcode = 0;      // records passed without a barcode
    uint64_t status[status_slots] = {0, 0, 0, 0};  // records with a barcode, by decision
    uint64_t exact = 0, corrected = 0;  // assigned records, exact or with errors
    uint64_t lower_case = 0;            // barcodes with lower-case bases, read as upper case
    uint64_t spool_bytes = 0;           // the copy of an input read again; 0: read in place
    // With a UMI tag.  The UMI length is the first counted UMI's (0: none
    // counted); templates: the records that counted a (cell, UMI) pair.
    // Of the records assigned a CB: with UB, without the UMI tag, and with
    // a UMI that has no code (a byte other than A/C/G/T, empty, longer than
    // umi_max_length) or is of another length.
    uint64_t umi_length = 0;
    uint64_t umi_templates = 0;
    uint64_t umi_set = 0, umi_missing = 0, umi_unusable = 0;
    uint64_t umi_pairs = 0, umi_pair_bytes = 0, umi_molecules = 0;
    uint64_t held_bytes = 0;            // the decisions held for the third pass
    double umi_seconds = 0;             // wall seconds of the grouping
    double write_seconds = 0;           // wall seconds of the third pass
    double count_seconds = 0;           // wall seconds of the first pass
    double wall = 0;                    // wall seconds, whole run
};

// Runs the job: checks the outputs before anything is read, reads, decides,
// writes, and publishes the BAM and the summary together.  Throws
// usage_error or data_error; then no output is published.
tag_report run_tag(const tag_options &options, const warning_sink &warn);

// The summary as the command prints it, and as the --summary JSON.
std::string tag_summary_text(const tag_report &report);
std::string tag_summary_json(const tag_report &report);

}  // namespace velmora_pipeline

#endif
