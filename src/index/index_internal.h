// The reference index record and everything that reads its tables: the 2-bit
// code, the code variants, the table size rule and the bucket formulas.  Every
// reader (exact lookup, edit assignment, Hamming assignment) includes this one
// header, so the build and the lookups can never disagree on a bucket.
//
// Table layout:
//   code table    chained, code_heads[bucket] -> code_next[ref] -> ...; chains
//                 run from the highest reference index down.
//   exact table   open addressing with linear probing; one slot per distinct
//                 (code, length), holding the first index and the count.
//   deletion      chained like the code table, one entry per (reference, base
//                 removed); finds references one base longer than a query.
//   piece table   halves, thirds and quarters of every encodable reference,
//                 bucket-sorted in one flat array with an offsets array.
// All-ones marks an absent index, an empty bucket or the end of a chain.
#ifndef VELMORA_SRC_INDEX_INTERNAL_H
#define VELMORA_SRC_INDEX_INTERNAL_H

#include <cstddef>
#include <cstdint>

#include "velmora.h"

namespace velmora {

inline constexpr uint64_t INDEX_NONE = UINT64_MAX;
inline constexpr uint64_t INDEX_GOLDEN = 0x9e3779b97f4a7c15ull;
inline constexpr uint64_t INDEX_EXACT_LEN_MUL = 0xbf58476d1ce4e5b9ull;
inline constexpr uint64_t INDEX_PIECE_KIND_MUL = 0x517cc1b727220a95ull;
// Longest sequence a 64-bit code holds.
inline constexpr size_t DNA2_MAX_LEN = 32;
// Positions travel in 32-bit record fields and are compared as signed.
inline constexpr size_t INDEX_MAX_REFS = 0x7FFFFFFF;

struct piece_entry {
    uint64_t piece_code;
    uint64_t ref_code;
    uint64_t ref_index;
    uint8_t piece_len;
    uint8_t piece_kind;
    uint8_t ref_len;
};

}  // namespace velmora

struct vorn_index {
    uint8_t **ref_seqs;
    size_t *ref_lens;
    uint64_t *ref_codes;
    uint8_t *ref_encodable;
    uint64_t *code_heads;
    uint64_t *code_next;
    uint64_t *exact_codes;
    uint64_t *exact_lens;
    uint64_t *exact_first;
    uint64_t *exact_counts;
    uint64_t exact_slot_count;
    uint64_t *del_codes;
    uint64_t *del_lens;
    uint64_t *del_refs;
    uint64_t *del_heads;
    uint64_t *del_next;
    uint64_t del_bucket_count;
    uint64_t del_count;
    velmora::piece_entry *piece_entries;
    uint64_t *piece_offsets;
    uint64_t piece_bucket_count;
    uint64_t piece_count;
    uint32_t piece_ready;
    uint64_t *nonenc_refs;
    uint64_t code_bucket_count;
    uint64_t n_refs;
    uint64_t nonenc_count;
};

