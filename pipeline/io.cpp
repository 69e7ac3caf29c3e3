// File input: the line reader over plain or multi-member gzip input; and
// the temporary files a signal removes.
#include "io.h"

#include <fcntl.h>
#include <signal.h>
#include <isa-l/igzip_lib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <exception>
#include <mutex>
#include <new>
#include <thread>
#include <utility>

#include "base.h"

namespace velmora_pipeline {

namespace {

std::string errno_text(int err) { return std::strerror(err); }

// Temporary output files that a signal handler must remove.  The handler may
// only call async-signal-safe functions, so the paths live in fixed slots of
// plain char arrays, published with an atomic flag.
constexpr int temp_slot_count = 8;
constexpr size_t temp_path_max = 4096;
char temp_paths[temp_slot_count][temp_path_max];
std::atomic<int> temp_used[temp_slot_count];
std::mutex temp_mutex;
std::once_flag signal_once;

extern "C" void remove_temps_and_exit(int sig) {
    for (int i = 0; i < temp_slot_count; ++i)
        if (temp_used[i].load() == 1) unlink(temp_paths[i]);
    signal(sig, SIG_DFL);
    raise(sig);
}

// Every signal whose default action ends the process, but for the ones that
// report a fault of the process itself (SIGSEGV, SIGABRT, ...), where the
// state the handler would read cannot be trusted.
constexpr int terminating_signals[] = {SIGHUP,  SIGINT,    SIGQUIT, SIGTERM, SIGPIPE, SIGALRM,
                                       SIGUSR1, SIGUSR2,   SIGPOLL, SIGPROF, SIGVTALRM};

}  // namespace

void install_signal_handlers() {
    std::call_once(signal_once, [] {
        struct sigaction sa;
        std::memset(&sa, 0, sizeof sa);
        sa.sa_handler = remove_temps_and_exit;
        sigemptyset(&sa.sa_mask);
        for (const int sig : terminating_signals) sigaddset(&sa.sa_mask, sig);
        for (const int sig : terminating_signals) {
            struct sigaction old;
            if (sigaction(sig, nullptr, &old) == 0 && old.sa_handler == SIG_IGN) continue;
            sigaction(sig, &sa, nullptr);
        }
        signal(SIGXFSZ, SIG_IGN);
    });
}

namespace {

int register_temp(const std::string &path) {
    if (path.size() >= temp_path_max) return -1;
    install_signal_handlers();
    std::lock_guard<std::mutex> lock(temp_mutex);
    for (int i = 0; i < temp_slot_count; ++i) {
        if (temp_used[i].load() == 0) {
            std::memcpy(temp_paths[i], path.c_str(), path.size() + 1);
            temp_used[i].store(1);
            return i;
        }
    }
    return -1;
}

void unregister_temp(int slot) {
    if (slot < 0) return;
    std::lock_guard<std::mutex> lock(temp_mutex);
    temp_used[slot].store(0);
}

}  // namespace

// ---------------------------------------------------------------- input

// The decoded bytes of a file: passed through when plain, inflated member by
// member when it starts with the gzip magic.  Inflation is ISA-L's, about
// twice as fast as zlib's on reads and lists (BENCHMARKS.md); its state is
// one allocation, made when the input turns out to be gzip.
class byte_source {
public:
    byte_source(int fd, std::string path, std::string what)
        : fd_(fd), path_(std::move(path)), what_(std::move(what)), in_(1 << 18) {}
    ~byte_source() { close(fd_); }
    byte_source(const byte_source &) = delete;
    byte_source &operator=(const byte_source &) = delete;

    // Up to n decoded bytes into dst; 0 only at the end of the input.
    size_t read(char *dst, size_t n);
    // Bytes of the file consumed so far.
    uint64_t consumed() const { return raw_read_ - (in_end_ - in_pos_); }

private:
    // Reads more of the file after the unread bytes, until at least want are
    // unread or the file ends; false when fewer than want are there.
    bool have(size_t want);
    void start();
    size_t inflate_into(char *dst, size_t n);
    [[noreturn]] void fail(const std::string &problem) const {
        throw data_error("cannot read " + what_ + " '" + path_ + "': " + problem);
    }

