// The velmora tool run as a user runs it, checked on what a user relies on:
// the columns of the assignment table (every line against brute force on
// random inputs), the counts and summary files, exit statuses and messages,
// and which files a run leaves behind.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <zlib.h>

#include <algorithm>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <future>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "model.h"
#include "tool_run.h"

namespace {

namespace fs = std::filesystem;
using namespace velmora_tool_test;

const char table_header[] =
    "read\tobserved\tstatus\tassigned\tdistance\tsecond_distance\thits\tposterior\tcandidates";

// A number from the tool's JSON: the value of "key", looked up after the
// first occurrence of "within" when given; -1 when absent.
long long json_number(const std::string &json, const std::string &key, const std::string &within = "") {
    const size_t from = within.empty() ? 0 : json.find("\"" + within + "\":");
    const size_t at = from == std::string::npos ? from : json.find("\"" + key + "\":", from);
    return at == std::string::npos ? -1 : std::atoll(json.c_str() + at + key.size() + 3);
}

// Feeds data into a FIFO from a thread of its own; hold keeps the FIFO
// open after the data until release(), so that the reader waits for more.
class fifo_feed {
public:
    fifo_feed(std::string path, std::string data, bool hold = false) : path_(std::move(path)) {
        mkfifo(path_.c_str(), 0600);
        thread_ = std::thread([this, data = std::move(data), hold] {
            const int fd = open(path_.c_str(), O_WRONLY);
            for (size_t done = 0; fd >= 0 && done < data.size();) {
                const ssize_t w = write(fd, data.data() + done, data.size() - done);
                if (w <= 0) break;
                done += static_cast<size_t>(w);
            }
            written_.set_value();
            if (hold) released_.get_future().wait();
            if (fd >= 0) close(fd);
        });
    }
    // Returns once the reader has taken all but a pipe buffer of the data.
    void wait_written() { written_.get_future().wait(); }
    void release() {
        if (!released_set_) released_.set_value();
        released_set_ = true;
    }
    ~fifo_feed() {
        release();
        // A writer whose reader never came is let go by opening the other end.
        const int unblock = open(path_.c_str(), O_RDONLY | O_NONBLOCK);
        thread_.join();
        if (unblock >= 0) close(unblock);
    }

private:
    std::string path_;
    std::promise<void> written_, released_;
    bool released_set_ = false;
    std::thread thread_;
};

using model::folded;
std::string number_or_dash(uint32_t v) { return v == UINT32_MAX ? "-" : std::to_string(v); }

// The table of `assign --no-rescue` on the fixed window [start, start + len)
// from brute force over the distinct upper-cased entries.
std::vector<std::string> expected_table(const std::string &fastq, const std::vector<std::string> &wl_in,
                                        size_t start, size_t len, bool hamming, uint32_t k) {
    std::vector<std::string> wl;  // read case-insensitively, repeats dropped
    for (const std::string &e : wl_in)
        if (std::find(wl.begin(), wl.end(), folded(e)) == wl.end()) wl.push_back(folded(e));
    const auto dist = [&](const std::string &a, const std::string &b) {
        return hamming ? oracle::hamming(a, b) : oracle::levenshtein(a, b);
    };
    std::vector<std::string> out{table_header};
    const std::vector<std::string> lines = split(fastq, '\n');
    for (size_t i = 0; i + 3 < lines.size(); i += 4) {
        const std::string name = split(lines[i].substr(1), ' ')[0], &seq = lines[i + 1];
        if (start > seq.size() || len > seq.size() - start) {
            out.push_back(name + "\t-\tinvalid\t-\t-\t-\t-\t-\t-");
            continue;
        }
        const std::string bc = folded(seq.substr(start, len));
        const vorn_match m = oracle::match_record(oracle::seq{bc}, velmora_test::as_seqs(wl), k, dist);
        std::vector<std::pair<uint32_t, size_t>> within;
        for (size_t e = 0; e < wl.size(); ++e)
            if (dist(bc, wl[e]) <= k) within.push_back({dist(bc, wl[e]), e});
        std::sort(within.begin(), within.end());
        std::string cands;
        const bool exact_unique = m.status == VORN_STATUS_UNIQUE && m.best_distance == 0;
        for (size_t c = 0; c < within.size() && c < 8 && !exact_unique; ++c)
            cands += (c ? "," : "") + wl[within[c].second];
        const char *status = m.status == VORN_STATUS_NONE ? "none"
                             : m.status == VORN_STATUS_UNIQUE ? "unique" : "ambiguous";
        out.push_back(name + "\t" + (bc.empty() ? "-" : bc) + "\t" + status + "\t" +
                      (m.status == VORN_STATUS_UNIQUE ? wl[m.best_index] : "-") + "\t" +
                      number_or_dash(m.best_distance) + "\t" + number_or_dash(m.second_distance) +
                      "\t" + std::to_string(m.hit_count) + "\t-\t" + (cands.empty() ? "-" : cands));
    }
    return out;
}

// A whitelist crowded with near neighbors, duplicates, N and lower case,
// mostly 16 bases; reads built from it with 0 to 3 edits, some too short.
void make_inputs(uint64_t seed, std::vector<std::string> *wl, std::string *fastq) {
    velmora_test::rng g(seed);
    for (int i = 0; i < 120; ++i) wl->push_back(g.noisy(g.chance(15) ? g.range(15, 17) : 16, 4));
    for (int i = 0; i < 60; ++i) wl->push_back(g.mutate((*wl)[g.range(0, wl->size() - 1)], 1 + g.chance(50)));
    for (int i = 0; i < 8; ++i) wl->push_back((*wl)[g.range(0, wl->size() - 1)]);
    for (std::string &e : *wl) {
        if (e.empty()) e = "A";
        for (char &c : e)
            if (!std::strchr("ACGTNacgtn", c) || c == '\0') c = 'N';  // sequence letters only
    }
    for (int i = 0; i < 500; ++i) {
        std::string seq = g.dna(2) + g.mutate((*wl)[g.range(0, wl->size() - 1)], unsigned(g.range(0, 3))) + g.dna(6);
        if (g.chance(4)) seq.resize(g.range(0, 17));
        if (g.chance(10) && !seq.empty()) seq[g.range(0, seq.size() - 1)] = 'n';
        *fastq += "@r" + std::to_string(i) + (g.chance(50) ? " extra words" : "") + "\n" + seq + "\n+\n" +
                  std::string(seq.size(), 'I') + "\n";
    }
}

TEST(ToolAssign, EveryLineMatchesBruteForce) {
    for (const bool hamming : {false, true}) {
        SCOPED_TRACE(hamming ? "hamming" : "edit");
        scratch_dir dir;
        std::vector<std::string> wl;
        std::string fq;
        make_inputs(hamming ? 2 : 1, &wl, &fq);
        std::string wl_text = "# crowded\n\n";
        for (const std::string &e : wl) wl_text += e + "\n";
        // Gzip is told by its bytes, not by the name: behind a plain name too.
        write_gzip(dir.file(hamming ? "wl.txt" : "wl.gz"), wl_text);
        write_file(dir.file("r.fq"), fq);
        const uint32_t k = hamming ? 2 : 1;
        const std::string out = dir.file(hamming ? "o.tsv.gz" : "o.tsv");
        std::vector<std::string> args = {"assign", "--whitelist", dir.file(hamming ? "wl.txt" : "wl.gz"), "--reads",
                                         dir.file("r.fq"), hamming ? "--max-mismatches" : "--max-edits",
                                         std::to_string(k), "--no-rescue", "--barcode-start", "2", "--barcode-length",
                                         "16", "--threads", "3", "--batch-size", "23", "--out", out,
                                         "--summary", dir.file("s.json")};
        if (!hamming) args.push_back("--fixed-window");
        const run_result r = run_tool(dir, args);
        ASSERT_EQ(r.status, 0) << r.err;
        const std::vector<std::string> want = expected_table(fq, wl, 2, 16, hamming, k);
        EXPECT_EQ(dir.count(), 4u) << "only the inputs, the table and the summary";
        const std::vector<std::string> got = split(hamming ? read_gzip(out) : read_file(out), '\n');
        ASSERT_EQ(got.size(), want.size());
        for (size_t i = 0; i < want.size(); ++i) ASSERT_EQ(got[i], want[i]) << "line " << i;
        std::map<std::string, long long> by_status;
        for (size_t i = 1; i < want.size(); ++i) ++by_status[split(want[i], '\t')[2]];
        const std::string json = read_file(dir.file("s.json"));
        EXPECT_EQ(json_number(json, "reads"), static_cast<long long>(want.size() - 1));
        for (const char *s : {"none", "unique", "ambiguous", "invalid"})
            EXPECT_EQ(json_number(json, "count", s), by_status[s]) << s;
        EXPECT_GT(json_number(json, "whitelist_duplicates_dropped"), 0);
    }
}

// Reads that cannot be read twice (a FIFO; a pipe on standard input, as '-'
// or as /dev/stdin) are spooled for the two passes: the same table as from
// the file.  The spool holds plain input gzip-compressed and gzip input as it
// is; it is unlinked from the start, so that even SIGKILL leaves nothing in
// TMPDIR.
TEST(ToolInput, ReadsThatCannotBeReadTwiceAreSpooled) {
    scratch_dir dir;
    const std::string fq = read_gzip(demo_reads), gz = read_file(demo_reads), fifo = dir.file("f"), tmp = dir.file("tmp");
    fs::create_directory(tmp);
    const auto args = [&](const std::string &reads) {
        return std::vector<std::string>{"assign", "--whitelist", demo_whitelist, "--max-edits", "1", "--reads", reads,
                                        "--summary", dir.file("s.json")};
    };
    const run_result reference = run_tool(dir, args(demo_reads));
    ASSERT_EQ(reference.status, 0) << reference.err;
    const std::pair<std::string, const std::string *> cases[] = {
        {fifo, &fq}, {"/dev/stdin", &fq}, {"-", &fq}, {fifo, &gz}};
    for (const auto &[reads, data] : cases) {
        SCOPED_TRACE(reads + (data == &gz ? " gzip" : " plain"));
        fifo_feed feed(fifo, *data);
        const run_result r = finish_tool(dir, spawn_tool(dir, args(reads), run_setup::input(reads == fifo ? "/dev/null" : fifo, tmp)));
        EXPECT_EQ(r.status, 0) << r.err;
        EXPECT_TRUE(r.out == reference.out) << r.out.size() << " bytes of " << reference.out.size();
        EXPECT_TRUE(fs::is_empty(tmp)) << "the spool outlived the run";
        const long long spooled = json_number(read_file(dir.file("s.json")), "spool_bytes");
        if (data == &gz) EXPECT_EQ(spooled, static_cast<long long>(gz.size()));
        else EXPECT_TRUE(spooled > 0 && spooled < static_cast<long long>(fq.size() / 2)) << spooled;
    }
    fifo_feed feed(fifo, fq.substr(0, fq.size() / 2), true);
    const pid_t pid = spawn_tool(dir, args("-"), run_setup::input(fifo, tmp));
    feed.wait_written();
    EXPECT_TRUE(fs::is_empty(tmp)) << "the spool is visible while it is written";
    kill(pid, SIGKILL);
    EXPECT_EQ(finish_tool(dir, pid).status, 128 + SIGKILL);
    EXPECT_TRUE(fs::is_empty(tmp));
}

// The lanes of one library, given as several --reads (here a gzip file and
// a FIFO, spooled), are one run: the table and every figure of the whole
// file, the exact counts pooled over the lanes, each input counted, and an
// error in a lane named by its file and record.
TEST(ToolInput, LanesAreReadAsOneRun) {
    scratch_dir dir;
    const std::string fq = read_gzip(demo_reads), lane1 = dir.file("L1.fq.gz"), lane2 = dir.file("L2");
    size_t cut = 0;
    for (int line = 0; line < 4 * 10000; ++line) cut = fq.find('\n', cut) + 1;
    write_gzip(lane1, fq.substr(0, cut));
    write_file(dir.file("L2.fq"), fq.substr(cut));
    const auto run = [&](const std::vector<std::string> &reads, const std::string &tag) {
        std::vector<std::string> args = {"assign", "--whitelist", demo_whitelist, "--max-edits", "1",
                                         "--counts", dir.file(tag + ".tsv"), "--summary", dir.file(tag + ".json")};
        for (const std::string &r : reads) args.insert(args.end(), {"--reads", r});
        return run_tool(dir, args);
    };
    // From the metric to the library's work: every figure but the inputs and the times.
    const auto figures = [&](const std::string &tag) {
        const std::string j = read_file(dir.file(tag + ".json"));
        const size_t from = j.find("\"metric\"");
        return j.substr(from, j.find("\"reads_per_second\"") - from);
    };
    const run_result whole = run({demo_reads}, "whole");
    ASSERT_EQ(whole.status, 0) << whole.err;
    run_result r;
    {
        fifo_feed feed(lane2, fq.substr(cut));
        r = run({lane1, lane2}, "lanes");
    }
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_TRUE(r.out == whole.out);
    EXPECT_EQ(read_file(dir.file("lanes.tsv")), read_file(dir.file("whole.tsv")));
    EXPECT_EQ(figures("lanes"), figures("whole"));
    const std::string json = read_file(dir.file("lanes.json"));
    for (const std::string &lane : {lane1, lane2})
        EXPECT_EQ(json_number(json.substr(json.find("\"" + lane + "\"")), "reads"), 10000) << lane;
    EXPECT_NE(r.err.find("10,000 reads from " + lane2 + "\n"), std::string::npos) << r.err;
    // The second lane alone decides some of its reads otherwise: its rescue
    // above drew on the first lane's exact counts.
    const run_result alone = run({dir.file("L2.fq")}, "alone");
    ASSERT_EQ(alone.status, 0) << alone.err;
    const std::vector<std::string> all = split(whole.out, '\n'), second = split(alone.out, '\n');
    ASSERT_EQ(second.size(), 10001u);
    EXPECT_FALSE(std::equal(second.begin() + 1, second.end(), all.end() - 10000));
    write_file(dir.file("bad.fq"), "@a\nACGT\n+\nIIII\nb\n");
    r = run({lane1, dir.file("bad.fq")}, "bad");
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("reads file '" + dir.file("bad.fq") + "' record 2 (line 5)"), std::string::npos) << r.err;
}

