// Compressed outputs written in parts: text compressed as it is written,
// whole gzip members compressed elsewhere (on the worker threads), and the
// two mixed.  Whatever the order, a gzip reader must get back the text in
// the order it was handed over, and an output with no text must still be a
// gzip file.
#include <gtest/gtest.h>
#include <zlib.h>

#include <random>
#include <string>
#include <vector>

#include "files.h"
#include "output.h"

namespace {

using velmora_pipeline::gzip_member;
using velmora_pipeline::output_file;
using velmora_pipeline::output_target;

std::string gunzip_file(const std::string &path, size_t *size_on_disk) {
    FILE *f = std::fopen(path.c_str(), "rb");
    std::fseek(f, 0, SEEK_END);
    *size_on_disk = static_cast<size_t>(std::ftell(f));
    std::fclose(f);
    gzFile gz = gzopen(path.c_str(), "rb");
    std::string out;
    char buf[1 << 16];
    for (int n; (n = gzread(gz, buf, sizeof buf)) > 0;) out.append(buf, static_cast<size_t>(n));
    int err = 0;
    gzerror(gz, &err);
    EXPECT_EQ(err, Z_OK);
    gzclose(gz);
    return out;
}

TEST(GzipOutput, StreamAndMembersInAnyOrder) {
    velmora_test::scratch_dir dir(VELMORA_TEST_WORK);
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
        size_t size = 0;
        EXPECT_EQ(gunzip_file(target.resolved, &size), want);
        EXPECT_GT(size, 0u);
    }
}

}  // namespace
