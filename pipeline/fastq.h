// FASTQ reading: four lines per record (@name, sequence, +, quality), plain
// or gzip.  Every record is checked as it is read, and a malformed or
// truncated one stops the run with its record and line number, so a damaged
// file is never taken for a shorter good one; so does a line above the
// reader's length limit.  Blank lines are accepted only at the end of the
// file.
#ifndef VELMORA_PIPELINE_FASTQ_H
#define VELMORA_PIPELINE_FASTQ_H

#include <cstdint>
#include <string>

#include "io.h"

namespace velmora_pipeline {

class fastq_reader {
public:
    // read_ahead and fd: see line_reader.
    explicit fastq_reader(const std::string &path, uint64_t max_line_length = default_max_line_length,
                          bool read_ahead = false, int fd = -1);

    // Reads the next record: name is the header up to the first space or
    // tab (without '@'), seq the sequence line, qual (may be null) the
    // quality line.  False at end of input.  Throws data_error for a
    // malformed or truncated record.
    bool next(std::string *name, std::string *seq, std::string *qual = nullptr);
    uint64_t records() const { return records_; }
    uint64_t bytes_consumed() const { return in_.bytes_consumed(); }
    uint64_t file_size() const { return in_.file_size(); }

private:
    [[noreturn]] void fail(const std::string &problem) const;
    [[noreturn]] void fail_at(uint64_t line, const std::string &problem) const;
    bool next_line(std::string_view *line);

    line_reader in_;
    uint64_t records_ = 0;
    uint64_t blank_line_ = 0;  // first blank line seen where a header was due
};

}  // namespace velmora_pipeline

#endif