// Repeats are dropped as the whitelist is read: memory follows the distinct
// entries, not the length of the file (here 6.3 million lines, 2 distinct
// once case is folded).
TEST(ToolInput, RepeatedWhitelistEntriesTakeNoMemory) {
    scratch_dir dir;
    std::string chunk;
    for (int i = 0; i < 65536; ++i) chunk += i % 2 ? "ACGTACGTACGTACGT\n" : "acgtacgtacgtacgt\n";
    gzFile gz = gzopen(dir.file("wl.gz").c_str(), "wb1");
    for (int i = 0; i < 96; ++i) gzwrite(gz, chunk.data(), static_cast<unsigned>(chunk.size()));
    gzwrite(gz, "TTTTCCCCGGGGAAAA\n", 17);
    gzclose(gz);
    long peak_kb = 0;
    const run_result r = finish_tool(dir, spawn_tool(dir, {"assign", "--whitelist", dir.file("wl.gz"), "--reads", demo_reads,
                                                           "--max-edits", "1", "--out", "/dev/null", "--summary",
                                                           dir.file("s.json")}), &peak_kb);
    ASSERT_EQ(r.status, 0) << r.err;
    const std::string json = read_file(dir.file("s.json"));
    EXPECT_EQ(json_number(json, "whitelist_entries"), 2);
    EXPECT_EQ(json_number(json, "whitelist_duplicates_dropped"), 96 * 65536 - 1);
    EXPECT_LT(peak_kb, 100 * 1024);
}

