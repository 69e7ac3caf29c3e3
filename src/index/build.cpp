// Building and releasing the reference index.
//
// The build copies every reference (length + 1 bytes, the last one zero),
// encodes the ones that fit a 2-bit code, threads them into the code table
// and counts them in the exact table, lists the others in nonenc_refs, and
// finally builds the deletion and piece tables over the encodable ones.
//
// The record starts zero-filled and every array is stored in it the moment
// it is allocated, so any failure, anywhere, is `vorn_index_free(partial);
// return nullptr;`: the free function skips what is still null, including
// the reference copies not made yet.
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "common.h"
#include "index/index_build.h"
#include "index/index_internal.h"
#include "velmora.h"

namespace velmora {

uint64_t *index_alloc_absent(size_t count) noexcept {
    auto *p = static_cast<uint64_t *>(index_alloc_array(count, sizeof(uint64_t)));
    if (p != nullptr && count != 0) std::memset(p, 0xFF, count * sizeof(uint64_t));
    return p;
}

void index_exact_table_insert(vorn_index *index, uint64_t code, uint64_t len,
                              uint64_t ref_index) noexcept {
    const uint64_t slots = index->exact_slot_count;
    if (slots == 0) return;
    // Fewer keys than half the slots, so the probe always ends.
    uint64_t slot = index_exact_home_slot(code, len, slots);
    for (;;) {
        if (index->exact_first[slot] == INDEX_NONE) {
            index->exact_codes[slot] = code;
            index->exact_lens[slot] = len;
            index->exact_first[slot] = ref_index;
            index->exact_counts[slot] = 1;
            return;
        }
        if (index->exact_codes[slot] == code && index->exact_lens[slot] == len) {
            if (ref_index < index->exact_first[slot]) index->exact_first[slot] = ref_index;
            index->exact_counts[slot] += 1;
            return;
        }
        slot = (slot + 1) & (slots - 1);
    }
}

namespace {

// Record, per-reference arrays, code table and exact table; everything is
// stored in the index as soon as it exists.
bool index_alloc_core(vorn_index *index, size_t n) noexcept {
    uint64_t buckets;
    if (!index_table_size(n, &buckets)) return false;
    index->code_bucket_count = buckets;
    index->exact_slot_count = buckets;

    index->ref_seqs = static_cast<uint8_t **>(index_calloc_array(n, sizeof(uint8_t *)));
    index->ref_lens = static_cast<size_t *>(index_calloc_array(n, sizeof(size_t)));
    index->ref_codes = static_cast<uint64_t *>(index_calloc_array(n, sizeof(uint64_t)));
    index->ref_encodable = static_cast<uint8_t *>(index_calloc_array(n, 1));
    index->code_heads = index_alloc_absent(buckets);
    index->code_next = index_alloc_absent(n);
    index->nonenc_refs = static_cast<uint64_t *>(index_alloc_array(n, sizeof(uint64_t)));
    if (index->ref_seqs == nullptr || index->ref_lens == nullptr || index->ref_codes == nullptr ||
        index->ref_encodable == nullptr || index->code_heads == nullptr ||
        index->code_next == nullptr || index->nonenc_refs == nullptr) {
        return false;
    }

    index->exact_codes = static_cast<uint64_t *>(index_calloc_array(buckets, sizeof(uint64_t)));
    index->exact_lens = static_cast<uint64_t *>(index_calloc_array(buckets, sizeof(uint64_t)));
    index->exact_counts = static_cast<uint64_t *>(index_calloc_array(buckets, sizeof(uint64_t)));
    index->exact_first = index_alloc_absent(buckets);
    return index->exact_codes != nullptr && index->exact_lens != nullptr &&
           index->exact_counts != nullptr && index->exact_first != nullptr;
}

// Copies reference i and files it under the code table and exact table, or
// under the non-encodable list.  false on a null pointer with a nonzero
// length, an impossible length or a failed allocation.
bool index_add_reference(vorn_index *index, size_t i, const uint8_t *src, size_t len) noexcept {
    if (src == nullptr && len != 0) return false;
    size_t bytes;
    if (!checked_add(len, 1, &bytes)) return false;
    auto *copy = static_cast<uint8_t *>(std::malloc(bytes));
    if (copy == nullptr) return false;
    if (len != 0) std::memcpy(copy, src, len);
    copy[len] = 0;
    index->ref_seqs[i] = copy;
    index->ref_lens[i] = len;

    uint64_t code = 0;
    if (dna2_code(copy, len, &code)) {
        index->ref_codes[i] = code;
        index->ref_encodable[i] = 1;
        // Pushing at the front while i ascends leaves every chain running
        // from the highest reference index down.
        const uint64_t b = index_code_bucket(code, len, index->code_bucket_count);
        index->code_next[i] = index->code_heads[b];
        index->code_heads[b] = i;
        index_exact_table_insert(index, code, len, i);
    } else {
        index->ref_encodable[i] = 0;
        index->nonenc_refs[index->nonenc_count] = i;
        index->nonenc_count += 1;
    }
    return true;
}

}  // namespace

}  // namespace velmora

