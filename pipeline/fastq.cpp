// FASTQ record parser with record- and line-numbered errors.
#include "fastq.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <bit>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <utility>

#include "base.h"

namespace velmora_pipeline {

fastq_reader::fastq_reader(const std::string &path, uint64_t max_line_length, bool read_ahead, int fd,
                           uint64_t byte_limit)
    : in_(path, "reads file", max_line_length, read_ahead, fd, byte_limit) {}

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
                           bool read_ahead, std::vector<input_range> ranges)
    : paths_(paths), fds_(std::move(fds)), ranges_(std::move(ranges)), sizes_(paths.size(), 0),
      by_input_(paths.size(), 0), max_line_(max_line_length), read_ahead_(read_ahead) {
    fds_.resize(paths_.size(), -1);
    ranges_.resize(paths_.size());
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
            if (!ranges_[i].whole_bytes()) enter_range(i);
        }
    } catch (...) {
        for (const int fd : fds_)
            if (fd >= 0) close(fd);
        throw;
    }
}

// Places input i's descriptor at the start of its range, which must lie in
// a plain regular file, and names the range for messages.
void fastq_inputs::enter_range(size_t i) {
    const input_range r = ranges_[i];
    const std::string where = "reads file '" + paths_[i] + "'";
    if (fds_[i] < 0 || (sizes_[i] == 0 && r.start > 0) || r.start > r.end || r.start > sizes_[i])
        throw data_error(where + ": cannot read bytes " + std::to_string(r.start) + " to " +
                         (r.end == UINT64_MAX ? std::string("the end") : std::to_string(r.end)) +
                         " of it (not a regular file of that size)");
    unsigned char magic[2];
    if (pread(fds_[i], magic, 2, 0) == 2 && magic[0] == 0x1f && magic[1] == 0x8b)
        throw data_error(where + " is gzip-compressed: it can only be read as a whole");
    if (lseek(fds_[i], static_cast<off_t>(r.start), SEEK_SET) < 0)
        throw data_error(where + ": " + std::strerror(errno));
    sizes_[i] = std::min(r.end, sizes_[i]) - r.start;
    paths_[i] += " (bytes from " + std::to_string(r.start) + ")";
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
            const input_range &r = ranges_[at_];
            reader_ = std::make_unique<fastq_reader>(paths_[at_], max_line_, read_ahead_, std::exchange(fds_[at_], -1),
                                                     r.whole_bytes() ? UINT64_MAX : r.end - r.start);
            while (reader_->records() < r.skip && reader_->next(name, seq, qual)) {
            }
        }
        if (by_input_[at_] < ranges_[at_].take && reader_->next(name, seq, qual)) {
            ++records_;
            ++by_input_[at_];
            return true;
        }
        reader_.reset();
        done_bytes_ += sizes_[at_++];
    }
}

namespace {

// Up to five whole lines of fd from offset (the last may lack its newline
// at the end of the file), without their newlines.
std::vector<std::string> lines_at(int fd, uint64_t offset, const std::string &path) {
    std::string text;
    char buf[1 << 16];
    size_t newlines = 0;
    while (newlines < 5) {
        const ssize_t got = pread(fd, buf, sizeof buf, static_cast<off_t>(offset + text.size()));
        if (got < 0) {
            if (errno == EINTR) continue;
            throw data_error("cannot read reads file '" + path + "': " + std::strerror(errno));
        }
        if (got == 0) break;
        newlines += static_cast<size_t>(std::count(buf, buf + got, '\n'));
        text.append(buf, static_cast<size_t>(got));
        if (text.size() > default_max_line_length * 5)
            throw data_error("reads file '" + path + "': no record start found near byte " +
                             std::to_string(offset) + " (lines above the length limit)");
    }
    std::vector<std::string> lines;
    size_t at = 0;
    while (lines.size() < 5 && at < text.size()) {
        size_t nl = text.find('\n', at);
        if (nl == std::string::npos) nl = text.size();
        std::string line = text.substr(at, nl - at);
        if (!line.empty() && line.back() == '\r') line.pop_back();
        lines.push_back(std::move(line));
        at = nl + 1;
    }
    return lines;
}

// Length of the line of fd that starts at offset, its newline included.
uint64_t line_length_at(int fd, uint64_t offset, const std::string &path) {
    char buf[1 << 16];
    uint64_t n = 0;
    for (;;) {
        const ssize_t got = pread(fd, buf, sizeof buf, static_cast<off_t>(offset + n));
        if (got < 0) {
            if (errno == EINTR) continue;
            throw data_error("cannot read reads file '" + path + "': " + std::strerror(errno));
        }
        if (got == 0) return n;
        const void *nl = std::memchr(buf, '\n', static_cast<size_t>(got));
        if (nl) return n + static_cast<uint64_t>(static_cast<const char *>(nl) - buf) + 1;
        n += static_cast<uint64_t>(got);
    }
}

// The first record start at or after offset (the file size when none).
uint64_t record_start_after(int fd, uint64_t offset, uint64_t size, const std::string &path) {
    uint64_t pos = offset;
    // A line begun before offset belongs to the record before.
    if (pos > 0) pos += line_length_at(fd, pos - 1, path) - 1;
    while (pos < size) {
        const std::vector<std::string> l = lines_at(fd, pos, path);
        if (l.size() >= 4 && !l[0].empty() && l[0][0] == '@' && !l[2].empty() && l[2][0] == '+' &&
            l[1].size() == l[3].size() && (l.size() == 4 || (!l[4].empty() && l[4][0] == '@')))
            return pos;
        pos += line_length_at(fd, pos, path);
    }
    return size;
}

}  // namespace

