// velmora tag run as a user runs it: every record's CB against what velmora
// assign decides for the same raw barcodes and qualities (one read per
// template, so the same prior), the records and header kept, and records
// without a barcode refused or passed.
#include <gtest/gtest.h>

#include <htslib/sam.h>

#include <algorithm>
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
        out.push_back({bam_get_qname(b), b->core.flag, cb ? bam_aux2Z(cb) : ""});
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

}  // namespace
