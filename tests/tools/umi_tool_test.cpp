// Molecules per barcode: the counts' umis column on a run whose UMIs are
// written out, with and without correction, whole and split in two segments.
#include <gtest/gtest.h>

#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "tool_run.h"

namespace {

using namespace velmora_tool_test;

struct umi_case {
    const char *structure;
    bool correct;
    std::map<std::string, std::string> umis;  // barcode -> the umis column
    std::vector<std::string> corrected;  // each read's umi_corrected
};

TEST(ToolUmis, MoleculesPerBarcodeInTheCounts) {
    // Barcode AAAAAAAA: ACGT five times and ACGA once (absorbed), TTTT and
    // TTTG twice each (neither absorbs the other), and a UMI with an N (not
    // counted).  CCCCCCCC: two UMIs seen once each, one apart: one molecule.
    const std::vector<std::pair<std::string, std::string>> reads = {
        {"AAAAAAAA", "ACGT"}, {"AAAAAAAA", "ACGT"}, {"AAAAAAAA", "ACGT"}, {"AAAAAAAA", "ACGT"},
        {"AAAAAAAA", "ACGT"}, {"AAAAAAAA", "ACGA"}, {"AAAAAAAA", "TTTT"}, {"AAAAAAAA", "TTTG"},
        {"AAAAAAAA", "TTTT"}, {"AAAAAAAA", "TTTG"}, {"AAAAAAAA", "GGNG"}, {"CCCCCCCC", "AAAA"},
        {"CCCCCCCC", "AAAC"}};
    const std::vector<std::string> grouped = {"ACGT", "ACGT", "ACGT", "ACGT", "ACGT", "ACGT", "TTTT",
                                              "TTTG", "TTTT", "TTTG", "-",    "AAAA", "AAAA"};
    const std::vector<std::string> as_read = {"ACGT", "ACGT", "ACGT", "ACGT", "ACGT", "ACGA", "TTTT",
                                              "TTTG", "TTTT", "TTTG", "-",    "AAAA", "AAAC"};
    const umi_case cases[] = {
        {"8C4M+T", true, {{"AAAAAAAA", "3"}, {"CCCCCCCC", "1"}}, grouped},
        {"8C4M+T", false, {{"AAAAAAAA", "4"}, {"CCCCCCCC", "2"}}, as_read},
        {"2M8C2M+T", true, {{"AAAAAAAA", "3"}, {"CCCCCCCC", "1"}}, grouped},
        {"2M8C2M+T", false, {{"AAAAAAAA", "4"}, {"CCCCCCCC", "2"}}, as_read},
    };
    for (const umi_case &c : cases) {
        SCOPED_TRACE(std::string(c.structure) + (c.correct ? "" : " --no-umi-correct"));
        scratch_dir dir;
        std::string fastq;
        for (size_t i = 0; i < reads.size(); ++i) {
            const auto &[barcode, umi] = reads[i];
            const std::string seq = (std::string(c.structure) == "8C4M+T"
                                         ? barcode + umi
                                         : umi.substr(0, 2) + barcode + umi.substr(2)) + "GATTACA";
            fastq += "@r" + std::to_string(i) + "\n" + seq + "\n+\n" + std::string(seq.size(), 'I') + "\n";
        }
        write_file(dir.file("r.fq"), fastq);
        write_file(dir.file("wl.txt"), "AAAAAAAA\nCCCCCCCC\n");
        std::vector<std::string> args = {"assign", "--read-structure", c.structure, "--whitelist", dir.file("wl.txt"),
                                         "--reads", dir.file("r.fq"), "--max-edits", "1",
                                         "--counts", dir.file("c.tsv"), "--summary", dir.file("s.json"),
                                         "--out", dir.file("t.tsv"), "--out-fastq", dir.file("o.fq")};
        if (!c.correct) args.push_back("--no-umi-correct");
        const run_result r = run_tool(dir, args);
        ASSERT_EQ(r.status, 0) << r.err;
        std::map<std::string, std::string> got;
        for (auto &row : parse_table(read_file(dir.file("c.tsv")))) got[row["barcode"]] = row["umis"];
        EXPECT_EQ(got, c.umis);
        // Each read's UMI corrected in the table and in its UB tag, as the
        // rule groups them (the split UMI's segments joined by '-').
        const auto rows = parse_table(read_file(dir.file("t.tsv")));
        const auto recs = parse_fastq(read_file(dir.file("o.fq")));
        ASSERT_EQ(rows.size(), reads.size());
        ASSERT_EQ(recs.size(), reads.size());
        for (size_t i = 0; i < reads.size(); ++i) {
            std::string want = c.corrected[i], raw = reads[i].second;
            if (std::string(c.structure) != "8C4M+T") {
                if (want != "-") want.insert(2, "-");
                raw.insert(2, "-");
            }
            EXPECT_EQ(rows[i].at("umi"), raw) << i;
            EXPECT_EQ(rows[i].at("umi_corrected"), want) << i;
            const size_t ub = recs[i].comment.find("UB:Z:");
            EXPECT_EQ(ub == std::string::npos ? "-" : recs[i].comment.substr(ub + 5), want) << i;
        }
        const std::string summary = read_file(dir.file("s.json"));
        EXPECT_NE(summary.find(c.correct ? "\"molecules\": 4" : "\"molecules\": 6"), std::string::npos) << summary;
    }
}

// A barcode that lost or gained a base moves the UMI after it: one
// molecule, read once with its barcode whole, once with a base deleted and
// once with one inserted.
TEST(ToolUmis, TheUmiMovesWithTheBarcode) {
    for (const bool correct : {true, false}) {
        SCOPED_TRACE(correct);
        scratch_dir dir;
        const char *seqs[] = {"ACGTTGCAACGT", "ACGTTGCAACGT", "ACGTTGCAACGT", "ACGTGCAACGTG", "ACGTTTGCAACGT",
                              "TTGACCAGGGCC"};
        std::string fastq;
        for (size_t i = 0; i < std::size(seqs); ++i) {
            const std::string seq = seqs[i];
            fastq += "@r" + std::to_string(i) + "\n" + seq + "\n+\n" + std::string(seq.size(), 'I') + "\n";
        }
        write_file(dir.file("r.fq"), fastq);
        write_file(dir.file("wl.txt"), "ACGTTGCA\nTTGACCAG\n");
        std::vector<std::string> args = {"assign", "--read-structure", "8C4M", "--whitelist", dir.file("wl.txt"),
                                         "--reads", dir.file("r.fq"), "--max-edits", "1", "--out", dir.file("t.tsv"),
                                         "--counts", dir.file("c.tsv")};
        if (!correct) args.push_back("--no-umi-correct");
        const run_result r = run_tool(dir, args);
        ASSERT_EQ(r.status, 0) << r.err;
        std::map<std::string, std::string> got;
        for (auto &row : parse_table(read_file(dir.file("c.tsv")))) got[row["barcode"]] = row["total"] + " " + row["umis"];
        const std::map<std::string, std::string> want = {{"ACGTTGCA", "5 1"}, {"TTGACCAG", "1 1"}};
        EXPECT_EQ(got, want) << read_file(dir.file("t.tsv"));
        const auto rows = parse_table(read_file(dir.file("t.tsv")));
        ASSERT_EQ(rows.size(), std::size(seqs));
        for (size_t i = 0; i < 5; ++i) EXPECT_EQ(rows[i].at("umi") + rows[i].at("umi_corrected"), "ACGTACGT") << i;
    }
}

// The outputs held until the UMIs are grouped live in an unlinked file of
// TMPDIR: nothing shows there, and a TMPDIR that cannot take it stops the
// run before any output is published.
TEST(ToolUmis, HeldOutputsLeaveNothingBehind) {
    scratch_dir dir;
    std::string fastq;
    for (int i = 0; i < 3000; ++i)
        fastq += "@r" + std::to_string(i) + "\nACGTTGCA" + "ACG" + "ACGT"[i % 4] + "GATTACA\n+\n" +
                 std::string(19, 'I') + "\n";
    write_file(dir.file("r.fq"), fastq);
    write_file(dir.file("wl.txt"), "ACGTTGCA\n");
    const std::string tmp = dir.file("tmp");
    std::filesystem::create_directory(tmp);
    const std::vector<std::string> args = {"assign", "--read-structure", "8C4M+T", "--whitelist", dir.file("wl.txt"),
                                           "--reads", dir.file("r.fq"), "--max-edits", "1", "--out", dir.file("t.tsv"),
                                           "--out-fastq", dir.file("o.fq.gz"), "--summary", dir.file("s.json")};
    const pid_t pid = spawn_tool(dir, args, run_setup::input("/dev/null", tmp));
    const run_result r = finish_tool(dir, pid);
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_TRUE(std::filesystem::is_empty(tmp));
    const std::string summary = read_file(dir.file("s.json"));
    const size_t at = summary.find("\"held_bytes\": ");
    ASSERT_NE(at, std::string::npos) << summary;
    EXPECT_GT(std::stoll(summary.substr(at + 14)), 3000 * 19);
    std::filesystem::remove(dir.file("t.tsv"));
    const run_result missing = finish_tool(dir, spawn_tool(dir, args, run_setup::input("/dev/null", tmp + "/gone")));
    EXPECT_EQ(missing.status, 1);
    EXPECT_NE(missing.err.find("cannot create a temporary file in " + tmp + "/gone"), std::string::npos) << missing.err;
    EXPECT_FALSE(std::filesystem::exists(dir.file("t.tsv")));
}

TEST(ToolUmis, NoUmiCorrectionWithoutAReadStructureIsRefused) {
    scratch_dir dir;
    const run_result r = run_tool(dir, {"assign", "--whitelist", demo_whitelist, "--reads", demo_reads,
                                        "--max-edits", "1", "--no-umi-correct"});
    EXPECT_EQ(r.status, 2);
    EXPECT_NE(r.err.find("--no-umi-correct needs a --read-structure"), std::string::npos) << r.err;
}

}  // namespace
