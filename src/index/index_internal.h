// The reference index record and everything that reads its tables: the 2-bit
// code, the code variants, the bucket formulas and the accessors.  Every
// reader (exact lookup, edit assignment, Hamming assignment, hit listing)
// includes this one header, so the build and the lookups can never disagree
// on a bucket.
//
// Layout, chosen so that a probe costs one random access:
//   references    when every reference is upper-case A/C/G/T of at most 32
//                 bases, nothing but ref_codes (the code of each) and
//                 ref_lens (the length of each, or one uniform_len when they
//                 all have one): a reader that needs bytes decodes them into a
//                 buffer of its own.  Otherwise one arena holding every copy
//                 (its bytes and a zero byte): ref_offsets[i] ..
//                 ref_offsets[i + 1] - 1 are reference i.
//   key tables    open addressing over buckets of five slots (one cache
//                 line each, 12.8 bytes a slot), one slot per distinct (code,
//                 length) of the encodable references, at most two thirds
//                 full: the keys of up to 31 bases in keys, their length
//                 folded into the code as a bit above the last base; the keys
//                 of 32 bases, which fill the word, in keys32.  A slot holds
//                 the key word and, for a key with one reference, that
//                 reference; a key with several (KEY_MULTI set) points at its
//                 group in key_groups: the count, then the references from
//                 the highest index down (the order a reader meets them in).
//                 A key is in its home bucket or, when that is full, a later
//                 one; a lookup reads its whole bucket without a branch per
//                 slot, so its misses overlap the next lookup's.  They serve
//                 the code lookups and the exact lookups alike.
//   presence      a blocked Bloom filter over the keys of the key table:
//                 about one byte per key, so it stays in cache where the key
//                 table cannot; all of a key's bits lie in one 64-byte block,
//                 one cache line per test.  With it, enc_lengths (bit L:
//                 some encodable reference has length L).  A probe for a key
//                 either rejects costs a cache hit instead of a DRAM miss;
//                 neither ever rejects a key the table holds, and
//                 enc_lengths also rejects a deletion-table key whose longer
//                 length no reference has.
//   deletion      one 8-byte entry per (encodable reference, base removed),
//                 bucket-sorted: a 32-bit reference and a tag holding a
//                 21-bit fingerprint of the variant key, the reference's
//                 length and the position.  A reader walks its bucket from
//                 the end (newest entry first) and confirms a fingerprint
//                 and length match against ref_codes, the code of every
//                 reference, kept with this table: one random read per
//                 match, no trip to the arena and no re-encoding.  Without
//                 the arena the codes are the references, so they are kept
//                 whatever the build leaves out.
//   piece tables  one per split (halves, thirds, quarters), bucket-sorted,
//                 the whole reference codes contiguous so a bucket scan is
//                 sequential; each entry is the reference code, the
//                 reference and one byte of length and piece position.
// Tables a build was asked to leave out stay null with a zero size.
#ifndef VELMORA_SRC_INDEX_INTERNAL_H
#define VELMORA_SRC_INDEX_INTERNAL_H

#include <cstddef>
#include <cstdint>

#include "common.h"
#include "velmora.h"

namespace velmora {

inline constexpr uint64_t INDEX_NONE = UINT64_MAX;
inline constexpr uint64_t INDEX_GOLDEN = 0x9e3779b97f4a7c15ull;
inline constexpr uint64_t INDEX_PIECE_KIND_MUL = 0x517cc1b727220a95ull;
// Longest sequence a 64-bit code holds.
inline constexpr size_t DNA2_MAX_LEN = 32;
// Reference word of a free key slot.  References and group starts stay below
// 2^31 - 1 (the build refuses more), so neither, flagged or not, is this.
inline constexpr uint32_t KEY_EMPTY = UINT32_MAX;
// Set in the reference word of a key with several references: the rest is
// the start of its group.
inline constexpr uint32_t KEY_MULTI = 0x80000000u;

// One cache line of the key tables: five key words, then their reference
// words.  A bucket fills from its first slot, so a free slot ends its keys
// and says that no later bucket holds the key either.
inline constexpr size_t KEY_BUCKET_SLOTS = 5;

struct alignas(64) key_bucket {
    uint64_t word[KEY_BUCKET_SLOTS];
    uint32_t ref[KEY_BUCKET_SLOTS];  // the reference, KEY_MULTI | group start, or KEY_EMPTY
    uint32_t unused;
};
static_assert(sizeof(key_bucket) == 64, "one bucket, one cache line");

struct key_table {
    void *alloc;          // owns buckets (over-allocated to align them)
    key_bucket *buckets;  // count buckets, 64-byte aligned
    uint64_t count;       // 0 when no key falls in this table
};

struct del_entry {
    uint32_t ref;
    uint32_t tag;  // fingerprint << 11 | reference length << 5 | position removed
};

static inline uint32_t index_del_tag(uint32_t fingerprint, uint64_t ref_len,
                                     uint64_t position) noexcept {
    return (fingerprint << 11) | static_cast<uint32_t>(ref_len << 5) |
           static_cast<uint32_t>(position);
}

// One split of every encodable reference into m pieces.
struct piece_table {
    uint64_t *offsets;  // bucket_count + 1
    uint64_t *codes;    // whole reference code of each entry
    uint32_t *refs;
    uint8_t *meta;      // reference length | piece position << 6
    uint64_t bucket_count;
    uint64_t count;
};

inline constexpr size_t PIECE_SPLITS = 3;  // into 2, 3 and 4 pieces

}  // namespace velmora

