// velmora tag run as a user runs it: every record's CB against what velmora
// assign decides for the same raw barcodes and qualities (one read per
// template, so the same prior), the records and header kept, and records
// without a barcode refused or passed; UMIs corrected within each cell
// against a model of the rule written here.
#include <gtest/gtest.h>

#include <htslib/sam.h>

#include <algorithm>
#include <filesystem>
#include <map>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "gen.h"
#include "tool_run.h"

namespace {

using namespace velmora_tool_test;
using scratch = velmora_tool_test::scratch_dir;

// SAM text turned into BAM by htslib.
void write_bam(const std::string &path, const std::string &sam) {
    write_file(path + ".sam", sam);
    samFile *in = sam_open((path + ".sam").c_str(), "r");
    sam_hdr_t *h = sam_hdr_read(in);
    samFile *out = sam_open(path.c_str(), "wb");
    ASSERT_EQ(sam_hdr_write(out, h), 0);
    bam1_t *b = bam_init1();
    while (sam_read1(in, h, b) >= 0) ASSERT_GE(sam_write1(out, h, b), 0);
    bam_destroy1(b);
    sam_hdr_destroy(h);
    sam_close(out);
    sam_close(in);
}

struct record {
    std::string name;
    int flag = 0;
    std::string cb;  // empty: none
    std::string ub;  // empty: none
};

std::vector<record> read_bam(const std::string &path, std::string *header) {
    std::vector<record> out;
    samFile *in = sam_open(path.c_str(), "r");
    sam_hdr_t *h = in ? sam_hdr_read(in) : nullptr;
    if (!h) return out;
    *header = sam_hdr_str(h);
    bam1_t *b = bam_init1();
    while (sam_read1(in, h, b) >= 0) {
        const uint8_t *cb = bam_aux_get(b, "CB");
        const uint8_t *ub = bam_aux_get(b, "UB");
        out.push_back({bam_get_qname(b), b->core.flag, cb ? bam_aux2Z(cb) : "", ub ? bam_aux2Z(ub) : ""});
    }
    bam_destroy1(b);
    sam_hdr_destroy(h);
    sam_close(in);
    return out;
}

const char header[] = "@HD\tVN:1.6\tSO:unsorted\n@SQ\tSN:chr1\tLN:100000\n@PG\tID:velmora\tPN:velmora\tCL:earlier\n";

// One mapped record of template t.
std::string sam_line(const std::string &name, int flag, const std::string &tags) {
    return name + "\t" + std::to_string(flag) + "\tchr1\t100\t60\t8M\t*\t0\t0\tACGTACGT\tIIIIIIII" + tags + "\n";
}

// Templates over a list where many entries lie one substitution from
// another: barcodes with substitutions, indels kept at the list's length, N
// and lower case; some without qualities.  Each template is one read or a
// pair, some with secondary and supplementary records (so that counting
// those would shift the prior), some carrying a stale CB.
struct tag_run {
    std::vector<std::string> list, barcodes, quals;  // per template; qual "" for none
    std::string sam, sam_by_name, fastq;
    std::vector<std::string> record_template;  // the template of each record, in order

