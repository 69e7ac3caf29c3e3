// Molecules per barcode and each read's corrected UMI: the counts' umis
// column, the table's umi and umi_corrected and the UB tags, with and
// without correction, the UMI whole and split in two segments, and moved by
// an indel in the barcode before it.
#include <gtest/gtest.h>

#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "tool_run.h"

namespace {

using namespace velmora_tool_test;

// The reads of barcode AAAAAAAA: ACGT five times and ACGA once, in lower
// case (absorbed, and written in upper case),
// TTTT and TTTG twice each (neither absorbs the other), and a UMI with an N
// (not counted); of CCCCCCCC: two UMIs seen once each, one apart: one
// molecule.  The UMI laid after the barcode, or split around it.
std::vector<std::string> laid_out(bool split) {
    const std::pair<const char *, const char *> reads[] = {
        {"AAAAAAAA", "ACGT"}, {"AAAAAAAA", "ACGT"}, {"AAAAAAAA", "ACGT"}, {"AAAAAAAA", "ACGT"},
        {"AAAAAAAA", "ACGT"}, {"AAAAAAAA", "acga"}, {"AAAAAAAA", "TTTT"}, {"AAAAAAAA", "TTTG"},
        {"AAAAAAAA", "TTTT"}, {"AAAAAAAA", "TTTG"}, {"AAAAAAAA", "GGNG"}, {"CCCCCCCC", "AAAA"},
        {"CCCCCCCC", "AAAC"}};
    std::vector<std::string> out;
    for (const auto &[barcode, umi] : reads)
        out.push_back(split ? std::string(umi, 2) + barcode + (umi + 2) : std::string(barcode) + umi);
    return out;
}

// Each read's UMI as the table gives it, then its correction, grouped or not.
const std::vector<std::string> as_read = {"ACGT", "ACGT", "ACGT", "ACGT", "ACGT", "ACGA", "TTTT",
                                          "TTTG", "TTTT", "TTTG", "GGNG", "AAAA", "AAAC"};
const std::vector<std::string> grouped = {"ACGT", "ACGT", "ACGT", "ACGT", "ACGT", "ACGT", "TTTT",
                                          "TTTG", "TTTT", "TTTG", "-",    "AAAA", "AAAA"};
const std::vector<std::string> not_grouped = {"ACGT", "ACGT", "ACGT", "ACGT", "ACGT", "ACGA", "TTTT",
                                              "TTTG", "TTTT", "TTTG", "-",    "AAAA", "AAAC"};
const std::vector<std::string> moved_umis = {"ACGT", "ACGT", "ACGT", "ACGT", "ACGT", "GGCC"};

struct umi_case {
    const char *structure;
    bool correct;
    std::vector<std::string> seqs;
    const char *whitelist;
    std::map<std::string, std::string> counts;  // barcode -> the total and umis columns
    const char *molecules;
    const std::vector<std::string> *umis, *corrected;  // per read
};

TEST(ToolUmis, MoleculesPerBarcodeInTheCounts) {
    // A barcode that lost or gained a base moves the UMI after it: one
    // molecule, read once with its barcode whole, once with a base deleted
    // and once with one inserted.
    const std::vector<std::string> moved = {"ACGTTGCAACGT", "ACGTTGCAACGT", "ACGTTGCAACGT", "ACGTGCAACGTG",
                                            "ACGTTTGCAACGT", "TTGACCAGGGCC"};
    const umi_case cases[] = {
        {"8C4M+T", true, laid_out(false), "AAAAAAAA\nCCCCCCCC\n", {{"AAAAAAAA", "11 3"}, {"CCCCCCCC", "2 1"}}, "4",
         &as_read, &grouped},
        {"8C4M+T", false, laid_out(false), "AAAAAAAA\nCCCCCCCC\n", {{"AAAAAAAA", "11 4"}, {"CCCCCCCC", "2 2"}}, "6",
         &as_read, &not_grouped},
        {"2M8C2M+T", true, laid_out(true), "AAAAAAAA\nCCCCCCCC\n", {{"AAAAAAAA", "11 3"}, {"CCCCCCCC", "2 1"}}, "4",
         &as_read, &grouped},
        {"2M8C2M+T", false, laid_out(true), "AAAAAAAA\nCCCCCCCC\n", {{"AAAAAAAA", "11 4"}, {"CCCCCCCC", "2 2"}}, "6",
         &as_read, &not_grouped},
        {"8C4M+T", true, moved, "ACGTTGCA\nTTGACCAG\n", {{"ACGTTGCA", "5 1"}, {"TTGACCAG", "1 1"}}, "2",
         &moved_umis, &moved_umis},
        {"8C4M+T", false, moved, "ACGTTGCA\nTTGACCAG\n", {{"ACGTTGCA", "5 1"}, {"TTGACCAG", "1 1"}}, "2",
         &moved_umis, &moved_umis},
    };
    for (const umi_case &c : cases) {
        SCOPED_TRACE(std::string(c.structure) + (c.correct ? " " : " --no-umi-correct ") + c.seqs[0]);
        scratch_dir dir;
        std::string fastq;
        for (size_t i = 0; i < c.seqs.size(); ++i)
            fastq += "@r" + std::to_string(i) + "\n" + c.seqs[i] + "GATTACA\n+\n" +
                     std::string(c.seqs[i].size() + 7, 'I') + "\n";
        write_file(dir.file("r.fq"), fastq);
        write_file(dir.file("wl.txt"), c.whitelist);
        std::vector<std::string> args = {"assign", "--read-structure", c.structure, "--whitelist", dir.file("wl.txt"),
                                         "--reads", dir.file("r.fq"), "--max-edits", "1",
                                         "--counts", dir.file("c.tsv"), "--summary", dir.file("s.json"),
                                         "--out", dir.file("t.tsv"), "--out-fastq", dir.file("o.fq")};
        if (!c.correct) args.push_back("--no-umi-correct");
        const run_result r = run_tool(dir, args);
        ASSERT_EQ(r.status, 0) << r.err;
        std::map<std::string, std::string> got;
        for (auto &row : parse_table(read_file(dir.file("c.tsv")))) got[row["barcode"]] = row["total"] + " " + row["umis"];
        EXPECT_EQ(got, c.counts);
        const std::string summary = read_file(dir.file("s.json"));
        EXPECT_NE(summary.find(std::string("\"molecules\": ") + c.molecules), std::string::npos) << summary;
        // The table's UMI and its correction, and the UB tag, per read; a
        // split UMI's segments joined by '-'.
        const auto rows = parse_table(read_file(dir.file("t.tsv")));
        const auto recs = parse_fastq(read_file(dir.file("o.fq")));
        ASSERT_EQ(rows.size(), c.seqs.size());
        ASSERT_EQ(recs.size(), c.seqs.size());
        const auto joined = [&](std::string umi) {
            if (std::string(c.structure) == "2M8C2M+T" && umi != "-") umi.insert(2, "-");
            return umi;
        };
        for (size_t i = 0; i < c.seqs.size(); ++i) {
            const std::string want = joined((*c.corrected)[i]);
            EXPECT_EQ(rows[i].at("umi"), joined((*c.umis)[i])) << i;
            EXPECT_EQ(rows[i].at("umi_corrected"), want) << i;
            const size_t ub = recs[i].comment.find("UB:Z:");
            EXPECT_EQ(ub == std::string::npos ? "-" : recs[i].comment.substr(ub + 5), want) << i;
        }
    }
}

// The decisions held until the UMIs are grouped live in an unlinked file of
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
    EXPECT_GT(std::stoll(summary.substr(at + 14)), 3000);
    std::filesystem::remove(dir.file("t.tsv"));
    const run_result missing = finish_tool(dir, spawn_tool(dir, args, run_setup::input("/dev/null", tmp + "/gone")));
    EXPECT_EQ(missing.status, 1);
    EXPECT_NE(missing.err.find("cannot create a temporary file in " + tmp + "/gone"), std::string::npos) << missing.err;
    EXPECT_FALSE(std::filesystem::exists(dir.file("t.tsv")));
}

}  // namespace
