// FASTQ record parser with record- and line-numbered errors.
#include "fastq.h"

#include <sys/stat.h>
#include <unistd.h>

#include <bit>
#include <cstdio>
#include <cstring>
#include <utility>

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

namespace {

constexpr uint64_t ones = 0x0101010101010101ull, highs = 0x8080808080808080ull;

uint64_t load_word(const char *p) {
    uint64_t w;
    std::memcpy(&w, p, sizeof w);
    return w;
}

// The high bit of each byte of w that is outside 0x21-0x7e (a space, a
// control byte, DEL or a byte past ASCII): no carry crosses a byte, since
// every byte sum below stays under 0x100.
uint64_t unprintable_bytes(uint64_t w) {
    const uint64_t low7 = w & ~highs;
    const uint64_t at_least_21 = (low7 + 0x5f * ones) & highs;
    const uint64_t is_7f = (low7 + ones) & highs;
    return (w & highs) | (~at_least_21 & highs) | is_7f;
}

// The high bit of each byte of w equal to b, exact for the lowest one.
uint64_t bytes_equal(uint64_t w, unsigned char b) {
    const uint64_t x = w ^ (b * ones);
    return (x - ones) & ~x & highs;
}

// True when every byte of s lies in 0x21-0x7e, eight at a time.
bool all_printable(std::string_view s) {
    const char *p = s.data();
    size_t n = s.size();
    uint64_t bad = 0;
    for (; n >= 8; p += 8, n -= 8) bad |= unprintable_bytes(load_word(p));
    for (; n > 0; ++p, --n) {
        const unsigned char c = static_cast<unsigned char>(*p);
        bad |= (c < 0x21 || c > 0x7e) ? 1 : 0;
    }
    return bad == 0;
}

// Where the read name ends: the first space or tab after the '@', or the
// end of the line.
size_t name_end(std::string_view line) {
    size_t i = 1;
    for (; std::endian::native == std::endian::little && i + 8 <= line.size(); i += 8) {
        const uint64_t w = load_word(line.data() + i);
        const uint64_t hit = bytes_equal(w, ' ') | bytes_equal(w, '\t');
        if (hit) return i + static_cast<size_t>(__builtin_ctzll(hit)) / 8;
    }
    while (i < line.size() && line[i] != ' ' && line[i] != '\t') ++i;
    return i;
}

}  // namespace

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
    const size_t end = name_end(line);
    name->assign(line.data() + 1, end - 1);

    if (!next_line(&line)) fail("truncated: the file ends after the header line");
    if (!all_printable(line))
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

fastq_inputs::fastq_inputs(const std::vector<std::string> &paths, std::vector<int> fds, uint64_t max_line_length,
                           bool read_ahead)
    : paths_(paths), fds_(std::move(fds)), sizes_(paths.size(), 0), by_input_(paths.size(), 0),
      max_line_(max_line_length), read_ahead_(read_ahead) {
    fds_.resize(paths_.size(), -1);
    try {
        for (size_t i = 0; i < paths_.size(); ++i) {
            struct stat st;
            const bool fifo = fds_[i] < 0 && paths_[i] != "-" && stat(paths_[i].c_str(), &st) == 0 &&
                              S_ISFIFO(st.st_mode);
            if (fds_[i] < 0 && !fifo) fds_[i] = open_input(paths_[i], "reads file");
            if (fds_[i] >= 0 && fstat(fds_[i], &st) == 0 && S_ISREG(st.st_mode))
                sizes_[i] = static_cast<uint64_t>(st.st_size);
            else
                sizes_known_ = false;
        }
    } catch (...) {
        for (const int fd : fds_)
            if (fd >= 0) close(fd);
        throw;
    }
}

fastq_inputs::~fastq_inputs() {
    reader_.reset();
    for (const int fd : fds_)
        if (fd >= 0) close(fd);
}

bool fastq_inputs::next(std::string *name, std::string *seq, std::string *qual) {
    for (;;) {
        if (!reader_) {
            if (at_ == paths_.size()) return false;
            reader_ = std::make_unique<fastq_reader>(paths_[at_], max_line_, read_ahead_, std::exchange(fds_[at_], -1));
        }
        if (reader_->next(name, seq, qual)) {
            ++records_;
            ++by_input_[at_];
            return true;
        }
        reader_.reset();
        done_bytes_ += sizes_[at_++];
    }
}

double fastq_inputs::fraction_read() const {
    uint64_t total = 0;
    for (const uint64_t s : sizes_) total += s;
    if (!sizes_known_ || total == 0) return -1.0;
    const uint64_t done = done_bytes_ + (reader_ ? reader_->bytes_consumed() : 0);
    return static_cast<double>(done) / static_cast<double>(total);
}

}  // namespace velmora_pipeline
