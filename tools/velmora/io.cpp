// File input: the zlib line reader; and the temporary files a signal removes.
#include "io.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>
#include <zlib.h>

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <mutex>

#include "tool.h"

namespace velmora_tool {

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

void install_signal_handlers() {
    std::call_once(signal_once, [] {
        struct sigaction sa;
        std::memset(&sa, 0, sizeof sa);
        sa.sa_handler = remove_temps_and_exit;
        sigemptyset(&sa.sa_mask);
        sigaction(SIGINT, &sa, nullptr);
        sigaction(SIGTERM, &sa, nullptr);
        sigaction(SIGHUP, &sa, nullptr);
    });
}

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

line_reader::line_reader(const std::string &path, const std::string &what)
    : path_(path), what_(what), buf_(1 << 20) {
    gzFile gz = nullptr;
    if (path == "-") {
        const int fd = dup(0);
        if (fd >= 0) gz = gzdopen(fd, "rb");
    } else {
        const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
        if (fd < 0)
            throw data_error("cannot open " + what + " '" + path + "': " + errno_text(errno));
        struct stat st;
        if (fstat(fd, &st) == 0) {
            if (S_ISDIR(st.st_mode)) {
                close(fd);
                throw data_error("cannot read " + what + " '" + path + "': is a directory");
            }
            if (S_ISREG(st.st_mode)) file_size_ = static_cast<uint64_t>(st.st_size);
        }
        gz = gzdopen(fd, "rb");
        if (!gz) close(fd);
    }
    if (!gz) throw data_error("cannot open " + what + " '" + path + "': out of memory");
    gzbuffer(gz, 1 << 18);
    gz_ = gz;
}

line_reader::~line_reader() {
    if (gz_) gzclose_r(static_cast<gzFile>(gz_));
}

uint64_t line_reader::bytes_consumed() const {
    const z_off_t off = gzoffset(static_cast<gzFile>(gz_));
    return off > 0 ? static_cast<uint64_t>(off) : 0;
}

// Moves the unread tail to the front, grows the buffer when a single line
// fills it, and reads more.  False when nothing more could be read.
bool line_reader::fill() {
    if (eof_) return false;
    if (begin_ > 0) {
        std::memmove(buf_.data(), buf_.data() + begin_, end_ - begin_);
        end_ -= begin_;
        begin_ = 0;
    }
    if (end_ == buf_.size()) buf_.resize(buf_.size() * 2);
    gzFile gz = static_cast<gzFile>(gz_);
    const size_t room = buf_.size() - end_;
    const unsigned want = room > (1u << 30) ? (1u << 30) : static_cast<unsigned>(room);
    const int got = gzread(gz, buf_.data() + end_, want);
    if (got < 0) {
        int errnum = 0;
        const char *msg = gzerror(gz, &errnum);
        std::string text = errnum == Z_ERRNO ? errno_text(errno) : std::string(msg);
        if (errnum == Z_DATA_ERROR) text = "corrupt gzip data (" + text + ")";
        throw data_error("cannot read " + what_ + " '" + path_ + "': " + text);
    }
    if (got == 0) {
        int errnum = 0;
        gzerror(gz, &errnum);
        // zlib reports a gzip stream cut short as Z_BUF_ERROR at end of input.
        if (errnum == Z_BUF_ERROR)
            throw data_error(what_ + " '" + path_ + "' is truncated: the gzip stream ends early");
        eof_ = true;
        return false;
    }
    end_ += static_cast<size_t>(got);
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
            *line = std::string_view(buf_.data() + begin_, len);
            begin_ = stop + 1;
            ++line_number_;
            unterminated_ = false;
            return true;
        }
        const size_t scanned = end_ - begin_;
        if (!fill()) {
            if (end_ == begin_) return false;
            size_t len = end_ - begin_;
            if (buf_[begin_ + len - 1] == '\r') --len;
            *line = std::string_view(buf_.data() + begin_, len);
            begin_ = end_;
            ++line_number_;
            unterminated_ = true;
            return true;
        }
        scan = begin_ + scanned;
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

}  // namespace velmora_tool
