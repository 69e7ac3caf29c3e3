// The assignment table: a header line, then one tab-separated line per read,
// in input order.  Formatting only formats: the decisions are made before.
#ifndef VELMORA_PIPELINE_TABLE_H
#define VELMORA_PIPELINE_TABLE_H

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace velmora_pipeline {

struct read_decision;
struct whitelist;

extern const char table_header[];

// What the table shows of a batch's reads besides their decisions: names,
// and the barcode windows with the bases after them, back to back.
struct table_rows {
    std::string arena;
    std::vector<size_t> name_off, name_len;
    std::vector<size_t> window_off;  // SIZE_MAX: the window does not fit the read
    std::vector<size_t> tail_len;    // the window and the bases after it
    uint64_t window_len = 0;

    size_t size() const { return name_off.size(); }
    void clear();
    void add(std::string_view name, std::string_view tail, bool fits);
};

// Appends the lines of rows, decided as decisions say, to *out.  rescue:
// whether the run has posteriors to show.
void format_rows(const table_rows &rows, const read_decision *decisions, const whitelist &wl, bool rescue,
                 std::string *out);

}  // namespace velmora_pipeline

#endif
