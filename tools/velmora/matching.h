// The options that say how barcodes are matched and decided, which assign
// and tag take alike: declared on the command's command_line, then checked
// into the assign_options that the decider (pipeline/decide.h) reads, so
// that both commands decide a barcode the same way from the same words.
#ifndef VELMORA_TOOL_MATCHING_H
#define VELMORA_TOOL_MATCHING_H

#include <cstdint>
#include <string>

namespace velmora_pipeline {
struct assign_options;
}

namespace velmora_tool {

class command_line;

class matching_options {
public:
    // Declares --max-edits, --max-mismatches, --fixed-window, --no-rescue,
    // --min-exact, --prior-pseudocount, --indel-weight, --min-posterior,
    // --threads, --batch-size and --max-line-length on cl, into *opt.
    matching_options(command_line &cl, velmora_pipeline::assign_options *opt);
    // After cl has parsed: the metric and the bound (k the largest; one
    // per barcode segment in opt->segment_bounds when several are given),
    // the rescue's switches, checked (usage_error).
    void apply(const command_line &cl);

private:
    velmora_pipeline::assign_options *opt_;
    std::string edits_, mismatches_;
    uint64_t batch_size_;
};

}  // namespace velmora_tool

#endif
