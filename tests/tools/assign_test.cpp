// End-to-end runs of `velmora assign` under the distance rule on the fixed
// window (--no-rescue --fixed-window): every output line against a
// brute-force assignment, on the bundled demo data and on random inputs full
// of near neighbors, duplicates, N, lower case and short reads.
#include <gtest/gtest.h>

#include <map>
#include <random>
#include <set>

#include "tool_harness.h"

using namespace tool_test;

namespace {

const std::string demo_whitelist = std::string(VELMORA_DEMO_DATA) + "/whitelist.txt";
const std::string demo_reads = std::string(VELMORA_DEMO_DATA) + "/reads.fastq.gz";

struct assign_case {
    const char *label;
    bool hamming;
    int32_t k;
    window w;
    size_t max_reads = 0;  // demo data: only the first reads (0: all)
};

std::vector<std::string> assign_args(const std::string &wl, const std::string &reads, const assign_case &c) {
    std::vector<std::string> a = {"assign", "--whitelist", wl, "--reads", reads,
                                  c.hamming ? "--max-mismatches" : "--max-edits", std::to_string(c.k), "--no-rescue"};
    if (!c.hamming) a.push_back("--fixed-window");
    if (c.w.start) {
        a.push_back("--barcode-start");
        a.push_back(std::to_string(c.w.start));
    }
    if (c.w.length >= 0) {
        a.push_back("--barcode-length");
        a.push_back(std::to_string(c.w.length));
    }
    return a;
}

// Runs one case and checks every line, in order, and the summary's counts.
void check_case(const scratch_dir &dir, const std::string &wl_path, const std::string &reads_path,
                const assign_case &c, const std::vector<std::string> &extra) {
    SCOPED_TRACE(c.label);
    // The tool assigns against the distinct entries, first occurrences kept.
    std::vector<std::string> wl;
    std::set<std::string> seen;
    for (const std::string &e : parse_whitelist(read_maybe_gzip(wl_path)))
        if (seen.insert(e).second) wl.push_back(e);
    const std::vector<read_record> reads = parse_fastq(read_maybe_gzip(reads_path));
    const std::vector<std::string> want = expected_output(reads, wl, c.w, c.hamming, c.k);

    std::vector<std::string> args = assign_args(wl_path, reads_path, c);
    args.insert(args.end(), {"--out", dir.file("out.tsv"), "--summary", dir.file("summary.json")});
    args.insert(args.end(), extra.begin(), extra.end());
    const run_result r = run_tool(dir, args);
    ASSERT_EQ(r.status, 0) << r.err;
    std::vector<std::string> got = split_lines(read_file(dir.file("out.tsv")));
    ASSERT_FALSE(got.empty());
    EXPECT_EQ(got[0], table_header);
    got.erase(got.begin());
    ASSERT_EQ(got.size(), want.size());
    size_t wrong = 0;
    for (size_t i = 0; i < want.size() && wrong < 5; ++i) {
        if (got[i] != want[i]) {
            ++wrong;
            ADD_FAILURE() << "read " << i << "\n  got:  " << got[i] << "\n  want: " << want[i];
        }
    }

    std::map<std::string, long long> by_status;
    for (const std::string &line : want) {
        const size_t a = line.find('\t'), b = line.find('\t', a + 1), e = line.find('\t', b + 1);
        ++by_status[line.substr(b + 1, e - b - 1)];
    }
    const std::string json = read_file(dir.file("summary.json"));
    EXPECT_EQ(json_number(json, "reads"), static_cast<long long>(reads.size()));
    for (const char *s : {"none", "unique", "ambiguous", "invalid"})
        EXPECT_EQ(json_number(json, "count", s), by_status[s]) << s;
    EXPECT_NE(r.err.find("reads in"), std::string::npos) << "no summary on stderr";
}

std::string random_noise_seq(std::mt19937_64 &g, size_t len) {
    static const char bytes[] = "ACGTACGTACGTACGTACGTACGTNacgtnRY";
    std::string s(len, 'A');
    for (char &c : s) c = g() % 10 == 0 ? bytes[g() % 32] : "ACGT"[g() % 4];
    return s;
}

std::string mutate(std::mt19937_64 &g, std::string s, unsigned edits, bool noisy) {
    static const char noise[] = "Nnacgt";
    for (unsigned i = 0; i < edits; ++i) {
        const char b = noisy && g() % 3 == 0 ? noise[g() % 6] : "ACGT"[g() % 4];
        const unsigned kind = static_cast<unsigned>(g() % 3);
        if (kind == 0 && !s.empty()) s[g() % s.size()] = b;
        else if (kind == 1) s.insert(s.begin() + static_cast<long>(g() % (s.size() + 1)), b);
        else if (!s.empty()) s.erase(s.begin() + static_cast<long>(g() % s.size()));
    }
    return s;
}

// A whitelist crowded with near neighbors, duplicates, N and lower case,
// mostly 16 bases with some 15, 17 and 31..35; and reads built from it with
// 0..3 edits, some too short for the barcode window.
void make_random_inputs(uint64_t seed, std::string *wl_text, std::string *fastq) {
    std::mt19937_64 g(seed);
    std::vector<std::string> wl;
    static const size_t odd_lengths[] = {15, 17, 31, 32, 33, 34, 35};
    for (int i = 0; i < 160; ++i) wl.push_back(random_noise_seq(g, g() % 6 == 0 ? odd_lengths[g() % 7] : 16));
    for (int i = 0; i < 80; ++i) wl.push_back(mutate(g, wl[g() % wl.size()], 1 + static_cast<unsigned>(g() % 2), false));
    for (int i = 0; i < 12; ++i) wl.push_back(wl[g() % wl.size()]);
    for (std::string &e : wl)
        if (e.empty()) e = "A";
    *wl_text = "# random whitelist\n\n";
    for (const std::string &e : wl) *wl_text += e + (g() % 9 == 0 ? " \r\n" : "\n");

    fastq->clear();
    for (int i = 0; i < 700; ++i) {
        std::string bc = g() % 10 == 0 ? random_noise_seq(g, 16) : mutate(g, wl[g() % wl.size()], static_cast<unsigned>(g() % 4), true);
        std::string seq = random_noise_seq(g, 2) + bc + random_noise_seq(g, 10);
        if (g() % 25 == 0) seq.resize(g() % 18);  // too short for a window at 2 of length 16
        *fastq += "@r" + std::to_string(i) + (g() % 2 ? " extra words" : "") + "\n" + seq + "\n+\n" +
                  std::string(seq.size(), 'I') + "\n";
    }
}

class DemoAssign : public ::testing::TestWithParam<assign_case> {};

TEST_P(DemoAssign, EveryLineMatchesBruteForce) {
    scratch_dir dir;
    std::string reads = demo_reads;
    if (GetParam().max_reads) {
        // The brute-force side of k = 2 is costly; a prefix of the reads
        // still covers every kind of error the generator makes.
        const std::vector<std::string> lines = split_lines(read_maybe_gzip(demo_reads));
        std::string prefix;
        for (size_t i = 0; i < 4 * GetParam().max_reads && i < lines.size(); ++i) prefix += lines[i] + "\n";
        reads = dir.file("prefix.fq");
        write_file(reads, prefix);
    }
    check_case(dir, demo_whitelist, reads, GetParam(), {"--threads", "2"});
}

INSTANTIATE_TEST_SUITE_P(Tool, DemoAssign,
                         ::testing::Values(assign_case{"edit0", false, 0, {0, 16}},
                                           assign_case{"edit1_default_length", false, 1, {0, -1}},
                                           assign_case{"edit2", false, 2, {0, 16}, 4000},
                                           assign_case{"ham0", true, 0, {0, 16}},
                                           assign_case{"ham1", true, 1, {0, 16}},
                                           assign_case{"ham2", true, 2, {0, 16}},
                                           assign_case{"ham3", true, 3, {0, 16}}),
                         [](const auto &info) { return std::string(info.param.label); });

class RandomAssign : public ::testing::TestWithParam<assign_case> {};

// Small batches on three threads, so batches finish out of order.
TEST_P(RandomAssign, EveryLineMatchesBruteForce) {
    for (uint64_t seed : {1u, 2u}) {
        SCOPED_TRACE("seed " + std::to_string(seed));
        scratch_dir dir;
        std::string wl, fq;
        make_random_inputs(seed, &wl, &fq);
        write_file(dir.file("wl.txt"), wl);
        write_file(dir.file("reads.fq"), fq);
        check_case(dir, dir.file("wl.txt"), dir.file("reads.fq"), GetParam(),
                   {"--threads", "3", "--batch-size", "23"});
    }
}

INSTANTIATE_TEST_SUITE_P(Tool, RandomAssign,
                         ::testing::Values(assign_case{"window_edit0", false, 0, {2, 16}},
                                           assign_case{"window_edit1", false, 1, {2, 16}},
                                           assign_case{"window_edit2", false, 2, {2, 16}},
                                           assign_case{"window_edit3", false, 3, {2, 16}},
                                           assign_case{"window_ham1", true, 1, {2, 16}},
                                           assign_case{"window_ham3", true, 3, {2, 16}},
                                           assign_case{"short_edit1", false, 1, {2, 15}},
                                           assign_case{"long_edit2", false, 2, {0, 33}},
                                           assign_case{"long_ham0", true, 0, {0, 33}},
                                           assign_case{"long_ham2", true, 2, {0, 17}}),
                         [](const auto &info) { return std::string(info.param.label); });

// Output order and content must not depend on the thread count or on how
// reads fall into batches.
TEST(Tool, ThreadCountAndBatchingDoNotChangeOutput) {
    scratch_dir dir;
    for (const char *metric : {"--max-edits", "--max-mismatches"}) {
        std::string reference;
        for (const char *threads : {"1", "4"}) {
            for (const char *batch : {"8192", "37"}) {
                const run_result r = run_tool(dir, {"assign", "--whitelist", demo_whitelist, "--reads", demo_reads,
                                                    "--barcode-length", "16", metric, "1", "--threads", threads,
                                                    "--batch-size", batch});
                ASSERT_EQ(r.status, 0) << r.err;
                ASSERT_FALSE(r.out.empty());
                if (reference.empty()) reference = r.out;
                EXPECT_TRUE(r.out == reference) << metric << " threads " << threads << " batch " << batch;
            }
        }
    }
}

// Compression is detected by content: every mix of plain and gzip inputs
// gives the same bytes, to a file and to standard output alike.
TEST(Tool, GzipAndPlainInputsAgree) {
    scratch_dir dir;
    const std::string fq = read_maybe_gzip(demo_reads);
    const std::string wl = read_file(demo_whitelist);
    write_file(dir.file("reads.fastq"), fq);
    write_gzip(dir.file("wl.gz"), wl);
    write_gzip(dir.file("reads.fq.txt"), fq);  // gzip behind a misleading name
    std::string reference;
    const std::vector<std::pair<std::string, std::string>> inputs = {
        {demo_whitelist, dir.file("reads.fastq")},
        {demo_whitelist, demo_reads},
        {dir.file("wl.gz"), dir.file("reads.fastq")},
        {dir.file("wl.gz"), dir.file("reads.fq.txt")}};
    for (const auto &[w, r] : inputs) {
        const run_result res = run_tool(dir, {"assign", "--whitelist", w, "--reads", r, "--max-edits", "1",
                                              "--barcode-length", "16", "--out", dir.file("o.tsv")});
        ASSERT_EQ(res.status, 0) << res.err;
        const std::string out = read_file(dir.file("o.tsv"));
        if (reference.empty()) reference = out;
        EXPECT_TRUE(out == reference) << w << " + " << r;
    }
    const run_result to_stdout = run_tool(dir, {"assign", "--whitelist", demo_whitelist, "--reads", demo_reads,
                                                "--max-edits", "1", "--barcode-length", "16", "--out", "-"});
    ASSERT_EQ(to_stdout.status, 0);
    EXPECT_TRUE(to_stdout.out == reference);
    // Standard input is read twice through a temporary copy, which is gone
    // afterwards; a .gz output name writes gzip.
    const std::vector<std::string> before = dir.files();
    const run_result from_stdin = run_tool(dir, {"assign", "--whitelist", demo_whitelist, "--reads", "-", "--max-edits", "1",
                                                 "--out", dir.file("o.tsv.gz")}, demo_reads);
    ASSERT_EQ(from_stdin.status, 0) << from_stdin.err;
    EXPECT_EQ(read_file(dir.file("o.tsv.gz")).substr(0, 2), "\x1f\x8b");
    EXPECT_TRUE(read_maybe_gzip(dir.file("o.tsv.gz")) == reference);
    EXPECT_EQ(dir.files().size(), before.size() + 1);
}

TEST(Tool, DistanceMatchesOracle) {
    scratch_dir dir;
    std::mt19937_64 g(7);
    std::vector<std::pair<std::string, std::string>> pairs = {
        {"", ""}, {"", "ACGT"}, {"ACGT", "ACGT"}, {"ACGT", "acgt"}, {"NNNN", "ACGT"}, {"kitten", "sitting"}};
    for (int i = 0; i < 12; ++i) {
        const std::string a = random_noise_seq(g, g() % 40);
        pairs.push_back({a, mutate(g, a, static_cast<unsigned>(g() % 5), true)});
    }
    for (const auto &[a, b] : pairs) {
        const run_result r = run_tool(dir, {"distance", a, b});
        ASSERT_EQ(r.status, 0) << r.err;
        EXPECT_EQ(r.out, std::to_string(oracle::levenshtein(a, b)) + "\n") << a << " / " << b;
    }
}

TEST(Tool, VersionAndHelp) {
    scratch_dir dir;
    const run_result v = run_tool(dir, {"--version"});
    EXPECT_EQ(v.status, 0);
    EXPECT_EQ(v.out, "velmora " + std::to_string(VELMORA_VERSION_MAJOR) + "." +
                         std::to_string(VELMORA_VERSION_MINOR) + "." + std::to_string(VELMORA_VERSION_PATCH) + "\n");
    for (const char *cmd : {"assign", "audit", "distance"}) {
        const run_result h = run_tool(dir, {cmd, "--help"});
        EXPECT_EQ(h.status, 0) << cmd;
        EXPECT_NE(h.out.find(std::string("usage: velmora ") + cmd), std::string::npos) << cmd;
    }
}

}  // namespace
