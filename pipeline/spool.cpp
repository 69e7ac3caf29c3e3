// Spooling input that cannot be read twice.
#include "spool.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <stdexcept>
#include <utility>
#include <vector>

#include "base.h"
#include "io.h"

namespace velmora_pipeline {

namespace {

struct owned_fd {
    int fd = -1;
    owned_fd() = default;
    owned_fd(const owned_fd &) = delete;
    owned_fd &operator=(const owned_fd &) = delete;
    ~owned_fd() {
        if (fd >= 0) close(fd);
    }
};

[[noreturn]] void fail(const std::string &what, int err) { throw data_error(what + ": " + std::strerror(err)); }

}  // namespace

bool needs_spool(const std::string &path) {
    struct stat st;
    if (path == "-") return true;
    return stat(path.c_str(), &st) == 0 && !S_ISREG(st.st_mode) && !S_ISDIR(st.st_mode);
}

input_spool::input_spool(const std::string &path) {
    const std::string name = path == "-" ? "standard input" : "'" + path + "'";
    owned_fd in;
    in.fd = open_input(path, "reads file");
    const char *dir = std::getenv("TMPDIR");
    const std::string folder = dir && *dir ? dir : "/tmp";
    std::string tmpl = folder + "/velmora-spool-XXXXXX";
    std::vector<char> temp(tmpl.begin(), tmpl.end());
    temp.push_back('\0');
    owned_fd out;
    owned_fd readers[2];
    out.fd = mkstemp(temp.data());
    if (out.fd < 0) fail("cannot create a temporary file in " + folder, errno);
    for (owned_fd &r : readers) r.fd = open(temp.data(), O_RDONLY | O_CLOEXEC);
    const int open_err = errno;
    unlink(temp.data());
    for (const owned_fd &r : readers)
        if (r.fd < 0) fail("cannot reopen a temporary file in " + folder, open_err);
    std::vector<char> buf(1 << 20);
    for (;;) {
        const ssize_t got = read(in.fd, buf.data(), buf.size());
        if (got < 0 && errno == EINTR) continue;
        if (got < 0) fail("cannot read reads from " + name, errno);
        if (got == 0) break;
        for (ssize_t done = 0; done < got;) {
            const ssize_t w = ::write(out.fd, buf.data() + done, static_cast<size_t>(got - done));
            if (w < 0 && errno == EINTR) continue;
            if (w < 0) fail("cannot copy the reads of " + name + " to a temporary file in " + folder, errno);
            done += w;
        }
    }
    for (int i = 0; i < 2; ++i) readers_[i] = std::exchange(readers[i].fd, -1);
}

input_spool::~input_spool() {
    for (const int fd : readers_)
        if (fd >= 0) close(fd);
}

int input_spool::take_reader() {
    for (int &fd : readers_)
        if (fd >= 0) return std::exchange(fd, -1);
    throw std::logic_error("more passes over spooled reads than descriptors");
}

}  // namespace velmora_pipeline
