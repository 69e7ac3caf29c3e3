// Unaligned BAM out, through htslib: one unmapped record per template read,
// in input order, with the read's SAM tags.  Written like the other outputs:
// to a temporary file beside the target, renamed into place by publish()
// once every output of the run is complete; removed when not published.
#ifndef VELMORA_PIPELINE_BAM_H
#define VELMORA_PIPELINE_BAM_H

#include <string>
#include <string_view>

#include "output.h"

namespace velmora_pipeline {

class bam_writer {
public:
    // target: planned by plan_outputs; command_line goes into the @PG line;
    // threads > 1: compress on that many threads of htslib's own.  Throws
    // data_error.
    bam_writer(const output_target &target, const std::string &command_line, unsigned threads = 1);
    ~bam_writer();
    bam_writer(const bam_writer &) = delete;
    bam_writer &operator=(const bam_writer &) = delete;

    // Appends one read's records to out, in BAM's binary form: n (1 or 2)
    // template sequences and qualities (Phred + 33), tags as
    // "\tXX:Z:value" each.  Two make a pair (flags 77 and 141).  Safe to
    // call on several threads at once, so that the worker threads encode
    // and the writing thread only copies.  Throws data_error.
    void encode(std::string &out, std::string_view name, const std::string *seq, const std::string *qual,
                size_t n, std::string_view tags) const;
    // Writes records encode() made, in order.
    void write_encoded(std::string_view records);
    // Flushes and closes; then publish() renames it into place.
    void finish();
    void publish();

private:
    [[noreturn]] void fail(const std::string &what) const;
    output_target target_;
    std::string temp_path_;
    void *file_ = nullptr;    // samFile
    void *header_ = nullptr;  // sam_hdr_t
    int temp_slot_ = -1;
    bool published_ = false;
};

}  // namespace velmora_pipeline

#endif
