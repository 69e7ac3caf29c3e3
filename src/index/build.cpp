// Building and releasing the reference index.
//
// The build encodes every reference that fits a 2-bit code.  When all of
// them do, the codes (and the lengths, unless they are all one) are the
// index's only copy of the references; otherwise it copies every reference
// into one arena (its bytes and a zero byte) and lists the non-encodable
// ones in nonenc_refs.  Then it builds the key tables and, unless the caller
// left them out, the deletion table and the piece tables over the encodable
// ones.
//
// The record starts zero-filled and every array is stored in it the moment
// it is allocated, so any failure, anywhere, is `vorn_index_free(partial);
// return nullptr;`: the free function skips what is still null.  What the
// index does not keep of the per-reference codes and lengths lives only
// during the build.
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "common.h"
#include "index/index_build.h"
#include "index/index_internal.h"
#include "velmora.h"

namespace velmora {
namespace {

// The references as the caller hands them: a pointer and a length each, or
// one block of references of one length, back to back.
struct ref_source {
    const uint8_t *const *ptrs;
    const size_t *lens;
    const uint8_t *block;
    size_t block_len;

    const uint8_t *at(size_t i) const noexcept {
        if (ptrs != nullptr) return ptrs[i];
        return block_len == 0 ? block : block + i * block_len;
    }
    size_t len(size_t i) const noexcept { return ptrs != nullptr ? lens[i] : block_len; }
};

// Arena size: every reference plus its zero byte.  false on a null pointer
// with a nonzero length or a size that would wrap.
bool index_arena_size(const ref_source &refs, size_t n, size_t *total) noexcept {
    size_t sum = 0;
    for (size_t i = 0; i < n; ++i) {
        if (refs.at(i) == nullptr && refs.len(i) != 0) return false;
        if (!checked_add(sum, refs.len(i), &sum) || !checked_add(sum, 1, &sum)) return false;
    }
    *total = sum;
    return true;
}

// Encodes every reference it can: code and length in the scratch, or
// BUILD_NOT_ENCODABLE.
void index_encode_references(vorn_index *index, const ref_source &refs, build_scratch *s) noexcept {
    for (size_t i = 0; i < index->n_refs; ++i) {
        const size_t len = refs.len(i);
        uint64_t code = 0;
        if (dna2_code(refs.at(i), len, &code)) {
            if (s->codes16 != nullptr) s->codes16[i] = static_cast<uint32_t>(code);
            else s->codes[i] = code;
            s->lens[i] = static_cast<uint8_t>(len);
            s->encodable += 1;
            index->enc_lengths |= uint64_t{1} << len;
        } else {
            if (s->codes16 != nullptr) s->codes16[i] = 0;
            else s->codes[i] = 0;
            s->lens[i] = BUILD_NOT_ENCODABLE;
        }
    }
    index->nonenc_count = index->n_refs - s->encodable;
}

// The arena and the list of non-encodable references, for an index that
// needs them.
bool index_copy_references(vorn_index *index, const ref_source &refs, size_t arena_bytes,
                           const build_scratch *s) noexcept {
    const size_t n = index->n_refs;
    index->ref_offsets = static_cast<uint64_t *>(index_alloc_array(n + 1, sizeof(uint64_t)));
    index->arena = static_cast<uint8_t *>(index_alloc_array(arena_bytes, 1));
    index->nonenc_refs =
        static_cast<uint32_t *>(index_alloc_array(index->nonenc_count, sizeof(uint32_t)));
    if (index->ref_offsets == nullptr || index->arena == nullptr || index->nonenc_refs == nullptr)
        return false;
    uint64_t at = 0;
    uint64_t k = 0;
    for (size_t i = 0; i < n; ++i) {
        const size_t len = refs.len(i);
        index->ref_offsets[i] = at;
        uint8_t *copy = index->arena + at;
        if (len != 0) std::memcpy(copy, refs.at(i), len);
        copy[len] = 0;
        at += len + 1;
        if (s->lens[i] == BUILD_NOT_ENCODABLE) index->nonenc_refs[k++] = static_cast<uint32_t>(i);
    }
    index->ref_offsets[n] = at;
    return true;
}

// Hands the scratch's codes of the encodable references to the index:
// four bytes each when no reference passes 16 bytes, eight otherwise.
void index_keep_codes(vorn_index *index, uint64_t **own_codes, uint32_t **own_codes16) noexcept {
    index->ref_codes16 = *own_codes16;
    *own_codes16 = nullptr;
    if (index->ref_codes16 != nullptr) return;
    index->ref_codes = *own_codes;
    *own_codes = nullptr;
}

// Keeps the codes (and the lengths, unless every reference has the first
// one's) as the references of an index without an arena; the scratch still
// reads them.
void index_keep_references(vorn_index *index, build_scratch *s, uint64_t **own_codes,
                           uint32_t **own_codes16, uint8_t **own_lens) noexcept {
    index_keep_codes(index, own_codes, own_codes16);
    const uint8_t first = s->lens[0];
    for (uint64_t i = 1; i < index->n_refs; ++i) {
        if (s->lens[i] != first) {
            index->ref_lens = *own_lens;
            *own_lens = nullptr;
            return;
        }
    }
    index->uniform_len = first;
}

struct scratch_scope {
    build_scratch s{nullptr, nullptr, nullptr, 0};
    uint64_t *codes = nullptr;  // what the scope still owns of s
    uint32_t *codes16 = nullptr;
    uint8_t *lens = nullptr;
    ~scratch_scope() {
        std::free(codes);
        std::free(codes16);
        std::free(lens);
    }
};

// refs is checked: no null array where references are read.
vorn_index *index_build(const ref_source &refs, size_t n_refs, uint32_t flags) noexcept {
    if (n_refs == 0) {
        // The empty index: every pointer null, every count 0.
        auto *empty = static_cast<vorn_index *>(std::calloc(1, sizeof(vorn_index)));
        if (empty != nullptr) empty->flags = flags;
        return empty;
    }
    // Reference positions travel in 32-bit record fields read as signed.
    if (n_refs > SIZE_LIMIT) return nullptr;
    size_t arena_bytes;
    if (!index_arena_size(refs, n_refs, &arena_bytes)) return nullptr;

    auto *index = static_cast<vorn_index *>(std::calloc(1, sizeof(vorn_index)));
    if (index == nullptr) return nullptr;
    index->n_refs = n_refs;
    index->flags = flags;
    // Codes of at most 16 bases take four bytes: on a list of millions the
    // scratch is a good part of the build's peak.
    bool narrow = true;
    for (size_t i = 0; i < n_refs && narrow; ++i) narrow = refs.len(i) <= 16;
    scratch_scope scratch;
    if (narrow) scratch.codes16 = static_cast<uint32_t *>(index_alloc_array(n_refs, sizeof(uint32_t)));
    else scratch.codes = static_cast<uint64_t *>(index_alloc_array(n_refs, sizeof(uint64_t)));
    scratch.lens = static_cast<uint8_t *>(index_alloc_array(n_refs, 1));
    scratch.s.codes = scratch.codes;
    scratch.s.codes16 = scratch.codes16;
    scratch.s.lens = scratch.lens;
    bool ok = (scratch.codes != nullptr || scratch.codes16 != nullptr) && scratch.lens != nullptr;
    if (ok) {
        index_encode_references(index, refs, &scratch.s);
        if (index->nonenc_count == 0) {
            index_keep_references(index, &scratch.s, &scratch.codes, &scratch.codes16,
                                  &scratch.lens);
        } else {
            ok = index_copy_references(index, refs, arena_bytes, &scratch.s);
        }
    }
    ok = ok && index_key_table_build(index, &scratch.s) &&
         ((flags & VORN_INDEX_NO_DELETION) != 0 || index_deletion_table_build(index, &scratch.s)) &&
         ((flags & VORN_INDEX_NO_PIECES) != 0 || index_piece_tables_build(index, &scratch.s));
    // The deletion table confirms its matches against the reference codes.
    if (ok && (flags & VORN_INDEX_NO_DELETION) == 0 && !index_has_codes(index))
        index_keep_codes(index, &scratch.codes, &scratch.codes16);
    if (!ok) {
        vorn_index_free(index);
        return nullptr;
    }
    return index;
}

constexpr uint32_t KNOWN_FLAGS = VORN_INDEX_NO_DELETION | VORN_INDEX_NO_PIECES;

vorn_index *index_build_listed(const uint8_t *const *refs, const size_t *ref_lens, size_t n_refs,
                               uint32_t flags) noexcept {
    if ((flags & ~KNOWN_FLAGS) != 0) return nullptr;
    if (n_refs != 0 && (refs == nullptr || ref_lens == nullptr)) return nullptr;
    return index_build(ref_source{refs, ref_lens, nullptr, 0}, n_refs, flags);
}

}  // namespace
}  // namespace velmora

