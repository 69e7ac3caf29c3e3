// Outputs the worker threads prepare: compressed outputs written in parts: text compressed as it is written,
// whole gzip members compressed elsewhere (on the worker threads), and the
// two mixed.  Whatever the order, a gzip reader must get back the text in
// the order it was handed over, and an output with no text must still be a
// gzip file.
#include <gtest/gtest.h>
#include <htslib/sam.h>
#include <zlib.h>

#include <algorithm>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "bam.h"
#include "files.h"
#include "output.h"

namespace {

using velmora_pipeline::bgzf_blocks;
using velmora_pipeline::gzip_member;
using velmora_pipeline::output_file;
using velmora_pipeline::output_target;

TEST(GzipOutput, StreamAndMembersInAnyOrder) {
    velmora_test::scratch_dir dir;
    std::mt19937_64 rng(5);
    std::string big;
    for (int i = 0; i < 3 << 20; ++i) big.push_back("ACGT\n@+"[rng() % 7]);
    // 'w': text through write(); 'm': the same text as a member of its own.
    const std::vector<std::string> plans = {"", "w", "m", "wmw", "mm", "mwm", "wwmm", "M", "Mw"};
    for (const std::string &plan : plans) {
        SCOPED_TRACE(plan);
        output_target target("--out", "output", dir.file("o.gz"));
        target.resolved = target.given;
        target.gzip = true;
        std::string want;
        {
            output_file out(target);
            ASSERT_TRUE(out.compressed());
            int part = 0;
            for (char step : plan) {
                const std::string text = step == 'M' ? big : "part " + std::to_string(part++) + "\n";
                want += text;
                if (step == 'w') {
                    out.write(text);
                } else {
                    std::string member;
                    gzip_member(text, member);
                    out.write_member(member);
                }
            }
            out.finish();
            out.publish();
        }
        bool ok = false;
        EXPECT_EQ(velmora_test::read_gzip(target.resolved, &ok), want);
        EXPECT_TRUE(ok);
        EXPECT_GT(std::filesystem::file_size(target.resolved), 0u);
    }
}

}  // namespace

// BGZF blocks: each a gzip member of at most 64 KiB whose BC field gives its
// size less one, together the data; data that does not shrink is stored.
TEST(GzipOutput, BgzfBlocks) {
    std::mt19937_64 rng(9);
    std::string text, noise;
    for (int i = 0; i < 200000; ++i) text.push_back("ACGT\t\n"[rng() % 6]);
    for (int i = 0; i < 150000; ++i) noise.push_back(static_cast<char>(rng()));
    for (const std::string &data : {std::string(), std::string("x"), text, noise}) {
        SCOPED_TRACE(data.size());
        std::string blocks;
        bgzf_blocks(data, blocks);
        std::string back;
        size_t count = 0;
        for (size_t at = 0; at < blocks.size(); ++count) {
            ASSERT_LE(at + 18, blocks.size());
            EXPECT_EQ(blocks.compare(at, 4, "\x1f\x8b\x08\x04"), 0);
            EXPECT_EQ(blocks.compare(at + 12, 4, std::string("BC\x02\x00", 4)), 0);
            const size_t size = (static_cast<uint8_t>(blocks[at + 16]) | static_cast<uint8_t>(blocks[at + 17]) << 8) + 1;
            ASSERT_LE(at + size, blocks.size());
            z_stream zs{};
            ASSERT_EQ(inflateInit2(&zs, 16 + 15), Z_OK);
            std::string part(0x10000, '\0');
            zs.next_in = reinterpret_cast<Bytef *>(blocks.data() + at);
            zs.avail_in = static_cast<uInt>(size);
            zs.next_out = reinterpret_cast<Bytef *>(part.data());
            zs.avail_out = static_cast<uInt>(part.size());
            EXPECT_EQ(inflate(&zs, Z_FINISH), Z_STREAM_END);
            EXPECT_EQ(zs.avail_in, 0u);  // the size field is the member's size
            part.resize(part.size() - zs.avail_out);
            inflateEnd(&zs);
            back += part;
            at += size;
        }
        EXPECT_EQ(back, data);
        EXPECT_EQ(count, (data.size() + 0xfeff) / 0xff00);
    }
}

