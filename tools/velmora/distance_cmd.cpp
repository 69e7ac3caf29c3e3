// velmora distance: the edit distance of two sequences given on the command
// line, bytes compared literally.
#include <cstdio>
#include <string>
#include <vector>

#include "cli.h"
#include "base.h"
#include "commands.h"
#include "velmora.h"

namespace velmora_tool {

using namespace velmora_pipeline;

namespace {
const char distance_help[] =
    "usage: velmora distance SEQ1 SEQ2\n"
    "\n"
    "Prints the edit (Levenshtein) distance of SEQ1 and SEQ2: the fewest\n"
    "substitutions, insertions and deletions that turn one into the other.\n"
    "Bytes compare literally: N matches only N, and case matters.  An empty\n"
    "argument ('') is the empty sequence; put '--' before a sequence that starts\n"
    "with '-'.\n";
}  // namespace

int run_distance(int argc, char **argv) {
    command_line cl("velmora distance", distance_help);
    std::vector<std::string> seqs;
    cl.positionals("sequences", &seqs);
    if (cl.parse(argc, argv)) return exit_ok;
    if (seqs.size() != 2)
        throw usage_error("takes exactly two sequences, got " + std::to_string(seqs.size()));
    const uint32_t d = vorn_edit_distance(reinterpret_cast<const uint8_t *>(seqs[0].data()), seqs[0].size(),
                                          reinterpret_cast<const uint8_t *>(seqs[1].data()), seqs[1].size());
    if (d == UINT32_MAX) throw data_error("the sequences are too long to compare");
    std::printf("%u\n", d);
    return exit_ok;
}

}  // namespace velmora_tool
