// The tool over read structures, run as a user runs it: every read's
// segments against brute force per segment, the tagged FASTQ and the BAM
// read back against the table, one C segment against the barcode window
// options, and input that does not fit named by file and record.
#include <gtest/gtest.h>

#include <htslib/sam.h>

#include <algorithm>
#include <cstdio>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "gen.h"
#include "oracle.h"
#include "tool_run.h"

namespace {

using namespace velmora_tool_test;
using scratch = velmora_tool_test::scratch_dir;

run_result run(const scratch &dir, std::vector<std::string> args, const std::string &stdin_path = "/dev/null") {
    args.insert(args.begin(), "assign");
    return run_tool(dir, args, stdin_path);
}

// Distinct random entries of one length, some one substitution from another.
std::vector<std::string> make_list(velmora_test::rng &g, size_t n, size_t len) {
    std::set<std::string> seen;
    std::vector<std::string> out;
    while (out.size() < n) {
        std::string e = !out.empty() && g.chance(30) ? g.mutate(out[g.range(0, out.size() - 1)], 1, 0, true)
                                                     : g.dna(len);
        if (seen.insert(e).second) out.push_back(e);
    }
    return out;
}

// A three-file run: read 1 "8C6C6M" (two cell segments, the first one
// followed by the second, so its window never moves), read 2 "+T", index
// read "2S6B".  Substitutions in every segment, some reads too short.
struct paired_run {
    std::vector<std::string> cells1, cells2, samples;
    std::string r1, r2, r3;
    std::vector<std::string> seq1, seq3, names;