// The default (posterior) run: the table's columns hang together and the
// counts file and summary agree with it.
TEST(ToolAssign, RescueOutputsAgreeWithTheTable) {
    scratch_dir dir;
    const run_result r = run_tool(dir, {"assign", "--whitelist", demo_whitelist, "--reads", demo_reads, "--max-edits",
                                        "1", "--out", dir.file("o.tsv"), "--summary", dir.file("s.json"),
                                        "--counts", dir.file("c.tsv"), "--knee-plot", dir.file("k.svg"),
                                        "--cells", dir.file("cells.txt")});
    ASSERT_EQ(r.status, 0) << r.err;
    std::map<std::string, long long> total;
    long long unique = 0, with_errors = 0, ties = 0;
    for (const std::string &line : split(read_file(dir.file("o.tsv")), '\n')) {
        const std::vector<std::string> f = split(line, '\t');
        ASSERT_EQ(f.size(), 9u) << line;
        if (f[2] != "unique") continue;
        ++unique;
        ++total[f[3]];
        if (f[4] == "0" && f[7] == "-") continue;
        ++with_errors;
        ties += f[5] == f[4];  // another entry as close: a tie the posterior broke
        EXPECT_GE(std::stod(f[7]), 0.975) << line;
    }
    EXPECT_GT(with_errors, 0);
    const std::vector<std::string> counts = split(read_file(dir.file("c.tsv")), '\n');
    ASSERT_EQ(counts.size(), total.size() + 1);
    EXPECT_EQ(counts[0], "barcode\texact\trescued\ttotal");
    const std::string json = read_file(dir.file("s.json"));
    EXPECT_EQ(json_number(json, "count", "unique"), unique);
    EXPECT_EQ(json_number(json, "assigned_with_errors"), with_errors);
    EXPECT_GT(ties, 0);
    EXPECT_EQ(json_number(json, "ties_broken"), ties);
    // The cells are the counted barcodes down to the threshold, in order.
    const long long threshold = json_number(json, "threshold");
    std::string cells;
    long long in_cells = 0;
    for (size_t i = 1; i < counts.size(); ++i) {
        const std::vector<std::string> f = split(counts[i], '\t');
        EXPECT_EQ(std::stoll(f[3]), total[f[0]]) << f[0];
        EXPECT_EQ(std::stoll(f[1]) + std::stoll(f[2]), total[f[0]]) << f[0];
        EXPECT_LE(std::stoll(f[3]), i > 1 ? std::stoll(split(counts[i - 1], '\t')[3]) : LLONG_MAX);
        if (std::stoll(f[3]) < threshold) continue;
        cells += f[0] + "\n";
        in_cells += std::stoll(f[3]);
    }
    EXPECT_GT(threshold, 1);
    EXPECT_EQ(read_file(dir.file("cells.txt")), cells);
    EXPECT_EQ(json_number(json, "reads_in_cells"), in_cells);
    const std::string svg = read_file(dir.file("k.svg"));
    EXPECT_NE(svg.find("cells: " + std::to_string(threshold) + " reads or more"), std::string::npos);
    EXPECT_NE(svg.find("</svg>"), std::string::npos);
}

