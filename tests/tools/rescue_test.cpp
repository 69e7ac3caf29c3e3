// `velmora assign` with its default rescue: ties broken by quality and by
// abundance on hand-worked cases, indels inside the barcode, and the output
// contract (table, counts, knee plot, summary) on the demo data.
#include <gtest/gtest.h>

#include <map>
#include <random>
#include <set>

#include "tool_harness.h"

using namespace tool_test;

namespace {

const std::string demo_whitelist = std::string(VELMORA_DEMO_DATA) + "/whitelist.txt";
const std::string demo_reads = std::string(VELMORA_DEMO_DATA) + "/reads.fastq.gz";

std::vector<std::string> fields(const std::string &line) {
    std::vector<std::string> f;
    size_t start = 0;
    for (size_t tab; (tab = line.find('\t', start)) != std::string::npos; start = tab + 1)
        f.push_back(line.substr(start, tab - start));
    f.push_back(line.substr(start));
    return f;
}

std::string fastq_record(const std::string &name, const std::string &seq, std::string qual = "") {
    if (qual.empty()) qual.assign(seq.size(), 'I');
    return "@" + name + "\n" + seq + "\n+\n" + qual + "\n";
}

// Two entries two substitutions apart (positions 3 and 12), and a read one
// substitution from each: it takes A's base at 3 and B's at 12.
const std::string entry_a = "ACGTACGTACGTACGT";
const std::string entry_b = "ACGGACGTACGTCCGT";
const std::string tie_read = "ACGTACGTACGTCCGT";
const std::string tail = "GGAA";

struct tie_case {
    const char *label;
    int exact_a, exact_b;
    char qual_at_12;  // quality of the base that differs from A
    std::vector<std::string> extra;
    const char *status, *assigned, *posterior;
};

const tie_case tie_cases[] = {
    // Prior (exact + 1): 101 against 2; likelihoods equal.
    {"abundance_decides", 100, 1, 'I', {}, "unique", "A", "0.980583"},
    {"abundance_decides_distance_rule_not", 100, 1, 'I', {"--no-rescue"}, "ambiguous", "-", "-"},
    // Equal priors; the base that differs from A is probably wrong (Q2).
    {"quality_decides", 10, 10, '#', {}, "unique", "A", ""},
    // Nothing tells them apart: 0.5 each, below the threshold.
    {"tie_stays", 10, 10, 'I', {}, "ambiguous", "-", "0.500000"},
    // An entry no read matches exactly is no candidate, unless allowed.
    {"unseen_entry_dropped", 10, 0, 'I', {}, "unique", "A", "1.000000"},
    {"unseen_entry_kept", 10, 0, 'I', {"--min-exact", "0"}, "ambiguous", "-", "0.916667"},
};

TEST(ToolRescue, TiesBrokenByQualityAndAbundance) {
    for (const tie_case &c : tie_cases) {
        SCOPED_TRACE(c.label);
        scratch_dir dir;
        write_file(dir.file("wl.txt"), entry_a + "\n" + entry_b + "\n");
        std::string fq;
        for (int i = 0; i < c.exact_a; ++i) fq += fastq_record("a" + std::to_string(i), entry_a + tail);
        for (int i = 0; i < c.exact_b; ++i) fq += fastq_record("b" + std::to_string(i), entry_b + tail);
        std::string qual(tie_read.size() + tail.size(), 'I');
        qual[12] = c.qual_at_12;
        fq += fastq_record("tie", tie_read + tail, qual);
        write_file(dir.file("r.fq"), fq);
        std::vector<std::string> args = {"assign", "--whitelist", dir.file("wl.txt"), "--reads", dir.file("r.fq"),
                                         "--max-edits", "1"};
        args.insert(args.end(), c.extra.begin(), c.extra.end());
        const run_result r = run_tool(dir, args);
        ASSERT_EQ(r.status, 0) << r.err;
        const std::vector<std::string> lines = split_lines(r.out);
        const std::vector<std::string> f = fields(lines.back());
        ASSERT_EQ(f.size(), 9u) << lines.back();
        EXPECT_EQ(f[0], "tie");
        EXPECT_EQ(f[2], c.status);
        EXPECT_EQ(f[3], std::string(c.assigned) == "A" ? entry_a : "-");
        EXPECT_EQ(f[4], "1");
        EXPECT_EQ(f[6], "2");
        if (*c.posterior) {
            EXPECT_EQ(f[7], c.posterior);
        } else {
            EXPECT_GT(std::stod(f[7]), 0.999);
        }
        EXPECT_EQ(f[8], entry_a + "," + entry_b);
    }
}

// A one-base insertion or deletion anywhere inside the barcode costs one
// edit; the fixed window cannot say the same.
TEST(ToolRescue, IndelsInsideTheBarcode) {
    scratch_dir dir;
    std::mt19937_64 g(15);
    auto random_seq = [&](size_t n) {
        std::string s(n, 'A');
        for (char &c : s) c = "ACGT"[g() % 4];
        return s;
    };
    std::vector<std::string> wl = {random_seq(16)};
    while (wl.size() < 6) {
        const std::string e = random_seq(16);
        bool far = true;
        for (const std::string &o : wl) far = far && oracle::levenshtein(e, o) >= 6;
        if (far) wl.push_back(e);
    }
    std::string wl_text, fq;
    for (const std::string &e : wl) wl_text += e + "\n";
    for (int i = 0; i < 3; ++i) fq += fastq_record("exact" + std::to_string(i), wl[0] + random_seq(6));
    size_t variants = 0;
    for (size_t p = 0; p <= 16; ++p) {
        std::string ins = wl[0];
        ins.insert(p, 1, "ACGT"[g() % 4]);
        fq += fastq_record("ins" + std::to_string(p), ins + random_seq(6));
        ++variants;
        if (p == 16) break;
        std::string del = wl[0];
        del.erase(p, 1);
        fq += fastq_record("del" + std::to_string(p), del + random_seq(6));
        ++variants;
    }
    write_file(dir.file("wl.txt"), wl_text);
    write_file(dir.file("r.fq"), fq);
    size_t assigned_fixed = 0;
    for (const bool fixed : {false, true}) {
        std::vector<std::string> args = {"assign", "--whitelist", dir.file("wl.txt"), "--reads", dir.file("r.fq"),
                                         "--max-edits", "1"};
        if (fixed) args.push_back("--fixed-window");
        const run_result r = run_tool(dir, args);
        ASSERT_EQ(r.status, 0) << r.err;
        const std::vector<std::string> lines = split_lines(r.out);
        ASSERT_EQ(lines.size(), 1 + 3 + variants);
        for (size_t i = 4; i < lines.size(); ++i) {
            const std::vector<std::string> f = fields(lines[i]);
            const bool ok = f[2] == "unique" && f[3] == wl[0] && (f[4] == "1" || f[4] == "0");
            if (!fixed) {
                EXPECT_TRUE(ok) << lines[i];
            }
            assigned_fixed += fixed && ok;
        }
    }
    EXPECT_LT(assigned_fixed, variants / 2);
}

// Every output of a default run agrees with the table.
TEST(ToolRescue, OutputContractOnDemoData) {
    scratch_dir dir;
    const run_result r = run_tool(dir, {"assign", "--whitelist", demo_whitelist, "--reads", demo_reads, "--max-edits",
                                        "1", "--threads", "2", "--out", dir.file("o.tsv"), "--summary",
                                        dir.file("s.json"), "--counts", dir.file("c.tsv"), "--knee-plot",
                                        dir.file("k.svg")});
    ASSERT_EQ(r.status, 0) << r.err;
    const std::vector<std::string> lines = split_lines(read_file(dir.file("o.tsv")));
    ASSERT_GT(lines.size(), 1u);
    EXPECT_EQ(lines[0], table_header);
    std::map<std::string, std::pair<long long, long long>> per_barcode;  // exact, rescued
    long long unique = 0, with_errors = 0;
    for (size_t i = 1; i < lines.size(); ++i) {
        const std::vector<std::string> f = fields(lines[i]);
        ASSERT_EQ(f.size(), 9u) << lines[i];
        EXPECT_EQ(f[2] == "unique", f[3] != "-") << lines[i];
        if (f[2] != "unique") continue;
        ++unique;
        if (f[4] == "0" && f[7] == "-") {
            EXPECT_EQ(f[8], "-") << lines[i];
            ++per_barcode[f[3]].first;
            continue;
        }
        ++with_errors;
        ++per_barcode[f[3]].second;
        EXPECT_GE(std::stod(f[7]), 0.975) << lines[i];
        const std::string list = "," + f[8] + ",";
        if (std::stoi(f[6]) <= 8) {
            EXPECT_NE(list.find("," + f[3] + ","), std::string::npos) << lines[i];
        }
    }
    EXPECT_GT(with_errors, 0);

    // Counts: every assigned read once, most reads first.
    const std::vector<std::string> counts = split_lines(read_file(dir.file("c.tsv")));
    ASSERT_FALSE(counts.empty());
    EXPECT_EQ(counts[0], "barcode\texact\trescued\ttotal");
    EXPECT_EQ(counts.size() - 1, per_barcode.size());
    long long previous = -1;
    for (size_t i = 1; i < counts.size(); ++i) {
        const std::vector<std::string> f = fields(counts[i]);
        ASSERT_EQ(f.size(), 4u);
        const auto &[exact, rescued] = per_barcode[f[0]];
        EXPECT_EQ(std::stoll(f[1]), exact) << f[0];
        EXPECT_EQ(std::stoll(f[2]), rescued) << f[0];
        EXPECT_EQ(std::stoll(f[3]), exact + rescued) << f[0];
        if (previous >= 0) {
            EXPECT_LE(std::stoll(f[3]), previous);
        }
        previous = std::stoll(f[3]);
    }

    const std::string json = read_file(dir.file("s.json"));
    EXPECT_EQ(json_number(json, "count", "unique"), unique);
    EXPECT_EQ(json_number(json, "assigned_with_errors"), with_errors);
    EXPECT_EQ(json_number(json, "barcodes_with_reads"), static_cast<long long>(per_barcode.size()));
    // The knee curve starts at rank 1 with the largest count.
    const size_t points = json.find("\"points\"");
    ASSERT_NE(points, std::string::npos);
    const std::string first = json.substr(json.find('[', json.find('[', points) + 1));
    EXPECT_EQ(std::atoll(first.c_str() + first.find_first_of("0123456789")), 1);
    EXPECT_NE(first.find(std::to_string(std::stoll(fields(counts[1])[3]))), std::string::npos);
    const std::string svg = read_file(dir.file("k.svg"));
    EXPECT_EQ(svg.rfind("<?xml", 0), 0u);
    EXPECT_NE(svg.find("<polyline"), std::string::npos);
    EXPECT_NE(svg.find("</svg>"), std::string::npos);
}

// Warnings a user must see: lower-case bases, and most reads unassigned.
TEST(ToolRescue, WarningsOnStderr) {
    scratch_dir dir;
    write_file(dir.file("wl.txt"), entry_a + "\n" + entry_b + "\n");
    std::string lower = entry_a;
    for (char &c : lower) c = static_cast<char>(c | 0x20);
    write_file(dir.file("r.fq"), fastq_record("low", lower + tail) + fastq_record("x", "TTTTTTTTTTTTTTTTTTTT") +
                                     fastq_record("y", "GGGGGGGGGGGGGGGGGGGG"));
    const run_result r = run_tool(dir, {"assign", "--whitelist", dir.file("wl.txt"), "--reads", dir.file("r.fq"),
                                        "--max-edits", "1"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.out.find("low\t" + entry_a + "\tunique\t" + entry_a), std::string::npos) << r.out;
    EXPECT_NE(r.err.find("1 reads hold lower-case bases"), std::string::npos) << r.err;
    EXPECT_NE(r.err.find("66.67% of reads were not assigned; is the barcode window right?"), std::string::npos)
        << r.err;
}

}  // namespace
