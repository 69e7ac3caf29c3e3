// Unaligned BAM out: one unmapped record per template read, in input order,
// with the read's SAM tags.  The records are encoded and compressed into
// BGZF blocks by the worker threads (encode, then bgzf_blocks); the writer
// appends the blocks to an output file of the run's output group, so the
// BAM is written, committed and removed like every other output.
#ifndef VELMORA_PIPELINE_BAM_H
#define VELMORA_PIPELINE_BAM_H

#include <string>
#include <string_view>

#include "output.h"

namespace velmora_pipeline {

// A value for a header line: tabs and line breaks, which would end its
// field or line, become spaces.
std::string header_value(std::string s);

class bam_writer {
public:
    // Writes the header (command_line goes into the @PG line) to out, which
    // the caller's output group owns.  Throws data_error.
    bam_writer(output_file *out, const output_target &target, const std::string &command_line);

    // Appends one read's records to out, in BAM's binary form: n (1 or 2)
    // template sequences and qualities (Phred + 33), tags as
    // "\tXX:Z:value" each.  Two make a pair (flags 77 and 141).  Safe to
    // call on several threads at once.  Throws data_error.
    void encode(std::string &out, std::string_view name, const std::string *seq, const std::string *qual,
                size_t n, std::string_view tags) const;
    // Writes BGZF blocks of encoded records, in order.
    void write_blocks(std::string_view blocks) { out_->write(blocks); }
    // Writes the end-of-file block; the output group then commits the file.
    void end();

private:
    [[noreturn]] void fail(const std::string &what) const;
    output_file *out_;
    output_target target_;
};

}  // namespace velmora_pipeline

#endif