    int fd_;
    std::string path_, what_;
    std::vector<unsigned char> in_;
    size_t in_pos_ = 0, in_end_ = 0;
    uint64_t raw_read_ = 0;
    bool file_eof_ = false;
    bool started_ = false;
    std::unique_ptr<inflate_state> zs_;  // null for plain input
    bool in_member_ = false;
    uint64_t member_start_ = 0;
};

bool byte_source::have(size_t want) {
    while (in_end_ - in_pos_ < want && !file_eof_) {
        if (in_pos_ > 0) {
            std::memmove(in_.data(), in_.data() + in_pos_, in_end_ - in_pos_);
            in_end_ -= in_pos_;
            in_pos_ = 0;
        }
        const ssize_t got = ::read(fd_, in_.data() + in_end_, in_.size() - in_end_);
        if (got < 0) {
            if (errno == EINTR) continue;
            fail(errno_text(errno));
        }
        if (got == 0) file_eof_ = true;
        in_end_ += static_cast<size_t>(got);
        raw_read_ += static_cast<uint64_t>(got);
    }
    return in_end_ - in_pos_ >= want;
}

void byte_source::start() {
    started_ = true;
    if (!have(2) || in_[in_pos_] != 0x1f || in_[in_pos_ + 1] != 0x8b) return;
    try {
        zs_ = std::make_unique<inflate_state>();
    } catch (const std::bad_alloc &) {
        fail("out of memory");
    }
    isal_inflate_init(zs_.get());
}

size_t byte_source::read(char *dst, size_t n) {
    if (!started_) start();
    if (zs_) return inflate_into(dst, n);
    if (in_pos_ < in_end_) {
        const size_t k = std::min(n, in_end_ - in_pos_);
        std::memcpy(dst, in_.data() + in_pos_, k);
        in_pos_ += k;
        return k;
    }
    for (;;) {
        const ssize_t got = ::read(fd_, dst, n);
        if (got >= 0) {
            raw_read_ += static_cast<uint64_t>(got);
            return static_cast<size_t>(got);
        }
        if (errno != EINTR) fail(errno_text(errno));
    }
}

size_t byte_source::inflate_into(char *dst, size_t n) {
    inflate_state &zs = *zs_;
    const uint32_t want = n > (1u << 30) ? (1u << 30) : static_cast<uint32_t>(n);
    for (;;) {
        if (!in_member_) {
            // Between members: the input ends here, or another member
            // starts; anything else is damage that must not pass unseen.
            if (!have(1)) return 0;
            const uint64_t at = consumed();
            if (!have(2) || in_[in_pos_] != 0x1f || in_[in_pos_ + 1] != 0x8b)
                fail("unexpected data at byte " + std::to_string(at) +
                     " after a gzip member (a damaged member or trailing bytes)");
            isal_inflate_reset(&zs);
            // Header parsed, CRC and length of the trailer checked.
            zs.crc_flag = ISAL_GZIP;
            in_member_ = true;
            member_start_ = at;
        }
        if (in_pos_ == in_end_) have(1);
        zs.next_in = in_.data() + in_pos_;
        zs.avail_in = static_cast<uint32_t>(in_end_ - in_pos_);
        zs.next_out = reinterpret_cast<uint8_t *>(dst);
        zs.avail_out = want;
        const int rc = isal_inflate(&zs);
        in_pos_ = in_end_ - zs.avail_in;
        const size_t produced = want - zs.avail_out;
        if (rc == ISAL_DECOMP_OK) {
            if (zs.block_state == ISAL_BLOCK_FINISH) {
                in_member_ = false;
                if (produced > 0) return produced;
                continue;
            }
            if (produced > 0) return produced;
            if (in_pos_ == in_end_ && file_eof_)
                throw data_error(what_ + " '" + path_ + "' is truncated: the gzip member at byte " +
                                 std::to_string(member_start_) + " ends early");
            continue;
        }
        const char *why = rc == ISAL_INCORRECT_CHECKSUM   ? "checksum mismatch"
                          : rc == ISAL_INVALID_WRAPPER    ? "invalid gzip header"
                          : rc == ISAL_UNSUPPORTED_METHOD ? "unsupported compression method"
                          : rc == ISAL_NEED_DICT          ? "needs a preset dictionary"
                                                          : "invalid deflate data";
        fail("corrupt gzip data in the member at byte " + std::to_string(member_start_) + " (" + why + ")");
    }
}

// Decoding ahead of the parser: a thread reads and inflates the file into a
// few large blocks while the caller parses the ones before.  The reader's
// bytes and errors reach the caller in the order the file gives them: an
// error is raised once every byte decoded before it has been handed out.
// Only regular files are read ahead, so that the thread never waits on a
// pipe when the run stops early.
class read_ahead {
public:
    explicit read_ahead(byte_source &src) : src_(src) {
        for (block &b : blocks_) {
            b.data.resize(block_size);
            free_.push_back(&b);
        }
        thread_ = std::thread([this] { run(); });
    }
    ~read_ahead() {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            stop_ = true;
        }
        cv_.notify_all();
        thread_.join();
    }
    read_ahead(const read_ahead &) = delete;
    read_ahead &operator=(const read_ahead &) = delete;

