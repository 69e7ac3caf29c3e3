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

namespace velmora_pipeline {

// The longest UMI held as a code: 2 bits a base.
inline constexpr size_t umi_max_length = 32;

// The 2-bit code of a UMI of A, C, G and T (either case), A = 0 ... T = 3,
// the first base in the highest bits; false when it holds another byte or
// is longer than umi_max_length.
bool umi_code(std::string_view umi, uint64_t *code);
// The UMI of length bases that code holds, upper case, into out.
void umi_bases(uint64_t code, size_t length, char *out);

struct umi_count {
    uint64_t code;
    uint64_t reads;
};

// Groups the distinct UMIs of one cell, all of `length` bases, sorted by
// code: root[i] is the index of the UMI that umis[i] is corrected to
// (root[i] == i for a root).  Neighbours are found by looking up each
// substitution of a UMI among the cell's codes, 3 x length lookups a UMI
// reached.  Throws std::bad_alloc.
void umi_directional(const umi_count *umis, size_t n, size_t length, uint32_t *root);

}  // namespace velmora_pipeline

#endif