struct bad_case {
    const char *label;
    int status;
    const char *message;
    std::string whitelist, reads;
    std::vector<std::string> options;
};

// A read one substitution from an entry read once and two from a cell read
// hundreds of times is more likely the cell's read with two errors: it is
// not given to the rare entry.  With the cell under a hundred times the
// rare entry's reads, it is.
TEST(ToolAssign, AnAbundantEntryBeyondTheBoundHoldsARareEntrysRead) {
    const std::string cell = "ACGTACGTACGTACGT", rare = "ACGTACGTACGTACCG", read = "ACGTACGTACGTACCA";
    const auto fastq = [](const std::string &name, const std::string &seq, size_t copies) {
        std::string out;
        for (size_t i = 0; i < copies; ++i)
            out += "@" + name + std::to_string(i) + "\n" + seq + "\n+\n" + std::string(seq.size(), '5') + "\n";
        return out;
    };
    struct row {
        size_t cell_reads, rare_reads;
        const char *status;
    } rows[] = {{300, 1, "ambiguous"}, {100, 1, "ambiguous"}, {99, 1, "unique"}, {300, 4, "unique"}};
    for (const row &c : rows) {
        SCOPED_TRACE(std::to_string(c.cell_reads) + " " + std::to_string(c.rare_reads));
        scratch_dir dir;
        write_file(dir.file("wl.txt"), cell + "\n" + rare + "\nTTTTGGGGCCCCAAAA\n");
        write_file(dir.file("r.fq"), fastq("c", cell, c.cell_reads) + fastq("r", rare, c.rare_reads) +
                                         fastq("q", read, 1));
        const run_result r = run_tool(dir, {"assign", "--whitelist", dir.file("wl.txt"), "--reads", dir.file("r.fq"),
                                            "--max-edits", "1", "--out", dir.file("o.tsv")});
        ASSERT_EQ(r.status, 0) << r.err;
        const auto rows_out = parse_table(read_file(dir.file("o.tsv")));
        ASSERT_FALSE(rows_out.empty());
        const auto &last = rows_out.back();
        EXPECT_EQ(last.at("read"), "q0");
        EXPECT_EQ(last.at("status"), c.status);
        if (std::string(c.status) == "unique") {
            EXPECT_EQ(last.at("assigned"), rare);
        } else {
            // The posterior is the wider decision's, short of the threshold.
            EXPECT_LT(std::stod(last.at("posterior")), 0.975);
        }
    }
}

