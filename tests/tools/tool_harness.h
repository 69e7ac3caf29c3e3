// Support for the end-to-end tests of the velmora tool: run the binary in a
// scratch directory, read and write plain and gzip files, and build the
// expected output lines from a brute-force assignment that never goes near
// the index.
#ifndef VELMORA_TESTS_TOOLS_TOOL_HARNESS_H
#define VELMORA_TESTS_TOOLS_TOOL_HARNESS_H

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <zlib.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "oracle.h"
#include "velmora.h"

namespace tool_test {

struct run_result {
    int status = -1;
    std::string out;
    std::string err;
};

// A directory of its own for each test, removed afterwards.
class scratch_dir {
public:
    scratch_dir() {
        std::string tmpl = std::string(VELMORA_TOOL_WORK) + "/tool-test-XXXXXX";
        std::vector<char> buf(tmpl.begin(), tmpl.end());
        buf.push_back('\0');
        if (!mkdtemp(buf.data())) throw std::runtime_error("mkdtemp failed");
        path_ = buf.data();
    }
    ~scratch_dir() {
        for (const std::string &f : files()) unlink((path_ + "/" + f).c_str());
        rmdir(path_.c_str());
    }
    std::string file(const std::string &name) const { return path_ + "/" + name; }
    std::vector<std::string> files() const {
        std::vector<std::string> out;
        if (DIR *d = opendir(path_.c_str())) {
            while (dirent *e = readdir(d)) {
                const std::string n = e->d_name;
                if (n != "." && n != "..") out.push_back(n);
            }
            closedir(d);
        }
        return out;
    }

private:
    std::string path_;
};

inline std::string read_file(const std::string &path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

inline void write_file(const std::string &path, const std::string &data) {
    std::ofstream out(path, std::ios::binary);
    out << data;
}

inline bool file_exists(const std::string &path) {
    struct stat st;
    return stat(path.c_str(), &st) == 0;
}

// Whole file, gunzipped when it is gzip (zlib passes plain files through).
inline std::string read_maybe_gzip(const std::string &path) {
    gzFile gz = gzopen(path.c_str(), "rb");
    if (!gz) throw std::runtime_error("cannot open " + path);
    std::string out;
    char buf[1 << 16];
    int n;
    while ((n = gzread(gz, buf, sizeof buf)) > 0) out.append(buf, static_cast<size_t>(n));
    gzclose(gz);
    return out;
}

inline void write_gzip(const std::string &path, const std::string &data) {
    gzFile gz = gzopen(path.c_str(), "wb");
    if (!gz) throw std::runtime_error("cannot write " + path);
    gzwrite(gz, data.data(), static_cast<unsigned>(data.size()));
    gzclose(gz);
}

// Runs the tool with args; stdout and stderr are captured through files in
// dir.
inline run_result run_tool(const scratch_dir &dir, const std::vector<std::string> &args) {
    const std::string out_path = dir.file(".stdout"), err_path = dir.file(".stderr");
    const pid_t pid = fork();
    if (pid == 0) {
        const int o = open(out_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        const int e = open(err_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        const int in = open("/dev/null", O_RDONLY);
        dup2(o, 1);
        dup2(e, 2);
        dup2(in, 0);
        std::vector<char *> argv;
        argv.push_back(const_cast<char *>(VELMORA_TOOL));
        for (const std::string &a : args) argv.push_back(const_cast<char *>(a.c_str()));
        argv.push_back(nullptr);
        execv(VELMORA_TOOL, argv.data());
        _exit(127);
    }
    run_result r;
    int st = 0;
    waitpid(pid, &st, 0);
    r.status = WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
    r.out = read_file(out_path);
    r.err = read_file(err_path);
    unlink(out_path.c_str());
    unlink(err_path.c_str());
    return r;
}

inline std::vector<std::string> split_lines(const std::string &text) {
    std::vector<std::string> lines;
    size_t start = 0;
    while (start < text.size()) {
        const size_t nl = text.find('\n', start);
        const size_t end = nl == std::string::npos ? text.size() : nl;
        lines.push_back(text.substr(start, end - start));
        start = end + 1;
    }
    return lines;
}

struct read_record {
    std::string name;  // first word of the header
    std::string seq;
};

// A deliberately plain FASTQ reader for well-formed test inputs.
inline std::vector<read_record> parse_fastq(const std::string &text) {
    const std::vector<std::string> lines = split_lines(text);
    std::vector<read_record> out;
    for (size_t i = 0; i + 3 < lines.size(); i += 4) {
        std::string name = lines[i].substr(1);
        name = name.substr(0, name.find_first_of(" \t"));
        out.push_back({name, lines[i + 1]});
    }
    return out;
}

inline std::vector<std::string> parse_whitelist(const std::string &text) {
    std::vector<std::string> out;
    for (std::string line : split_lines(text)) {
        while (!line.empty() && (line.back() == '\r' || line.back() == ' ')) line.pop_back();
        if (line.empty() || line[0] == '#') continue;
        out.push_back(line);
    }
    return out;
}

// The barcode window, or false when it runs past the end of the read.
inline bool barcode_window(const std::string &seq, size_t start, long length, std::string *bc) {
    if (start > seq.size()) return false;
    if (length >= 0 && static_cast<size_t>(length) > seq.size() - start) return false;
    *bc = seq.substr(start, length >= 0 ? static_cast<size_t>(length) : std::string::npos);
    return true;
}

inline std::string status_word(uint32_t status) {
    switch (status) {
    case VORN_STATUS_NONE: return "none";
    case VORN_STATUS_UNIQUE: return "unique";
    case VORN_STATUS_AMBIGUOUS: return "ambiguous";
    default: return "invalid";
    }
}

inline std::string number_or_dash(uint32_t v) { return v == UINT32_MAX ? "-" : std::to_string(v); }

// The output line the tool must print for one read and its record.
inline std::string expected_line(const std::string &name, bool valid, const std::string &bc,
                                 const vorn_match &m, const std::vector<std::string> &wl) {
    std::string line = name + "\t" + (valid && !bc.empty() ? bc : "-") + "\t" + status_word(m.status) + "\t";
    line += m.status == VORN_STATUS_UNIQUE ? wl[m.best_index] : "-";
    line += "\t" + number_or_dash(m.best_distance) + "\t" + number_or_dash(m.second_distance) + "\t";
    line += m.status == VORN_STATUS_INVALID ? "-" : std::to_string(m.hit_count);
    return line;
}

struct window {
    size_t start = 0;
    long length = -1;  // -1: rest of the read
};

// Expected output of `velmora assign`: the edit records from the library's
// brute-force matcher (which compares every read with every entry), or, for
// Hamming, straight from the oracle.
inline std::vector<std::string> expected_output(const std::vector<read_record> &reads,
                                                const std::vector<std::string> &wl, window w,
                                                bool hamming, int32_t k) {
    std::vector<std::string> bcs(reads.size());
    std::vector<bool> valid(reads.size());
    for (size_t i = 0; i < reads.size(); ++i) valid[i] = barcode_window(reads[i].seq, w.start, w.length, &bcs[i]);
    std::vector<vorn_match> recs(reads.size(), oracle::match_invalid());
    if (hamming) {
        std::vector<oracle::seq> refs;
        for (const std::string &e : wl) refs.push_back(oracle::seq{e});
        for (size_t i = 0; i < reads.size(); ++i)
            if (valid[i]) recs[i] = oracle::hamming_record(oracle::seq{bcs[i]}, refs, static_cast<uint32_t>(k));
    } else {
        std::vector<const uint8_t *> rp, qp;
        std::vector<size_t> rl, ql;
        std::vector<size_t> pos;
        for (const std::string &e : wl) {
            rp.push_back(reinterpret_cast<const uint8_t *>(e.data()));
            rl.push_back(e.size());
        }
        for (size_t i = 0; i < reads.size(); ++i) {
            if (!valid[i]) continue;
            qp.push_back(reinterpret_cast<const uint8_t *>(bcs[i].data()));
            ql.push_back(bcs[i].size());
            pos.push_back(i);
        }
        std::vector<vorn_match> got(qp.size());
        if (!qp.empty() &&
            vorn_match_many(qp.data(), ql.data(), qp.size(), rp.data(), rl.data(), rp.size(), k, got.data()) != 0)
            throw std::runtime_error("vorn_match_many rejected the batch");
        for (size_t j = 0; j < pos.size(); ++j) recs[pos[j]] = got[j];
    }
    std::vector<std::string> out;
    for (size_t i = 0; i < reads.size(); ++i) out.push_back(expected_line(reads[i].name, valid[i], bcs[i], recs[i], wl));
    return out;
}

// A number from the tool's JSON: the value of "key", looked up after the
// first occurrence of "within" when given (for nested objects); -1 if absent.
inline long long json_number(const std::string &json, const std::string &key,
                             const std::string &within = "") {
    size_t from = 0;
    if (!within.empty()) {
        from = json.find("\"" + within + "\":");
        if (from == std::string::npos) return -1;
    }
    const size_t at = json.find("\"" + key + "\":", from);
    if (at == std::string::npos) return -1;
    return std::atoll(json.c_str() + at + key.size() + 3);
}

}  // namespace tool_test

#endif
