// The read-structure parser.
#include "structure.h"

#include <cstring>

#include "base.h"

namespace velmora_pipeline {

namespace {

// Longer segments are surely a typo, and the limit keeps every offset sum
// far from overflowing.
constexpr uint64_t max_segment_length = uint64_t{1} << 32;

}  // namespace

read_structure parse_read_structure(std::string_view text) {
    read_structure rs;
    rs.text = std::string(text);
    const auto fail = [&](size_t at, const std::string &problem) -> void {
        throw usage_error("read structure '" + rs.text + "' (segment " +
                          std::to_string(rs.segments.size() + 1) + ", character " +
                          std::to_string(at + 1) + "): " + problem);
    };
    if (text.empty()) throw usage_error("read structure is empty (e.g. 16C12M or +T)");
    size_t i = 0;
    uint64_t offset = 0;
    while (i < text.size()) {
        if (!rs.segments.empty() && rs.segments.back().rest)
            fail(i, "'+' (the rest of the read) can only be the last segment");
        read_segment seg;
        seg.offset = offset;
        const size_t start = i;
        if (text[i] == '+') {
            seg.rest = true;
            ++i;
        } else {
            uint64_t n = 0;
            while (i < text.size() && text[i] >= '0' && text[i] <= '9') {
                n = n * 10 + static_cast<uint64_t>(text[i] - '0');
                if (n > max_segment_length) fail(start, "segment longer than " + std::to_string(max_segment_length));
                ++i;
            }
            if (i == start) fail(i, "expected a length or '+' before the segment's kind");
            if (n == 0) fail(start, "a segment's length must be at least 1");
            seg.length = n;
        }
        if (i == text.size()) fail(i - 1, "the segment has no kind (C, B, M, T or S)");
        const char k = text[i];
        if (k == '\0' || !std::strchr("CBMTS", k))
            fail(i, std::string("unknown segment kind '") + k + "' (C, B, M, T or S)");
        seg.kind = k;
        ++i;
        offset += seg.length;
        rs.segments.push_back(seg);
    }
    rs.min_length = offset;
    return rs;
}

}  // namespace velmora_pipeline
