// The tool's input side under damaged or hostile input and signals: every
// gzip member decodes or the run fails naming the byte, lines are capped,
// an ignored SIGHUP stays ignored, and a repeated whitelist entry is dropped
// rather than making every read near it ambiguous.
#include <gtest/gtest.h>

#include <signal.h>

#include <chrono>
#include <functional>
#include <set>
#include <thread>

#include "tool_harness.h"

using namespace tool_test;

namespace {

// One gzip member holding data, built in memory.
std::string gzip_member(const std::string &data) {
    z_stream zs{};
    if (deflateInit2(&zs, 6, Z_DEFLATED, 15 + 16, 8, Z_DEFAULT_STRATEGY) != Z_OK)
        throw std::runtime_error("deflateInit2 failed");
    std::string out(deflateBound(&zs, data.size()), '\0');
    zs.next_in = reinterpret_cast<Bytef *>(const_cast<char *>(data.data()));
    zs.avail_in = static_cast<uInt>(data.size());
    zs.next_out = reinterpret_cast<Bytef *>(out.data());
    zs.avail_out = static_cast<uInt>(out.size());
    const int rc = deflate(&zs, Z_FINISH);
    deflateEnd(&zs);
    if (rc != Z_STREAM_END) throw std::runtime_error("deflate failed");
    out.resize(zs.total_out);
    return out;
}

// Reads whose 16-base barcodes are whitelist entries, so every read is
// assigned and a lost one shows in the line count.
const std::string small_whitelist = "ACGTACGTACGTACGT\nTTTTCCCCGGGGAAAA\nCACACACAGTGTGTGT\n";

std::string fastq_records(int first, int count) {
    static const char *const bcs[] = {"ACGTACGTACGTACGT", "TTTTCCCCGGGGAAAA", "CACACACAGTGTGTGT"};
    std::string fq;
    for (int i = first; i < first + count; ++i) {
        const std::string seq = std::string(bcs[i % 3]) + "ACGTTGCA";
        fq += "@r" + std::to_string(i) + "\n" + seq + "\n+\n" + std::string(seq.size(), 'I') + "\n";
    }
    return fq;
}

size_t line_count(const std::string &text) {
    size_t n = 0;
    for (const char c : text) n += c == '\n';
    return n;
}

// Rows of an assignment table, its header line not counted.
size_t table_rows(const std::string &table) {
    const size_t n = line_count(table);
    return n == 0 ? 0 : n - 1;
}

// The reads or the whitelist of a run, as bytes on disk.
struct gzip_case {
    const char *label;
    bool in_whitelist;  // else the reads file
    std::function<std::string(const std::string &part1, const std::string &part2)> bytes;
    int status;
    std::vector<std::string> messages;  // each expected in stderr; "@1" stands for the size of part 1's member
};

TEST(ToolRobustness, EveryGzipMemberDecodesOrTheRunFails) {
    const std::string reads1 = fastq_records(0, 300), reads2 = fastq_records(300, 500);
    const std::string wl1 = small_whitelist, wl2 = "GGGGGGGGAAAAAAAA\n";
    auto flip = [](std::string s, size_t at) {
        s[at] = static_cast<char>(s[at] ^ 0x55);
        return s;
    };
    const gzip_case cases[] = {
        {"two_members", false, [](auto a, auto b) { return gzip_member(a) + gzip_member(b); }, 0, {}},
        {"empty_member_between", false,
         [](auto a, auto b) { return gzip_member(a) + gzip_member("") + gzip_member(b); }, 0, {}},
        {"bad_magic_in_second_member", false,
         [](auto a, auto b) {
             std::string m2 = gzip_member(b);
             m2[1] = '\x8c';
             return gzip_member(a) + m2;
         },
         1, {"reads file '", "at byte @1"}},
        {"trailing_text", false, [](auto a, auto) { return gzip_member(a) + "junk\n"; }, 1,
         {"reads file '", "at byte @1"}},
        {"corrupt_second_member_body", false,
         [&](auto a, auto b) {
             const std::string m2 = gzip_member(b);
             return gzip_member(a) + flip(m2, m2.size() / 2);
         },
         1, {"reads file '", "corrupt gzip data", "member at byte @1"}},
        {"corrupt_crc_of_last_member", false,
         [&](auto a, auto b) {
             const std::string m2 = gzip_member(b);
             return gzip_member(a) + flip(m2, m2.size() - 6);
         },
         1, {"corrupt gzip data", "member at byte @1"}},
        {"truncated_second_member", false,
         [](auto a, auto b) {
             const std::string m2 = gzip_member(b);
             return gzip_member(a) + m2.substr(0, m2.size() / 2);
         },
         1, {"truncated", "member at byte @1"}},
        {"whitelist_bad_magic_in_second_member", true,
         [](auto a, auto b) {
             std::string m2 = gzip_member(b);
             m2[0] = 'x';
             return gzip_member(a) + m2;
         },
         1, {"whitelist '", "at byte @1"}},
    };
    for (const gzip_case &c : cases) {
        SCOPED_TRACE(c.label);
        scratch_dir dir;
        const std::string &p1 = c.in_whitelist ? wl1 : reads1, &p2 = c.in_whitelist ? wl2 : reads2;
        const std::string data = c.bytes(p1, p2);
        write_file(dir.file("wl.gz"), c.in_whitelist ? data : gzip_member(small_whitelist));
        write_file(dir.file("r.gz"), c.in_whitelist ? gzip_member(reads1) : data);
        const run_result r = run_tool(dir, {"assign", "--whitelist", dir.file("wl.gz"), "--reads", dir.file("r.gz"),
                                            "--max-edits", "1", "--threads", "2", "--batch-size", "64",
                                            "--out", dir.file("out.tsv")});
        EXPECT_EQ(r.status, c.status) << r.err;
        const std::string m1_size = std::to_string(gzip_member(p1).size());
        for (std::string m : c.messages) {
            if (const size_t at = m.find("@1"); at != std::string::npos) m.replace(at, 2, m1_size);
            EXPECT_NE(r.err.find(m), std::string::npos) << "want '" << m << "' in: " << r.err;
        }
        if (c.status != 0) {
            EXPECT_NE(r.err.find(dir.file(c.in_whitelist ? "wl.gz" : "r.gz")), std::string::npos) << r.err;
        }
        if (c.status == 0) {
            const size_t reads = c.in_whitelist ? 300 : 800;
            EXPECT_EQ(table_rows(read_file(dir.file("out.tsv"))), reads);
        } else {
            EXPECT_EQ(dir.files().size(), 2u) << "output or temporary file left behind";
        }
    }
}

struct long_line_case {
    const char *label;
    std::vector<std::string> args;  // after the inputs; {} means the default limit
    std::string reads;
    std::string whitelist;
    int status;
    const char *message;
};

// A line longer than the limit stops the run with the record (or whitelist
// line) it belongs to, instead of growing the buffer without bound; a line
// at the limit still passes.
TEST(ToolRobustness, LinesAboveTheLimitStopTheRun) {
    const std::string seq100(100, 'A'), qual100(100, 'I');
    const std::string ok2 = "@a\nACGT\n+\nIIII\n@b\nACGT\n+\nIIII\n";
    // A bomb: 1 MiB of 'A' per member and no newline, 72 members: a 72 MiB
    // line from a file of about 75 KB.
    std::string bomb = gzip_member("@r\n");
    const std::string block = gzip_member(std::string(1 << 20, 'A'));
    for (int i = 0; i < 72; ++i) bomb += block;
    const std::vector<std::string> cap100 = {"--max-line-length", "100"};
    const long_line_case cases[] = {
        {"sequence_at_limit", cap100, ok2 + "@c\n" + seq100 + "\n+\n" + qual100 + "\n", "", 0, ""},
        {"sequence_at_limit_crlf", cap100, "@c\r\n" + seq100 + "\r\n+\r\n" + qual100 + "\r\n", "", 0, ""},
        {"sequence_over_limit", cap100, ok2 + "@c\n" + seq100 + "A\n+\n" + qual100 + "I\n", "", 1,
         "record 3 (line 10): the line is longer than the limit of 100 bytes"},
        {"unterminated_last_line", cap100, ok2 + "@c\nACGT\n+\n" + qual100 + "I", "", 1,
         "record 3 (line 12): the line is longer than the limit"},
        {"whitelist_line_over_limit", cap100, ok2, "ACGT\n" + seq100 + "C\n", 1,
         "line 2: longer than the limit of 100 bytes"},
        {"default_limit_stops_a_bomb", {}, bomb, "", 1,
         "record 1 (line 2): the line is longer than the limit of 67,108,864 bytes"},
        {"zero_limit_is_a_usage_error", {"--max-line-length", "0"}, ok2, "", 2, "--max-line-length: Value 0 not in range"},
    };
    for (const long_line_case &c : cases) {
        SCOPED_TRACE(c.label);
        scratch_dir dir;
        write_file(dir.file("wl.txt"), c.whitelist.empty() ? "ACGT\nACGA\n" : c.whitelist);
        write_file(dir.file("r.fq"), c.reads);
        std::vector<std::string> args = {"assign", "--whitelist", dir.file("wl.txt"), "--reads", dir.file("r.fq"),
                                         "--max-edits", "1", "--out", dir.file("out.tsv")};
        args.insert(args.end(), c.args.begin(), c.args.end());
        const run_result r = run_tool(dir, args);
        EXPECT_EQ(r.status, c.status) << r.err;
        EXPECT_NE(r.err.find(c.message), std::string::npos) << r.err;
        if (c.status == 0) EXPECT_EQ(table_rows(read_file(dir.file("out.tsv"))), line_count(c.reads) / 4);
        else EXPECT_FALSE(file_exists(dir.file("out.tsv")));
    }
    // audit reads its whitelist through the same limit.
    scratch_dir dir;
    write_file(dir.file("wl.txt"), "ACGT\n" + seq100 + "C\n");
    const run_result r = run_tool(dir, {"audit", "--whitelist", dir.file("wl.txt"), "--max-line-length", "100"});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("line 2: longer than the limit of 100 bytes"), std::string::npos) << r.err;
}

