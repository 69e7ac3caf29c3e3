// The barcode whitelist: a text file (plain or gzip), one barcode per line.
// Blank lines and lines starting with '#' are skipped; surrounding spaces,
// tabs and a trailing CR are trimmed.  Every other line must be a nucleotide
// sequence (IUPAC letters, either case); anything else is an error naming
// the line.  Entries keep their order, so an entry's position in the list is
// the library's reference index.
//
// The library handles repeated references correctly, but each copy is a hit
// that every read near it must count; a list with an entry repeated a million
// times makes every such read cost a million.  assign therefore drops the
// repeats first (drop_repeated_entries) and reports against the distinct list.
#ifndef VELMORA_TOOL_WHITELIST_H
#define VELMORA_TOOL_WHITELIST_H

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "io.h"
#include "velmora.h"

namespace velmora_tool {

struct whitelist {
    std::string bytes;                 // every entry, back to back
    std::vector<size_t> offsets;       // entry i is bytes[offsets[i], offsets[i + 1])
    uint64_t lower_case_entries = 0;   // entries with a lower-case letter
    uint64_t repeats_dropped = 0;      // entries removed by drop_repeated_entries

    size_t size() const { return offsets.empty() ? 0 : offsets.size() - 1; }
    std::string_view entry(size_t i) const {
        return std::string_view(bytes.data() + offsets[i], offsets[i + 1] - offsets[i]);
    }
    // Pointer and length arrays in the form the library takes.
    void pointer_arrays(std::vector<const uint8_t *> *ptrs, std::vector<size_t> *lens) const;
};

// Loads and checks a whitelist; throws data_error naming the file and line.
// An empty list (no entries at all) is an error too, and so is a line longer
// than max_line_length.
whitelist load_whitelist(const std::string &path, uint64_t max_line_length = default_max_line_length);

// Removes every entry equal to an earlier one, keeping the first occurrences
// in their order; adds the count removed to repeats_dropped and returns it.
uint64_t drop_repeated_entries(whitelist *wl);

// True for the letters a nucleotide sequence may hold.
bool is_sequence_byte(unsigned char c);

// Builds the index over the given entries; throws data_error when the
// library cannot (out of memory).
// flags: the VORN_INDEX_NO_* tables the caller's metric does not need.
vorn_index *build_index(const std::vector<const uint8_t *> &ptrs, const std::vector<size_t> &lens,
                        uint32_t flags = VORN_INDEX_ALL);

}  // namespace velmora_tool

#endif
