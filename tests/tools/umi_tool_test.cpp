// Molecules per barcode: the counts' umis column on runs whose UMIs are
// written out, with and without correction, whole and split in two segments,
// and moved by an indel in the barcode before them.
#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

#include "tool_run.h"

namespace {

using namespace velmora_tool_test;

// The reads of barcode AAAAAAAA: ACGT five times and ACGA once (absorbed),
// TTTT and TTTG twice each (neither absorbs the other), and a UMI with an N
// (not counted); of CCCCCCCC: two UMIs seen once each, one apart: one
// molecule.  The UMI laid after the barcode, or split around it.
std::vector<std::string> laid_out(bool split) {
    const std::pair<const char *, const char *> reads[] = {
        {"AAAAAAAA", "ACGT"}, {"AAAAAAAA", "ACGT"}, {"AAAAAAAA", "ACGT"}, {"AAAAAAAA", "ACGT"},
        {"AAAAAAAA", "ACGT"}, {"AAAAAAAA", "ACGA"}, {"AAAAAAAA", "TTTT"}, {"AAAAAAAA", "TTTG"},
        {"AAAAAAAA", "TTTT"}, {"AAAAAAAA", "TTTG"}, {"AAAAAAAA", "GGNG"}, {"CCCCCCCC", "AAAA"},
        {"CCCCCCCC", "AAAC"}};
    std::vector<std::string> out;
    for (const auto &[barcode, umi] : reads)
        out.push_back(split ? std::string(umi, 2) + barcode + (umi + 2) : std::string(barcode) + umi);
    return out;
}

struct umi_case {
    const char *structure;
    bool correct;
    std::vector<std::string> seqs;
    const char *whitelist;
    std::map<std::string, std::string> counts;  // barcode -> the total and umis columns
    const char *molecules;
};

TEST(ToolUmis, MoleculesPerBarcodeInTheCounts) {
    // A barcode that lost or gained a base moves the UMI after it: one
    // molecule, read once with its barcode whole, once with a base deleted
    // and once with one inserted.
    const std::vector<std::string> moved = {"ACGTTGCAACGT", "ACGTTGCAACGT", "ACGTTGCAACGT", "ACGTGCAACGTG",
                                            "ACGTTTGCAACGT", "TTGACCAGGGCC"};
    const umi_case cases[] = {
        {"8C4M", true, laid_out(false), "AAAAAAAA\nCCCCCCCC\n", {{"AAAAAAAA", "11 3"}, {"CCCCCCCC", "2 1"}}, "4"},
        {"8C4M", false, laid_out(false), "AAAAAAAA\nCCCCCCCC\n", {{"AAAAAAAA", "11 4"}, {"CCCCCCCC", "2 2"}}, "6"},
        {"2M8C2M", true, laid_out(true), "AAAAAAAA\nCCCCCCCC\n", {{"AAAAAAAA", "11 3"}, {"CCCCCCCC", "2 1"}}, "4"},
        {"2M8C2M", false, laid_out(true), "AAAAAAAA\nCCCCCCCC\n", {{"AAAAAAAA", "11 4"}, {"CCCCCCCC", "2 2"}}, "6"},
        {"8C4M", true, moved, "ACGTTGCA\nTTGACCAG\n", {{"ACGTTGCA", "5 1"}, {"TTGACCAG", "1 1"}}, "2"},
        {"8C4M", false, moved, "ACGTTGCA\nTTGACCAG\n", {{"ACGTTGCA", "5 1"}, {"TTGACCAG", "1 1"}}, "2"},
    };
    for (const umi_case &c : cases) {
        SCOPED_TRACE(std::string(c.structure) + (c.correct ? " " : " --no-umi-correct ") + c.seqs[0]);
        scratch_dir dir;
        std::string fastq;
        for (size_t i = 0; i < c.seqs.size(); ++i)
            fastq += "@r" + std::to_string(i) + "\n" + c.seqs[i] + "\n+\n" + std::string(c.seqs[i].size(), 'I') + "\n";
        write_file(dir.file("r.fq"), fastq);
        write_file(dir.file("wl.txt"), c.whitelist);
        std::vector<std::string> args = {"assign", "--read-structure", c.structure, "--whitelist", dir.file("wl.txt"),
                                         "--reads", dir.file("r.fq"), "--max-edits", "1",
                                         "--counts", dir.file("c.tsv"), "--summary", dir.file("s.json")};
        if (!c.correct) args.push_back("--no-umi-correct");
        const run_result r = run_tool(dir, args);
        ASSERT_EQ(r.status, 0) << r.err;
        std::map<std::string, std::string> got;
        for (auto &row : parse_table(read_file(dir.file("c.tsv")))) got[row["barcode"]] = row["total"] + " " + row["umis"];
        EXPECT_EQ(got, c.counts);
        const std::string summary = read_file(dir.file("s.json"));
        EXPECT_NE(summary.find(std::string("\"molecules\": ") + c.molecules), std::string::npos) << summary;
    }
}

}  // namespace