namespace velmora {

// ---- 2-bit code -----------------------------------------------------------

// Base value of an upper-case A/C/G/T byte, or -1.  b - 'A' lands on 0, 2, 6
// and 19 for the four bases; everything else (lower case included) is foreign.
static inline int dna2_base_value(uint8_t b) noexcept {
    switch (b) {
        case 'A': return 0;
        case 'C': return 1;
        case 'G': return 2;
        case 'T': return 3;
        default: return -1;
    }
}

static inline bool dna2_is_base(uint8_t b) noexcept { return dna2_base_value(b) >= 0; }

// Mask of the low 2*len bits; written out for 32 bases, where 4^32 - 1 would
// need a shift by 64.
static inline uint64_t dna2_mask(uint64_t len) noexcept {
    return len >= 32 ? UINT64_MAX : (uint64_t{1} << (2 * len)) - 1;
}

// Bits of bases [start, start + len) moved down to base 0.  A zero-length
// range is 0 wherever it starts.
static inline uint64_t dna2_extract(uint64_t code, uint64_t start, uint64_t len) noexcept {
    if (len == 0 || start >= 32) return 0;
    return (code >> (2 * start)) & dna2_mask(len);
}

// Code with base b at position p.
static inline uint64_t dna2_with_base(uint64_t code, uint64_t p, uint64_t b) noexcept {
    return (code & ~(uint64_t{3} << (2 * p))) | (b << (2 * p));
}

// Code of the sequence with base p removed (p < 32).  The bases after p move
// down one place; at the last position of a 32-base code there are none, and
// the term is 0 rather than a shift by 64.
static inline uint64_t dna2_delete_base(uint64_t code, uint64_t p) noexcept {
    const uint64_t low = code & dna2_mask(p);
    const uint64_t high = (2 * p + 2 >= 64) ? 0 : (code >> (2 * p + 2)) << (2 * p);
    return low | high;
}

// Code of the sequence with base b inserted before position p (p <= len <= 31).
static inline uint64_t dna2_insert_base(uint64_t code, uint64_t p, uint64_t b) noexcept {
    const uint64_t low = code & dna2_mask(p);
    const uint64_t high = (2 * p + 2 >= 64) ? 0 : (code >> (2 * p)) << (2 * p + 2);
    return low | high | (b << (2 * p));
}

// Signature shared by both encoders, so the exact lookup can take either.
typedef int (*dna2_code_fn)(const uint8_t *seq, size_t len, uint64_t *code);

// Strict encoder: upper-case A/C/G/T, at most 32 bases.  1 and *code on
// success; 0 with *code untouched otherwise.  Length 0 gives code 0.
int dna2_code(const uint8_t *seq, size_t len, uint64_t *code) noexcept;
// Same, but a/c/g/t count as their upper-case letters.
int dna2_code_ascii_upper(const uint8_t *seq, size_t len, uint64_t *code) noexcept;

// ---- hashing --------------------------------------------------------------

static inline uint64_t index_mix(uint64_t x) noexcept {
    const uint64_t y = (x ^ (x >> 33)) * 0xff51afd7ed558ccdull;
    return y ^ (y >> 33);
}

// Smallest power of two strictly greater than 2n, so tables stay under half
// full.  false when it would not fit in 64 bits.
static inline bool index_table_size(uint64_t n, uint64_t *out) noexcept {
    if (n > (UINT64_MAX >> 2)) return false;
    uint64_t size = 1;
    while (size <= 2 * n) size <<= 1;
    *out = size;
    return true;
}

// Code table and deletion table share this key hash (code and length).
static inline uint64_t index_code_bucket(uint64_t code, uint64_t len,
                                         uint64_t bucket_count) noexcept {
    return index_mix((len * INDEX_GOLDEN) ^ code) & (bucket_count - 1);
}

static inline uint64_t index_exact_home_slot(uint64_t code, uint64_t len,
                                             uint64_t slot_count) noexcept {
    const uint64_t h = (code * INDEX_GOLDEN) ^ (len * INDEX_EXACT_LEN_MUL);
    return (h ^ (h >> 32)) & (slot_count - 1);
}

static inline uint64_t index_piece_bucket(uint64_t piece_code, uint64_t piece_len,
                                          uint64_t kind, uint64_t bucket_count) noexcept {
    const uint64_t x = ((piece_len + 37 * kind) * INDEX_GOLDEN) ^
                       (kind * INDEX_PIECE_KIND_MUL) ^ piece_code;
    return index_mix(x) & (bucket_count - 1);
}

// Piece i of a split of len bases into m pieces: the first len % m pieces
// are one base longer.  Kind = 4 * (m - 2) + i.
static inline void index_piece_bounds(uint64_t len, uint64_t m, uint64_t i,
                                      uint64_t *start, uint64_t *piece_len) noexcept {
    const uint64_t q = len / m;
    const uint64_t r = len % m;
    *start = i * q + (i < r ? i : r);
    *piece_len = q + (i < r ? 1 : 0);
}

static inline uint64_t index_piece_kind(uint64_t m, uint64_t i) noexcept {
    return 4 * (m - 2) + i;
}

// ---- build helper and exact lookup ----------------------------------------

void index_exact_table_insert(vorn_index *index, uint64_t code, uint64_t len,
                              uint64_t ref_index) noexcept;

// Writes the complete record for one query (never null with a nonzero
// length): exact table for a query the encoder accepts, scan of the
// non-encodable references of its length otherwise.  fold_case compares
// a-z as A-Z in the scan.
void index_assign_exact_one_impl(const vorn_index *index, const uint8_t *query, size_t len,
                                 vorn_match *result, vorn_stats *stats, dna2_code_fn code_fn,
                                 uint32_t fold_case) noexcept;

}  // namespace velmora

#endif
