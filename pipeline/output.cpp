// Output files: resolution, conflict checks, temporary files and the commit
// of a run's outputs together.
#include "output.h"

#include <fcntl.h>
#include <stdio_ext.h>
#include <sys/stat.h>
#include <unistd.h>
#include <isa-l/crc.h>
#include <isa-l/igzip_lib.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <stdexcept>

#include "io.h"
#include "base.h"

namespace velmora_pipeline {

namespace {

std::string directory_of(const std::string &path) {
    const size_t slash = path.rfind('/');
    if (slash == std::string::npos) return ".";
    if (slash == 0) return "/";
    return path.substr(0, slash);
}

std::string base_of(const std::string &path) {
    const size_t slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

bool ends_with(const std::string &s, const char *suffix) {
    const size_t n = std::strlen(suffix);
    return s.size() >= n && s.compare(s.size() - n, n, suffix) == 0;
}

// Follows a chain of symlinks to the path it ends at, which need not exist
// (a link to a file not yet created).
std::string follow_links(const std::string &given, const std::string &what) {
    std::string p = given;
    for (int hops = 0; hops < 40; ++hops) {
        struct stat st;
        if (lstat(p.c_str(), &st) != 0 || !S_ISLNK(st.st_mode)) return p;
        std::vector<char> buf(PATH_MAX + 1);
        const ssize_t n = readlink(p.c_str(), buf.data(), buf.size() - 1);
        if (n < 0) throw data_error("cannot write " + what + " '" + given + "': " + std::strerror(errno));
        std::string target(buf.data(), static_cast<size_t>(n));
        p = target.front() == '/' ? target : directory_of(p) + "/" + target;
    }
    throw data_error("cannot write " + what + " '" + given + "': too many levels of symbolic links");
}

// The absolute, symlink-free spelling of a path, existing or not (its
// directory must exist).
std::string canonical_path(const std::string &p) {
    if (char *real = realpath(p.c_str(), nullptr)) {
        std::string out = real;
        std::free(real);
        return out;
    }
    if (char *dir = realpath(directory_of(p).c_str(), nullptr)) {
        std::string out = dir;
        std::free(dir);
        return (out == "/" ? "" : out) + "/" + base_of(p);
    }
    return p;
}

struct identity {
    bool exists = false;
    bool shareable = false;  // a character device: /dev/null may take two outputs
    dev_t dev = 0;
    ino_t ino = 0;
    std::string canonical;
};

identity identify(const std::string &path, int std_fd) {
    identity id;
    struct stat st;
    const bool ok = path == "-" ? fstat(std_fd, &st) == 0 : stat(path.c_str(), &st) == 0;
    if (ok) {
        id.exists = true;
        id.dev = st.st_dev;
        id.ino = st.st_ino;
        id.shareable = S_ISCHR(st.st_mode);
    }
    id.canonical = path == "-" ? "-" : canonical_path(path);
    return id;
}

bool same_file(const identity &a, const identity &b) {
    if (a.exists && b.exists) return !a.shareable && a.dev == b.dev && a.ino == b.ino;
    if (a.exists != b.exists) return false;
    return a.canonical == b.canonical;
}

std::string errno_text(int err) { return std::strerror(err); }

}  // namespace

void plan_outputs(const std::vector<input_path> &inputs, const std::vector<output_target *> &outputs) {
    std::vector<identity> out_ids;
    for (output_target *t : outputs) {
        if (!t->requested()) continue;
        t->gzip = ends_with(t->given, ".gz");
        if (t->given == "-") {
            if (!standard_stream_open(1))
                throw data_error("cannot write " + t->what + " to standard output: it is not open");
            t->to_stdout = true;
            t->resolved = "-";
        } else {
            t->resolved = follow_links(t->given, t->what);
            struct stat st;
            if (stat(t->resolved.c_str(), &st) == 0) {
                if (S_ISDIR(st.st_mode))
                    throw data_error("cannot write " + t->what + " '" + t->given + "': is a directory");
                t->direct = !S_ISREG(st.st_mode);
            }
            if (!t->direct) {
                // A temporary file goes next to the target: its directory
                // must take new files, and the name must be one it can hold.
                const std::string dir = directory_of(t->resolved);
                if (access(dir.c_str(), W_OK | X_OK) != 0)
                    throw data_error("cannot write " + t->what + " '" + t->given + "': " +
                                     errno_text(errno));
                const long name_max = pathconf(dir.c_str(), _PC_NAME_MAX);
                if (name_max > 0 && base_of(t->resolved).size() > static_cast<size_t>(name_max))
                    throw data_error("cannot write " + t->what + " '" + t->given + "': " +
                                     errno_text(ENAMETOOLONG));
            }
        }
        const identity id = identify(t->given == "-" ? "-" : t->resolved, 1);
        for (const input_path &in : inputs) {
            // Standard output only clashes with an input that is a file.
            if (t->to_stdout && !id.exists) break;
            const identity iid = identify(in.path, 0);
            if ((in.path != "-" || iid.exists) && (t->to_stdout ? iid.exists && same_file(id, iid)
                                                                 : same_file(id, iid)))
                throw usage_error(t->option + " '" + t->given + "' is the same file as " + in.option +
                                  " '" + in.path + "'; the input would be overwritten");
        }
        for (size_t j = 0; j < out_ids.size(); ++j) {
            if (same_file(id, out_ids[j])) {
                const output_target *other = nullptr;
                size_t seen = 0;
                for (output_target *o : outputs)
                    if (o->requested() && seen++ == j) other = o;
                throw usage_error(t->option + " '" + t->given + "' and " + other->option + " '" +
                                  other->given + "' name the same file");
            }
        }
        out_ids.push_back(id);
    }
}

// ---------------------------------------------------------------- output_file

output_file::output_file(const output_target &target) : target_(target) {
    int fd = -1;
    if (target_.to_stdout) {
        if (!target_.gzip) {
            file_ = stdout;
            return;
        }
        fd = dup(1);
        if (fd < 0) fail(errno);
    } else if (target_.direct) {
        fd = open(target_.resolved.c_str(), O_WRONLY | O_CLOEXEC);
        if (fd < 0) fail(errno);
    } else {
        // A short name: the target's own name may already be as long as
        // the file system allows, with no room for a suffix.
        std::string tmpl = directory_of(target_.resolved) + "/.velmora-XXXXXX";
        std::vector<char> name(tmpl.begin(), tmpl.end());
        name.push_back('\0');
        fd = mkstemp(name.data());
        if (fd < 0) fail(errno);
        temp_path_ = name.data();
        temp_slot_ = register_temp_file(temp_path_);
        // mkstemp creates 0600: give the result the mode of the file it
        // replaces, or the one a plain create would have.
        struct stat st;
        mode_t mode;
        if (stat(target_.resolved.c_str(), &st) == 0) {
            mode = st.st_mode & 07777;
        } else {
            const mode_t mask = umask(0);
            umask(mask);
            mode = 0666 & ~mask;
        }
        fchmod(fd, mode);
    }
    attach(fd);
}

output_file::output_file(const output_target &target, int fd) : target_(target) {
    target_.direct = true;
    attach(fd);
}

// Every compressed output is ISA-L's level 1: compressing must keep up with
// what feeds it (the assignment threads, or reads arriving to be spooled),
// and it runs several times faster than zlib's fastest level.  level_buf
// holds ISAL_DEF_LVL1_DEFAULT bytes.
static void deflate_start(isal_zstream &z, uint8_t *level_buf, uint16_t gzip_flag) {
    isal_deflate_init(&z);
    z.level = 1;
    z.level_buf = level_buf;
    z.level_buf_size = ISAL_DEF_LVL1_DEFAULT;
    z.gzip_flag = gzip_flag;
    z.flush = NO_FLUSH;
}

// A gzip stream into a descriptor.
struct output_file::deflater {
    static constexpr size_t out_size = size_t{1} << 20;
    isal_zstream z;
    std::unique_ptr<uint8_t[]> level_buf{new uint8_t[ISAL_DEF_LVL1_DEFAULT]};
    std::unique_ptr<uint8_t[]> out{new uint8_t[out_size]};
    int fd;
    bool open = false;     // a member begun by put() and not yet ended
    bool any = false;      // some member written, whole or begun

