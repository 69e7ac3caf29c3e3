// File input and output for the tool.
//
// line_reader reads plain or gzip text through zlib, which passes bytes that
// do not start with the gzip magic through unchanged, so compression is
// detected by content rather than by file name.  Lines are returned as views
// into one growing buffer, without the newline and without a trailing CR.
//
// output_file never leaves a half-written result: it writes to a temporary
// file in the target's directory and renames it into place only in commit().
// A run that ends any other way (error, exception, SIGINT/SIGTERM) removes
// the temporary file.
#ifndef VELMORA_TOOL_IO_H
#define VELMORA_TOOL_IO_H

#include <cstdint>
#include <cstdio>
#include <string>
#include <string_view>
#include <vector>

namespace velmora_tool {

class line_reader {
public:
    // what names the input in error messages ("reads file", "whitelist").
    // path "-" reads standard input.  Throws data_error when it cannot open.
    line_reader(const std::string &path, const std::string &what);
    ~line_reader();
    line_reader(const line_reader &) = delete;
    line_reader &operator=(const line_reader &) = delete;

    // Next line into *line; false at end of input.  The view stays valid
    // until the next call.  Throws data_error on a read error or a
    // truncated gzip stream.
    bool next(std::string_view *line);
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

    void *gz_ = nullptr;  // gzFile, kept opaque so zlib.h stays out of this header
    std::string path_;
    std::string what_;
    std::vector<char> buf_;
    size_t begin_ = 0;
    size_t end_ = 0;
    bool eof_ = false;
    bool unterminated_ = false;
    uint64_t line_number_ = 0;
    uint64_t file_size_ = 0;
};

// Reads a whole (plain or gzip) file; throws data_error naming it.
std::string read_whole_file(const std::string &path, const std::string &what);

class output_file {
public:
    // path "-" (or empty) writes to standard output directly.
    output_file(const std::string &path, const std::string &what);
    ~output_file();
    output_file(const output_file &) = delete;
    output_file &operator=(const output_file &) = delete;

    void write(std::string_view data);
    // Flushes, closes and renames into place.  Throws data_error on failure
    // (and removes the temporary file).
    void commit();

private:
    void discard() noexcept;

    std::FILE *file_ = nullptr;
    std::string path_;
    std::string temp_path_;
    std::string what_;
    bool to_stdout_ = false;
    bool committed_ = false;
    int temp_slot_ = -1;
};

// Checks before any work starts that path's directory can take the output
// (so a long run does not fail at its end); "-" always passes.
void check_output_path(const std::string &path, const std::string &what);

}  // namespace velmora_tool

#endif
