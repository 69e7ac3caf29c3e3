// File input and output for the tool.
//
// line_reader reads plain or gzip text, detected by content (the gzip magic
// at the start), not by file name.  A gzip file is read member by member and
// every member must decode: a damaged later member, or bytes after the last
// one, stop the run with the byte offset, since a reader that stopped there
// quietly would hand back a fraction of the data as if it were all of it.
// Lines are returned as views into one buffer, without the newline and
// without a trailing CR; a line longer than a limit stops the run before the
// buffer outgrows it.
//
// Output files live in output.h; the registry of temporary files that a
// signal handler removes lives here with the handlers.
#ifndef VELMORA_PIPELINE_IO_H
#define VELMORA_PIPELINE_IO_H

#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "base.h"

namespace velmora_pipeline {

// Longest line accepted by default, without its newline: far above any read
// or barcode, far below what a hostile gzip file (gigabytes on one line) can
// make a reader try to hold.
inline constexpr uint64_t default_max_line_length = uint64_t{64} << 20;
// Bounds of the --max-line-length option.
inline constexpr int64_t max_line_length_option_max = int64_t{1} << 40;

// A line above the limit.  line is its 1-based number, so that a caller
// can name the record it belongs to.
struct line_too_long : data_error {
    line_too_long(const std::string &message, uint64_t line_number, uint64_t limit_bytes)
        : data_error(message), line(line_number), limit(limit_bytes) {}
    uint64_t line;
    uint64_t limit;
};

class byte_source;
class read_ahead;

class line_reader {
public:
    // what names the input in error messages ("reads file", "whitelist").
    // path "-" reads standard input.  Throws data_error when it cannot open.
    // With read_ahead, a nonempty regular file is read and decompressed by a
    // thread of its own, ahead of the caller.  fd >= 0: read that open
    // descriptor (owned from now on, even when this throws) from where it
    // stands, under the name path.  byte_limit: decoded bytes read at most
    // (a byte range of a plain file, with fd placed at its start).
    line_reader(const std::string &path, const std::string &what,
                uint64_t max_line_length = default_max_line_length, bool read_ahead = false,
                int fd = -1, uint64_t byte_limit = UINT64_MAX);
    ~line_reader();
    line_reader(const line_reader &) = delete;
    line_reader &operator=(const line_reader &) = delete;

    // Next line into *line; false at end of input.  The view stays valid
    // until the next call.  Throws data_error on a read error or damaged
    // gzip data (naming the byte offset), and line_too_long for a line
    // above the limit.
    bool next(std::string_view *line);
    // The next run of whole lines, each with its newline, as much as the
    // buffer holds; at the end of input, the last line when it has no
    // newline.  False at end of input.  For a caller that splits the lines
    // itself (one pass over the bytes instead of a call per line), who then
    // checks each line against the limit and counts lines (line_number()
    // does not); lines_before, the lines the caller has seen, numbers a
    // line that alone outgrows the limit, which is stopped here.  Not to be
    // mixed with next().
    bool next_lines(std::string_view *text, uint64_t lines_before);
    // Throws line_too_long for the given line.
    [[noreturn]] void too_long(uint64_t line) const;
    // The longest line accepted.
    size_t max_line_length() const { return max_line_; }
    // 1-based number of the line last returned.
    uint64_t line_number() const { return line_number_; }
    // True when the last line returned ended at end of input without a
    // newline.
    bool last_line_unterminated() const { return unterminated_; }
    // Compressed (on-disk) bytes consumed so far, and the file size (0 when
    // unknown, e.g. a pipe), for progress reports.
    uint64_t bytes_consumed() const;
    uint64_t file_size() const { return file_size_; }
    const std::string &path() const { return path_; }
    const std::string &what() const { return what_; }

private:
    bool fill();

    std::unique_ptr<byte_source> src_;
    std::unique_ptr<read_ahead> ahead_;  // null: read in the caller's thread
    std::string path_;
    std::string what_;
    std::vector<char> buf_;
    size_t max_line_ = 0;
    size_t begin_ = 0;
    size_t end_ = 0;
    bool eof_ = false;
    bool unterminated_ = false;
    uint64_t line_number_ = 0;
    uint64_t file_size_ = 0;
    uint64_t left_;  // bytes still allowed
};

// Opens an input for reading ("-": standard input), as line_reader does
// when it is given no descriptor; what names it in errors.  Throws
// data_error when it cannot be opened or is a directory.
int open_input(const std::string &path, const std::string &what);

// Reads a whole (plain or gzip) file; throws data_error naming it.
std::string read_whole_file(const std::string &path, const std::string &what);

// Temporary files that a terminating signal must remove (the handlers are
// install_signal_handlers' in tool.h): register returns a
// slot (-1 when none is free or the path is too long), unregister frees it
// (-1 is ignored).
int register_temp_file(const std::string &path);
void unregister_temp_file(int slot);

}  // namespace velmora_pipeline

#endif