// The BAM records the workers encode are the ones htslib itself writes for
// the same read: core fields and data byte for byte, including the empty
// name htslib writes as "*", odd lengths, reads without qualities and pairs.
// htslib pads a name with zero bytes in memory (l_extranul) and writes it
// without them.
TEST(BamEncoding, SameBytesAsHtslib) {
    velmora_test::scratch_dir dir;
    velmora_pipeline::output_target target("--out-bam", "BAM output", dir.file("o.bam"));
    target.resolved = target.given;
    output_file file(target);
    velmora_pipeline::bam_writer writer(&file, target, "velmora assign");
    struct read_case {
        std::string name;
        std::vector<std::string> seq, qual;
        std::string tags;
    } cases[] = {
        {"r1", {"ACGTN"}, {"II#5+"}, "\tCB:Z:AACC-1\tCR:Z:AACC"},
        {"", {"ACGT"}, {"IIII"}, ""},
        {"pair/1", {"ACG", "TTGCA"}, {"III", "#####"}, "\tUR:Z:GGGG\tUY:Z:IIII"},
        {"noqual", {"GATTACA"}, {""}, ""},
        {"empty", {""}, {""}, "\tCR:Z:"},
    };
    for (const read_case &c : cases) {
        SCOPED_TRACE(c.name);
        std::string got;
        writer.encode(got, c.name, c.seq.data(), c.qual.data(), c.seq.size(), c.tags);
        size_t at = 0;
        for (size_t k = 0; k < c.seq.size(); ++k) {
            bam1_t *b = bam_init1();
            std::string raw = c.qual[k];
            for (char &q : raw) q = static_cast<char>(q - 33);
            const uint16_t flag = c.seq.size() == 2 ? (k == 0 ? 77 : 141) : 4;
            ASSERT_GE(bam_set1(b, c.name.size(), c.name.data(), flag, -1, -1, 0, 0, nullptr, -1, -1, 0,
                               c.seq[k].size(), c.seq[k].data(), raw.empty() ? nullptr : raw.data(), 0),
                      0);
            for (size_t p = 0; p < c.tags.size();) {
                const size_t end = std::min(c.tags.find('\t', p + 1), c.tags.size());
                const std::string tag = c.tags.substr(p + 1, end - p - 1), value = tag.substr(5);
                bam_aux_append(b, tag.data(), 'Z', static_cast<int>(value.size() + 1),
                               reinterpret_cast<const uint8_t *>(value.c_str()));
                p = end;
            }
            const size_t pad = b->core.l_extranul;
            std::string data(reinterpret_cast<const char *>(b->data), static_cast<size_t>(b->l_data));
            data.erase(b->core.l_qname - pad, pad);
            // The fixed fields (value, bytes), little-endian, as the BAM format lays them out.
            const int64_t fields[][2] = {
                {int64_t(32 + data.size()), 4}, {b->core.tid, 4}, {b->core.pos, 4}, {b->core.l_qname - int64_t(pad), 1},
                {b->core.qual, 1}, {b->core.bin, 2}, {b->core.n_cigar, 2}, {b->core.flag, 2}, {b->core.l_qseq, 4},
                {b->core.mtid, 4}, {b->core.mpos, 4}, {b->core.isize, 4}};
            std::string want;
            for (const auto &[v, bytes] : fields)
                for (int i = 0; i < bytes; ++i) want.push_back(static_cast<char>(v >> (8 * i)));
            EXPECT_EQ(got.substr(at, want.size() + data.size()), want + data);
            at += 36 + data.size();
            bam_destroy1(b);
        }
        EXPECT_EQ(at, got.size());
    }
}
