// FASTQ record parser with record- and line-numbered errors.
#include "fastq.h"

#include <cstdio>

#include "base.h"

namespace velmora_pipeline {

fastq_reader::fastq_reader(const std::string &path, uint64_t max_line_length, bool read_ahead, int fd)
    : in_(path, "reads file", max_line_length, read_ahead, fd) {}

void fastq_reader::fail(const std::string &problem) const { fail_at(in_.line_number(), problem); }

void fastq_reader::fail_at(uint64_t line, const std::string &problem) const {
    throw data_error("reads file '" + in_.path() + "' record " + std::to_string(records_ + 1) +
                     " (line " + std::to_string(line) + "): " + problem);
}

// The reader's next line, with an over-long line reported by its record.
bool fastq_reader::next_line(std::string_view *line) {
    try {
        return in_.next(line);
    } catch (const line_too_long &e) {
        fail_at(e.line, "the line is longer than the limit of " + format_count(e.limit) +
                            " bytes (--max-line-length)");
    }
}

bool fastq_reader::next(std::string *name, std::string *seq, std::string *qual) {
    std::string_view line;
    for (;;) {
        if (!next_line(&line)) return false;
        if (!line.empty()) break;
        if (blank_line_ == 0) blank_line_ = in_.line_number();
    }
    if (blank_line_ != 0)
        throw data_error("reads file '" + in_.path() + "' line " + std::to_string(blank_line_) +
                         ": blank line between records");
    if (line.front() != '@') fail("expected a header line starting with '@'");
    size_t end = 1;
    while (end < line.size() && line[end] != ' ' && line[end] != '\t') ++end;
    name->assign(line.data() + 1, end - 1);

    if (!next_line(&line)) fail("truncated: the file ends after the header line");
    for (const char ch : line) {
        const unsigned char c = static_cast<unsigned char>(ch);
        if (c < 0x21 || c > 0x7e) {
            char hex[8];
            std::snprintf(hex, sizeof hex, "0x%02x", c);
            fail(std::string("the sequence line holds the byte ") + hex);
        }
    }
    seq->assign(line);

    if (!next_line(&line)) fail("truncated: the file ends after the sequence line");
    if (line.empty() || line.front() != '+') fail("expected a separator line starting with '+'");

    if (!next_line(&line)) fail("truncated: the file ends before the quality line");
    if (line.size() != seq->size()) {
        if (in_.last_line_unterminated() && line.size() < seq->size())
            fail("truncated: the quality line is cut short at the end of the file");
        fail("the quality line has " + std::to_string(line.size()) + " characters, the sequence " +
             std::to_string(seq->size()));
    }
    if (qual) qual->assign(line);
    ++records_;
    return true;
}

}  // namespace velmora_pipeline