struct vorn_index {
    uint64_t n_refs;
    uint64_t nonenc_count;
    // Bit L set when some encodable reference has L bases: a search skips
    // the keys of lengths no reference has.
    uint64_t enc_lengths;
    uint32_t flags;  // VORN_INDEX_NO_* the build was given
    // Null when every reference is encodable: ref_codes and ref_lens (or
    // uniform_len) are the references then.
    uint8_t *arena;
    uint64_t *ref_offsets;
    uint8_t *ref_lens;     // without the arena, when the lengths differ
    uint64_t uniform_len;  // without the arena and ref_lens
    uint32_t *nonenc_refs;  // ascending
    velmora::key_table keys;    // keys of 0 to 31 bases
    velmora::key_table keys32;  // keys of 32 bases
    void *filter_alloc;      // owns filter (over-allocated to align it)
    const uint64_t *filter;  // filter_blocks blocks of 8 words, 64-byte aligned
    uint64_t filter_blocks;  // a power of two; 0 without the filter
    uint32_t *key_groups;
    velmora::del_entry *del_entries;
    // Code of each encodable reference: with the deletion table, or as the
    // references themselves when there is no arena.  Four bytes a reference
    // (ref_codes16) when no reference is longer than 16 bytes,
    // eight (ref_codes) otherwise; never both.
    uint64_t *ref_codes;
    uint32_t *ref_codes16;
    uint64_t *del_offsets;
    uint64_t del_bucket_count;
    uint64_t del_count;
    velmora::piece_table pieces[velmora::PIECE_SPLITS];
};

