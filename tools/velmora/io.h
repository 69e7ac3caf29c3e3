// File input and output for the tool.
//
// line_reader reads plain or gzip text through zlib, which passes bytes that
// do not start with the gzip magic through unchanged, so compression is
// detected by content rather than by file name.  Lines are returned as views
// into one growing buffer, without the newline and without a trailing CR.
//
// Output files live in output.h; the registry of temporary files that a
// signal handler removes lives here with the handlers.
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

// Temporary files that SIGINT and SIGTERM must remove: register returns a
// slot (-1 when none is free or the path is too long), unregister frees it
// (-1 is ignored).
int register_temp_file(const std::string &path);
void unregister_temp_file(int slot);

}  // namespace velmora_tool

#endif
