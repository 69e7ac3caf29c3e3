// Bad input to `velmora assign`: each case must give its message and exit
// status and leave neither the output nor a temporary file behind.
#include <gtest/gtest.h>

#include <functional>

#include "tool_harness.h"

using namespace tool_test;

namespace {

const std::string demo_whitelist = std::string(VELMORA_DEMO_DATA) + "/whitelist.txt";
const std::string demo_reads = std::string(VELMORA_DEMO_DATA) + "/reads.fastq.gz";

const std::string good_fastq = "@a\nACGTACGT\n+\nIIIIIIII\n@b\nACGTACGA\n+\nIIIIIIII\n";

struct bad_case {
    const char *label;
    int status;
    const char *message;  // expected in stderr
    // Writes the inputs into the directory and returns the arguments after
    // "assign"; --out is appended by the test.
    std::function<std::vector<std::string>(const scratch_dir &)> setup;
};

std::vector<std::string> with_reads(const scratch_dir &d, const std::string &fastq,
                                    std::vector<std::string> extra = {"--max-edits", "1"}) {
    write_file(d.file("wl.txt"), "ACGTACGT\nTTTTCCCC\n");
    write_file(d.file("r.fq"), fastq);
    std::vector<std::string> a = {"--whitelist", d.file("wl.txt"), "--reads", d.file("r.fq")};
    a.insert(a.end(), extra.begin(), extra.end());
    return a;
}

std::vector<std::string> with_whitelist(const scratch_dir &d, const std::string &wl) {
    write_file(d.file("wl.txt"), wl);
    write_file(d.file("r.fq"), good_fastq);
    return {"--whitelist", d.file("wl.txt"), "--reads", d.file("r.fq"), "--max-edits", "1"};
}

std::vector<std::string> with_options(const scratch_dir &d, std::vector<std::string> opts) {
    std::vector<std::string> a = with_reads(d, good_fastq, {});
    a.insert(a.end(), opts.begin(), opts.end());
    return a;
}

const bad_case bad_cases[] = {
    {"missing_whitelist", 1, "cannot open whitelist",
     [](const scratch_dir &d) {
         write_file(d.file("r.fq"), good_fastq);
         return std::vector<std::string>{"--whitelist", d.file("nope.txt"), "--reads", d.file("r.fq"), "--max-edits", "1"};
     }},
    {"missing_reads", 1, "cannot open reads file",
     [](const scratch_dir &d) {
         write_file(d.file("wl.txt"), "ACGT\n");
         return std::vector<std::string>{"--whitelist", d.file("wl.txt"), "--reads", d.file("nope.fq"), "--max-edits", "1"};
     }},
    {"reads_is_directory", 1, "is a directory",
     [](const scratch_dir &d) {
         write_file(d.file("wl.txt"), "ACGT\n");
         return std::vector<std::string>{"--whitelist", d.file("wl.txt"), "--reads", d.file(""), "--max-edits", "1"};
     }},
    {"header_without_at", 1, "record 2 (line 5): expected a header",
     [](const scratch_dir &d) { return with_reads(d, "@a\nACGT\n+\nIIII\nb\nACGT\n+\nIIII\n"); }},
    {"missing_separator", 1, "record 1 (line 3): expected a separator",
     [](const scratch_dir &d) { return with_reads(d, "@a\nACGT\nIIII\n+\n"); }},
    {"quality_length", 1, "record 2 (line 8): the quality line has 3 characters, the sequence 4",
     [](const scratch_dir &d) { return with_reads(d, "@a\nACGT\n+\nIIII\n@b\nACGT\n+\nIII\n"); }},
    {"ends_after_header", 1, "record 2 (line 5): truncated",
     [](const scratch_dir &d) { return with_reads(d, "@a\nACGT\n+\nIIII\n@b\n"); }},
    {"ends_after_sequence", 1, "record 2 (line 6): truncated",
     [](const scratch_dir &d) { return with_reads(d, "@a\nACGT\n+\nIIII\n@b\nACGT\n"); }},
    {"quality_cut_short", 1, "record 2 (line 8): truncated",
     [](const scratch_dir &d) { return with_reads(d, "@a\nACGT\n+\nIIII\n@b\nACGT\n+\nII"); }},
    {"blank_line_inside", 1, "line 5: blank line between records",
     [](const scratch_dir &d) { return with_reads(d, "@a\nACGT\n+\nIIII\n\n@b\nACGT\n+\nIIII\n"); }},
    {"space_in_sequence", 1, "record 1 (line 2): the sequence line holds the byte 0x20",
     [](const scratch_dir &d) { return with_reads(d, "@a\nAC GT\n+\nIIIII\n"); }},
    {"truncated_gzip", 1, "truncated",
     [](const scratch_dir &d) {
         std::string fq;
         for (int i = 0; i < 2000; ++i) fq += "@r" + std::to_string(i) + "\nACGTACGTAC\n+\nIIIIIIIIII\n";
         write_gzip(d.file("full.gz"), fq);
         const std::string gz = read_file(d.file("full.gz"));
         unlink(d.file("full.gz").c_str());
         std::vector<std::string> a = with_reads(d, "");
         write_file(d.file("r.fq"), gz.substr(0, gz.size() / 2));
         return a;
     }},
    // A bad record far into a long input, after many batches have been
    // assigned and written on several threads.
    {"late_bad_record_threads", 1, "record 20001",
     [](const scratch_dir &d) {
         write_file(d.file("r.fq"), read_maybe_gzip(demo_reads) + "@bad\nACGT\n+\nII\n");
         return std::vector<std::string>{"--whitelist", demo_whitelist, "--reads", d.file("r.fq"), "--max-edits", "1",
                                         "--threads", "4", "--batch-size", "100"};
     }},
    {"empty_whitelist", 1, "has no entries",
     [](const scratch_dir &d) { return with_whitelist(d, "# only a comment\n\n   \n"); }},
    {"empty_whitelist_file", 1, "has no entries",
     [](const scratch_dir &d) { return with_whitelist(d, ""); }},
    {"whitelist_bad_line", 1, "line 3: not a sequence: 'ACGT,1'",
     [](const scratch_dir &d) { return with_whitelist(d, "ACGT\n# comment\nACGT,1\n"); }},
    {"whitelist_two_columns", 1, "line 2: not a sequence",
     [](const scratch_dir &d) { return with_whitelist(d, "ACGT\nACGT\tcell2\n"); }},
    {"both_metrics", 2, "--max-edits excludes --max-mismatches",
     [](const scratch_dir &d) { return with_options(d, {"--max-edits", "1", "--max-mismatches", "1"}); }},
    {"no_metric", 2, "is required", [](const scratch_dir &d) { return with_options(d, {}); }},
    {"mismatches_4", 2, "--max-mismatches: Value 4 not in range 0 to 3",
     [](const scratch_dir &d) { return with_options(d, {"--max-mismatches", "4"}); }},
    {"negative_edits", 2, "--max-edits: Value -1 not in range",
     [](const scratch_dir &d) { return with_options(d, {"--max-edits", "-1"}); }},
    {"edits_not_a_number", 2, "--max-edits: Value 1x",
     [](const scratch_dir &d) { return with_options(d, {"--max-edits=1x"}); }},
    {"zero_threads", 2, "--threads: Value 0 not in range 1 to 1024",
     [](const scratch_dir &d) { return with_options(d, {"--max-edits", "1", "--threads", "0"}); }},
    {"unknown_option", 2, "not expected: --fast",
     [](const scratch_dir &d) { return with_options(d, {"--max-edits", "1", "--fast"}); }},
    {"option_twice", 2, "option --max-edits is given twice",
     [](const scratch_dir &d) { return with_options(d, {"--max-edits", "1", "--max-edits", "2"}); }},
    {"missing_value", 2, "--barcode-start",
     [](const scratch_dir &d) { return with_options(d, {"--max-edits", "1", "--barcode-start"}); }},
    {"no_whitelist_option", 2, "--whitelist is required",
     [](const scratch_dir &d) {
         write_file(d.file("r.fq"), good_fastq);
         return std::vector<std::string>{"--reads", d.file("r.fq"), "--max-edits", "1"};
     }},
    {"mixed_lengths_need_barcode_length", 2, "lengths from 4 to 5: give --barcode-length",
     [](const scratch_dir &d) { return with_whitelist(d, "ACGT\nACGTA\n"); }},
    {"fixed_window_with_hamming", 2, "--fixed-window goes with --max-edits",
     [](const scratch_dir &d) { return with_options(d, {"--max-mismatches", "1", "--fixed-window"}); }},
    {"posterior_above_one", 2, "--min-posterior: value 1.5 is not a number from 0.00 to 1.00",
     [](const scratch_dir &d) { return with_options(d, {"--max-edits", "1", "--min-posterior", "1.5"}); }},
    {"rescue_option_without_rescue", 2, "--min-exact has no effect with --no-rescue",
     [](const scratch_dir &d) { return with_options(d, {"--max-edits", "1", "--no-rescue", "--min-exact", "3"}); }},
};

TEST(ToolErrors, BadInputFailsCleanly) {
    for (const bad_case &c : bad_cases) {
        SCOPED_TRACE(c.label);
        scratch_dir dir;
        std::vector<std::string> args = {"assign"};
        const std::vector<std::string> rest = c.setup(dir);
        args.insert(args.end(), rest.begin(), rest.end());
        args.insert(args.end(), {"--out", dir.file("out.tsv"), "--summary", dir.file("sum.json")});
        const std::vector<std::string> before = dir.files();
        const run_result r = run_tool(dir, args);
        EXPECT_EQ(r.status, c.status) << r.err;
        EXPECT_NE(r.err.find(c.message), std::string::npos) << "stderr: " << r.err;
        EXPECT_TRUE(r.out.empty()) << r.out;
        EXPECT_EQ(dir.files().size(), before.size()) << "output or temporary file left behind";
        EXPECT_FALSE(file_exists(dir.file("out.tsv")));
    }
}

// An output in a missing directory fails before any work, with status 1.
TEST(ToolErrors, UnwritableOutput) {
    scratch_dir dir;
    const run_result r = run_tool(dir, {"assign", "--whitelist", demo_whitelist, "--reads", demo_reads,
                                        "--max-edits", "1", "--out", dir.file("no/such/dir/out.tsv")});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("cannot write output"), std::string::npos) << r.err;
}