namespace velmora {

// ---- references -----------------------------------------------------------

static inline size_t index_ref_len(const vorn_index *ix, uint64_t r) noexcept {
    if (ix->ref_offsets != nullptr) return ix->ref_offsets[r + 1] - ix->ref_offsets[r] - 1;
    return ix->ref_lens != nullptr ? ix->ref_lens[r] : ix->uniform_len;
}

static inline bool index_has_codes(const vorn_index *ix) noexcept {
    return ix->ref_codes != nullptr || ix->ref_codes16 != nullptr;
}

// Code of encodable reference r (index_has_codes).
static inline uint64_t index_ref_code(const vorn_index *ix, uint64_t r) noexcept {
    return ix->ref_codes16 != nullptr ? ix->ref_codes16[r] : ix->ref_codes[r];
}

// Bases of a code of len <= 32 bases, written to bytes.
static inline const uint8_t *dna2_decode(uint64_t code, size_t len, uint8_t *bytes) noexcept {
    static constexpr uint8_t BASES[4] = {'A', 'C', 'G', 'T'};
    for (size_t i = 0; i < len; ++i) bytes[i] = BASES[(code >> (2 * i)) & 3];
    return bytes;
}

// Bytes of reference r: in the arena, or decoded into buf (DNA2_MAX_LEN
// bytes) when the index keeps codes only.
static inline const uint8_t *index_ref_bytes(const vorn_index *ix, uint64_t r,
                                             uint8_t *buf) noexcept {
    if (ix->arena != nullptr) return ix->arena + ix->ref_offsets[r];
    return dna2_decode(index_ref_code(ix, r), index_ref_len(ix, r), buf);
}

// Requests what index_ref_bytes will read for reference r.
static inline void index_ref_prefetch(const vorn_index *ix, uint64_t r) noexcept {
    if (ix->arena != nullptr) {
        prefetch(&ix->ref_offsets[r]);
    } else if (ix->ref_codes16 != nullptr) {
        prefetch(&ix->ref_codes16[r]);
    } else {
        prefetch(&ix->ref_codes[r]);
    }
}

// ---- 2-bit code -----------------------------------------------------------

// Base value of an upper-case A/C/G/T byte, or -1 for every other byte (lower
// case included).
static inline int dna2_base_value(uint8_t b) noexcept {
    switch (b) {
        case 'A': return 0;
        case 'C': return 1;
        case 'G': return 2;
        case 'T': return 3;
        default: return -1;
    }
}

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

// Whether the shorter sequence (shorter_len bases) is the longer one with one
// base deleted: deleting the longer one's first differing base must give it
// (a deletion anywhere in a run of equal bases gives the same sequence).
static inline bool dna2_one_deletion(uint64_t longer, uint64_t shorter,
                                     uint64_t shorter_len) noexcept {
    const uint64_t x = (longer ^ shorter) & dna2_mask(shorter_len);
    const uint64_t p = x == 0 ? shorter_len : static_cast<uint64_t>(__builtin_ctzll(x)) / 2;
    return dna2_delete_base(longer, p) == shorter;
}

// Number of positions at which two codes hold different bases (a SWAR
// count: a popcount builtin would be a library call on baseline x86-64).
static inline uint32_t dna2_mismatches(uint64_t a, uint64_t b) noexcept {
    uint64_t x = a ^ b;
    x = (x | (x >> 1)) & 0x5555555555555555ull;
    x = (x & 0x3333333333333333ull) + ((x >> 2) & 0x3333333333333333ull);
    x = (x + (x >> 4)) & 0x0f0f0f0f0f0f0f0full;
    return static_cast<uint32_t>((x * 0x0101010101010101ull) >> 56);
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

// Hash of a (code, length) key; the key tables take their home slot from the
// high half, the deletion table its bucket from the low bits and its
// fingerprint from the high ones.
static inline uint64_t index_key_hash(uint64_t code, uint64_t len) noexcept {
    return index_mix((len * INDEX_GOLDEN) ^ code);
}

static inline uint32_t index_del_fingerprint(uint64_t hash) noexcept {
    return static_cast<uint32_t>(hash >> 43);  // 21 bits
}

// Piece i of a split of len bases into m pieces: the first len % m pieces
// are one base longer.
static inline void index_piece_bounds(uint64_t len, uint64_t m, uint64_t i,
                                      uint64_t *start, uint64_t *piece_len) noexcept {
    const uint64_t q = len / m;
    const uint64_t r = len % m;
    *start = i * q + (i < r ? i : r);
    *piece_len = q + (i < r ? 1 : 0);
}

// Bucket of piece j of the split of (code, len) into m pieces, in a table of
// bucket_count buckets; *range gets the piece's bits in a code (none for a
// zero-length piece, on which every code agrees).  The hash tells the
// piece's kind, 4 * (m - 2) + j, and its length apart.  The build and the
// search both place a piece here, so they cannot disagree on a bucket.
static inline uint64_t index_piece_bucket_of(uint64_t code, uint64_t len, uint64_t m,
                                             uint64_t j, uint64_t bucket_count,
                                             uint64_t *range) noexcept {
    uint64_t start = 0;
    uint64_t piece_len = 0;
    index_piece_bounds(len, m, j, &start, &piece_len);
    *range = piece_len == 0 ? 0 : dna2_mask(piece_len) << (2 * start);
    const uint64_t kind = 4 * (m - 2) + j;
    const uint64_t x = ((piece_len + 37 * kind) * INDEX_GOLDEN) ^ (kind * INDEX_PIECE_KIND_MUL) ^
                       dna2_extract(code, start, piece_len);
    return index_mix(x) & (bucket_count - 1);
}

static inline uint8_t index_piece_meta(uint64_t ref_len, uint64_t position) noexcept {
    return static_cast<uint8_t>(ref_len | (position << 6));
}

// ---- key tables -----------------------------------------------------------

// Whether some reference is encodable (and so some key table not empty).
static inline bool index_has_keys(const vorn_index *ix) noexcept { return ix->enc_lengths != 0; }

static inline const key_table *index_key_table(const vorn_index *ix, uint64_t len) noexcept {
    return len == DNA2_MAX_LEN ? &ix->keys32 : &ix->keys;
}

// The key word of (code, len): below 32 bases a 1 bit above the last base
// tells the lengths apart (so no word is 0); at 32 the code itself, in its
// own table.  Codes carry no bits above their bases.
static inline uint64_t index_key_word(uint64_t code, uint64_t len) noexcept {
    return len >= DNA2_MAX_LEN ? code : code | (uint64_t{1} << (2 * len));
}

// Home bucket of a key hash in a table of any size (no power of two needed):
// the high half of the hash scaled to the bucket count.
static inline uint64_t index_key_home(const key_table *t, uint64_t hash) noexcept {
    return ((hash >> 32) * t->count) >> 32;
}

static inline void index_key_prefetch(const key_table *t, uint64_t home) noexcept {
    prefetch(&t->buckets[home]);
}

// Reference word of the key word searched from its home bucket, or null.
// The table is at most two thirds full, so nearly every key sits in its home
// bucket.
static inline const uint32_t *index_key_find_from(const key_table *t, uint64_t bucket,
                                                  uint64_t word) noexcept {
    for (;;) {
        const key_bucket *b = &t->buckets[bucket];
        for (size_t i = 0; i < KEY_BUCKET_SLOTS; ++i) {
            if (b->ref[i] == KEY_EMPTY) return nullptr;
            if (b->word[i] == word) return &b->ref[i];
        }
        bucket = bucket + 1 == t->count ? 0 : bucket + 1;
    }
}

// ---- presence filter --------------------------------------------------------

inline constexpr uint32_t INDEX_FILTER_BITS = 5;  // bits set per key
inline constexpr uint64_t INDEX_FILTER_BLOCK_WORDS = 8;

static inline uint64_t index_filter_block(uint64_t hash, uint64_t blocks) noexcept {
    return ((hash * INDEX_GOLDEN) >> 32) & (blocks - 1);
}

// Bit i of a key in its block: 9 bits each from a second product of the hash.
static inline uint64_t index_filter_bit(uint64_t hash, uint32_t i) noexcept {
    return ((hash * INDEX_PIECE_KIND_MUL) >> (64 - 9 * (i + 1))) & 511;
}

// Whether some encodable reference has len bases.
static inline bool index_has_length(const vorn_index *ix, uint64_t len) noexcept {
    return len < 64 && ((ix->enc_lengths >> len) & 1) != 0;
}

// false only when no key with this hash is in the key table.
static inline bool index_filter_may_hold_hash(const vorn_index *ix, uint64_t hash) noexcept {
    if (ix->filter_blocks == 0) return true;
    const uint64_t *block =
        ix->filter + INDEX_FILTER_BLOCK_WORDS * index_filter_block(hash, ix->filter_blocks);
    bool all = true;
    for (uint32_t i = 0; i < INDEX_FILTER_BITS; ++i) {
        const uint64_t bit = index_filter_bit(hash, i);
        all &= ((block[bit >> 6] >> (bit & 63)) & 1) != 0;
    }
    return all;
}

// false only when no key (code, len) with this hash is in the key table.
static inline bool index_filter_may_hold(const vorn_index *ix, uint64_t hash,
                                         uint64_t len) noexcept {
    return index_has_length(ix, len) && index_filter_may_hold_hash(ix, hash);
}

static inline void index_filter_prefetch(const vorn_index *ix, uint64_t hash) noexcept {
    if (ix->filter_blocks != 0) {
        prefetch(ix->filter +
                           INDEX_FILTER_BLOCK_WORDS * index_filter_block(hash, ix->filter_blocks));
    }
}

// The references of a found key (its reference word), from the highest
// index down.
static inline const uint32_t *index_key_refs(const vorn_index *ix, const uint32_t *ref,
                                             uint32_t *count) noexcept {
    if ((*ref & KEY_MULTI) == 0) {
        *count = 1;
        return ref;
    }
    const uint32_t at = *ref & ~KEY_MULTI;
    *count = ix->key_groups[at];
    return &ix->key_groups[at + 1];
}

}  // namespace velmora

#endif
