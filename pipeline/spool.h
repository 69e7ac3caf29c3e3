// Reads that cannot be read twice (standard input, a pipe, a FIFO, a
// device) copied to a temporary file, for a job that reads them more than
// once.
#ifndef VELMORA_PIPELINE_SPOOL_H
#define VELMORA_PIPELINE_SPOOL_H

#include <cstdint>
#include <cstdio>
#include <string>
#include <string_view>
#include <vector>

namespace velmora_pipeline {

// Whether a job that reads path again must spool it first: everything but a
// regular file.  A path that cannot be examined is left to the reader's own
// error.
bool needs_spool(const std::string &path);

// The copy is unlinked as soon as it exists: the descriptors opened on it
// first keep it readable, each at an offset of its own, and nothing is left
// behind however the run ends, SIGKILL included.  It goes to $TMPDIR (default
// /tmp) and takes at most the gzip size of the input: gzip input is copied as
// it is, anything else is gzip-compressed at level 1 on the way (the reader
// detects gzip by content, so the passes read either back alike).  Throws
// data_error.
class input_spool {
public:
    // passes: the readers wanted, one per pass over the copy (three at
    // most).
    explicit input_spool(const std::string &path, unsigned passes = 2);
    ~input_spool();
    input_spool(const input_spool &) = delete;
    input_spool &operator=(const input_spool &) = delete;

    // A descriptor on the copy, at its start, for one of the passes; the
    // caller owns it.
    int take_reader();
    // Bytes read from the input, and the size of the copy.
    uint64_t input_bytes() const { return input_bytes_; }
    uint64_t spooled_bytes() const { return spooled_bytes_; }

private:
    int readers_[3] = {-1, -1, -1};
    uint64_t input_bytes_ = 0, spooled_bytes_ = 0;
};

// What a pass keeps of each batch for a later one (the decisions of reads
// whose outputs wait for the corrected UMIs, known once every read has
// been read), in an
// unlinked temporary file in $TMPDIR: frames of byte strings, written in
// order by one thread and read back in order.  Throws data_error.
class held_batches {
public:
    held_batches();
    ~held_batches();
    held_batches(const held_batches &) = delete;
    held_batches &operator=(const held_batches &) = delete;

    void put(const std::vector<std::string_view> &parts);
    // The next frame, after the last put(); false at the end.
    bool get(std::vector<std::string> &parts);
    uint64_t bytes() const { return bytes_; }

private:
    std::FILE *file_ = nullptr;
    bool reading_ = false;
    uint64_t bytes_ = 0;
};

}  // namespace velmora_pipeline

#endif