// A previous result survives a failed run untouched.
TEST(ToolErrors, FailedRunKeepsPreviousOutput) {
    scratch_dir dir;
    write_file(dir.file("out.tsv"), "previous\n");
    write_file(dir.file("r.fq"), "@a\nACGT\n+\nIIII\n@b\nACGT\n");
    const run_result r = run_tool(dir, {"assign", "--whitelist", demo_whitelist, "--reads", dir.file("r.fq"),
                                        "--max-edits", "1", "--out", dir.file("out.tsv")});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(read_file(dir.file("out.tsv")), "previous\n");
}

// Windows past the end of a read are reported per read as invalid and
// counted; the run succeeds.
TEST(ToolErrors, WindowPastReadEndIsInvalidNotFatal) {
    scratch_dir dir;
    write_file(dir.file("wl.txt"), "ACGT\nACGA\n");
    write_file(dir.file("r.fq"), "@short\nAC\n+\nII\n@fits\nNNACGT\n+\nIIIIII\n@empty\n\n+\n\n@edge\nNNACG\n+\nIIIII\n");
    const run_result r = run_tool(dir, {"assign", "--whitelist", dir.file("wl.txt"), "--reads", dir.file("r.fq"),
                                        "--barcode-start", "2", "--barcode-length", "4", "--max-edits", "1",
                                        "--summary", dir.file("s.json")});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, std::string(table_header) +
                         "\nshort\t-\tinvalid\t-\t-\t-\t-\t-\t-\n"
                         "fits\tACGT\tunique\tACGT\t0\t1\t2\t-\t-\n"
                         "empty\t-\tinvalid\t-\t-\t-\t-\t-\t-\n"
                         "edge\t-\tinvalid\t-\t-\t-\t-\t-\t-\n");
    const std::string json = read_file(dir.file("s.json"));
    EXPECT_EQ(json_number(json, "count", "invalid"), 3);
    EXPECT_EQ(json_number(json, "count", "unique"), 1);
}

}  // namespace
