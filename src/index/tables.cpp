// The deletion table and the piece table, the last two build steps.  Both are
// sized once from totals counted before any entry is written.
//
// Deletion table: one entry per (encodable reference, base removed), chained
// by the hash of (variant code, length - 1).  A query of length L finds every
// reference of length L + 1 that loses one base to become the query with one
// lookup of its own key.  Runs of equal bases give the same variant several
// times; nothing is merged, readers de-duplicate.
//
// Piece table: the two halves, three thirds and four quarters of every
// encodable reference (9 entries each, empty pieces included), placed by a
// stable counting sort into one flat array grouped by bucket:
//
//   piece_offsets  [0, o1, o2, ..., piece_count]     bucket b = [o_b, o_b+1)
//   piece_entries  | bucket 0 | bucket 1 | ... |
//
// A lookup reads one contiguous run.  Inside a bucket the entries ascend by
// reference index and, within a reference, follow the kind order 0, 1, 4, 5,
// 6, 8, 9, 10, 11.
#include <cstdint>
#include <cstdlib>

#include "common.h"
#include "index/index_build.h"
#include "index/index_internal.h"

namespace velmora {

namespace {

// Room for the variants of a few references; a reference adds at most 32.
constexpr uint64_t DEL_BATCH = 128;

// Front insertion of the staged entries, oldest first: chains run from the
// newest entry to the oldest.
void index_deletion_push(vorn_index *index, const uint64_t *bucket, uint64_t staged) noexcept {
    for (uint64_t k = 0; k < staged; ++k) {
        const uint64_t e = index->del_count;
        index->del_next[e] = index->del_heads[bucket[k]];
        index->del_heads[bucket[k]] = e;
        index->del_count = e + 1;
    }
}

}  // namespace

bool index_deletion_table_build(vorn_index *index) noexcept {
    const uint64_t n = index->n_refs;
    size_t total = 0;
    for (uint64_t i = 0; i < n; ++i) {
        if (index->ref_encodable[i] && !checked_add(total, index->ref_lens[i], &total)) {
            return false;
        }
    }
    // Only empty references (or none) are encodable: no variant to store.
    if (total == 0) return true;

    uint64_t buckets;
    if (!index_table_size(total, &buckets)) return false;
    index->del_codes = static_cast<uint64_t *>(index_alloc_array(total, sizeof(uint64_t)));
    index->del_lens = static_cast<uint64_t *>(index_alloc_array(total, sizeof(uint64_t)));
    index->del_refs = static_cast<uint64_t *>(index_alloc_array(total, sizeof(uint64_t)));
    index->del_next = static_cast<uint64_t *>(index_alloc_array(total, sizeof(uint64_t)));
    index->del_heads = index_alloc_absent(buckets);
    if (index->del_codes == nullptr || index->del_lens == nullptr || index->del_refs == nullptr ||
        index->del_next == nullptr || index->del_heads == nullptr) {
        return false;
    }
    index->del_bucket_count = buckets;

    // Entries are staged a batch at a time so the bucket heads, scattered
    // over a table twice the entry count, are fetched while earlier ones are
    // still in flight; they are then pushed in the same order as one at a
    // time, so the chains come out identical.
    uint64_t staged_bucket[DEL_BATCH];
    uint64_t staged = 0;
    for (uint64_t i = 0; i < n; ++i) {
        if (!index->ref_encodable[i]) continue;
        const uint64_t len = index->ref_lens[i];
        const uint64_t code = index->ref_codes[i];
        for (uint64_t p = 0; p < len; ++p) {
            // At the last base of a 32-base code nothing moves down: the
            // helper gives 0 there instead of shifting by 64.
            const uint64_t variant = dna2_delete_base(code, p);
            const uint64_t e = index->del_count + staged;
            index->del_codes[e] = variant;
            index->del_lens[e] = len - 1;
            index->del_refs[e] = i;
            const uint64_t b = index_code_bucket(variant, len - 1, buckets);
            __builtin_prefetch(&index->del_heads[b], 1);
            staged_bucket[staged++] = b;
        }
        if (staged > DEL_BATCH - DNA2_MAX_LEN) {
            index_deletion_push(index, staged_bucket, staged);
            staged = 0;
        }
    }
    index_deletion_push(index, staged_bucket, staged);
    return true;
}

namespace {

constexpr uint64_t PIECES_PER_REF = 9;

struct piece_key {
    uint64_t code;
    uint64_t len;
    uint64_t kind;
};

// The nine pieces of a reference in the stored kind order 0, 1, 4, 5, 6, 8,
// 9, 10, 11 (halves, thirds, quarters).
void index_reference_pieces(uint64_t code, uint64_t len, piece_key out[PIECES_PER_REF]) noexcept {
    size_t k = 0;
    for (uint64_t m = 2; m <= 4; ++m) {
        for (uint64_t i = 0; i < m; ++i) {
            uint64_t start;
            uint64_t piece_len;
            index_piece_bounds(len, m, i, &start, &piece_len);
            out[k].code = dna2_extract(code, start, piece_len);
            out[k].len = piece_len;
            out[k].kind = index_piece_kind(m, i);
            ++k;
        }
    }
}

// The pieces of a few encodable references at a time, with their buckets.
constexpr uint64_t PIECE_STAGE_REFS = 8;

struct piece_stage {
    piece_key key[PIECE_STAGE_REFS * PIECES_PER_REF];
    uint64_t bucket[PIECE_STAGE_REFS * PIECES_PER_REF];
    uint64_t ref[PIECE_STAGE_REFS];
    uint64_t count;  // pieces staged, 9 per reference
};

// Stages the pieces of the next encodable references from position i on;
// returns the position to continue from.
uint64_t index_piece_stage_fill(const vorn_index *index, uint64_t i, piece_stage *stage) noexcept {
    const uint64_t n = index->n_refs;
    const uint64_t buckets = index->piece_bucket_count;
    uint64_t refs = 0;
    stage->count = 0;
    for (; i < n && refs < PIECE_STAGE_REFS; ++i) {
        if (!index->ref_encodable[i]) continue;
        piece_key *key = &stage->key[stage->count];
        index_reference_pieces(index->ref_codes[i], index->ref_lens[i], key);
        for (uint64_t k = 0; k < PIECES_PER_REF; ++k) {
            stage->bucket[stage->count + k] =
                index_piece_bucket(key[k].code, key[k].len, key[k].kind, buckets);
        }
        stage->ref[refs++] = i;
        stage->count += PIECES_PER_REF;
    }
    return i;
}

}  // namespace

bool index_piece_table_build(vorn_index *index) noexcept {
    const uint64_t n = index->n_refs;
    const uint64_t encodable = n - index->nonenc_count;
    if (encodable == 0) return true;
    size_t total;
    if (!checked_mul(encodable, PIECES_PER_REF, &total)) return false;
    uint64_t buckets;
    if (!index_table_size(total, &buckets)) return false;
    size_t offset_count;
    if (!checked_add(buckets, 1, &offset_count)) return false;
    index->piece_entries =
        static_cast<piece_entry *>(index_alloc_array(total, sizeof(piece_entry)));
    index->piece_offsets =
        static_cast<uint64_t *>(index_calloc_array(offset_count, sizeof(uint64_t)));
    if (index->piece_entries == nullptr || index->piece_offsets == nullptr) return false;
    index->piece_bucket_count = buckets;

    uint64_t *offsets = index->piece_offsets;
    piece_stage stage;

    // Counting pass: bucket b's size goes to offsets[b + 1], so the prefix
    // sums leave offsets[b] at the first position of bucket b.
    for (uint64_t i = 0; i < n;) {
        i = index_piece_stage_fill(index, i, &stage);
        for (uint64_t k = 0; k < stage.count; ++k) {
            __builtin_prefetch(&offsets[stage.bucket[k] + 1], 1);
        }
        for (uint64_t k = 0; k < stage.count; ++k) offsets[stage.bucket[k] + 1] += 1;
    }
    for (uint64_t j = 1; j <= buckets; ++j) offsets[j] += offsets[j - 1];

    // Fill pass over the same pieces in the same order: offsets[b] walks
    // forward through bucket b and ends at its end.  Each stage first fetches
    // its offsets, then claims positions in order and fetches the entries,
    // then writes them, so the cache misses of a stage overlap.
    uint64_t position[PIECE_STAGE_REFS * PIECES_PER_REF];
    for (uint64_t i = 0; i < n;) {
        i = index_piece_stage_fill(index, i, &stage);
        for (uint64_t k = 0; k < stage.count; ++k) __builtin_prefetch(&offsets[stage.bucket[k]], 1);
        for (uint64_t k = 0; k < stage.count; ++k) {
            position[k] = offsets[stage.bucket[k]];
            offsets[stage.bucket[k]] += 1;
            __builtin_prefetch(&index->piece_entries[position[k]], 1);
        }
        for (uint64_t k = 0; k < stage.count; ++k) {
            const uint64_t r = stage.ref[k / PIECES_PER_REF];
            piece_entry &e = index->piece_entries[position[k]];
            e.piece_code = stage.key[k].code;
            e.ref_code = index->ref_codes[r];
            e.ref_index = r;
            e.piece_len = static_cast<uint8_t>(stage.key[k].len);
            e.piece_kind = static_cast<uint8_t>(stage.key[k].kind);
            e.ref_len = static_cast<uint8_t>(index->ref_lens[r]);
        }
        index->piece_count += stage.count;
    }

    // Each offsets[b] now holds the end of bucket b, which is the start of
    // bucket b + 1: shift them up one place and start bucket 0 at 0.
    for (uint64_t j = buckets; j > 0; --j) offsets[j] = offsets[j - 1];
    offsets[0] = 0;
    index->piece_ready = 1;
    return true;
}

}  // namespace velmora