// Each bad input gives its exit status and message, writes nothing to
// standard output, leaves no output or temporary file and keeps a previous
// output as it was.
TEST(ToolErrors, BadInputFailsCleanly) {
    const std::string wl = "ACGTACGT\nTTTTCCCC\n", fq = "@a\nACGTACGT\n+\nIIIIIIII\n";
    std::string big;
    for (int i = 0; i < 2000; ++i) big += "@r" + std::to_string(i) + "\nACGTACGTAC\n+\nIIIIIIIIII\n";
    const std::vector<std::string> e1 = {"--max-edits", "1"};
    const bad_case cases[] = {
        {"missing whitelist", 1, "cannot open whitelist", "", fq, e1},
        {"header without @", 1, "record 2 (line 5): expected a header", wl, fq + "b\nACGT\n+\nIIII\n", e1},
        {"quality length", 1, "record 2 (line 8): the quality line has 3 characters, the sequence 4", wl,
         fq + "@b\nACGT\n+\nIII\n", e1},
        {"truncated record", 1, "record 2 (line 6): truncated", wl, fq + "@b\nACGT\n", e1},
        {"truncated gzip", 1, "truncated", wl, "gz:" + big, e1},
        {"damaged gzip member", 1, "after a gzip member", wl, "gzjunk:" + big, e1},
        {"line too long", 1, "longer than the limit of 20 bytes", wl,
         fq + "@b\n" + std::string(30, 'A') + "\n+\n" + std::string(30, 'I') + "\n",
         {"--max-edits", "1", "--max-line-length", "20"}},
        {"whitelist bad line", 1, "line 3: not a sequence: 'ACGT,1'", "ACGT\n# comment\nACGT,1\n", fq, e1},
        {"empty whitelist", 1, "has no entries", "# only a comment\n", fq, e1},
        {"both metrics", 2, "--max-edits excludes --max-mismatches", wl, fq,
         {"--max-edits", "1", "--max-mismatches", "1"}},
        {"no metric", 2, "is required", wl, fq, {}},
        {"standard input twice", 2, "--reads can name standard input ('-') only once", wl, fq,
         {"--max-edits", "1", "--reads", "-", "--reads", "-"}},
        {"mismatches 4", 2, "--max-mismatches: '4' is not a bound from 0 to 3", wl, fq, {"--max-mismatches", "4"}},
        {"unknown option", 2, "not expected: --fast", wl, fq, {"--max-edits", "1", "--fast"}},
        {"mixed lengths", 2, "lengths from 4 to 5: give --barcode-length", "ACGT\nACGTA\n", fq, e1},
        {"UMI correction without a read structure", 2, "--no-umi-correct needs a --read-structure", wl, fq,
         {"--max-edits", "1", "--no-umi-correct"}},
        {"posterior above one", 2, "--min-posterior: value 1.5 is not a number from 0.00 to 1.00", wl, fq,
         {"--max-edits", "1", "--min-posterior", "1.5"}},
    };
    for (const bad_case &c : cases) {
        SCOPED_TRACE(c.label);
        scratch_dir dir;
        if (!c.whitelist.empty()) write_file(dir.file("wl.txt"), c.whitelist);
        if (c.reads.rfind("gzjunk:", 0) == 0) {
            write_gzip(dir.file("r.fq"), c.reads.substr(7));
            write_file(dir.file("r.fq"), read_file(dir.file("r.fq")) + "not gzip");
        } else if (c.reads.rfind("gz:", 0) == 0) {
            write_gzip(dir.file("full.gz"), c.reads.substr(3));
            const std::string gz = read_file(dir.file("full.gz"));
            fs::remove(dir.file("full.gz"));
            write_file(dir.file("r.fq"), gz.substr(0, gz.size() / 2));
        } else {
            write_file(dir.file("r.fq"), c.reads);
        }
        write_file(dir.file("out.tsv"), "previous\n");
        std::vector<std::string> args = {"assign", "--whitelist", dir.file("wl.txt"), "--reads", dir.file("r.fq"),
                                         "--out", dir.file("out.tsv"), "--summary", dir.file("s.json")};
        args.insert(args.end(), c.options.begin(), c.options.end());
        const size_t before = dir.count();
        const run_result r = run_tool(dir, args);
        EXPECT_EQ(r.status, c.status) << r.err;
        EXPECT_NE(r.err.find(c.message), std::string::npos) << r.err;
        EXPECT_TRUE(r.out.empty()) << r.out;
        EXPECT_EQ(dir.count(), before) << "a file was left behind";
        EXPECT_EQ(read_file(dir.file("out.tsv")), "previous\n");
    }
}

