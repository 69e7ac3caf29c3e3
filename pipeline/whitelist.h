// The barcode whitelist: a text file (plain or gzip), one barcode per line.
// Blank lines and lines starting with '#' are skipped; surrounding spaces,
// tabs and a trailing CR are trimmed.  Every other line must be a nucleotide
// sequence (IUPAC letters, either case); anything else is an error naming
// the line.  Entries keep their order, so an entry's position in the list is
// the library's reference index.
//
// The library handles repeated references correctly, but each copy is a hit
// that every read near it must count; a list with an entry repeated a million
// times makes every such read cost a million.  Repeats are therefore dropped
// as the file is read, so that memory follows the distinct entries, not the
// length of the file, and the tools work against the distinct list.
#ifndef VELMORA_PIPELINE_WHITELIST_H
#define VELMORA_PIPELINE_WHITELIST_H

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "io.h"
#include "velmora.h"

namespace velmora_pipeline {

struct whitelist {
    std::string bytes;                 // every distinct entry, back to back
    std::vector<size_t> offsets;       // entry i is bytes[offsets[i], offsets[i + 1])
    uint64_t listed = 0;               // entries as the file lists them, repeats included
    uint64_t lower_case_entries = 0;   // listed entries with a lower-case letter
    uint64_t repeats_dropped = 0;      // listed entries equal to an earlier one
    std::vector<uint64_t> multiplicity;  // times each distinct entry is listed, when asked for

    size_t size() const { return offsets.empty() ? 0 : offsets.size() - 1; }
    std::string_view entry(size_t i) const {
        return std::string_view(bytes.data() + offsets[i], offsets[i + 1] - offsets[i]);
    }
    // Pointer and length arrays in the form the library takes.
    void pointer_arrays(std::vector<const uint8_t *> *ptrs, std::vector<size_t> *lens) const;
};

struct whitelist_reading {
    uint64_t max_line_length = default_max_line_length;
    // Entries upper-cased, so that they compare as reads do (folded too);
    // an entry then repeats one that differs from it only in case.
    bool fold_case = true;
    bool count_multiplicity = false;
    // >= 0: read this open descriptor (owned from then on, even when loading
    // fails) from where it stands, under the name of the path given.
    int fd = -1;
};

// Loads and checks a whitelist, keeping the first occurrence of each entry in
// file order; throws data_error naming the file and line.  An empty list (no
// entries at all) is an error too, and so is a line longer than the limit.
whitelist load_whitelist(const std::string &path, const whitelist_reading &how = {});

// True for the letters a nucleotide sequence may hold.
bool is_sequence_byte(unsigned char c);

// Builds the index over the given entries; throws data_error when the
// library cannot (out of memory).
// flags: the VORN_INDEX_NO_* tables the caller's metric does not need.
vorn_index *build_index(const std::vector<const uint8_t *> &ptrs, const std::vector<size_t> &lens,
                        uint32_t flags = VORN_INDEX_ALL);

}  // namespace velmora_pipeline

#endif