    // As byte_source::read.
    size_t read(char *dst, size_t n) {
        for (;;) {
            if (cur_ != nullptr && pos_ < cur_->len) {
                const size_t k = std::min(n, cur_->len - pos_);
                std::memcpy(dst, cur_->data.data() + pos_, k);
                pos_ += k;
                return k;
            }
            std::unique_lock<std::mutex> lock(mutex_);
            if (cur_ != nullptr) {
                free_.push_back(cur_);
                cur_ = nullptr;
                cv_.notify_all();
            }
            cv_.wait(lock, [this] { return !full_.empty() || finished_; });
            if (!full_.empty()) {
                cur_ = full_.front();
                full_.pop_front();
                pos_ = 0;
                continue;
            }
            if (error_) std::rethrow_exception(error_);
            return 0;
        }
    }
    uint64_t consumed() const { return consumed_.load(std::memory_order_relaxed); }

private:
    static constexpr size_t block_size = size_t{1} << 20;
    struct block {
        std::vector<char> data;
        size_t len = 0;
    };

    void run() {
        for (;;) {
            block *b;
            {
                std::unique_lock<std::mutex> lock(mutex_);
                cv_.wait(lock, [this] { return stop_ || !free_.empty(); });
                if (stop_) return;
                b = free_.front();
                free_.pop_front();
            }
            size_t len = 0;
            bool end = false;
            std::exception_ptr err;
            try {
                while (len < b->data.size()) {
                    const size_t got = src_.read(b->data.data() + len, b->data.size() - len);
                    if (got == 0) {
                        end = true;
                        break;
                    }
                    len += got;
                }
            } catch (...) {
                err = std::current_exception();
                end = true;
            }
            {
                std::lock_guard<std::mutex> lock(mutex_);
                b->len = len;
                full_.push_back(b);
                consumed_.store(src_.consumed(), std::memory_order_relaxed);
                if (end) {
                    error_ = err;
                    finished_ = true;
                }
            }
            cv_.notify_all();
            if (end) return;
        }
    }

    byte_source &src_;
    block blocks_[4];
    std::mutex mutex_;
    std::condition_variable cv_;
    std::deque<block *> free_, full_;  // under mutex_
    bool stop_ = false, finished_ = false;
    std::exception_ptr error_;
    block *cur_ = nullptr;  // the caller's block, off both lists
    size_t pos_ = 0;
    std::atomic<uint64_t> consumed_{0};
    std::thread thread_;
};

int open_input(const std::string &path, const std::string &what) {
    int fd;
    if (path == "-") {
        if (!standard_stream_open(0))
            throw data_error("cannot read " + what + " from standard input: it is not open");
        fd = fcntl(0, F_DUPFD_CLOEXEC, 3);
        if (fd < 0) throw data_error("cannot read " + what + " from standard input: " + errno_text(errno));
    } else {
        fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
        if (fd < 0)
            throw data_error("cannot open " + what + " '" + path + "': " + errno_text(errno));
    }
    struct stat st;
    if (fstat(fd, &st) == 0 && S_ISDIR(st.st_mode)) {
        close(fd);
        throw data_error("cannot read " + what + " '" + path + "': is a directory");
    }
    return fd;
}

line_reader::line_reader(const std::string &path, const std::string &what, uint64_t max_line_length,
                         bool read_ahead_file, int fd, uint64_t byte_limit)
    : path_(path), what_(what), buf_(1 << 20), left_(byte_limit) {
    max_line_ = static_cast<size_t>(std::min<uint64_t>(max_line_length, SIZE_MAX / 2));
    // A descriptor taken over from the caller is read under the name of
    // what it stands for (a spooled copy, an input opened ahead).
    if (fd < 0) fd = open_input(path, what);
    struct stat st;
    if (fstat(fd, &st) == 0 && S_ISREG(st.st_mode)) file_size_ = static_cast<uint64_t>(st.st_size);
    src_ = std::make_unique<byte_source>(fd, path, what);
    if (read_ahead_file && file_size_ > 0) ahead_ = std::make_unique<read_ahead>(*src_);
}

