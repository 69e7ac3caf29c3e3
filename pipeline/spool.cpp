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
#include "output.h"

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

std::string temp_folder() {
    const char *dir = std::getenv("TMPDIR");
    return dir && *dir ? dir : "/tmp";
}

// A new temporary file in folder, open for writing; its name in *path.
int make_temp(const std::string &folder, std::vector<char> *path) {
    const std::string tmpl = folder + "/velmora-spool-XXXXXX";
    path->assign(tmpl.begin(), tmpl.end());
    path->push_back('\0');
    const int fd = mkstemp(path->data());
    if (fd < 0) fail("cannot create a temporary file in " + folder, errno);
    return fd;
}

}  // namespace

bool needs_spool(const std::string &path) {
    struct stat st;
    if (path == "-") return true;
    return stat(path.c_str(), &st) == 0 && !S_ISREG(st.st_mode) && !S_ISDIR(st.st_mode);
}

input_spool::input_spool(const std::string &path, unsigned passes) {
    if (passes < 1 || passes > 3) throw std::logic_error("a spool is read by one to three passes");
    const std::string name = path == "-" ? "standard input" : "'" + path + "'";
    owned_fd in;
    in.fd = open_input(path, "reads file");
    const std::string folder = temp_folder();
    std::vector<char> temp;
    owned_fd out;
    owned_fd readers[3];
    out.fd = make_temp(folder, &temp);
    int open_err = 0;
    for (unsigned i = 0; i < passes; ++i)
        if ((readers[i].fd = open(temp.data(), O_RDONLY | O_CLOEXEC)) < 0 && !open_err) open_err = errno;
    unlink(temp.data());
    if (open_err) fail("cannot reopen a temporary file in " + folder, open_err);
    std::vector<char> buf(1 << 20);
    auto read_some = [&](size_t at) {
        for (;;) {
            const ssize_t got = read(in.fd, buf.data() + at, buf.size() - at);
            if (got >= 0) return static_cast<size_t>(got);
            if (errno != EINTR) fail("cannot read reads from " + name, errno);
        }
    };
    // The first two bytes tell whether the input is gzip already.
    size_t have = 0;
    for (size_t got = 1; have < 2 && got > 0; have += got) got = read_some(have);
    output_target copy_of("--reads", "the reads of " + name + " to a temporary file", temp.data());
    copy_of.gzip = !(have >= 2 && static_cast<unsigned char>(buf[0]) == 0x1f &&
                     static_cast<unsigned char>(buf[1]) == 0x8b);
    output_file copy(copy_of, std::exchange(out.fd, -1));
    while (have > 0) {
        copy.write({buf.data(), have});
        input_bytes_ += have;
        have = read_some(0);
    }
    copy.finish();
    struct stat st;
    if (fstat(readers[0].fd, &st) == 0) spooled_bytes_ = static_cast<uint64_t>(st.st_size);
    for (size_t i = 0; i < 3; ++i) readers_[i] = std::exchange(readers[i].fd, -1);
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

held_batches::held_batches() {
    const std::string folder = temp_folder();
    std::vector<char> path;
    const int fd = make_temp(folder, &path);
    unlink(path.data());
    file_ = fdopen(fd, "w+b");
    if (!file_) {
        const int err = errno;
        close(fd);
        fail("cannot open a temporary file in " + folder, err);
    }
}

held_batches::~held_batches() {
    if (file_) std::fclose(file_);
}

void held_batches::put(const std::vector<std::string_view> &parts) {
    const uint64_t n = parts.size();
    bool ok = std::fwrite(&n, sizeof n, 1, file_) == 1;
    for (const std::string_view p : parts) {
        const uint64_t size = p.size();
        ok = ok && std::fwrite(&size, sizeof size, 1, file_) == 1 &&
             (size == 0 || std::fwrite(p.data(), 1, p.size(), file_) == p.size());
        bytes_ += sizeof size + size;
    }
    bytes_ += sizeof n;
    if (!ok) fail("cannot write a temporary file in " + temp_folder(), errno);
}

bool held_batches::get(std::vector<std::string> &parts) {
    if (!reading_) {
        reading_ = true;
        if (std::fflush(file_) != 0 || std::fseek(file_, 0, SEEK_SET) != 0)
            fail("cannot read back a temporary file in " + temp_folder(), errno);
    }
    uint64_t n = 0;
    if (std::fread(&n, sizeof n, 1, file_) != 1) {
        if (std::ferror(file_)) fail("cannot read back a temporary file in " + temp_folder(), errno);
        return false;
    }
    parts.resize(static_cast<size_t>(n));
    for (std::string &p : parts) {
        uint64_t size = 0;
        bool ok = std::fread(&size, sizeof size, 1, file_) == 1;
        if (ok) {
            p.resize(static_cast<size_t>(size));
            ok = size == 0 || std::fread(p.data(), 1, p.size(), file_) == p.size();
        }
        if (!ok) fail("cannot read back a temporary file in " + temp_folder(), std::ferror(file_) ? errno : EIO);
    }
    return true;
}

}  // namespace velmora_pipeline
