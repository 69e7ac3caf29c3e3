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

#include <algorithm>
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

// The binary under test; VELMORA_TOOL_UNDER_TEST overrides it (to run the
// suite against another build).
inline const char *tool_binary() {
    const char *o = std::getenv("VELMORA_TOOL_UNDER_TEST");
    return o && *o ? o : VELMORA_TOOL;
}

// Runs the tool with args; stdout and stderr are captured through files in
// dir, standard input comes from stdin_path.
inline run_result run_tool(const scratch_dir &dir, const std::vector<std::string> &args,
                           const std::string &stdin_path = "/dev/null") {
    const std::string out_path = dir.file(".stdout"), err_path = dir.file(".stderr");
    const pid_t pid = fork();
    if (pid == 0) {
        const int o = open(out_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        const int e = open(err_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        const int in = open(stdin_path.c_str(), O_RDONLY);
        dup2(o, 1);
        dup2(e, 2);
        dup2(in, 0);
        std::vector<char *> argv;
        argv.push_back(const_cast<char *>(tool_binary()));
        for (const std::string &a : args) argv.push_back(const_cast<char *>(a.c_str()));
        argv.push_back(nullptr);
        execv(tool_binary(), argv.data());
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

// The tool reads bases case-insensitively: reads and entries upper-cased.
inline std::string upper(std::string s) {
    for (char &c : s)
        if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 32);
    return s;
}

// The barcode window, or false when it runs past the end of the read.
inline bool barcode_window(const std::string &seq, size_t start, size_t length, std::string *bc) {
    if (start > seq.size() || length > seq.size() - start) return false;
    *bc = upper(seq.substr(start, length));
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

inline const char table_header[] =
    "read\tobserved\tstatus\tassigned\tdistance\tsecond_distance\thits\tposterior\tcandidates";

// The table line of the distance rule on the fixed window (--no-rescue
// --fixed-window) for one read, its record and every entry within the bound
// in (distance, position) order.
inline std::string expected_line(const std::string &name, bool valid, const std::string &bc,
                                 const vorn_match &m, const std::vector<std::string> &wl,
                                 const std::vector<size_t> &within) {
    std::string line = name + "\t" + (valid && !bc.empty() ? bc : "-") + "\t" + status_word(m.status) + "\t";
    if (m.status == VORN_STATUS_INVALID) return line + "-\t-\t-\t-\t-\t-";
    line += m.status == VORN_STATUS_UNIQUE ? wl[m.best_index] : "-";
    line += "\t" + number_or_dash(m.best_distance) + "\t" + number_or_dash(m.second_distance) + "\t";
    line += std::to_string(m.hit_count) + "\t-\t";
    const bool exact_unique = m.status == VORN_STATUS_UNIQUE && m.best_distance == 0;
    std::string cands;
    for (size_t i = 0; i < within.size() && i < 8 && !exact_unique; ++i) cands += (i ? "," : "") + wl[within[i]];
    return line + (cands.empty() ? "-" : cands);
}

struct window {
    size_t start = 0;
    long length = -1;  // -1: not given (the whitelist's common length)
};

// Expected table of `velmora assign --no-rescue --fixed-window` (header
// excluded): edit records from the library's brute-force matcher (which
// compares every read with every entry), Hamming records from the oracle,
// and the entries within the bound by comparing with each entry.
inline std::vector<std::string> expected_output(const std::vector<read_record> &reads,
                                                std::vector<std::string> wl, window w,
                                                bool hamming, int32_t k) {
    for (std::string &e : wl) e = upper(e);
    const size_t length = w.length >= 0 ? static_cast<size_t>(w.length) : wl.at(0).size();
    std::vector<std::string> bcs(reads.size());
    std::vector<bool> valid(reads.size());
    for (size_t i = 0; i < reads.size(); ++i) valid[i] = barcode_window(reads[i].seq, w.start, length, &bcs[i]);
    std::vector<vorn_match> recs(reads.size(), oracle::match_invalid());
    auto distance = [&](const std::string &a, const std::string &b) -> uint32_t {
        if (hamming) return a.size() == b.size() ? oracle::hamming(a, b) : UINT32_MAX;
        const auto *pa = reinterpret_cast<const uint8_t *>(a.data());
        const auto *pb = reinterpret_cast<const uint8_t *>(b.data());
        if (vorn_edit_distance_leq(pa, a.size(), pb, b.size(), k) != 1) return UINT32_MAX;
        return vorn_edit_distance(pa, a.size(), pb, b.size());
    };
    if (hamming) {
        std::vector<oracle::seq> refs;
        for (const std::string &e : wl) refs.push_back(oracle::seq{e});
        for (size_t i = 0; i < reads.size(); ++i)
            if (valid[i]) recs[i] = oracle::hamming_record(oracle::seq{bcs[i]}, refs, static_cast<uint32_t>(k));
    } else {
        std::vector<const uint8_t *> rp, qp;
        std::vector<size_t> rl, ql, pos;
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
    for (size_t i = 0; i < reads.size(); ++i) {
        const vorn_match &m = recs[i];
        std::vector<size_t> order;
        if (valid[i] && m.hit_count > 0 && !(m.status == VORN_STATUS_UNIQUE && m.best_distance == 0)) {
            std::vector<std::pair<uint32_t, size_t>> within;
            for (size_t e = 0; e < wl.size(); ++e) {
                const uint32_t d = distance(bcs[i], wl[e]);
                if (d <= static_cast<uint32_t>(k)) within.push_back({d, e});
            }
            std::sort(within.begin(), within.end());
            for (const auto &p : within) order.push_back(p.second);
        }
        out.push_back(expected_line(reads[i].name, valid[i], bcs[i], m, wl, order));
    }
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