// Special files as outputs are written in place, never replaced by a renamed
// file (a device stays a device), and a write that fails is an error that
// publishes no other output.
TEST(ToolErrors, SpecialFileOutputs) {
    scratch_dir dir;
    write_file(dir.file("wl.txt"), "ACGTACGT\nTTTTCCCC\n");
    write_file(dir.file("r.fq"), "@a\nACGTACGT\n+\nIIIIIIII\n");
    for (const char *out : {"/dev/full", "/dev/null"}) {
        SCOPED_TRACE(out);
        const bool full = out == std::string("/dev/full");
        fs::remove(dir.file("s.json"));
        const run_result r = run_tool(dir, {"assign", "--whitelist", dir.file("wl.txt"), "--reads", dir.file("r.fq"),
                                            "--max-edits", "1", "--summary", dir.file("s.json"), "--out", out});
        EXPECT_EQ(r.status, full ? 1 : 0) << r.err;
        EXPECT_EQ(r.err.find("cannot write output '/dev/full'") != std::string::npos, full) << r.err;
        EXPECT_EQ(fs::exists(dir.file("s.json")), !full) << "the summary is published only after the table";
        EXPECT_TRUE(fs::is_character_file(out));
    }
}

// Standard streams the tool was started without are errors when named, not
// an empty input or a lost table.
TEST(ToolErrors, ClosedStandardStreams) {
    scratch_dir dir;
    const std::vector<std::string> base = {"assign", "--whitelist", demo_whitelist, "--max-edits", "1"};
    struct stream_case {
        std::vector<std::string> options;
        run_setup setup;
        const char *message;
    };
    run_setup no_stdout;
    no_stdout.close_stdout = true;
    const stream_case cases[] = {
        {{"--reads", "-"}, run_setup::input(""), "cannot read reads file from standard input: it is not open"},
        {{"--reads", "-", "--no-rescue"}, run_setup::input(""), "cannot read reads file from standard input: it is not open"},
        {{"--reads", demo_reads}, no_stdout, "cannot write output to standard output: it is not open"},
    };
    for (const stream_case &c : cases) {
        SCOPED_TRACE(c.message);
        std::vector<std::string> args = base;
        args.insert(args.end(), c.options.begin(), c.options.end());
        const run_result r = finish_tool(dir, spawn_tool(dir, args, c.setup));
        EXPECT_EQ(r.status, 1);
        EXPECT_NE(r.err.find(c.message), std::string::npos) << r.err;
    }
}

