// Molecules per barcode: the counts' umis column on a run whose UMIs are
// written out, with and without correction, whole and split in two segments.
#include <gtest/gtest.h>

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
    const umi_case cases[] = {
        {"8C4M", true, {{"AAAAAAAA", "3"}, {"CCCCCCCC", "1"}}},
        {"8C4M", false, {{"AAAAAAAA", "4"}, {"CCCCCCCC", "2"}}},
        {"2M8C2M", true, {{"AAAAAAAA", "3"}, {"CCCCCCCC", "1"}}},
        {"2M8C2M", false, {{"AAAAAAAA", "4"}, {"CCCCCCCC", "2"}}},
    };
    for (const umi_case &c : cases) {
        SCOPED_TRACE(std::string(c.structure) + (c.correct ? "" : " --no-umi-correct"));
        scratch_dir dir;
        std::string fastq;
        for (size_t i = 0; i < reads.size(); ++i) {
            const auto &[barcode, umi] = reads[i];
            const std::string seq = std::string(c.structure) == "8C4M"
                                        ? barcode + umi
                                        : umi.substr(0, 2) + barcode + umi.substr(2);
            fastq += "@r" + std::to_string(i) + "\n" + seq + "\n+\n" + std::string(seq.size(), 'I') + "\n";
        }
        write_file(dir.file("r.fq"), fastq);
        write_file(dir.file("wl.txt"), "AAAAAAAA\nCCCCCCCC\n");
        std::vector<std::string> args = {"assign", "--read-structure", c.structure, "--whitelist", dir.file("wl.txt"),
                                         "--reads", dir.file("r.fq"), "--max-edits", "1",
                                         "--counts", dir.file("c.tsv"), "--summary", dir.file("s.json")};
        if (!c.correct) args.push_back("--no-umi-correct");
        const run_result r = run_tool(dir, args);
        ASSERT_EQ(r.status, 0) << r.err;
        std::map<std::string, std::string> got;
        for (auto &row : parse_table(read_file(dir.file("c.tsv")))) got[row["barcode"]] = row["umis"];
        EXPECT_EQ(got, c.umis);
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
    }
}

TEST(ToolUmis, NoUmiCorrectionWithoutAReadStructureIsRefused) {
    scratch_dir dir;
    const run_result r = run_tool(dir, {"assign", "--whitelist", demo_whitelist, "--reads", demo_reads,
                                        "--max-edits", "1", "--no-umi-correct"});
    EXPECT_EQ(r.status, 2);
    EXPECT_NE(r.err.find("--no-umi-correct needs a --read-structure"), std::string::npos) << r.err;
}

}  // namespace
