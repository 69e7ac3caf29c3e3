// FASTQ reading: four lines per record (@name, sequence, +, quality), plain
// or gzip.  Every record is checked as it is read, and a malformed or
// truncated one stops the run with its record and line number, so a damaged
// file is never taken for a shorter good one; so does a line above the
// reader's length limit.  Blank lines are accepted only at the end of the
// file.
#ifndef VELMORA_PIPELINE_FASTQ_H
#define VELMORA_PIPELINE_FASTQ_H

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "io.h"

namespace velmora_pipeline {

class fastq_reader {
public:
    // read_ahead, fd and byte_limit: see line_reader.
    explicit fastq_reader(const std::string &path, uint64_t max_line_length = default_max_line_length,
                          bool read_ahead = false, int fd = -1, uint64_t byte_limit = UINT64_MAX);

    // Reads the next record: name is the header up to the first space or
    // tab (without '@'), seq the sequence line, qual (may be null) the
    // quality line.  False at end of input.  Throws data_error for a
    // malformed or truncated record.
    bool next(std::string *name, std::string *seq, std::string *qual = nullptr);
    uint64_t records() const { return records_; }
    uint64_t bytes_consumed() const { return in_.bytes_consumed(); }

private:
    [[noreturn]] void fail(const std::string &problem) const;
    [[noreturn]] void fail_at(uint64_t line, const std::string &problem) const;
    bool next_line(std::string_view *line);

    line_reader in_;
    uint64_t records_ = 0;
    uint64_t blank_line_ = 0;  // first blank line seen where a header was due
};

// Part of an input: bytes [start, end) of a plain FASTQ file, cut at record
// starts (record_starts), and within them the records from number skip on,
// at most take of them.  A gzip file, which cannot be entered in the middle,
// is cut by records only: the skipped records are read and checked, not
// returned.  The whole input by default.
struct input_range {
    uint64_t start = 0;
    uint64_t end = UINT64_MAX;
    uint64_t skip = 0;
    uint64_t take = UINT64_MAX;
    bool whole_bytes() const { return start == 0 && end == UINT64_MAX; }
};

// Offsets cutting a plain FASTQ file into about `parts` pieces at record
// starts: 0, ..., the file size, strictly increasing.  A gzip file (which
// cannot be entered in the middle) or an empty one is one piece.  A line
// starting with '@' may be a quality line, so a header is taken only where
// the line two below starts with '+', the sequence and quality lines have
// the same length and the next header (or the end of the file) follows.
// Throws data_error naming the file.
std::vector<uint64_t> record_starts(const std::string &path, uint64_t parts);

// The records of several inputs (the lanes of one library), one input after
// another, as one stream.  Every input is opened at construction, so that a
// missing file fails before any work, except a FIFO: it is opened when its
// turn comes, since whatever feeds several FIFOs in turn would wait on the
// first while this waited on a later one.  Errors name the input and the
// record within it.
class fastq_inputs {
public:
    // fds[i] >= 0: read that descriptor (a spooled copy; owned from now on,
    // even when this throws) under the name paths[i].  read_ahead: see
    // line_reader.  ranges[i], when given, limits input i (a plain regular
    // file) to a byte range; errors then name the range.  Throws data_error.
    fastq_inputs(const std::vector<std::string> &paths, std::vector<int> fds, uint64_t max_line_length,
                 bool read_ahead, std::vector<input_range> ranges = {});
    ~fastq_inputs();
    fastq_inputs(const fastq_inputs &) = delete;
    fastq_inputs &operator=(const fastq_inputs &) = delete;

    // As fastq_reader::next, over the inputs in turn.
    bool next(std::string *name, std::string *seq, std::string *qual = nullptr);
    // Records read so far, in all and from each input.
    uint64_t records() const { return records_; }
    const std::vector<uint64_t> &records_by_input() const { return by_input_; }
    // The size of input i, 0 when unknown (a pipe, a FIFO).
    uint64_t size(size_t i) const { return sizes_[i]; }
    // The share of the inputs read so far, for progress; negative when the
    // size of one is unknown.
    double fraction_read() const;
    // The input the last record came from, and an input's name.
    size_t current_input() const { return at_; }
    const std::string &path(size_t i) const { return paths_[i]; }

private:
    void enter_range(size_t i);
    std::vector<std::string> paths_;
    std::vector<int> fds_;
    std::vector<input_range> ranges_;
    std::vector<uint64_t> sizes_, by_input_;
    uint64_t max_line_;
    bool read_ahead_;
    bool sizes_known_ = true;
    size_t at_ = 0;            // the input being read
    uint64_t done_bytes_ = 0;  // sizes of the inputs before it
    uint64_t records_ = 0;
    std::unique_ptr<fastq_reader> reader_;
};

struct fastq_record {
    std::string name, seq, qual;
};

// The parallel files of each lane (read 1, read 2, index reads), read in
// step: one record from each stream per call.  Their records must be the
// same reads in the same order: the names must agree up to a '/1', '/2'
// (any '/' and one digit) suffix, and every file of a lane must end with its
// mates.  Either fault is a data_error naming the file and the record.
class parallel_fastq {
public:
    // streams[j]: the files of read j, one per lane in lane order.
    explicit parallel_fastq(std::vector<std::unique_ptr<fastq_inputs>> streams);

    // Fills recs[0, streams) with the next read's records; false at the end
    // of every stream.
    bool next(std::vector<fastq_record> &recs);
    fastq_inputs &stream(size_t j) { return *streams_[j]; }
    size_t streams() const { return streams_.size(); }
    double fraction_read() const;

private:
    [[noreturn]] void unmatched(size_t has, size_t ended, size_t lane) const;
    std::vector<std::unique_ptr<fastq_inputs>> streams_;
};

// A read name as mates share it: without a trailing '/' and digit.
std::string_view mate_name(std::string_view name);

}  // namespace velmora_pipeline

#endif
