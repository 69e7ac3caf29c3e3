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
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "io.h"
#include "velmora.h"

namespace velmora_pipeline {

// One entry's text.  For a list held as bytes it points into them; for a
// packed list it holds the decoded bases itself, so it must not outlive the
// expression that asked for it (converting a temporary one to a view does
// not compile).
class entry_text {
public:
    entry_text(const char *p, size_t n) : ext_(p), len_(n) {}
    entry_text(uint64_t code, size_t bases);
    entry_text(const entry_text &o) : ext_(o.ext_), len_(o.len_) {
        if (!ext_) std::memcpy(buf_, o.buf_, sizeof buf_);
    }
    entry_text &operator=(const entry_text &) = delete;
    const char *data() const { return ext_ ? ext_ : buf_; }
    size_t size() const { return len_; }
    operator std::string_view() const & { return std::string_view(data(), len_); }
    operator std::string_view() const && = delete;

private:
    const char *ext_;
    size_t len_;
    char buf_[32];
};

// The distinct entries, in one of two forms.  Bytes: every entry back to
// back, with their offsets (any letters, any lengths).  Packed, when the
// reader allowed it and every entry is A, C, G or T (after folding) of one
// length of at most 32 bases: each entry its 2-bit code (base i in bits 2i,
// 2i + 1; A = 0, C = 1, G = 2, T = 3) in the fewest bytes that hold it,
// little end first: 4 bytes for 16 bases, where the bytes form takes 16
// and an 8-byte offset.
struct whitelist {
    std::string bytes;                 // bytes form: every distinct entry, back to back
    std::vector<size_t> offsets;       // entry i is bytes[offsets[i], offsets[i + 1])
    std::vector<uint8_t> packed;       // packed form: code_bytes bytes per entry
    size_t code_bytes = 0;             // 0: the bytes form
    size_t min_length = 0, max_length = 0;  // over the distinct entries
    uint64_t listed = 0;               // entries as the file lists them, repeats included
    uint64_t lower_case_entries = 0;   // listed entries with a lower-case letter
    uint64_t repeats_dropped = 0;      // listed entries equal to an earlier one
    std::vector<uint64_t> multiplicity;  // times each distinct entry is listed, when asked for

    bool is_packed() const { return code_bytes != 0; }
    size_t size() const {
        if (is_packed()) return packed.size() / code_bytes;
        return offsets.empty() ? 0 : offsets.size() - 1;
    }
    entry_text entry(size_t i) const {
        if (is_packed()) return entry_text(code(i), min_length);
        return entry_text(bytes.data() + offsets[i], offsets[i + 1] - offsets[i]);
    }
    // Entry i of the bytes form, as a view that lives as long as the list.
    std::string_view stored_entry(size_t i) const {
        return std::string_view(bytes.data() + offsets[i], offsets[i + 1] - offsets[i]);
    }
    // The 2-bit code of entry i of the packed form.
    uint64_t code(size_t i) const {
        uint64_t c = 0;
        const uint8_t *p = packed.data() + i * code_bytes;
        for (size_t b = code_bytes; b-- > 0;) c = c << 8 | p[b];
        return c;
    }
    // Pointer and length arrays in the form the library takes (bytes form).
    void pointer_arrays(std::vector<const uint8_t *> *ptrs, std::vector<size_t> *lens) const;
};

struct whitelist_reading {
    uint64_t max_line_length = default_max_line_length;
    // Entries upper-cased, so that they compare as reads do (folded too);
    // an entry then repeats one that differs from it only in case.
    bool fold_case = true;
    bool count_multiplicity = false;
    // The packed form allowed (with fold_case), when the entries fit it.
    bool compact = false;
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
// The same over a whitelist in either form; the arrays the library takes
// (and, for a packed list, the decoded entries) live only during the build.
vorn_index *build_index(const whitelist &wl, uint32_t flags);

}  // namespace velmora_pipeline

#endif