extern "C" VORN_API vorn_index *vorn_index_build(const uint8_t *const *refs,
                                                 const size_t *ref_lens,
                                                 size_t n_refs) VORN_NOEXCEPT {
    return velmora::index_build_listed(refs, ref_lens, n_refs, VORN_INDEX_ALL);
}

extern "C" VORN_API vorn_index *vorn_index_build_opts(const uint8_t *const *refs,
                                                      const size_t *ref_lens, size_t n_refs,
                                                      uint32_t flags) VORN_NOEXCEPT {
    return velmora::index_build_listed(refs, ref_lens, n_refs, flags);
}

extern "C" VORN_API vorn_index *vorn_index_build_block(const uint8_t *refs, size_t ref_len,
                                                       size_t n_refs,
                                                       uint32_t flags) VORN_NOEXCEPT {
    using velmora::KNOWN_FLAGS;
    if ((flags & ~KNOWN_FLAGS) != 0) return nullptr;
    size_t bytes;
    if (!velmora::checked_mul(ref_len, n_refs, &bytes)) return nullptr;
    if (n_refs != 0 && refs == nullptr && ref_len != 0) return nullptr;
    return velmora::index_build(velmora::ref_source{nullptr, nullptr, refs, ref_len}, n_refs,
                                flags);
}

extern "C" VORN_API void vorn_index_free(vorn_index *index) VORN_NOEXCEPT {
    if (index == nullptr) return;
    std::free(index->arena);
    std::free(index->ref_offsets);
    std::free(index->ref_lens);
    std::free(index->nonenc_refs);
    std::free(index->keys.alloc);
    std::free(index->keys32.alloc);
    std::free(index->filter_alloc);
    std::free(index->key_groups);
    std::free(index->del_entries);
    std::free(index->ref_codes);
    std::free(index->ref_codes16);
    std::free(index->del_offsets);
    for (auto &t : index->pieces) {
        std::free(t.offsets);
        std::free(t.codes);
        std::free(t.refs);
        std::free(t.meta);
    }
    std::free(index);
}