    explicit deflater(int descriptor) : fd(descriptor) { start(); }
    // A new member.
    void start() {
        deflate_start(z, level_buf.get(), IGZIP_GZIP);
        z.next_out = out.get();
        z.avail_out = out_size;
    }
    ~deflater() {
        if (fd >= 0) close(fd);
    }

    // Writes size bytes; errno on failure, else 0.
    int write_all(const uint8_t *data, size_t size) {
        for (size_t done = 0; done < size;) {
            const ssize_t n = ::write(fd, data + done, size - done);
            if (n < 0 && errno == EINTR) continue;
            if (n < 0) return errno;
            done += static_cast<size_t>(n);
        }
        return 0;
    }
    // Writes what is compressed; errno on failure, else 0.
    int drain() {
        if (const int err = write_all(out.get(), out_size - z.avail_out)) return err;
        z.next_out = out.get();
        z.avail_out = out_size;
        return 0;
    }
    // Ends the member put() began, if any; errno on failure.
    int end_member() {
        if (!open) return 0;
        if (const int err = put(nullptr, 0, true)) return err;
        start();
        open = false;
        return 0;
    }
    // Compresses data (the last call with end set); errno on failure.
    int put(const uint8_t *data, size_t size, bool end) {
        open = !end;
        any = true;
        do {
            const size_t part = std::min<size_t>(size, 1u << 30);
            z.next_in = const_cast<uint8_t *>(data);
            z.avail_in = static_cast<uint32_t>(part);
            z.end_of_stream = end && part == size ? 1 : 0;
            data += part;
            size -= part;
            for (;;) {
                if (isal_deflate(&z) != COMP_OK) return EIO;
                const bool done = z.avail_in == 0 && (!z.end_of_stream || z.internal_state.state == ZSTATE_END);
                if (z.avail_out == 0 || (done && z.end_of_stream)) {
                    if (const int err = drain()) return err;
                }
                if (done) break;
            }
        } while (size > 0);
        return 0;
    }
};

void output_file::attach(int fd) {
    if (target_.gzip) {
        gz_ = std::make_unique<deflater>(fd);
    } else {
        file_ = fdopen(fd, "wb");
        if (!file_) {
            const int err = errno;
            close(fd);
            fail(err);
        }
        static_cast<void>(setvbuf(file_, nullptr, _IOFBF, 1 << 20));
    }
}

output_file::~output_file() {
    if (!published_) discard();
}

void output_file::fail(int err) {
    discard();
    const std::string where = target_.to_stdout ? std::string("standard output")
                                                : "'" + target_.given + "'";
    throw data_error("cannot write " + target_.what + " " + where + ": " + errno_text(err));
}

void output_file::discard() noexcept {
    gz_.reset();
    if (file_ && file_ != stdout) {
        // What a direct output still holds in its buffer is dropped, not
        // delivered: the run failed.
        if (target_.direct) __fpurge(file_);
        std::fclose(file_);
    }
    file_ = nullptr;
    if (!temp_path_.empty()) {
        unlink(temp_path_.c_str());
        temp_path_.clear();
    }
    unregister_temp_file(temp_slot_);
    temp_slot_ = -1;
}

void output_file::write(std::string_view data) {
    if (data.empty()) return;
    if (gz_) {
        if (const int err = gz_->put(reinterpret_cast<const uint8_t *>(data.data()), data.size(), false)) fail(err);
        return;
    }
    if (std::fwrite(data.data(), 1, data.size(), file_) != data.size()) fail(errno);
}

// Per-thread room for compressing batches: ISA-L's level buffer and the
// output, kept from batch to batch, so that no batch pays for fresh pages
// or for zeroing memory deflate then overwrites.
struct deflate_room {
    std::unique_ptr<uint8_t[]> level_buf{new uint8_t[ISAL_DEF_LVL1_DEFAULT]};
    std::unique_ptr<uint8_t[]> out;
    size_t out_size = 0;