// Bit of sig in a /proc/<pid>/status signal mask line ("SigCgt:", "SigIgn:").
bool proc_mask_has(pid_t pid, const std::string &field, int sig) {
    const std::string status = read_file("/proc/" + std::to_string(pid) + "/status");
    const size_t at = status.find(field);
    if (at == std::string::npos) return false;
    const unsigned long long mask = std::strtoull(status.c_str() + at + field.size(), nullptr, 16);
    return (mask >> (sig - 1)) & 1;
}

struct signal_case {
    const char *label;
    int sig;
    bool ignored_at_start;  // as under nohup, or for a background job of a script (SIGINT)
};

// A signal ignored when the tool starts must not end the run; one that is
// not ends it and removes the temporary output.
TEST(ToolRobustness, SignalsIgnoredAtStartStayIgnored) {
    const signal_case cases[] = {
        {"hup_ignored", SIGHUP, true},   {"int_ignored", SIGINT, true}, {"hup", SIGHUP, false},
        {"int", SIGINT, false},          {"term", SIGTERM, false},
    };
    const std::string reads = fastq_records(0, 2000);
    // A tool that died must fail the test, not kill it through the pipe.
    const auto old_pipe = signal(SIGPIPE, SIG_IGN);
    for (const signal_case &c : cases) {
        SCOPED_TRACE(c.label);
        scratch_dir dir;
        write_file(dir.file("wl.txt"), small_whitelist);
        int to_tool[2];
        ASSERT_EQ(pipe(to_tool), 0);
        const pid_t pid = fork();
        if (pid == 0) {
            const int out = open(dir.file("stdout").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
            const int err = open(dir.file("stderr").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
            dup2(to_tool[0], 0);
            dup2(out, 1);
            dup2(err, 2);
            close(to_tool[1]);
            sigset_t none;
            sigemptyset(&none);
            sigprocmask(SIG_SETMASK, &none, nullptr);
            for (const int s : {SIGHUP, SIGINT, SIGTERM}) signal(s, SIG_DFL);
            if (c.ignored_at_start) signal(c.sig, SIG_IGN);
            execl(VELMORA_TOOL, VELMORA_TOOL, "assign", "--whitelist", dir.file("wl.txt").c_str(), "--reads", "-",
                  "--max-edits", "1", "--threads", "1", "--out", dir.file("out.tsv").c_str(), (char *)nullptr);
            _exit(127);
        }
        close(to_tool[0]);
        // The tool now waits for its reads.  Wait until it has its cleanup
        // handlers in place (they come with the temporary output file).
        bool ready = false;
        for (int i = 0; i < 2000 && !ready; ++i) {
            ready = true;
            for (const int s : {SIGHUP, SIGINT, SIGTERM})
                if (!(c.ignored_at_start && s == c.sig)) ready = ready && proc_mask_has(pid, "SigCgt:", s);
            if (!ready) std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        EXPECT_TRUE(ready) << "the tool never installed its signal handlers";
        kill(pid, c.sig);
        if (c.ignored_at_start) {
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
            EXPECT_EQ(write(to_tool[1], reads.data(), reads.size()), static_cast<ssize_t>(reads.size()));
        }
        close(to_tool[1]);
        int st = 0;
        waitpid(pid, &st, 0);
        if (c.ignored_at_start) {
            EXPECT_TRUE(WIFEXITED(st) && WEXITSTATUS(st) == 0) << read_file(dir.file("stderr"));
            EXPECT_EQ(table_rows(read_file(dir.file("out.tsv"))), 2000u);
            EXPECT_EQ(dir.files().size(), 4u) << "temporary file left behind";
        } else {
            EXPECT_TRUE(WIFSIGNALED(st) && WTERMSIG(st) == c.sig) << "status " << st;
            const std::vector<std::string> left = dir.files();
            EXPECT_EQ(std::set<std::string>(left.begin(), left.end()),
                      (std::set<std::string>{"wl.txt", "stdout", "stderr"}))
                << "output or temporary file left behind";
        }
    }
    signal(SIGPIPE, old_pipe);
}

// Repeated whitelist entries: the index holds the first occurrence only, so
// a read at a repeated entry is unique and its hits count distinct entries;
// the run says how many entries it dropped.
TEST(ToolRobustness, RepeatedWhitelistEntriesAreDropped) {
    scratch_dir dir;
    const std::vector<std::string> distinct = {"ACGTACGTACGTACGT", "TTTTCCCCGGGGAAAA", "ACGTACGTACGTACGA",
                                               "CACACACAGTGTGTGT"};
    std::string wl_text;
    for (const std::string &e : distinct) wl_text += e + "\n";
    for (int i = 0; i < 3000; ++i) wl_text += distinct[0] + "\n";
    wl_text += distinct[2] + "\n" + distinct[1] + "\n";
    write_file(dir.file("wl.txt"), wl_text);
    const std::string fq = fastq_records(0, 90) + "@near\nACGTACGTACGTTCGT\n+\nIIIIIIIIIIIIIIII\n";
    write_file(dir.file("r.fq"), fq);
    for (const bool hamming : {false, true}) {
        SCOPED_TRACE(hamming ? "hamming" : "edit");
        // The distance rule over the fixed window, so that brute force over
        // the distinct entries gives the expected table.
        std::vector<std::string> args = {"assign", "--whitelist", dir.file("wl.txt"), "--reads", dir.file("r.fq"),
                                         hamming ? "--max-mismatches" : "--max-edits", "2", "--barcode-length",
                                         "16", "--out", dir.file("out.tsv"), "--summary", dir.file("s.json"),
                                         "--no-rescue"};
        if (!hamming) args.push_back("--fixed-window");
        const run_result r = run_tool(dir, args);
        ASSERT_EQ(r.status, 0) << r.err;
        EXPECT_NE(r.err.find("3,002 whitelist entries repeat an earlier entry"), std::string::npos) << r.err;
        std::vector<std::string> want = {table_header};
        for (std::string &row : expected_output(parse_fastq(fq), distinct, window{0, 16}, hamming, 2))
            want.push_back(std::move(row));
        EXPECT_EQ(split_lines(read_file(dir.file("out.tsv"))), want);
        const std::string json = read_file(dir.file("s.json"));
        EXPECT_EQ(json_number(json, "whitelist_entries"), 4);
        EXPECT_EQ(json_number(json, "whitelist_duplicates_dropped"), 3002);
    }
}

}  // namespace