    explicit paired_run(uint64_t seed, size_t n = 400) {
        velmora_test::rng g(seed);
        cells1 = make_list(g, 40, 8);
        cells2 = make_list(g, 30, 6);
        samples = make_list(g, 6, 6);
        for (size_t i = 0; i < n; ++i) {
            const auto pick = [&](const std::vector<std::string> &l) {
                return g.mutate(l[g.range(0, l.size() - 1)], static_cast<unsigned>(g.range(0, 2) * g.chance(40)), 0,
                                true);
            };
            std::string s1 = pick(cells1) + pick(cells2) + g.dna(6);
            std::string s2 = g.dna(g.range(10, 30));
            std::string s3 = g.dna(2) + pick(samples);
            if (g.chance(3)) s1.resize(g.range(0, 19));
            if (g.chance(2)) s3.resize(g.range(0, 7));
            const std::string name = "r" + std::to_string(i);
            const auto qual = [&](size_t len) {
                std::string q;
                for (size_t k = 0; k < len; ++k) q.push_back(static_cast<char>('#' + g.range(0, 38)));
                return q;
            };
            r1 += "@" + name + "/1 1:N:0\n" + s1 + "\n+\n" + qual(s1.size()) + "\n";
            r2 += "@" + name + "/2 2:N:0\n" + s2 + "\n+\n" + qual(s2.size()) + "\n";
            r3 += "@" + name + "\n" + s3 + "\n+\n" + qual(s3.size()) + "\n";
            seq1.push_back(s1);
            seq3.push_back(s3);
            names.push_back(name + "/1");
        }
    }
    std::vector<std::string> write(const scratch &dir) const {
        for (const auto &[name, list] : {std::pair{"c1.txt", &cells1}, {"c2.txt", &cells2}, {"s.txt", &samples}}) {
            std::string text;
            for (const std::string &e : *list) text += e + "\n";
            write_file(dir.file(name), text);
        }
        write_gzip(dir.file("R1.fq.gz"), r1);
        write_file(dir.file("R2.fq"), r2);
        write_file(dir.file("I1.fq"), r3);
        return {"--read-structure", "8C6C6M", "+T", "2S6B",
                "--whitelist", dir.file("c1.txt"), "--whitelist", dir.file("c2.txt"), "--whitelist", dir.file("s.txt"),
                "--reads", dir.file("R1.fq.gz"), dir.file("R2.fq"), dir.file("I1.fq")};
    }
};

// A BAM file's header and its records as SAM lines cut into fields.
std::vector<std::vector<std::string>> read_bam(const std::string &path, std::string *header) {
    std::vector<std::vector<std::string>> out;
    samFile *in = sam_open(path.c_str(), "r");
    sam_hdr_t *h = in ? sam_hdr_read(in) : nullptr;
    if (!h) return out;
    *header = sam_hdr_str(h);
    bam1_t *b = bam_init1();
    kstring_t text = KS_INITIALIZE;
    while (sam_read1(in, h, b) >= 0 && sam_format1(h, b, &text) >= 0) out.push_back(split(std::string(text.s, text.l), '\t'));
    ks_free(&text);
    bam_destroy1(b);
    sam_hdr_destroy(h);
    sam_close(in);
    return out;
}

// Each segment looked up alone by brute force with its own bound, the read
// assigned when every one is: the table's columns and the counts per cell.
TEST(ToolStructure, SegmentsMatchBruteForceEach) {
    for (const bool hamming : {false, true}) {
        SCOPED_TRACE(hamming ? "hamming" : "edit");
        scratch dir;
        const paired_run data(hamming ? 11 : 12);
        std::vector<std::string> args = data.write(dir);
        args.insert(args.end(), {"--no-rescue", "--out", dir.file("t.tsv"), "--counts", dir.file("counts.tsv")});
        const uint32_t bounds[] = {1, hamming ? 0u : 2u, hamming ? 1u : 0u};
        if (hamming) args.insert(args.end(), {"--max-mismatches", "1,0,1"});
        else args.insert(args.end(), {"--max-edits", "1,2,0", "--fixed-window"});
        const run_result r = run(dir, args);
        ASSERT_EQ(r.status, 0) << r.err;
        const auto rows = parse_table(read_file(dir.file("t.tsv")));
        ASSERT_EQ(rows.size(), data.names.size());
        const auto dist = [&](const std::string &a, const std::string &b) {
            return hamming ? oracle::hamming(a, b) : oracle::levenshtein(a, b);
        };
        std::map<std::string, uint64_t> expected_counts;
        for (size_t i = 0; i < rows.size(); ++i) {
            SCOPED_TRACE(data.names[i]);
            const auto &row = rows[i];
            EXPECT_EQ(row.at("read"), data.names[i]);
            struct seg {
                const char *name;
                std::string window;
                const std::vector<std::string> *list;
                uint32_t k;
            };
            const std::string &s1 = data.seq1[i], &s3 = data.seq3[i];
            const bool short1 = s1.size() < 20, short3 = s3.size() < 8;
            const seg segs[] = {{"C1", short1 ? "" : s1.substr(0, 8), &data.cells1, bounds[0]},
                                {"C2", short1 ? "" : s1.substr(8, 6), &data.cells2, bounds[1]},
                                {"B1", short3 ? "" : s3.substr(2, 6), &data.samples, bounds[2]}};
            std::string status = "unique", failed = "-", cell;
            for (const seg &s : segs) {
                std::string st = "invalid", assigned = "-";
                if (!short1 && !short3) {
                    const vorn_match m =
                        oracle::match_record(oracle::seq{s.window}, velmora_test::as_seqs(*s.list), s.k, dist);
                    st = m.status == VORN_STATUS_NONE ? "none" : m.status == VORN_STATUS_UNIQUE ? "unique" : "ambiguous";
                    if (m.status == VORN_STATUS_UNIQUE) assigned = (*s.list)[m.best_index];
                    EXPECT_EQ(row.at(std::string("distance_") + s.name),
                              m.best_distance == UINT32_MAX ? "-" : std::to_string(m.best_distance));
                    EXPECT_EQ(row.at(std::string("hits_") + s.name), std::to_string(m.hit_count));
                }
                EXPECT_EQ(row.at(std::string("status_") + s.name), st) << s.name;
                EXPECT_EQ(row.at(std::string("assigned_") + s.name), assigned) << s.name;
                if (st != "unique" && status == "unique") {
                    status = st;
                    failed = short1 ? "R1" : short3 ? "R3" : s.name;
                }
                if (s.name[0] == 'C') cell += (cell.empty() ? "" : "-") + assigned;
            }
            EXPECT_EQ(row.at("status"), status);
            EXPECT_EQ(row.at("failed_segment"), failed);
            EXPECT_EQ(row.at("cell"), status == "unique" ? cell : "-");
            if (status == "unique") ++expected_counts[cell];
        }
        std::map<std::string, uint64_t> counts;
        for (const auto &row : parse_table(read_file(dir.file("counts.tsv")))) counts[row.at("barcode")] = std::stoull(row.at("total"));
        EXPECT_EQ(counts, expected_counts);
    }
}

// With the rescue, each segment is the library's vorn_rescue_read on its own
// window (its end free to move only where no barcode follows) with its own
// exact counts as the prior.  The tags of each template record say what the
// table says, the raw bases and qualities are the read's own, and the BAM
// holds the same records.
TEST(ToolStructure, RescueOfEachSegmentAndTheTaggedOutputs) {
    scratch dir;
    const paired_run data(31, 1500);
    std::vector<std::string> args = data.write(dir);
    args.insert(args.end(), {"--max-edits", "1", "--out", dir.file("t.tsv"), "--out-fastq", dir.file("o.fq.gz"),
                             "--out-bam", dir.file("o.bam")});
    const run_result r = run(dir, args);
    ASSERT_EQ(r.status, 0) << r.err;
    const auto rows = parse_table(read_file(dir.file("t.tsv")));
    const auto r1 = parse_fastq(data.r1), r2 = parse_fastq(data.r2), r3 = parse_fastq(data.r3);
    ASSERT_EQ(rows.size(), r1.size());
    struct slot {
        const char *name;
        const std::vector<fq_record> *reads;
        size_t offset, length;
        bool movable;
        const std::vector<std::string> *list;
    };
    const slot slots[] = {{"C1", &r1, 0, 8, false, &data.cells1},
                          {"C2", &r1, 8, 6, true, &data.cells2},
                          {"B1", &r3, 2, 6, true, &data.samples}};
    const auto covered = [&](size_t i) { return r1[i].seq.size() >= 20 && r3[i].seq.size() >= 8; };
    vorn_rescue_params params;
    vorn_rescue_params_default(&params);
    for (const slot &s : slots) {
        SCOPED_TRACE(s.name);
        std::vector<const uint8_t *> ptrs;
        std::vector<size_t> lens;
        for (const std::string &e : *s.list) {
            ptrs.push_back(velmora_test::bytes(e));
            lens.push_back(e.size());
        }
        vorn_index *index = vorn_index_build(ptrs.data(), lens.data(), ptrs.size());
        ASSERT_NE(index, nullptr);
        std::vector<uint64_t> counts(s.list->size(), 0);
        for (size_t i = 0; i < rows.size(); ++i) {
            if (!covered(i)) continue;
            const auto at = std::find(s.list->begin(), s.list->end(), (*s.reads)[i].seq.substr(s.offset, s.length));
            if (at != s.list->end()) ++counts[static_cast<size_t>(at - s.list->begin())];
        }
        size_t rescued = 0;
        for (size_t i = 0; i < rows.size(); ++i) {
            if (!covered(i)) continue;
            const fq_record &rec = (*s.reads)[i];
            const std::string window = rec.seq.substr(s.offset, s.length);
            std::string status = "unique", assigned = window, posterior = "-";
            if (std::find(s.list->begin(), s.list->end(), window) == s.list->end()) {
                const size_t tail = s.movable ? std::min(rec.seq.size() - s.offset, s.length + 1) : s.length;
                vorn_hit hits[8];
                size_t n_hits = 0;
                vorn_rescue_result res;
                ASSERT_EQ(vorn_rescue_read(index, velmora_test::bytes(rec.seq) + s.offset,
                                           reinterpret_cast<const uint8_t *>(rec.qual.data()) + s.offset, tail,
                                           s.length, counts.data(), counts.size(), &params, hits, 8, &n_hits, &res),
                          0);
                status = res.status == VORN_STATUS_NONE ? "none" : res.status == VORN_STATUS_UNIQUE ? "unique" : "ambiguous";
                assigned = res.status == VORN_STATUS_UNIQUE ? (*s.list)[res.ref_index] : "-";
                char p[32];
                std::snprintf(p, sizeof p, "%.6f", res.posterior);
                if (res.hit_count > 0) posterior = p;
                rescued += res.status == VORN_STATUS_UNIQUE;
            }
            EXPECT_EQ(rows[i].at(std::string("status_") + s.name), status) << i;
            EXPECT_EQ(rows[i].at(std::string("assigned_") + s.name), assigned) << i;
            EXPECT_EQ(rows[i].at(std::string("posterior_") + s.name), posterior) << i;
        }
        EXPECT_GT(rescued, 10u);
        vorn_index_free(index);
    }

    const auto recs = parse_fastq(read_gzip(dir.file("o.fq.gz")));
    ASSERT_EQ(recs.size(), rows.size());
    ASSERT_EQ(r2.size(), rows.size());
    for (size_t i = 0; i < recs.size(); ++i) {
        SCOPED_TRACE(data.names[i]);
        EXPECT_EQ(recs[i].name, "r" + std::to_string(i));
        EXPECT_EQ(recs[i].seq, r2[i].seq);
        EXPECT_EQ(recs[i].qual, r2[i].qual);
        std::string want;
        if (rows[i].at("status") == "unique") want += "CB:Z:" + rows[i].at("cell") + "\t";
        if (rows[i].at("failed_segment")[0] != 'R') {
            const std::string &s1 = r1[i].seq, &q1 = r1[i].qual, &s3 = r3[i].seq, &q3 = r3[i].qual;
            want += "CR:Z:" + s1.substr(0, 8) + "-" + s1.substr(8, 6) + "\tCY:Z:" + q1.substr(0, 8) + " " +
                    q1.substr(8, 6) + "\tBC:Z:" + s3.substr(2, 6) + "\tQT:Z:" + q3.substr(2, 6) + "\tUR:Z:" +
                    s1.substr(14, 6) + "\tUY:Z:" + q1.substr(14, 6) + "\t";
            // The UMI moved with a C2 that lost or gained a base.
            if (rows[i].at("distance_C2") == "0") {
                EXPECT_EQ(rows[i].at("umi"), s1.substr(14, 6));
            }
        }
        if (rows[i].at("umi_corrected") != "-") want += "UB:Z:" + rows[i].at("umi_corrected") + "\t";
        if (!want.empty()) want.pop_back();
        EXPECT_EQ(recs[i].comment, want);
    }

    std::string header;
    const auto sam = read_bam(dir.file("o.bam"), &header);
    EXPECT_EQ(header.rfind("@HD\tVN:1.6\tSO:unsorted", 0), 0u) << header;
    EXPECT_NE(header.find("@PG\tID:velmora\tPN:velmora\tCL:"), std::string::npos) << header;
    EXPECT_NE(header.find("--out-bam " + dir.file("o.bam")), std::string::npos) << header;
    ASSERT_EQ(sam.size(), recs.size());
    for (size_t n = 0; n < sam.size(); ++n) {
        // The SAM line: name, flag 4, no position; sequence, qualities and
        // tags as the FASTQ record has them.
        const std::vector<std::string> &f = sam[n];
        ASSERT_GE(f.size(), 11u);
        EXPECT_EQ(f[0], recs[n].name);
        EXPECT_EQ(f[1], "4");
        EXPECT_EQ(f[2], "*");
        EXPECT_EQ(f[9], recs[n].seq.empty() ? "*" : recs[n].seq);
        EXPECT_EQ(f[10], recs[n].qual.empty() ? "*" : recs[n].qual);
        std::string tags;
        for (size_t k = 11; k < f.size(); ++k) tags += (k > 11 ? "\t" : "") + f[k];
        EXPECT_EQ(tags, recs[n].comment);
    }
}

// Two files with template bases: one FASTQ each, and BAM pairs flagged 77
// and 141 in input order.
TEST(ToolStructure, TwoTemplateReadsArePairs) {
    scratch dir;
    std::string r1, r2;
    for (int i = 0; i < 50; ++i) {
        // Every tenth UMI one substitution from the others: corrected to
        // theirs, in both records of the pair.
        r1 += "@p" + std::to_string(i) + "/1\nACGTACGT" + (i % 10 == 9 ? "AAAC" : "AAAA") +
              "CCCCGGGG\n+\nIIIIIIIIIIIIIIIIIIII\n";
        r2 += "@p" + std::to_string(i) + "/2\nTTTTGGGG" + std::string(static_cast<size_t>(i % 5), 'A') + "\n+\n" +
              std::string(8 + static_cast<size_t>(i % 5), '5') + "\n";
    }
    write_file(dir.file("R1.fq"), r1);
    write_file(dir.file("R2.fq"), r2);
    write_file(dir.file("wl.txt"), "ACGTACGT\n");
    const run_result r = run(dir, {"--read-structure", "8C4M+T", "--read-structure", "+T", "--whitelist",
                               dir.file("wl.txt"), "--reads", dir.file("R1.fq"), dir.file("R2.fq"),
                               "--max-edits", "1", "--out", dir.file("t.tsv"), "--out-fastq", dir.file("a.fq"),
                               dir.file("b.fq"), "--out-bam", dir.file("p.bam")});
    ASSERT_EQ(r.status, 0) << r.err;
    const auto a = parse_fastq(read_file(dir.file("a.fq"))), b2 = parse_fastq(read_file(dir.file("b.fq")));
    ASSERT_EQ(a.size(), 50u);
    ASSERT_EQ(b2.size(), 50u);
    EXPECT_EQ(a[3].seq, "CCCCGGGG");
    EXPECT_EQ(a[3].comment, "CB:Z:ACGTACGT\tCR:Z:ACGTACGT\tCY:Z:IIIIIIII\tUR:Z:AAAA\tUY:Z:IIII\tUB:Z:AAAA");
    EXPECT_EQ(b2[3].comment, a[3].comment);
    EXPECT_EQ(b2[3].seq, "TTTTGGGGAAA");
    EXPECT_EQ(b2[9].comment, "CB:Z:ACGTACGT\tCR:Z:ACGTACGT\tCY:Z:IIIIIIII\tUR:Z:AAAC\tUY:Z:IIII\tUB:Z:AAAA");
    std::string header;
    const auto sam = read_bam(dir.file("p.bam"), &header);
    ASSERT_EQ(sam.size(), 100u);
    for (size_t n = 0; n < sam.size(); ++n) {
        EXPECT_EQ(sam[n][1], n % 2 == 0 ? "77" : "141") << n;
        EXPECT_EQ(sam[n][0], "p" + std::to_string(n / 2));
        EXPECT_EQ(sam[n][9].size(), n % 2 == 0 ? 8 : 8 + (n / 2) % 5);
        EXPECT_NE(std::find(sam[n].begin(), sam[n].end(), "CB:Z:ACGTACGT"), sam[n].end()) << n;
        EXPECT_EQ(sam[n].back(), "UB:Z:AAAA") << n;
    }
}

// One C segment is the barcode window: "16C" on the demo reads, and read 1
// "16C12M" with a read 2 beside it, give what --barcode-length 16 gives.
TEST(ToolStructure, OneCellSegmentIsTheBarcodeWindow) {
    scratch dir;
    const std::string fq = read_gzip(demo_reads);
    std::string r2;
    const std::vector<std::string> lines = split(fq, '\n');
    for (size_t i = 0; i + 3 < lines.size(); i += 4)
        r2 += lines[i].substr(0, lines[i].find(' ')) + " 2:N:0:1\nACGTACGTAC\n+\nIIIIIIIIII\n";
    write_file(dir.file("R2.fq"), r2);
    for (const char *k : {"0", "1", "2"}) {
        SCOPED_TRACE(k);
        const auto run_as = [&](const std::string &tag, std::vector<std::string> args, const std::string &in) {
            args.insert(args.end(), {"--whitelist", demo_whitelist, "--max-edits", k, "--out", dir.file(tag + ".tsv"),
                                     "--counts", dir.file(tag + ".counts"), "--cells", dir.file(tag + ".cells")});
            return run(dir, args, in);
        };
        ASSERT_EQ(run_as("window", {"--reads", demo_reads}, "/dev/null").status, 0);
        ASSERT_EQ(run_as("one", {"--reads", demo_reads, "--read-structure", "16C", "--threads", "1"}, "/dev/null").status, 0);
        // Read 2 from standard input: read once, by the pass that writes
        // once the UMIs are corrected, so not spooled.
        const run_result rc = run_as("paired", {"--reads", demo_reads, "-", "--read-structure", "16C12M",
                                                "--read-structure", "+T", "--threads", "3"}, dir.file("R2.fq"));
        EXPECT_EQ(rc.err.find("spooled"), std::string::npos) << rc.err;
        ASSERT_EQ(rc.status, 0) << rc.err;
        for (const char *ext : {".tsv", ".counts", ".cells"}) {
            const std::string want = read_file(dir.file(std::string("window") + ext));
            EXPECT_GT(want.size(), 10u);
            EXPECT_TRUE(read_file(dir.file(std::string("one") + ext)) == want) << ext;
            // The UMI segment adds the molecules to the counts, and each
            // read's UMI and its correction to the table, last.
            std::string paired = read_file(dir.file(std::string("paired") + ext));
            if (std::string(ext) != ".cells") {
                std::string kept;
                for (std::string line : split(paired, '\n')) {
                    for (int cut = std::string(ext) == ".tsv" ? 2 : 1; cut > 0; --cut) line.resize(line.rfind('\t'));
                    kept += line + "\n";
                }
                paired = kept;
            }
            EXPECT_TRUE(paired == want) << ext;
        }
    }
}

// Input that does not fit its structure: a usage error for what the command
// line says, a data error naming file and record for what the files hold,
// and nothing left behind.
TEST(ToolStructure, BadInputIsNamed) {
    scratch dir;
    const std::string r1 = dir.file("R1.fq"), r2 = dir.file("R2.fq"), wl = dir.file("wl.txt");
    write_file(wl, "ACGTACGTAAAACCCC\n");
    std::string a, b;
    for (int i = 0; i < 5; ++i) {
        a += "@x" + std::to_string(i) + "\nACGTACGTAAAACCCCGGGGTTTTAAAA\n+\n" + std::string(28, 'I') + "\n";
        b += "@x" + std::to_string(i) + "\nACGTACGTAC\n+\nIIIIIIIIII\n";
    }
    write_file(r1, a);
    write_file(r2, b);
    write_file(dir.file("R1short.fq"), "@x0\nACGTACGTAAAACCCCGGGG\n+\n" + std::string(20, 'I') + "\n" +
                                           a.substr(a.find("@x1")));
    const std::vector<std::string> pair = {"--read-structure", "16C12M", "--read-structure", "+T", "--whitelist", wl,
                                           "--max-edits", "1", "--out", dir.file("t.tsv")};
    // Usage errors: structures against files, options that do not go with
    // a structure, a bound for all barcode segments or one for each, each
    // in its range.
    const std::pair<std::vector<std::string>, std::string> usage[] = {
        {{"--max-edits", "1", "--reads", r1}, "--reads names 1 files for lane 1 and 2 read structures"},
        {{"--max-edits", "1", "--reads", r1, r2, "--whitelist", wl}, "--whitelist is given 2 times for 1 barcode segments"},
        {{"--max-edits", "1", "--reads", r1, r2, "--barcode-length", "16"}, "do not go with --read-structure"},
        {{"--max-edits", "1", "--reads", r1, r2, "--out-fastq", dir.file("a.fq"), "--out-fastq", dir.file("b.fq")},
         "--out-fastq is given 2 times for 1 reads holding template"},
        {{"--max-edits", "1,0", "--reads", r1, r2}, "--max-edits gives 2 bounds for 1 barcode segments"},
        {{"--max-mismatches", "4", "--reads", r1, r2}, "--max-mismatches: '4' is not a bound from 0 to 3"},
        {{"--max-edits", "1,", "--reads", r1, r2}, "--max-edits: '1,' is not a bound"},
    };
    for (const auto &[options, message] : usage) {
        SCOPED_TRACE(message);
        std::vector<std::string> args = {"--read-structure", "16C12M", "+T", "--whitelist", wl, "--out", dir.file("t.tsv")};
        args.insert(args.end(), options.begin(), options.end());
        const run_result r = run(dir, args);
        EXPECT_EQ(r.status, 2) << r.err;
        EXPECT_NE(r.err.find(message), std::string::npos) << r.err;
    }
    EXPECT_EQ(run(dir, {"--whitelist", wl, "--reads", r1, "--max-edits", "1", "--out-fastq", dir.file("a.fq")}).status,
              2);
    // A read shorter than its structure is invalid, and says which read.
    std::vector<std::string> args = pair;
    args.insert(args.end(), {"--reads", dir.file("R1short.fq"), r2});
    run_result r = run(dir, args);
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.err.find("1 reads are shorter than their read structure"), std::string::npos) << r.err;
    auto rows = parse_table(read_file(dir.file("t.tsv")));
    ASSERT_EQ(rows.size(), 5u);
    EXPECT_EQ(rows[0].at("status"), "invalid");
    EXPECT_EQ(rows[0].at("observed"), "-");
    EXPECT_EQ(rows[1].at("status"), "unique");
    args = {"--read-structure", "8C8C12M", "--read-structure", "+T", "--whitelist", dir.file("w8.txt"),
            "--max-edits", "1", "--out", dir.file("t.tsv"), "--reads", dir.file("R1short.fq"), r2};
    write_file(dir.file("w8.txt"), "ACGTACGT\nAAAACCCC\n");
    r = run(dir, args);
    ASSERT_EQ(r.status, 0) << r.err;
    rows = parse_table(read_file(dir.file("t.tsv")));
    EXPECT_EQ(rows[0].at("failed_segment"), "R1");
    EXPECT_EQ(rows[0].at("status_C2"), "invalid");
    EXPECT_EQ(rows[1].at("cell"), "ACGTACGT-AAAACCCC");
    // Nothing but the inputs and the last table is left.
    std::set<std::string> left;
    for (const auto &e : std::filesystem::directory_iterator(dir.path)) left.insert(e.path().filename().string());
    EXPECT_EQ(left, (std::set<std::string>{"R1.fq", "R2.fq", "wl.txt", "w8.txt", "R1short.fq", "t.tsv"}));
}

// A segment whose length differs from its list's common entry length is
// named in a warning; a list of mixed lengths has no common one to differ from.
TEST(ToolStructure, SegmentOfAnotherLengthThanItsListIsWarned) {
    scratch dir;
    write_file(dir.file("r.fq"), "@r\nACGTACGTAA\n+\nIIIIIIIIII\n");
    write_file(dir.file("same.txt"), "ACGTACGT\nTTTTCCCC\n");
    write_file(dir.file("mixed.txt"), "ACGTACGT\nTTTTCCC\n");
    for (const char *list : {"same.txt", "mixed.txt"}) {
        SCOPED_TRACE(list);
        const run_result r = run(dir, {"--read-structure", "6C", "--whitelist", dir.file(list), "--reads",
                                       dir.file("r.fq"), "--max-edits", "1", "--out", dir.file("t.tsv")});
        ASSERT_EQ(r.status, 0) << r.err;
        const bool same = std::string(list) == "same.txt";
        EXPECT_EQ(r.err.find("warning: segment C1") != std::string::npos, same) << r.err;
        if (same) {
            EXPECT_NE(r.err.find("segment C1 is 6 bases, the entries of '" + dir.file(list) + "' 8"), std::string::npos);
        }
    }
}

}  // namespace
