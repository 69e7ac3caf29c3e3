// Read structures: how the bases of each read of a library are laid out, in
// the notation sequencing tools share.  A structure is a run of segments,
// each a length and a kind: C cell barcode, B sample barcode, M molecular
// identifier (UMI), T template, S skip; "+" as the length of the last
// segment stands for the rest of the read.  "16C12M" is a read 1 of a
// droplet kit, "+T" its read 2, "8C30S8C30S8C10M" a split-pool design.
#ifndef VELMORA_PIPELINE_STRUCTURE_H
#define VELMORA_PIPELINE_STRUCTURE_H

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace velmora_pipeline {

struct read_segment {
    char kind = 0;        // 'C', 'B', 'M', 'T' or 'S'
    uint64_t offset = 0;  // from the start of the read
    uint64_t length = 0;  // 0 with rest
    bool rest = false;    // "+": from offset to the end of the read

    bool barcode() const { return kind == 'C' || kind == 'B'; }
    // The segment's bases of a read of read_len bases; false when the read
    // is too short to hold it (a "+" segment may be empty).
    bool slice(uint64_t read_len, uint64_t *start, uint64_t *len) const {
        if (offset > read_len || (!rest && length > read_len - offset)) return false;
        *start = offset;
        *len = rest ? read_len - offset : length;
        return true;
    }
};

struct read_structure {
    std::string text;
    std::vector<read_segment> segments;
    uint64_t min_length = 0;  // bases a read needs to cover every fixed segment
};

// Parses one structure.  Throws usage_error naming the text and what is
// wrong at which character: an empty text, a length of 0 or one without
// digits, an unknown kind, "+" anywhere but in the last segment.
read_structure parse_read_structure(std::string_view text);

}  // namespace velmora_pipeline

#endif
