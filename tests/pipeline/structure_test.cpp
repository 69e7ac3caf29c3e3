// Read structures as users write them, and the parallel files of a lane read
// in step: what parses and how, what does not and what the message says, and
// files whose reads do not pair.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "base.h"
#include "fastq.h"
#include "files.h"
#include "structure.h"

namespace {

using velmora_pipeline::data_error;
using velmora_pipeline::parse_read_structure;
using velmora_pipeline::usage_error;

// Segments written back as "offset:length kind" ("+" for the rest).
std::string layout(const velmora_pipeline::read_structure &rs) {
    std::string s;
    for (const auto &seg : rs.segments)
        s += (s.empty() ? "" : " ") + std::to_string(seg.offset) + ":" +
             (seg.rest ? std::string("+") : std::to_string(seg.length)) + seg.kind;
    return s;
}

TEST(ReadStructure, ValidStructures) {
    const struct {
        const char *text, *layout;
        uint64_t min_length;
    } cases[] = {
        {"16C12M", "0:16C 16:12M", 28},
        {"+T", "0:+T", 0},
        {"8C30S8C30S8C10M", "0:8C 8:30S 38:8C 46:30S 76:8C 84:10M", 94},
        {"10B", "0:10B", 10},
        {"2S16C10M+T", "0:2S 2:16C 18:10M 28:+T", 28},
        {"1C", "0:1C", 1},
        {"007C", "0:7C", 7},
        {"150T", "0:150T", 150},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.text);
        const auto rs = parse_read_structure(c.text);
        EXPECT_EQ(layout(rs), c.layout);
        EXPECT_EQ(rs.min_length, c.min_length);
    }
}

TEST(ReadStructure, InvalidStructuresSayWhere) {
    const struct {
        const char *text, *message;
    } cases[] = {
        {"", "read structure is empty"},
        {"16", "'16' (segment 1, character 2): the segment has no kind"},
        {"C", "'C' (segment 1, character 1): expected a length or '+'"},
        {"16c", "'16c' (segment 1, character 3): unknown segment kind 'c'"},
        {"16C12X", "'16C12X' (segment 2, character 6): unknown segment kind 'X'"},
        {"0C", "'0C' (segment 1, character 1): a segment's length must be at least 1"},
        {"+T16C", "'+T16C' (segment 2, character 3): '+' (the rest of the read) can only be the last segment"},
        {"++T", "'++T' (segment 1, character 2): unknown segment kind '+'"},
        {"16C 12M", "'16C 12M' (segment 2, character 4): expected a length or '+'"},
        {"99999999999C", "segment longer than"},
        {"-4C", "(segment 1, character 1): expected a length"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.text);
        try {
            parse_read_structure(c.text);
            ADD_FAILURE() << "accepted";
        } catch (const usage_error &e) {
            EXPECT_NE(std::string(e.what()).find(c.message), std::string::npos) << e.what();
        }
    }
}

TEST(ReadStructure, SlicesStopAtTheReadsEnd) {
    const auto rs = parse_read_structure("4C2M+T");
    uint64_t start = 0, len = 0;
    EXPECT_TRUE(rs.segments[2].slice(6, &start, &len));  // an empty rest is a rest
    EXPECT_EQ(len, 0u);
    EXPECT_TRUE(rs.segments[2].slice(9, &start, &len));
    EXPECT_EQ(start, 6u);
    EXPECT_EQ(len, 3u);
    EXPECT_FALSE(rs.segments[1].slice(5, &start, &len));
    EXPECT_TRUE(rs.segments[1].slice(6, &start, &len));
}

TEST(MateNames, SuffixesDropped) {
    EXPECT_EQ(velmora_pipeline::mate_name("r1/1"), "r1");
    EXPECT_EQ(velmora_pipeline::mate_name("r1/2"), "r1");
    EXPECT_EQ(velmora_pipeline::mate_name("r1/12"), "r1/12");
    EXPECT_EQ(velmora_pipeline::mate_name("r1/"), "r1/");
    EXPECT_EQ(velmora_pipeline::mate_name("/1"), "");
    EXPECT_EQ(velmora_pipeline::mate_name("r1"), "r1");
}

std::string fastq(const std::vector<std::string> &names) {
    std::string s;
    for (const std::string &n : names) s += "@" + n + " comment\nACGT\n+\nIIII\n";
    return s;
}

// Reads lanes (each a list of per-file record names) in step; the error
// message, or "" when every read paired.
std::string read_lanes(const std::vector<std::vector<std::vector<std::string>>> &lanes, size_t *reads) {
    velmora_test::scratch_dir dir;
    const size_t files = lanes[0].size();
    std::vector<std::unique_ptr<velmora_pipeline::fastq_inputs>> streams;
    for (size_t j = 0; j < files; ++j) {
        std::vector<std::string> paths;
        for (size_t l = 0; l < lanes.size(); ++l) {
            paths.push_back(dir.file("L" + std::to_string(l + 1) + "_R" + std::to_string(j + 1) + ".fq"));
            velmora_test::write_file(paths.back(), fastq(lanes[l][j]));
        }
        streams.push_back(std::make_unique<velmora_pipeline::fastq_inputs>(paths, std::vector<int>{}, 1 << 20, false));
    }
    velmora_pipeline::parallel_fastq in(std::move(streams));
    std::vector<velmora_pipeline::fastq_record> recs;
    *reads = 0;
    try {
        while (in.next(recs)) ++*reads;
    } catch (const data_error &e) {
        const std::string msg = e.what();
        return msg.substr(msg.find("L"));  // without the scratch folder
    }
    return "";
}

TEST(ParallelFastq, ReadsPairOrTheFileAndRecordAreNamed) {
    const struct {
        const char *what;
        std::vector<std::vector<std::vector<std::string>>> lanes;
        size_t reads;
        const char *message;
    } cases[] = {
        {"pairs", {{{"a/1", "b/1"}, {"a/2", "b/2"}, {"a", "b"}}}, 2, ""},
        {"two lanes", {{{"a", "b"}, {"a", "b"}}, {{"c"}, {"c"}}}, 3, ""},
        {"names differ", {{{"a", "b"}, {"a", "c"}}}, 1,
         "L1_R1.fq' and '"},
        {"read 2 ends early", {{{"a", "b"}, {"a"}}}, 1, "L1_R1.fq' record 2 has no mate: reads file '"},
        {"read 1 ends early", {{{"a"}, {"a", "b"}}}, 1, "L1_R2.fq' record 2 has no mate: reads file '"},
        {"early within a lane", {{{"a"}, {"a", "b"}}, {{"c"}, {"c"}}}, 1, "L1_R2.fq' record 2 has no mate"},
        {"index read ends early", {{{"a", "b"}, {"a", "b"}, {"a"}}}, 1, "record 2 has no mate: reads file '"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        size_t reads = 0;
        const std::string msg = read_lanes(c.lanes, &reads);
        EXPECT_EQ(reads, c.reads);
        if (std::string(c.message).empty()) EXPECT_EQ(msg, "");
        else EXPECT_NE(msg.find(c.message), std::string::npos) << msg;
    }
    size_t reads = 0;
    const std::string msg = read_lanes({{{"a", "b"}, {"a", "c"}}}, &reads);
    EXPECT_NE(msg.find("disagree at record 2: read 'b' against 'c'"), std::string::npos) << msg;
    const std::string early = read_lanes({{{"a", "b", "c"}, {"a"}}}, &reads);
    EXPECT_NE(early.find("L1_R2.fq' ends after 1 records"), std::string::npos) << early;
}

}  // namespace
