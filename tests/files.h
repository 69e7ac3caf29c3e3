// Files for the tests that run on real ones: a folder of its own per test,
// and whole-file reads and writes.
#ifndef VELMORA_TESTS_FILES_H
#define VELMORA_TESTS_FILES_H

#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>
#include <string>

namespace velmora_test {

// A folder made under parent for one test, removed with everything in it
// afterwards.
struct scratch_dir {
    std::filesystem::path path;
    explicit scratch_dir(const std::string &parent) {
        std::string tmpl = parent + "/test-XXXXXX";
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

}  // namespace velmora_test

#endif