    // Room for n bytes, the first keep of it as they were.
    uint8_t *at_least(size_t n, size_t keep = 0) {
        if (out_size < n) {
            std::unique_ptr<uint8_t[]> bigger(new uint8_t[n]);
            if (keep > 0) std::memcpy(bigger.get(), out.get(), keep);
            out = std::move(bigger);
            out_size = n;
        }
        return out.get();
    }
};

static deflate_room &thread_room() {
    thread_local deflate_room room;
    return room;
}

// Deflates data, as z was started, into the thread's room; the bytes made.
static size_t deflate_whole(isal_zstream &z, std::string_view data, deflate_room &room) {
    // Level 1 output of incompressible text is barely longer than the text.
    size_t size = data.size() + data.size() / 8 + 1024;
    uint8_t *out = room.at_least(size);
    size_t produced = 0;
    const uint8_t *in = reinterpret_cast<const uint8_t *>(data.data());
    size_t left = data.size();
    for (;;) {
        const size_t part = std::min<size_t>(left, 1u << 30);
        z.next_in = const_cast<uint8_t *>(in);
        z.avail_in = static_cast<uint32_t>(part);
        z.end_of_stream = part == left ? 1 : 0;
        if (size - produced < 1024) {
            size *= 2;
            out = room.at_least(size, produced);
        }
        const size_t space = std::min<size_t>(size - produced, 1u << 30);
        z.next_out = out + produced;
        z.avail_out = static_cast<uint32_t>(space);
        if (isal_deflate(&z) != COMP_OK) throw data_error("compressing an output failed");
        produced += space - z.avail_out;
        const size_t used = part - z.avail_in;
        in += used;
        left -= used;
        if (z.end_of_stream && z.avail_in == 0 && z.internal_state.state == ZSTATE_END) return produced;
    }
}

void gzip_member(std::string_view data, std::string &member) {
    deflate_room &room = thread_room();
    isal_zstream z;
    deflate_start(z, room.level_buf.get(), IGZIP_GZIP);
    const size_t produced = deflate_whole(z, data, room);
    member.assign(reinterpret_cast<const char *>(room.out.get()), produced);
}

void bgzf_blocks(std::string_view data, std::string &blocks) {
    // At most 0xff00 bytes a block, as htslib takes them: even stored, a
    // block then stays under 64 KiB.
    constexpr size_t IN_MAX = 0xff00, BLOCK_MAX = 0x10000, HEAD = 18;
    static constexpr uint8_t header[HEAD] = {0x1f, 0x8b, 8, 4, 0, 0, 0, 0, 0, 0xff, 6, 0, 'B', 'C', 2, 0, 0, 0};
    blocks.clear();
    deflate_room &room = thread_room();
    uint8_t *block = room.at_least(BLOCK_MAX);
    std::memcpy(block, header, HEAD);
    isal_zstream z;
    for (size_t at = 0; at < data.size(); at += IN_MAX) {
        const size_t n = std::min(IN_MAX, data.size() - at);
        const uint8_t *in = reinterpret_cast<const uint8_t *>(data.data()) + at;
        uint8_t *body = block + HEAD;
        deflate_start(z, room.level_buf.get(), IGZIP_GZIP_NO_HDR);  // the deflate data and the gzip trailer
        z.end_of_stream = 1;
        z.next_in = const_cast<uint8_t *>(in);
        z.avail_in = static_cast<uint32_t>(n);
        z.next_out = body;
        z.avail_out = static_cast<uint32_t>(BLOCK_MAX - HEAD);
        const bool done = isal_deflate(&z) == COMP_OK && z.avail_in == 0 &&
                          z.internal_state.state == ZSTATE_END;
        size_t size = HEAD + (BLOCK_MAX - HEAD - z.avail_out);
        if (!done) {
            // Data that does not shrink is stored: one final stored block,
            // then the trailer.
            const uint32_t crc = crc32_gzip_refl(0, in, n);
            const uint8_t stored[5] = {1, static_cast<uint8_t>(n), static_cast<uint8_t>(n >> 8),
                                       static_cast<uint8_t>(~n), static_cast<uint8_t>(~n >> 8)};
            std::memcpy(body, stored, sizeof stored);
            std::memcpy(body + sizeof stored, in, n);
            uint8_t *tail = body + sizeof stored + n;
            for (size_t b = 0; b < 4; ++b) {
                tail[b] = static_cast<uint8_t>(crc >> (8 * b));
                tail[4 + b] = static_cast<uint8_t>(n >> (8 * b));
            }
            size = HEAD + sizeof stored + n + 8;
        }
        block[16] = static_cast<uint8_t>((size - 1) & 0xff);
        block[17] = static_cast<uint8_t>((size - 1) >> 8);
        blocks.append(reinterpret_cast<const char *>(block), size);
    }
}

void output_file::pack(std::string &text, std::string &room) const {
    if (!gz_ || text.empty()) return;
    gzip_member(text, room);
    std::swap(text, room);
}

void output_file::write_member(std::string_view member) {
    if (member.empty()) return;
    if (!gz_) {
        write(member);
        return;
    }
    int err = gz_->end_member();
    if (!err) err = gz_->write_all(reinterpret_cast<const uint8_t *>(member.data()), member.size());
    if (err) fail(err);
    gz_->any = true;
}

int output_file::shared_descriptor() {
    if (gz_) throw std::logic_error("a compressing output shares no descriptor");
    if (std::fflush(file_) != 0) fail(errno);
    const int fd = fcntl(fileno(file_), F_DUPFD_CLOEXEC, 3);
    if (fd < 0) fail(errno);
    return fd;
}

void output_file::finish() {
    if (finished_) return;
    if (gz_) {
        // An empty member still makes the file gzip, for readers that
        // refuse an empty one.
        int err = gz_->open || !gz_->any ? gz_->put(nullptr, 0, true) : 0;
        if (!err && !temp_path_.empty() && fsync(gz_->fd) != 0) err = errno;
        const int fd = gz_->fd;
        gz_->fd = -1;
        if (close(fd) != 0 && !err) err = errno;
        gz_.reset();
        if (err) fail(err);
    } else if (file_ == stdout) {
        if (std::fflush(stdout) != 0) fail(errno);
    } else {
        bool ok = std::fflush(file_) == 0;
        if (ok && !temp_path_.empty()) ok = fsync(fileno(file_)) == 0;
        int err = errno;
        if (std::fclose(file_) != 0 && ok) {
            ok = false;
            err = errno;
        }
        file_ = nullptr;
        if (!ok) fail(err);
    }
    finished_ = true;
}

void output_file::publish() {
    if (!temp_path_.empty()) {
        if (std::rename(temp_path_.c_str(), target_.resolved.c_str()) != 0) fail(errno);
        temp_path_.clear();
        unregister_temp_file(temp_slot_);
        temp_slot_ = -1;
    }
    published_ = true;
}

void output_group::commit() {
    // Temporary files first: their failures still leave nothing delivered.
    for (auto &f : files_)
        if (f->renamed_into_place()) f->finish();
    for (auto &f : files_)
        if (!f->renamed_into_place()) f->finish();
    for (auto &f : files_) f->publish();
}

}  // namespace velmora_pipeline