    explicit tag_run(uint64_t seed, size_t templates = 600) {
        velmora_test::rng g(seed);
        std::set<std::string> seen;
        std::vector<std::pair<size_t, size_t>> two_apart;
        while (list.size() < 150) {
            const unsigned subs = list.empty() || g.chance(60) ? 0 : g.chance(50) ? 1 : 2;
            const size_t parent = subs ? g.range(0, list.size() - 1) : 0;
            std::string e = subs ? g.mutate(list[parent], subs, 0, true) : g.dna(12);
            if (!seen.insert(e).second) continue;
            if (subs == 2) two_apart.emplace_back(list.size(), parent);
            list.push_back(e);
        }
        sam = sam_by_name = header;
        for (size_t t = 0; t < templates; ++t) {
            // Skewed use, so that the prior decides between neighbours, and
            // barcodes one substitution from two entries at different
            // places, where the qualities decide.
            std::string bc = g.chance(8) ? g.dna(12) : list[g.range(0, g.chance(50) ? 5 : list.size() - 1)];
            bc = g.mutate(bc, static_cast<unsigned>(g.range(0, 2) * g.chance(50)));
            if (g.chance(15) && !two_apart.empty()) {
                const auto [a, b] = two_apart[g.range(0, two_apart.size() - 1)];
                bc = list[a];
                const size_t i = static_cast<size_t>(std::mismatch(bc.begin(), bc.end(), list[b].begin()).first - bc.begin());
                bc[i] = list[b][i];
            }
            bc.resize(12, 'A');
            if (g.chance(5)) bc[g.range(0, 11)] = 'N';
            if (g.chance(5)) bc[g.range(0, 11)] |= 0x20;
            std::string q;
            for (size_t k = 0; k < 12; ++k) q.push_back(static_cast<char>('#' + g.range(0, 38)));
            const bool has_q = !g.chance(15);
            barcodes.push_back(bc);
            quals.push_back(has_q ? q : "");
            const std::string name = "t" + std::to_string(t);
            fastq += "@" + name + "\n" + bc + "\n+\n" + (has_q ? q : std::string(12, '?')) + "\n";
            const std::string tags = (has_q ? "\tCY:Z:" + q : "") + (g.chance(20) ? "\tCB:Z:GGGG" : "");
            std::vector<int> flags = g.chance(60) ? std::vector<int>{0x41 | 0x20, 0x81 | 0x10} : std::vector<int>{0};
            if (g.chance(25)) flags.push_back(flags[0] | 0x100);
            if (g.chance(20)) flags.push_back(flags.back() | 0x800);
            for (const int f : flags) {
                sam += sam_line(name, f, "\tCR:Z:" + bc + tags);
                sam_by_name += sam_line(name + "_" + bc, f, tags);
                record_template.push_back(name);
            }
        }
    }
};

// Every record gets CB exactly when assign assigns its template's barcode,
// the entry assign gives; the records stay in order; the header gains a
// @PG line chained to the last one.
TEST(ToolTag, RecordsGetAssignsDecisionInOrder) {
    struct tag_case {
        const char *name;
        std::vector<std::string> matching, extra;
        bool by_name, from_stdin;
    };
    const tag_case cases[] = {
        {"edits, rescue, small batches", {"--max-edits", "1", "--min-exact", "2"}, {"--threads", "3", "--batch-size", "7"}, false, false},
        {"mismatches, standard input", {"--max-mismatches", "1"}, {"--threads", "1"}, false, true},
        {"two edits, no rescue", {"--max-edits", "2", "--no-rescue"}, {"--batch-size", "5"}, false, false},
        {"barcode in the name", {"--max-edits", "1"}, {"--barcode-from-name", "_([ACGTNacgtn]+)$"}, true, false},
    };
    for (const tag_case &c : cases) {
        SCOPED_TRACE(c.name);
        scratch dir;
        const tag_run data(velmora_test::test_seed());
        std::string wl;
        for (const std::string &e : data.list) wl += e + "\n";
        write_file(dir.file("wl.txt"), wl);
        write_gzip(dir.file("reads.fq.gz"), data.fastq);
        write_bam(dir.file("in.bam"), c.by_name ? data.sam_by_name : data.sam);

        std::vector<std::string> assign = {"assign", "--whitelist", dir.file("wl.txt"), "--reads",
                                           dir.file("reads.fq.gz"), "--out", dir.file("t.tsv")};
        assign.insert(assign.end(), c.matching.begin(), c.matching.end());
        const run_result a = run_tool(dir, assign);
        ASSERT_EQ(a.status, 0) << a.err;
        std::vector<std::string> tag = {"tag", "--whitelist", dir.file("wl.txt"), "--bam",
                                        c.from_stdin ? "-" : dir.file("in.bam"), "--out", dir.file("out.bam")};
        tag.insert(tag.end(), c.matching.begin(), c.matching.end());
        tag.insert(tag.end(), c.extra.begin(), c.extra.end());
        const run_result r = run_tool(dir, tag, c.from_stdin ? dir.file("in.bam") : "/dev/null");
        ASSERT_EQ(r.status, 0) << r.err;

        std::map<std::string, std::string> assigned;
        for (const auto &row : parse_table(read_file(dir.file("t.tsv"))))
            assigned[row.at("read")] = row.at("assigned") == "-" ? "" : row.at("assigned");
        std::string in_header, out_header;
        const std::vector<record> in = read_bam(dir.file("in.bam"), &in_header);
        const std::vector<record> out = read_bam(dir.file("out.bam"), &out_header);
        ASSERT_EQ(out.size(), in.size());
        size_t with_cb = 0;
        for (size_t i = 0; i < out.size(); ++i) {
            SCOPED_TRACE(in[i].name);
            EXPECT_EQ(out[i].name, in[i].name);
            EXPECT_EQ(out[i].flag, in[i].flag);
            EXPECT_EQ(out[i].cb, assigned.at(data.record_template[i]));
            with_cb += !out[i].cb.empty();
        }
        EXPECT_GT(with_cb, out.size() / 2);
        EXPECT_LT(with_cb, out.size());
        ASSERT_EQ(out_header.compare(0, in_header.size(), in_header), 0) << out_header;
        const std::string pg = out_header.substr(in_header.size());
        EXPECT_EQ(pg.rfind("@PG\tID:velmora.1\t", 0), 0u) << pg;
        EXPECT_NE(pg.find("\tPP:velmora\t"), std::string::npos) << pg;
        EXPECT_NE(pg.find("\tCL:" VELMORA_TOOL " tag "), std::string::npos) << pg;
    }
}

// A record without the barcode tag stops the run by default, naming it,
// with or without the counting pass, and leaves no file; passed, it is
// written without CB and counted.
TEST(ToolTag, RecordWithoutBarcode) {
    struct missing_case {
        std::vector<std::string> args;
        int status;
    };
    const missing_case cases[] = {{{}, 1}, {{"--no-rescue"}, 1}, {{"--missing-barcode", "pass"}, 0}};
    for (const missing_case &c : cases) {
        SCOPED_TRACE(c.args.empty() ? "default" : c.args[0]);
        scratch dir;
        write_file(dir.file("wl.txt"), "AAAACCCC\nGGGGTTTT\n");
        std::string sam = header;
        for (const char *name : {"r1", "r2", "lost", "r4"})
            sam += sam_line(name, 0, std::string(name) == "lost" ? "\tCB:Z:AAAACCCC"
                                     : std::string("\tCR:Z:GGGGTTT") + (name[1] == '2' ? "A" : "T"));
        write_bam(dir.file("in.bam"), sam);
        const size_t files = dir.count();
        std::vector<std::string> args = {"tag", "--whitelist", dir.file("wl.txt"), "--bam", dir.file("in.bam"),
                                         "--out", dir.file("out.bam"), "--summary", dir.file("s.json"),
                                         "--max-edits", "1"};
        args.insert(args.end(), c.args.begin(), c.args.end());
        const run_result r = run_tool(dir, args);
        ASSERT_EQ(r.status, c.status) << r.err;
        if (c.status != 0) {
            EXPECT_NE(r.err.find("record 'lost' (record 3 of"), std::string::npos) << r.err;
            EXPECT_NE(r.err.find("no CR:Z tag"), std::string::npos) << r.err;
            EXPECT_EQ(dir.count(), files);
            continue;
        }
        std::string h;
        const std::vector<record> out = read_bam(dir.file("out.bam"), &h);
        ASSERT_EQ(out.size(), 4u);
        for (const record &rec : out) EXPECT_EQ(rec.cb, rec.name == "lost" ? "" : "GGGGTTTT") << rec.name;
        EXPECT_NE(read_file(dir.file("s.json")).find("\"missing_barcode_passed\": 1,"), std::string::npos);
    }
}

// A BAM cut short or damaged inside stops the run and leaves no file, with
// htslib's threads too, which may end a damaged file early as if it were
// whole.
TEST(ToolTag, DamagedBamIsAnError) {
    const tag_run data(velmora_test::test_seed(), 3000);
    for (const bool cut : {true, false}) {
        for (const char *threads : {"1", "3"}) {
            SCOPED_TRACE(std::string(cut ? "cut" : "overwritten") + ", threads " + threads);
            scratch dir;
            write_file(dir.file("wl.txt"), data.list[0] + "\n");
            write_bam(dir.file("in.bam"), data.sam);
            std::string bytes = read_file(dir.file("in.bam"));
            if (cut) bytes.resize(bytes.size() * 2 / 3);
            else bytes.replace(bytes.size() / 2, 2000, 2000, 'x');
            write_file(dir.file("in.bam"), bytes);
            // htslib 1.16 loses a little of its thread pool's state when a
            // damaged block stops a threaded read: not the tool's leak.
            write_file(dir.file("lsan.txt"), "leak:libhts.so\n");
            run_setup setup;
            setup.env = {"LSAN_OPTIONS=suppressions=" + dir.file("lsan.txt")};
            const size_t files = dir.count();
            const run_result r = finish_tool(
                dir, spawn_tool(dir, {"tag", "--whitelist", dir.file("wl.txt"), "--bam", dir.file("in.bam"), "--out",
                                      dir.file("out.bam"), "--max-edits", "1", "--threads", threads},
                                setup));
            EXPECT_EQ(r.status, 1);
            EXPECT_NE(r.err.find("cannot read BAM"), std::string::npos) << r.err;
            EXPECT_EQ(dir.count(), files);
        }
    }
}

// UMIs written out: in cell AAAACCCC, X (ACGTACGT) five times and X' (one
// substitution) once as read 1 of a pair whose mate, secondary and
// supplementary records follow; in cell GGGGTTTT, X' once and X only on
// read-2 records, which do not count (counted, they would take X' in).
// Records with N, of another length (one of them, secondary, first in the
// file, so that it does not set the length), without the UMI tag, or
// without a CB get no UB, and a stale UB goes with --umi-tag only.
TEST(ToolTag, UmisCorrectedWithinEachCell) {
    struct umi_record {
        const char *name;
        int flag;
        const char *cr, *ur, *stale;      // ur, stale: nullptr for none
        const char *corrected, *as_read;  // the expected UB; "" for none
    };
    const char *X = "ACGTACGT", *Xp = "ACGTACGA";
    const umi_record records[] = {
        {"s0", 0x100, "AAAACCCC", "ACGTAC", nullptr, "", ""},
        {"a1", 0, "AAAACCCC", X, nullptr, X, X},
        {"a2", 0, "AAAACCCC", X, nullptr, X, X},
        {"a3", 0, "AAAACCCC", X, "UB:Z:OLD", X, X},
        {"a4", 0, "AAAACCCC", X, nullptr, X, X},
        {"a5", 0, "AAAACCCC", X, nullptr, X, X},
        {"a6", 0x61, "AAAACCCC", "acgtacga", nullptr, X, Xp},
        {"a6", 0x91, "AAAACCCC", "acgtacga", nullptr, X, Xp},
        {"a6", 0x161, "AAAACCCC", "acgtacga", nullptr, X, Xp},
        {"a6", 0x861, "AAAACCCC", "acgtacga", nullptr, X, Xp},
        {"a7", 0, "AAAACCCC", "ACGTNCGT", nullptr, "", ""},
        {"a8", 0, "AAAACCCC", "ACGTACGTA", nullptr, "", ""},
        {"a9", 0, "AAAACCCC", nullptr, "UB:Z:STALE", "", ""},
        {"g1", 0, "GGGGTTTT", Xp, nullptr, Xp, Xp},
        {"g2", 0x81, "GGGGTTTT", X, nullptr, X, X},
        {"g3", 0x81, "GGGGTTTT", X, nullptr, X, X},
        {"g4", 0x81, "GGGGTTTT", X, nullptr, X, X},
        {"n1", 0, "CCCCCCCC", X, "UB:Z:OLD", "", ""},
    };
    struct umi_case {
        const char *name;
        std::vector<std::string> args;
        const char *molecules;  // "": no umis section
        bool correct;
    };
    const umi_case cases[] = {
        {"corrected", {"--umi-tag", "UR", "--threads", "2", "--batch-size", "3"}, "\"molecules\": 2,", true},
        {"as read", {"--umi-tag", "UR", "--no-umi-correct"}, "\"molecules\": 3,", false},
        {"without --umi-tag", {}, "", false},
    };
    std::string sam = header;
    for (const umi_record &r : records)
        sam += sam_line(r.name, r.flag, std::string("\tCR:Z:") + r.cr + (r.ur ? std::string("\tUR:Z:") + r.ur : "") +
                                            (r.stale ? std::string("\t") + r.stale : ""));
    for (const umi_case &c : cases) {
        SCOPED_TRACE(c.name);
        scratch dir;
        write_file(dir.file("wl.txt"), "AAAACCCC\nGGGGTTTT\n");
        write_bam(dir.file("in.bam"), sam);
        std::vector<std::string> args = {"tag", "--whitelist", dir.file("wl.txt"), "--bam", dir.file("in.bam"),
                                         "--out", dir.file("out.bam"), "--summary", dir.file("s.json"),
                                         "--max-edits", "1"};
        args.insert(args.end(), c.args.begin(), c.args.end());
        const run_result r = run_tool(dir, args);
        ASSERT_EQ(r.status, 0) << r.err;
        std::string h;
        const std::vector<record> out = read_bam(dir.file("out.bam"), &h);
        ASSERT_EQ(out.size(), std::size(records));
        for (size_t i = 0; i < out.size(); ++i) {
            const umi_record &want = records[i];
            SCOPED_TRACE(std::string(want.name) + " flag " + std::to_string(want.flag));
            const std::string stale = want.stale ? std::string(want.stale).substr(5) : "";
            EXPECT_EQ(out[i].ub, c.molecules[0] == 0 ? stale : c.correct ? want.corrected : want.as_read);
        }
        const std::string summary = read_file(dir.file("s.json"));
        if (c.molecules[0] == 0) {
            EXPECT_EQ(summary.find("\"umis\""), std::string::npos);
            EXPECT_EQ(r.err.find("UMI"), std::string::npos) << r.err;
            continue;
        }
        EXPECT_NE(summary.find(c.molecules), std::string::npos) << summary;
        for (const char *field : {"\"length\": 8,", "\"templates_counted\": 7,", "\"distinct_pairs\": 3,",
                                  "\"records_with_ub\": 13,", "\"records_without_umi\": 1,",
                                  "\"records_unusable_umi\": 3,"})
            EXPECT_NE(summary.find(field), std::string::npos) << field << "\n" << summary;
        EXPECT_NE(r.err.find("warning: 3 records assigned a CB hold a UMI (UR)"), std::string::npos) << r.err;
    }
}

// Random templates (pairs with secondary and supplementary records, UMIs
// near one another, in lower case, with N, of other lengths, missing): the
// UB of every record against the rule written out here, cell by cell,
// through several threads and small batches, standard input (read three
// times), and one pass fewer without the rescue.
TEST(ToolTag, UmisAgainstModel) {
    struct model_case {
        const char *name;
        std::vector<std::string> args;
        bool from_stdin, correct;
    };
    const model_case cases[] = {
        {"threads, small batches", {"--threads", "3", "--batch-size", "5"}, false, true},
        {"standard input", {"--threads", "2"}, true, true},
        {"no rescue, standard input", {"--no-rescue", "--threads", "1"}, true, true},
        {"as read", {"--no-umi-correct"}, false, false},
    };
    velmora_test::rng g(velmora_test::test_seed());
    const std::vector<std::string> cells = {"AAAACCCCGG", "CCCCGGGGTT", "GGGGTTTTAA", "TTTTAAAACC", "ACACACACAC"};
    std::vector<std::string> base;
    while (base.size() < 6) base.push_back(g.dna(8));
    std::string sam = header;
    for (size_t t = 0; t < 700; ++t) {
        // Cells and UMIs skewed, so that some UMIs are seen often and their
        // neighbours rarely; the same UMIs in every cell.
        std::string bc = cells[g.range(0, g.chance(50) ? 1 : cells.size() - 1)];
        if (g.chance(10)) bc = g.dna(10);
        std::string umi = base[g.range(0, g.chance(60) ? 1 : base.size() - 1)];
        if (g.chance(35)) umi[g.range(0, 7)] = "ACGT"[g.range(0, 3)];
        if (g.chance(10)) umi[g.range(0, 7)] = "ACGT"[g.range(0, 3)];
        if (t > 0 && g.chance(4)) umi[g.range(0, 7)] = 'N';
        if (t > 0 && g.chance(4)) umi.resize(g.chance(50) ? 7 : 9, 'A');
        if (g.chance(10)) umi[g.range(0, umi.size() - 1)] |= 0x20;
        const std::string tags = "\tCR:Z:" + bc + (t > 0 && g.chance(4) ? "" : "\tUR:Z:" + umi) +
                                 (g.chance(10) ? "\tUB:Z:STALE" : "");
        std::vector<int> flags = g.chance(60) ? std::vector<int>{0x41 | 0x20, 0x81 | 0x10} : std::vector<int>{0};
        if (g.chance(25)) flags.push_back(flags[0] | 0x100);
        if (g.chance(20)) flags.push_back(flags.back() | 0x800);
        // Now and then a mate first, so that counting it would change
        // which UMI sets the length or the counts.
        if (flags.size() > 1 && g.chance(20)) std::swap(flags[0], flags[1]);
        for (const int f : flags) sam += sam_line("t" + std::to_string(t), f, tags);
    }
    std::string wl;
    for (const std::string &c : cells) wl += c + "\n";

    for (const model_case &c : cases) {
        SCOPED_TRACE(c.name);
        scratch dir;
        write_file(dir.file("wl.txt"), wl);
        write_bam(dir.file("in.bam"), sam);
        std::vector<std::string> args = {"tag", "--whitelist", dir.file("wl.txt"), "--bam",
                                         c.from_stdin ? "-" : dir.file("in.bam"), "--out", dir.file("out.bam"),
                                         "--max-edits", "1", "--umi-tag", "UR"};
        args.insert(args.end(), c.args.begin(), c.args.end());
        const run_result r = run_tool(dir, args, c.from_stdin ? dir.file("in.bam") : "/dev/null");
        ASSERT_EQ(r.status, 0) << r.err;
        std::string h;
        const std::vector<record> out = read_bam(dir.file("out.bam"), &h);

        // The raw UMIs, read back from the output (UR is kept).
        std::vector<std::pair<bool, std::string>> raw;  // has the tag, its value
        {
            samFile *in = sam_open(dir.file("out.bam").c_str(), "r");
            sam_hdr_t *hdr = sam_hdr_read(in);
            bam1_t *b = bam_init1();
            while (sam_read1(in, hdr, b) >= 0) {
                const uint8_t *ur = bam_aux_get(b, "UR");
                raw.emplace_back(ur != nullptr, ur ? bam_aux2Z(ur) : "");
            }
            bam_destroy1(b);
            sam_hdr_destroy(hdr);
            sam_close(in);
        }
        ASSERT_EQ(raw.size(), out.size());
        // The model: a UMI usable when of A/C/G/T only; the length that of
        // the first usable UMI of a record that counts (primary, read 1 of
        // a pair) with a CB; per cell, reads per UMI of those records.
        const auto usable = [](const std::string &u) {
            std::string up;
            for (const char ch : u) {
                const char c2 = static_cast<char>(ch & ~0x20);
                if (c2 != 'A' && c2 != 'C' && c2 != 'G' && c2 != 'T') return std::string();
                up.push_back(c2);
            }
            return up;
        };
        const auto counts = [](int flag) { return !(flag & 0x900) && !((flag & 1) && (flag & 0x80)); };
        size_t length = 0;
        std::map<std::string, std::map<std::string, uint64_t>> reads;  // cell -> UMI -> reads
        for (size_t i = 0; i < out.size(); ++i) {
            const std::string u = usable(raw[i].second);
            if (out[i].cb.empty() || !raw[i].first || u.empty() || !counts(out[i].flag)) continue;
            if (!length) length = u.size();
            if (u.size() == length) ++reads[out[i].cb][u];
        }
        ASSERT_EQ(length, 8u);
        std::map<std::string, std::map<std::string, std::string>> root;  // cell -> UMI -> root
        for (const auto &[cell, umis] : reads) {
            std::vector<std::pair<std::string, uint64_t>> order(umis.begin(), umis.end());
            std::stable_sort(order.begin(), order.end(), [](const auto &a, const auto &b) { return a.second > b.second; });
            std::map<std::string, std::string> &to = root[cell];
            for (const auto &[start, n] : order) {
                if (to.count(start)) continue;
                to[start] = start;
                std::vector<std::string> queue{start};
                for (size_t head = 0; head < queue.size(); ++head) {
                    const std::string u = queue[head];
                    for (const auto &[v, m] : umis) {
                        size_t diff = 0;
                        for (size_t k = 0; k < length; ++k) diff += u[k] != v[k];
                        if (diff == 1 && !to.count(v) && umis.at(u) + 1 >= 2 * m) {
                            to[v] = start;
                            queue.push_back(v);
                        }
                    }
                }
            }
        }
        size_t with_ub = 0, moved = 0;
        for (size_t i = 0; i < out.size(); ++i) {
            SCOPED_TRACE(out[i].name + " flag " + std::to_string(out[i].flag) + " UR " + raw[i].second);
            const std::string u = usable(raw[i].second);
            std::string want;
            if (!out[i].cb.empty() && raw[i].first && u.size() == length) {
                want = u;
                const auto cell = root.find(out[i].cb);
                if (c.correct && cell != root.end() && cell->second.count(u)) want = cell->second.at(u);
            }
            EXPECT_EQ(out[i].ub, want);
            with_ub += !want.empty();
            moved += want != u && !want.empty();
        }
        EXPECT_GT(with_ub, out.size() / 2);
        if (c.correct) {
            EXPECT_GT(moved, 20u);
        }
    }
}

// --umi-tag takes a tag name that this run does not write; --no-umi-correct
// needs it.
TEST(ToolTag, UmiOptionsChecked) {
    const std::vector<std::string> cases[] = {
        {"--no-umi-correct"}, {"--umi-tag", "UB"}, {"--umi-tag", "CB"}, {"--umi-tag", "U"}, {"--umi-tag", ""}};
    scratch dir;
    write_file(dir.file("wl.txt"), "AAAACCCC\n");
    write_bam(dir.file("in.bam"), std::string(header) + sam_line("r", 0, "\tCR:Z:AAAACCCC\tUR:Z:ACGT"));
    for (const std::vector<std::string> &extra : cases) {
        SCOPED_TRACE(extra.back());
        std::vector<std::string> args = {"tag", "--whitelist", dir.file("wl.txt"), "--bam", dir.file("in.bam"),
                                         "--out", dir.file("out.bam"), "--max-edits", "1"};
        args.insert(args.end(), extra.begin(), extra.end());
        const run_result r = run_tool(dir, args);
        EXPECT_EQ(r.status, 2) << r.err;
        EXPECT_FALSE(std::filesystem::exists(dir.file("out.bam")));
    }
}

}  // namespace