// A run ended by a signal leaves no temporary output behind, whatever the
// signal; a file-size limit fails the write like any other write error.
TEST(ToolErrors, SignalsAndLimitsLeaveNoTemporaries) {
    const std::string fq = read_gzip(demo_reads);
    for (const int sig : {SIGTERM, SIGQUIT, SIGALRM, SIGUSR1, SIGPIPE}) {
        SCOPED_TRACE(strsignal(sig));
        scratch_dir dir;
        fifo_feed feed(dir.file("f"), fq.substr(0, fq.size() / 2), true);
        const pid_t pid = spawn_tool(dir, {"assign", "--whitelist", demo_whitelist, "--reads", dir.file("f"), "--max-edits",
                                           "1", "--no-rescue", "--threads", "1", "--out", dir.file("o.tsv")});
        feed.wait_written();  // the table's temporary exists by now
        kill(pid, sig);
        EXPECT_EQ(finish_tool(dir, pid).status, 128 + sig);
        EXPECT_EQ(dir.count(), 1u) << "only the FIFO remains";
    }
    scratch_dir dir;
    run_setup limited;
    limited.file_size_limit = 1 << 16;
    const run_result r = finish_tool(dir, spawn_tool(dir, {"assign", "--whitelist", demo_whitelist, "--reads", demo_reads,
                                                           "--max-edits", "1", "--out", dir.file("o.tsv")},
                                                     limited));
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("cannot write output '" + dir.file("o.tsv") + "': File too large"), std::string::npos) << r.err;
    EXPECT_EQ(dir.count(), 0u);
}

