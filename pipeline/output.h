// Output files of the tool, and the checks made before a run reads anything.
//
// An output path is resolved first: symlinks are followed, so a link keeps
// pointing at its target and the target is what gets replaced.  Then:
//   - a new path, or an existing regular file, is written to a temporary file
//     in the target's directory and renamed into place only when every
//     output of the run is complete (output_group::commit);
//   - anything else that exists (a FIFO, a character device) is written
//     directly, and any write error fails the run;
//   - "-" is standard output.
// A name ending in ".gz" is written gzip-compressed.
//
// plan_outputs() refuses, before any input is read, an output that is one of
// the inputs or another output: by device and inode for files that exist, by
// canonical path for files not yet created.
#ifndef VELMORA_PIPELINE_OUTPUT_H
#define VELMORA_PIPELINE_OUTPUT_H

#include <cstdio>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace velmora_pipeline {

// One output as the command line names it, and how it will be written.
struct output_target {
    output_target(std::string option_name, std::string description, std::string path = "")
        : option(std::move(option_name)), what(std::move(description)), given(std::move(path)) {}

    std::string option;    // "--out", "--summary", ...: names it in messages
    std::string what;      // "output", "summary", ...
    std::string given;     // the path as given; empty: not requested
    std::string resolved;  // symlinks followed; "-" for standard output
    bool to_stdout = false;
    bool direct = false;   // an existing FIFO or device: written in place
    bool gzip = false;

    bool requested() const { return !given.empty(); }
};

// An input the outputs must not name.
struct input_path {
    std::string option;  // "--reads", "--whitelist"
    std::string path;    // "-" is standard input
};

// Resolves every requested output and checks it against the inputs and the
// other outputs (usage_error) and against the file system: an output that is
// a directory, or whose directory cannot take a new file (data_error).
void plan_outputs(const std::vector<input_path> &inputs, const std::vector<output_target *> &outputs);

// data as one complete gzip member at the outputs' level, into member.
// Safe to call from several threads at once.
void gzip_member(std::string_view data, std::string &member);

// data as BGZF blocks (gzip members of at most 64 KiB that say their size,
// as BAM files are made of), at the outputs' level, into blocks.  Safe to
// call from several threads at once.
void bgzf_blocks(std::string_view data, std::string &blocks);

class output_file {
public:
    explicit output_file(const output_target &target);
    // Writes to fd, a descriptor open on what target names (owned from now
    // on, even when this throws), in place like a direct output.
    output_file(const output_target &target, int fd);
    ~output_file();
    output_file(const output_file &) = delete;
    output_file &operator=(const output_file &) = delete;

    // Throws data_error naming the output on any write error.
    void write(std::string_view data);
    // Whether write() compresses (a name ending in ".gz").
    bool compressed() const { return gz_ != nullptr; }
    // Appends a complete gzip member (a gzip file holds any sequence of
    // them); what write() had begun is ended as a member of its own first.
    // Without compression, writes the text as write() does.
    void write_member(std::string_view member);
    // For write_member(): turns text into one gzip member when this output
    // compresses (room: the caller's scratch, swapped with text); nothing
    // otherwise.  Safe to call from several threads at once.
    void pack(std::string &text, std::string &room) const;
    // A descriptor of the caller's own on the file, for a writer that
    // buffers and compresses by itself (htslib's BAM writer): what it writes
    // follows what write() wrote.  The caller closes it after its last write
    // and before finish(), which syncs and publishes the file as any other.
    // Not for an output that compresses.  Throws data_error.
    int shared_descriptor();
    // Flushes and closes; the data is on disk (temporary) or delivered
    // (direct, standard output).  Throws data_error on failure.
    void finish();
    // Renames a finished temporary file into place (nothing for direct
    // outputs).  Throws data_error on failure.
    void publish();
    bool renamed_into_place() const { return !target_.direct && !target_.to_stdout; }

private:
    void attach(int fd);
    void fail(int err);
    void discard() noexcept;

    output_target target_;
    std::string temp_path_;
    int temp_slot_ = -1;
    std::FILE *file_ = nullptr;
    struct deflater;
    std::unique_ptr<deflater> gz_;  // when compressing
    bool finished_ = false;
    bool published_ = false;
};

// The outputs of one run, committed together: every temporary file and every
// direct output is finished first, and only when all succeeded are the
// temporary files renamed into place.  Outputs not committed are removed.
class output_group {
public:
    void add(std::unique_ptr<output_file> file) { files_.push_back(std::move(file)); }
    // Opens target and adds it; the group keeps it.
    output_file *open(const output_target &target) {
        add(std::make_unique<output_file>(target));
        return files_.back().get();
    }
    void commit();

private:
    std::vector<std::unique_ptr<output_file>> files_;
};

}  // namespace velmora_pipeline

#endif