using velmora::INDEX_MAX_REFS;

extern "C" VORN_API vorn_index *vorn_index_build(const uint8_t *const *refs,
                                                 const size_t *ref_lens,
                                                 size_t n_refs) VORN_NOEXCEPT {
    if (n_refs == 0) {
        // The empty index: every pointer null, every count 0.
        return static_cast<vorn_index *>(std::calloc(1, sizeof(vorn_index)));
    }
    if (refs == nullptr || ref_lens == nullptr) return nullptr;
    // Reference positions travel in 32-bit record fields read as signed.
    if (n_refs > INDEX_MAX_REFS) return nullptr;

    auto *index = static_cast<vorn_index *>(std::calloc(1, sizeof(vorn_index)));
    if (index == nullptr) return nullptr;
    index->n_refs = n_refs;
    if (!velmora::index_alloc_core(index, n_refs)) {
        vorn_index_free(index);
        return nullptr;
    }
    for (size_t i = 0; i < n_refs; ++i) {
        if (!velmora::index_add_reference(index, i, refs[i], ref_lens[i])) {
            vorn_index_free(index);
            return nullptr;
        }
    }
    if (index->nonenc_count < n_refs) {
        if (!velmora::index_deletion_table_build(index) ||
            !velmora::index_piece_table_build(index)) {
            vorn_index_free(index);
            return nullptr;
        }
    }
    return index;
}

extern "C" VORN_API void vorn_index_free(vorn_index *index) VORN_NOEXCEPT {
    if (index == nullptr) return;
    if (index->ref_seqs != nullptr) {
        for (uint64_t i = 0; i < index->n_refs; ++i) std::free(index->ref_seqs[i]);
    }
    std::free(index->ref_seqs);
    std::free(index->ref_lens);
    std::free(index->ref_codes);
    std::free(index->ref_encodable);
    std::free(index->code_heads);
    std::free(index->code_next);
    std::free(index->exact_codes);
    std::free(index->exact_lens);
    std::free(index->exact_first);
    std::free(index->exact_counts);
    std::free(index->del_codes);
    std::free(index->del_lens);
    std::free(index->del_refs);
    std::free(index->del_heads);
    std::free(index->del_next);
    std::free(index->piece_entries);
    std::free(index->piece_offsets);
    std::free(index->nonenc_refs);
    std::free(index);
}

extern "C" VORN_API vorn_index *vorn_index_build_opts(const uint8_t *const *refs,
                                                      const size_t *ref_lens, size_t n_refs,
                                                      uint32_t flags) VORN_NOEXCEPT {
    constexpr uint32_t known = VORN_INDEX_NO_DELETION | VORN_INDEX_NO_PIECES;
    if ((flags & ~known) != 0) return nullptr;
    // Every table is built for now; the flags only promise what may be left out.
    return vorn_index_build(refs, ref_lens, n_refs);
}
