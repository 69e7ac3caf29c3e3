// The matching options of assign and tag.
#include "matching.h"

#include <algorithm>
#include <cstdlib>
#include <vector>

#include "assign.h"
#include "base.h"
#include "cli.h"
#include "io.h"

namespace velmora_tool {

using namespace velmora_pipeline;

namespace {

// The value of --max-edits or --max-mismatches: one bound, or one per barcode
// segment, comma-separated, each from 0 to most.
std::vector<int32_t> parse_bounds(const char *option, const std::string &text, int64_t most) {
    std::vector<int32_t> out;
    size_t start = 0;
    for (;;) {
        const size_t end = std::min(text.find(',', start), text.size());
        const std::string item = text.substr(start, end - start);
        char *stop = nullptr;
        const long long v = std::strtoll(item.c_str(), &stop, 10);
        if (item.empty() || *stop != '\0' || item[0] == '-' || item[0] == '+' || v < 0 || v > most)
            throw usage_error(std::string(option) + ": '" + text + "' is not a bound from 0 to " +
                              std::to_string(most) + ", nor such bounds comma-separated");
        out.push_back(static_cast<int32_t>(v));
        if (end == text.size()) return out;
        start = end + 1;
    }
}

}  // namespace

matching_options::matching_options(command_line &cl, assign_options *opt) : opt_(opt), batch_size_(opt->batch_size) {
    cl.option("--max-edits", &edits_);
    cl.option("--max-mismatches", &mismatches_);
    cl.excludes("--max-edits", "--max-mismatches");
    cl.option("--threads", &opt->threads, 1u, 1024u);
    cl.option("--batch-size", &batch_size_, 1, uint64_t{1} << 24);
    cl.flag("--no-rescue");
    cl.flag("--fixed-window");
    cl.option("--min-exact", &opt->min_exact, 0, uint64_t{INT64_MAX});
    cl.option("--prior-pseudocount", &opt->prior_pseudocount, 0, 1e12);
    cl.option("--indel-weight", &opt->indel_weight, 0, 1e6);
    cl.option("--min-posterior", &opt->min_posterior, 0, 1);
    cl.option("--max-line-length", &opt->max_line_length, 1, uint64_t(max_line_length_option_max));
}

void matching_options::apply(const command_line &cl) {
    assign_options *opt = opt_;
    opt->batch_size = static_cast<size_t>(batch_size_);
    if (cl.count("--max-edits") == 0 && cl.count("--max-mismatches") == 0)
        throw usage_error("one of --max-edits K or --max-mismatches K is required");
    opt->hamming = cl.count("--max-mismatches") > 0;
    opt->segment_bounds = parse_bounds(opt->hamming ? "--max-mismatches" : "--max-edits",
                                       opt->hamming ? mismatches_ : edits_, opt->hamming ? 3 : INT32_MAX);
    opt->k = *std::max_element(opt->segment_bounds.begin(), opt->segment_bounds.end());
    if (opt->segment_bounds.size() == 1) opt->segment_bounds.clear();
    opt->rescue = cl.count("--no-rescue") == 0;
    opt->fixed_window = cl.count("--fixed-window") > 0;
    if (opt->fixed_window && opt->hamming)
        throw usage_error("--fixed-window goes with --max-edits (with --max-mismatches the window is always fixed)");
    if (!opt->rescue) {
        for (const char *o : {"--min-exact", "--prior-pseudocount", "--indel-weight", "--min-posterior"})
            if (cl.count(o)) throw usage_error(std::string(o) + " has no effect with --no-rescue");
    }
    if (cl.count("--threads") == 0) opt->threads = default_thread_count();
}

}  // namespace velmora_tool
