// Files for the tests that run on real ones: a folder of its own per test
// (under the suite's VELMORA_TEST_WORK), whole-file reads and writes, plain
// and gzip.
#ifndef VELMORA_TESTS_FILES_H
#define VELMORA_TESTS_FILES_H

#include <stdlib.h>
#include <zlib.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>
#include <string>

namespace velmora_test {

// A folder made for one test, removed with everything in it afterwards.
struct scratch_dir {
    std::filesystem::path path;
    scratch_dir() {
        std::string tmpl = std::string(VELMORA_TEST_WORK) + "/test-XXXXXX";
        path = mkdtemp(tmpl.data());
    }
    ~scratch_dir() { std::filesystem::remove_all(path); }
    std::string file(const std::string &name) const { return (path / name).string(); }
    size_t count() const {
        return static_cast<size_t>(
            std::distance(std::filesystem::directory_iterator(path), std::filesystem::directory_iterator()));
    }
};

inline std::string read_file(const std::string &path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

inline void write_file(const std::string &path, const std::string &data) {
    std::ofstream(path, std::ios::binary) << data;
}

// One gzip member holding data, at the given level (zlib's own writer, so
// that the readers under test meet another implementation's output).
inline std::string gzip_member(const std::string &data, int level = Z_DEFAULT_COMPRESSION) {
    z_stream zs{};
    deflateInit2(&zs, level, Z_DEFLATED, 15 + 16, 8, Z_DEFAULT_STRATEGY);
    std::string out(deflateBound(&zs, static_cast<uLong>(data.size())) + 64, '\0');
    zs.next_in = reinterpret_cast<Bytef *>(const_cast<char *>(data.data()));
    zs.avail_in = static_cast<uInt>(data.size());
    zs.next_out = reinterpret_cast<Bytef *>(out.data());
    zs.avail_out = static_cast<uInt>(out.size());
    if (deflate(&zs, Z_FINISH) != Z_STREAM_END) out.clear();
    out.resize(zs.total_out);
    deflateEnd(&zs);
    return out;
}

inline void write_gzip(const std::string &path, const std::string &data) { write_file(path, gzip_member(data)); }

// The whole text of a gzip file; "" past any damage (*ok false).
inline std::string read_gzip(const std::string &path, bool *ok = nullptr) {
    gzFile gz = gzopen(path.c_str(), "rb");
    std::string out;
    char buf[1 << 16];
    for (int n; (n = gzread(gz, buf, sizeof buf)) > 0;) out.append(buf, static_cast<size_t>(n));
    int err = 0;
    gzerror(gz, &err);
    if (ok) *ok = err == Z_OK;
    gzclose(gz);
    return out;
}

}  // namespace velmora_test

#endif
