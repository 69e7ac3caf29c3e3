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
    uint64_t spool_bytes = 0;           // the copy of an input read twice; 0: read in place
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
