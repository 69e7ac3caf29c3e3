// Molecular identifiers corrected within one cell.
//
// A UMI names the molecule a read came from; a sequencing error in it makes
// one molecule look like two.  The rule is directional adjacency: within a
// cell, a UMI seen n times is absorbed by a UMI one substitution away seen
// at least 2n - 1 times, and absorption carries on from whatever was
// absorbed.  Groups grow from the most frequent UMI first (ties: the smaller
// code first); each UMI is absorbed once, by the first group that reaches
// it; every UMI of a group is corrected to the group's root.  Two UMIs seen
// once each, one substitution apart, therefore form one group, rooted at the
// smaller code.
#ifndef VELMORA_PIPELINE_UMI_H
#define VELMORA_PIPELINE_UMI_H

#include <cstddef>
#include <cstdint>
#include <string_view>
#include <utility>
#include <vector>

namespace velmora_pipeline {

// The longest UMI held as a code: 2 bits a base.
inline constexpr size_t umi_max_length = 32;

// The 2-bit code of a UMI of A, C, G and T (either case), A = 0 ... T = 3,
// the first base in the highest bits; false when it holds another byte or
// is longer than umi_max_length.
bool umi_code(std::string_view umi, uint64_t *code);

struct umi_count {
    uint64_t code;
    uint64_t reads;
};

// Working memory of umi_directional, kept from cell to cell.
struct umi_workspace {
    std::vector<uint32_t> order, queue;
    std::vector<std::pair<uint64_t, uint32_t>> by_half[2];
};

// Groups the distinct UMIs of one cell, all of `length` bases, sorted by
// code: root[i] is the index of the UMI that umis[i] is corrected to
// (root[i] == i for a root).  A cell of a few dozen UMIs compares every
// pair; a larger one compares a UMI it reaches with those that share the
// first or the second half of its bases.  Throws std::bad_alloc.
void umi_directional(const umi_count *umis, size_t n, size_t length, uint32_t *root, umi_workspace &w);
void umi_directional(const umi_count *umis, size_t n, size_t length, uint32_t *root);

// Reads per (cell, UMI) pair, every pair of a run, in one open-addressing
// table of 16-byte slots kept at most three quarters full: 21 to 43 bytes a
// distinct pair, 64 at most while the table doubles.  Throws std::bad_alloc.
class umi_pairs {
public:
    void add(uint32_t cell, uint64_t code);
    size_t size() const { return used_; }
    size_t bytes() const { return slots_.size() * sizeof(slot); }

    // Groups each cell's UMIs (`length` bases each) by the directional rule,
    // or leaves every UMI its own group when !correct; molecules[cell] is
    // then the cell's number of groups (cells without pairs: 0).  The pairs
    // then give way to the corrected ones alone, in a table of 24-byte
    // slots at most half full, that corrected() answers from; no more
    // add().
    void group(size_t length, bool correct, std::vector<uint64_t> *molecules);
    // The code that the UMI `code` of `cell` was corrected to, after
    // group(): its group's root; code itself for a pair never added.
    uint64_t corrected(uint32_t cell, uint64_t code) const;
    // corrected() of n pairs at once, codes[i] of cells[i] replaced by its
    // correction: each probe is requested a few pairs ahead.
    void correct(const uint32_t *cells, uint64_t *codes, size_t n) const;
    // Bytes of the table of corrected pairs.
    size_t corrected_bytes() const { return moved_.size() * sizeof(moved); }

private:
    struct slot {
        uint64_t code;
        uint32_t cell;
        // 0: a free slot.  While grouping: the place of the pair's root
        // among its cell's pairs.
        uint32_t reads;
    };
    // A pair whose UMI is corrected to another: one probe finds it, where
    // a search among the cell's pairs would take several cache misses.
    struct moved {
        uint64_t code, root;
        uint32_t cell, used;
    };
    void grow();
    // Moves the pairs to the front, sorted; their number.
    size_t sort_pairs();
    std::vector<slot> slots_;
    size_t used_ = 0;
    std::vector<moved> moved_;
};

}  // namespace velmora_pipeline

#endif