// The read-ahead thread stops before the source it reads goes.
line_reader::~line_reader() { ahead_.reset(); }

uint64_t line_reader::bytes_consumed() const { return ahead_ ? ahead_->consumed() : src_->consumed(); }

void line_reader::too_long(uint64_t line) const {
    throw line_too_long(what_ + " '" + path_ + "' line " + std::to_string(line) +
                            ": longer than the limit of " + format_count(max_line_) +
                            " bytes (--max-line-length)",
                        line, max_line_);
}

// Moves the unread tail to the front, grows the buffer when a single line
// fills it (up to what the longest line allowed needs), and reads more.
// False when nothing more could be read.
bool line_reader::fill() {
    if (eof_) return false;
    if (begin_ > 0) {
        std::memmove(buf_.data(), buf_.data() + begin_, end_ - begin_);
        end_ -= begin_;
        begin_ = 0;
    }
    // next() stops a line above max_line_ + 1 bytes (room for a CR) before
    // the buffer is full, so the buffer never grows past max_line_ + 2.
    if (end_ == buf_.size()) buf_.resize(std::min(buf_.size() * 2, max_line_ + 2));
    const size_t room = static_cast<size_t>(std::min<uint64_t>(buf_.size() - end_, left_));
    const size_t got = room == 0 ? 0 : ahead_ ? ahead_->read(buf_.data() + end_, room) : src_->read(buf_.data() + end_, room);
    if (got == 0) {
        eof_ = true;
        return false;
    }
    end_ += got;
    left_ -= got;
    return true;
}

bool line_reader::next(std::string_view *line) {
    size_t scan = begin_;
    for (;;) {
        const void *nl = end_ > scan ? std::memchr(buf_.data() + scan, '\n', end_ - scan) : nullptr;
        if (nl) {
            const size_t stop = static_cast<size_t>(static_cast<const char *>(nl) - buf_.data());
            size_t len = stop - begin_;
            if (len > 0 && buf_[begin_ + len - 1] == '\r') --len;
            if (len > max_line_) too_long(line_number_ + 1);
            *line = std::string_view(buf_.data() + begin_, len);
            begin_ = stop + 1;
            ++line_number_;
            unterminated_ = false;
            return true;
        }
        const size_t scanned = end_ - begin_;
        if (scanned > max_line_ + 1) too_long(line_number_ + 1);
        if (!fill()) {
            if (end_ == begin_) return false;
            size_t len = end_ - begin_;
            if (buf_[begin_ + len - 1] == '\r') --len;
            if (len > max_line_) too_long(line_number_ + 1);
            *line = std::string_view(buf_.data() + begin_, len);
            begin_ = end_;
            ++line_number_;
            unterminated_ = true;
            return true;
        }
        scan = begin_ + scanned;
    }
}

bool line_reader::next_lines(std::string_view *text, uint64_t lines_before) {
    for (;;) {
        if (end_ > begin_) {
            const void *nl = memrchr(buf_.data() + begin_, '\n', end_ - begin_);
            if (nl) {
                const size_t stop = static_cast<size_t>(static_cast<const char *>(nl) - buf_.data()) + 1;
                *text = std::string_view(buf_.data() + begin_, stop - begin_);
                begin_ = stop;
                return true;
            }
            if (end_ - begin_ > max_line_ + 1) too_long(lines_before + 1);
        }
        if (!fill()) {
            if (end_ == begin_) return false;
            *text = std::string_view(buf_.data() + begin_, end_ - begin_);
            begin_ = end_;
            unterminated_ = true;
            return true;
        }
    }
}

std::string read_whole_file(const std::string &path, const std::string &what) {
    line_reader in(path, what);
    std::string text;
    std::string_view line;
    while (in.next(&line)) {
        text.append(line);
        text.push_back('\n');
    }
    return text;
}

int register_temp_file(const std::string &path) { return register_temp(path); }
void unregister_temp_file(int slot) { unregister_temp(slot); }

}  // namespace velmora_pipeline