std::vector<uint64_t> record_starts(const std::string &path, uint64_t parts) {
    const int fd = open_input(path, "reads file");
    struct closer {
        int fd;
        ~closer() { close(fd); }
    } guard{fd};
    struct stat st;
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode))
        throw data_error("reads file '" + path + "' is not a regular file: it can only be read as a whole");
    const uint64_t size = static_cast<uint64_t>(st.st_size);
    unsigned char magic[2];
    const bool gzip = pread(fd, magic, 2, 0) == 2 && magic[0] == 0x1f && magic[1] == 0x8b;
    std::vector<uint64_t> cuts{0};
    if (!gzip && size > 0)
        for (uint64_t i = 1; i < parts; ++i) {
            const uint64_t at = record_start_after(fd, size / parts * i + size % parts * i / parts, size, path);
            if (at > cuts.back() && at < size) cuts.push_back(at);
        }
    cuts.push_back(size);
    return cuts;
}

double fastq_inputs::fraction_read() const {
    uint64_t total = 0;
    for (const uint64_t s : sizes_) total += s;
    if (!sizes_known_ || total == 0) return -1.0;
    const uint64_t done = done_bytes_ + (reader_ ? reader_->bytes_consumed() : 0);
    return static_cast<double>(done) / static_cast<double>(total);
}

std::string_view mate_name(std::string_view name) {
    const size_t n = name.size();
    if (n >= 2 && name[n - 2] == '/' && name[n - 1] >= '0' && name[n - 1] <= '9') return name.substr(0, n - 2);
    return name;
}

parallel_fastq::parallel_fastq(std::vector<std::unique_ptr<fastq_inputs>> streams) : streams_(std::move(streams)) {}

// Stream `has` holds a record of lane `lane` that stream `ended` has no mate
// for: that file of the lane ended first.
void parallel_fastq::unmatched(size_t has, size_t ended, size_t lane) const {
    const fastq_inputs &h = *streams_[has];
    throw data_error("reads file '" + h.path(lane) + "' record " + std::to_string(h.records_by_input()[lane]) +
                     " has no mate: reads file '" + streams_[ended]->path(lane) + "' ends after " +
                     std::to_string(streams_[ended]->records_by_input()[lane]) +
                     " records (the files of a lane must hold the same reads)");
}

bool parallel_fastq::next(std::vector<fastq_record> &recs) {
    const size_t n = streams_.size();
    recs.resize(n);
    bool any = false, all = true;
    for (size_t j = 0; j < n; ++j) {
        const bool got = streams_[j]->next(&recs[j].name, &recs[j].seq, &recs[j].qual);
        any |= got;
        all &= got;
    }
    if (!any) return false;
    // A stream in an earlier lane than another holds a record whose mate's
    // file has already ended.
    size_t lo = 0, hi = 0;
    for (size_t j = 0; j < n; ++j) {
        const size_t at = streams_[j]->current_input();
        if (at < streams_[lo]->current_input()) lo = j;
        if (at > streams_[hi]->current_input()) hi = j;
    }
    if (!all || streams_[lo]->current_input() != streams_[hi]->current_input()) {
        const size_t lane = streams_[lo]->current_input();
        for (size_t j = 0; j < n; ++j)
            if (streams_[j]->current_input() != lane) unmatched(lo, j, lane);
    }
    const std::string_view first = mate_name(recs[0].name);
    for (size_t j = 1; j < n; ++j) {
        if (mate_name(recs[j].name) == first) continue;
        const fastq_inputs &a = *streams_[0], &b = *streams_[j];
        const size_t lane = a.current_input();
        throw data_error("reads files '" + a.path(lane) + "' and '" + b.path(lane) + "' disagree at record " +
                         std::to_string(a.records_by_input()[lane]) + ": read '" + recs[0].name + "' against '" +
                         recs[j].name + "' (the files of a lane must hold the same reads in the same order)");
    }
    return true;
}

double parallel_fastq::fraction_read() const {
    double sum = 0;
    for (const auto &s : streams_) {
        const double f = s->fraction_read();
        if (f < 0) return -1.0;
        sum += f;
    }
    return streams_.empty() ? -1.0 : sum / static_cast<double>(streams_.size());
}

}  // namespace velmora_pipeline
