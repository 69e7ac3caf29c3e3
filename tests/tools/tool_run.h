// What the tool's end-to-end tests share: a scratch folder under the build,
// the tool run with captured output, gzip files and tab-separated tables.
#ifndef VELMORA_TESTS_TOOL_RUN_H
#define VELMORA_TESTS_TOOL_RUN_H

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "files.h"

namespace velmora_tool_test {

using velmora_test::read_file;
using velmora_test::read_gzip;
using velmora_test::scratch_dir;
using velmora_test::write_file;
using velmora_test::write_gzip;

inline const std::string demo_whitelist = std::string(VELMORA_DEMO_DATA) + "/whitelist.txt";
inline const std::string demo_reads = std::string(VELMORA_DEMO_DATA) + "/reads.fastq.gz";

// Fields at sep; a trailing empty field is kept for tabs, not for lines.
inline std::vector<std::string> split(const std::string &text, char sep) {
    std::vector<std::string> out;
    size_t start = 0;
    for (size_t at; (at = text.find(sep, start)) != std::string::npos; start = at + 1)
        out.push_back(text.substr(start, at - start));
    if (start < text.size() || sep == '\t') out.push_back(text.substr(start));
    return out;
}

// FASTQ records, the header comment (after a tab) apart.
struct fq_record {
    std::string name, comment, seq, qual;
};
inline std::vector<fq_record> parse_fastq(const std::string &text) {
    std::vector<fq_record> out;
    const std::vector<std::string> lines = split(text, '\n');
    for (size_t i = 0; i + 3 < lines.size(); i += 4) {
        const size_t tab = lines[i].find('\t');
        out.push_back({lines[i].substr(1, tab == std::string::npos ? std::string::npos : tab - 1),
                       tab == std::string::npos ? "" : lines[i].substr(tab + 1), lines[i + 1], lines[i + 3]});
    }
    return out;
}

// One table as column name -> value, per line.
inline std::vector<std::map<std::string, std::string>> parse_table(const std::string &text) {
    const std::vector<std::string> lines = split(text, '\n');
    std::vector<std::map<std::string, std::string>> rows;
    const std::vector<std::string> header = lines.empty() ? lines : split(lines[0], '\t');
    for (size_t i = 1; i < lines.size(); ++i) {
        const std::vector<std::string> f = split(lines[i], '\t');
        std::map<std::string, std::string> &row = rows.emplace_back();
        for (size_t c = 0; c < header.size() && c < f.size(); ++c) row[header[c]] = f[c];
    }
    return rows;
}

struct run_result {
    int status = -1;
    std::string out, err;
};

// How a run starts: standard input from a path ("" closes it), the
// environment's TMPDIR and other variables, a file-size limit, standard
// output closed.
struct run_setup {
    std::string stdin_path = "/dev/null";
    std::string tmpdir;
    rlim_t file_size_limit = RLIM_INFINITY;
    bool close_stdout = false;
    std::vector<std::string> env;  // "NAME=value", added to the tool's environment

    static run_setup input(std::string path, std::string tmp = "") {
        run_setup s;
        s.stdin_path = std::move(path);
        s.tmpdir = std::move(tmp);
        return s;
    }
};

// Starts the tool with stdout and stderr captured through files in dir.
inline pid_t spawn_tool(const scratch_dir &dir, const std::vector<std::string> &args, const run_setup &setup = {}) {
    const std::string out_path = dir.file(".stdout"), err_path = dir.file(".stderr");
    const pid_t pid = fork();
    if (pid == 0) {
        dup2(open(out_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644), 1);
        dup2(open(err_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644), 2);
        if (setup.stdin_path.empty()) close(0);
        else dup2(open(setup.stdin_path.c_str(), O_RDONLY), 0);
        if (setup.close_stdout) close(1);
        if (!setup.tmpdir.empty()) setenv("TMPDIR", setup.tmpdir.c_str(), 1);
        for (const std::string &e : setup.env) putenv(const_cast<char *>(e.c_str()));
        const rlimit limit{setup.file_size_limit, setup.file_size_limit};
        setrlimit(RLIMIT_FSIZE, &limit);
        std::vector<char *> argv{const_cast<char *>(VELMORA_TOOL)};
        for (const std::string &a : args) argv.push_back(const_cast<char *>(a.c_str()));
        argv.push_back(nullptr);
        execv(VELMORA_TOOL, argv.data());
        _exit(127);
    }
    return pid;
}

// Waits for a run; status is 128 + the signal for a run a signal ended.
inline run_result finish_tool(const scratch_dir &dir, pid_t pid, long *peak_rss_kb = nullptr) {
    int st = 0;
    rusage use{};
    wait4(pid, &st, 0, &use);
    if (peak_rss_kb) *peak_rss_kb = use.ru_maxrss;
    const std::string out_path = dir.file(".stdout"), err_path = dir.file(".stderr");
    run_result r{WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st), read_file(out_path), read_file(err_path)};
    std::filesystem::remove(out_path);
    std::filesystem::remove(err_path);
    return r;
}

inline run_result run_tool(const scratch_dir &dir, const std::vector<std::string> &args,
                           const std::string &stdin_path = "/dev/null") {
    return finish_tool(dir, spawn_tool(dir, args, run_setup::input(stdin_path)));
}

}  // namespace velmora_tool_test

#endif