// Any name the file system takes can be written: names of 255 bytes, and
// names that are not UTF-8, which the JSON reports carry losslessly.  A name
// too long fails before any input is read.
TEST(ToolOutputs, AnyLegalNameIsWritten) {
    scratch_dir dir;
    const std::string wl = dir.file("wl\xff\x01.txt"), name = dir.file(std::string(251, 'o'));
    fs::copy_file(demo_whitelist, wl);
    run_result r = run_tool(dir, {"assign", "--whitelist", wl, "--reads", demo_reads, "--max-edits", "1", "--out",
                                  name + ".tsv", "--summary", name + ".jsn"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(split(read_file(name + ".tsv"), '\n').size(), 20001u);
    EXPECT_NE(read_file(name + ".jsn").find("\"whitelist\": \"" + dir.path.string() + "/wl\\udcff\\u0001.txt\""),
              std::string::npos);
    r = run_tool(dir, {"audit", "--whitelist", wl, "--max-edits", "1", "--json", dir.file("a.json")});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_NE(read_file(dir.file("a.json")).find("wl\\udcff\\u0001.txt\""), std::string::npos);
    r = run_tool(dir, {"assign", "--whitelist", dir.file("absent"), "--reads", demo_reads, "--max-edits", "1",
                       "--summary", name + "x.jsn"});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("cannot write summary '" + name + "x.jsn': File name too long"), std::string::npos) << r.err;
}

// `audit --exact` against all pairs: entries, duplicates and the minimum
// distance between distinct entries.
TEST(ToolAudit, FiguresMatchAllPairs) {
    std::vector<std::string> wl;
    std::string fq;
    make_inputs(3, &wl, &fq);
    wl.resize(100);
    std::set<std::string> distinct;
    for (std::string &e : wl) distinct.insert(e = folded(e));
    for (const bool hamming : {false, true}) {
        SCOPED_TRACE(hamming ? "hamming" : "edit");
        const uint32_t k = 2;
        uint32_t min_d = UINT32_MAX;
        for (auto a = distinct.begin(); a != distinct.end(); ++a)
            for (auto b = std::next(a); b != distinct.end(); ++b)
                min_d = std::min(min_d, hamming ? oracle::hamming(*a, *b) : oracle::levenshtein(*a, *b));
        scratch_dir dir;
        std::string text;
        for (const std::string &e : wl) text += e + "\n";
        write_file(dir.file("wl.txt"), text);
        const run_result r = run_tool(dir, {"audit", "--whitelist", dir.file("wl.txt"),
                                            hamming ? "--max-mismatches" : "--max-edits", std::to_string(k), "--exact",
                                            "--json", dir.file("a.json")});
        ASSERT_EQ(r.status, 0) << r.err;
        EXPECT_NE(r.out.find("minimum distance"), std::string::npos) << r.out;
        const std::string j = read_file(dir.file("a.json"));
        EXPECT_EQ(json_number(j, "entries"), 100);
        EXPECT_EQ(json_number(j, "distinct_entries"), static_cast<long long>(distinct.size()));
        if (min_d > k) {
            EXPECT_NE(j.find("\"min_distance\": null"), std::string::npos) << j;
        } else {
            EXPECT_EQ(json_number(j, "min_distance"), min_d);
        }
    }
    scratch_dir dir;
    run_result r = run_tool(dir, {"audit", "--whitelist", dir.file("none.txt")});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("cannot open whitelist"), std::string::npos) << r.err;
    // A list with ambiguous variants is told that the rescue resolves them.
    r = run_tool(dir, {"audit", "--whitelist", demo_whitelist, "--max-edits", "1"});
    EXPECT_NE(r.out.find("velmora assign rescues reads that are ambiguous"), std::string::npos) << r.out;
}

TEST(ToolDistance, MatchesTheOracleAndVersion) {
    scratch_dir dir;
    velmora_test::rng g(7);
    for (int i = 0; i < 12; ++i) {
        const std::string a = g.dna(g.range(0, 40)), b = g.mutate(a, unsigned(g.range(0, 5)));
        const run_result r = run_tool(dir, {"distance", a, b});
        EXPECT_EQ(r.out, std::to_string(oracle::levenshtein(a, b)) + "\n") << a << " / " << b;
    }
    const run_result v = run_tool(dir, {"--version"});
    EXPECT_EQ(v.status, 0);
    EXPECT_EQ(v.out, "velmora " + std::to_string(VELMORA_VERSION_MAJOR) + "." + std::to_string(VELMORA_VERSION_MINOR) +
                         "." + std::to_string(VELMORA_VERSION_PATCH) + "\n");
}

}  // namespace
