// What `velmora assign` does to the paths its outputs name: refuses inputs
// and clashing outputs before any work, writes FIFOs and devices in place,
// replaces a symlink's target rather than the link, fails on write errors,
// and commits all outputs together.
#include <gtest/gtest.h>

#include <sys/sysmacros.h>

#include <functional>
#include <thread>

#include "tool_harness.h"

using namespace tool_test;

namespace {

const std::string demo_whitelist = std::string(VELMORA_DEMO_DATA) + "/whitelist.txt";
const std::string reads_text =
    "@a\nACGTACGTAA\n+\nIIIIIIIIII\n@b\nTTTTCCCCGA\n+\nIIIIIIIIII\n@c\nTTTTCCCCAA\n+\nIIIIIIIIII\n";
const std::string whitelist_text = "ACGTACGT\nTTTTCCCC\n";

enum class kind { regular, symlink, fifo, char_device, missing };

kind kind_of(const std::string &path) {
    struct stat st;
    if (lstat(path.c_str(), &st) != 0) return kind::missing;
    if (S_ISLNK(st.st_mode)) return kind::symlink;
    if (S_ISFIFO(st.st_mode)) return kind::fifo;
    if (S_ISCHR(st.st_mode)) return kind::char_device;
    return kind::regular;
}

struct output_case {
    const char *label;
    int status;
    const char *message;  // expected in stderr ("" when the run succeeds)
    // Prepares the directory and returns the arguments after the inputs.
    std::function<std::vector<std::string>(const scratch_dir &)> setup;
    // Checks what the run left behind.
    std::function<void(const scratch_dir &)> check;
};

// Reads a FIFO on a thread while the tool writes it.
class fifo_reader {
public:
    explicit fifo_reader(std::string path) : path_(std::move(path)) {
        thread_ = std::thread([this] {
            const int fd = open(path_.c_str(), O_RDONLY);
            if (fd < 0) return;
            char buf[4096];
            ssize_t n;
            while ((n = read(fd, buf, sizeof buf)) > 0) data_.append(buf, static_cast<size_t>(n));
            close(fd);
        });
    }
    // Waits for the reader; a writer that never came is stood in for, so
    // the thread always ends.
    std::string finish() {
        const int fd = open(path_.c_str(), O_WRONLY | O_NONBLOCK);
        if (fd >= 0) close(fd);
        thread_.join();
        return data_;
    }

private:
    std::string path_;
    std::string data_;
    std::thread thread_;
};

std::unique_ptr<fifo_reader> fifo_in_flight;

void expect_table(const std::string &text) {
    EXPECT_EQ(text.substr(0, text.find('\n')), table_header);
    EXPECT_EQ(split_lines(text).size(), 4u) << text;
}

const output_case output_cases[] = {
    // Refusals come before any input is read, and leave the inputs intact.
    {"out_is_the_reads", 2, "--out", [](const scratch_dir &d) { return std::vector<std::string>{"--out", d.file("r.fq")}; },
     [](const scratch_dir &d) { EXPECT_EQ(read_file(d.file("r.fq")), reads_text); }},
    {"out_links_to_the_whitelist", 2, "is the same file as --whitelist",
     [](const scratch_dir &d) {
         symlink(d.file("wl.txt").c_str(), d.file("link").c_str());
         return std::vector<std::string>{"--out", d.file("link")};
     },
     [](const scratch_dir &d) { EXPECT_EQ(read_file(d.file("wl.txt")), whitelist_text); }},
    {"summary_is_out_spelled_differently", 2, "name the same file",
     [](const scratch_dir &d) { return std::vector<std::string>{"--out", d.file("s.tsv"), "--summary", d.file("./s.tsv")}; },
     [](const scratch_dir &d) { EXPECT_EQ(kind_of(d.file("s.tsv")), kind::missing); }},
    {"counts_is_a_hard_link_of_out", 2, "name the same file",
     [](const scratch_dir &d) {
         write_file(d.file("s.tsv"), "old\n");
         link(d.file("s.tsv").c_str(), d.file("h.tsv").c_str());
         return std::vector<std::string>{"--out", d.file("s.tsv"), "--counts", d.file("h.tsv")};
     },
     [](const scratch_dir &d) { EXPECT_EQ(read_file(d.file("s.tsv")), "old\n"); }},
    // A symlink stays a link; its target gets the output.
    {"symlink_to_a_file", 0, "",
     [](const scratch_dir &d) {
         write_file(d.file("target.tsv"), "old\n");
         symlink("target.tsv", d.file("link.tsv").c_str());
         return std::vector<std::string>{"--out", d.file("link.tsv")};
     },
     [](const scratch_dir &d) {
         EXPECT_EQ(kind_of(d.file("link.tsv")), kind::symlink);
         expect_table(read_file(d.file("target.tsv")));
     }},
    {"symlink_to_dev_null", 0, "",
     [](const scratch_dir &d) {
         symlink("/dev/null", d.file("null").c_str());
         // Three outputs may share a device: nothing is overwritten there.
         return std::vector<std::string>{"--out", d.file("null"), "--summary", d.file("null"), "--counts",
                                         d.file("null")};
     },
     [](const scratch_dir &d) {
         EXPECT_EQ(kind_of(d.file("null")), kind::symlink);
         EXPECT_EQ(kind_of("/dev/null"), kind::char_device);
     }},
    // A device node (where the test may make one) is written, not replaced.
    {"device_node", 0, "",
     [](const scratch_dir &d) {
         if (mknod(d.file("dev").c_str(), S_IFCHR | 0666, makedev(1, 3)) != 0)  // /dev/null's numbers
             symlink("/dev/null", d.file("dev").c_str());
         return std::vector<std::string>{"--out", d.file("dev")};
     },
     [](const scratch_dir &d) { EXPECT_NE(kind_of(d.file("dev")), kind::regular); }},
    {"fifo", 0, "",
     [](const scratch_dir &d) {
         mkfifo(d.file("fifo").c_str(), 0600);
         fifo_in_flight = std::make_unique<fifo_reader>(d.file("fifo"));
         return std::vector<std::string>{"--out", d.file("fifo")};
     },
     [](const scratch_dir &d) {
         EXPECT_EQ(kind_of(d.file("fifo")), kind::fifo);
         expect_table(fifo_in_flight->finish());
         fifo_in_flight.reset();
     }},
    // Write errors fail the run, and no output of it is committed.
    {"out_write_error", 1, "cannot write output",
     [](const scratch_dir &d) {
         symlink("/dev/full", d.file("full").c_str());
         return std::vector<std::string>{"--out", d.file("full"), "--summary", d.file("s.json")};
     },
     [](const scratch_dir &d) {
         EXPECT_EQ(kind_of(d.file("full")), kind::symlink);
         EXPECT_EQ(kind_of(d.file("s.json")), kind::missing);
     }},
    {"summary_fails_table_kept_back", 1, "cannot write summary",
     [](const scratch_dir &d) {
         write_file(d.file("o.tsv"), "old\n");
         symlink("/dev/full", d.file("full").c_str());
         return std::vector<std::string>{"--out", d.file("o.tsv"), "--summary", d.file("full")};
     },
     [](const scratch_dir &d) { EXPECT_EQ(read_file(d.file("o.tsv")), "old\n"); }},
    {"counts_fails_table_kept_back", 1, "cannot write counts table",
     [](const scratch_dir &d) {
         symlink("/dev/full", d.file("full").c_str());
         return std::vector<std::string>{"--out", d.file("o.tsv"), "--knee-plot", d.file("k.svg"), "--counts",
                                         d.file("full")};
     },
     [](const scratch_dir &d) {
         EXPECT_EQ(kind_of(d.file("o.tsv")), kind::missing);
         EXPECT_EQ(kind_of(d.file("k.svg")), kind::missing);
     }},
    {"knee_plot_fails_table_kept_back", 1, "cannot write knee plot",
     [](const scratch_dir &d) {
         symlink("/dev/full", d.file("full").c_str());
         return std::vector<std::string>{"--out", d.file("o.tsv"), "--knee-plot", d.file("full")};
     },
     [](const scratch_dir &d) { EXPECT_EQ(kind_of(d.file("o.tsv")), kind::missing); }},
};

TEST(ToolOutputs, PathsAreWrittenAsTheyAre) {
    for (const output_case &c : output_cases) {
        SCOPED_TRACE(c.label);
        scratch_dir dir;
        write_file(dir.file("r.fq"), reads_text);
        write_file(dir.file("wl.txt"), whitelist_text);
        std::vector<std::string> args = {"assign", "--whitelist", dir.file("wl.txt"), "--reads", dir.file("r.fq"),
                                         "--max-edits", "1"};
        const std::vector<std::string> rest = c.setup(dir);
        args.insert(args.end(), rest.begin(), rest.end());
        const std::vector<std::string> before = dir.files();
        const run_result r = run_tool(dir, args);
        c.check(dir);
        EXPECT_EQ(r.status, c.status) << r.err;
        EXPECT_NE(r.err.find(c.message), std::string::npos) << r.err;
        if (c.status != 0) {
            EXPECT_EQ(r.err.find("reads in"), std::string::npos) << "the run went ahead: " << r.err;
            EXPECT_EQ(dir.files().size(), before.size()) << "an output or temporary file was left behind";
        }
    }
}

}  // namespace
