// The key table, the deletion table and the piece tables: the build steps
// over the encodable references.  Every table is sized once from totals
// counted before any entry is written.
//
// Key tables: one slot per distinct (code, length), found by linear probing
// from the key's home slot.  Keys with several references get a group in
// key_groups (count, then the references from the highest index down), so a
// reader meets them in the same order whatever the table's shape.  The slots'
// reference words count a key's references while the groups are laid out,
// so the build needs no array beside the tables.
//
// Deletion table and piece tables: stable counting sorts into one flat array
// per table, grouped by bucket, with an offsets array:
//
//   offsets  [0, o1, o2, ..., count]     bucket b = [o_b, o_b+1)
//   entries  | bucket 0 | bucket 1 | ... |
//
// Deletion entries are written in (reference, position) order, so a reader
// walking a bucket backwards meets the newest entry first.
#include <cstdint>
#include <cstdlib>

#include "common.h"
#include "index/index_build.h"
#include "index/index_internal.h"

namespace velmora {
namespace {

// Slot holding the key word, or the free slot where it belongs: the first
// free one from its home bucket b on.
struct slot_at {
    key_bucket *bucket;
    size_t i;
    uint32_t &ref() const { return bucket->ref[i]; }
};

slot_at key_slot_from(const key_table *t, uint64_t b, uint64_t word) noexcept {
    for (;;) {
        key_bucket *k = &t->buckets[b];
        for (size_t i = 0; i < KEY_BUCKET_SLOTS; ++i) {
            if (k->ref[i] == KEY_EMPTY || k->word[i] == word) return slot_at{k, i};
        }
        b = b + 1 == t->count ? 0 : b + 1;
    }
}

// The keys of references [i, n) a stage at a time: each stage's home buckets
// are requested before any is read, so that their misses overlap, and the
// references still come in ascending order.
struct key_stage {
    static constexpr size_t SIZE = 32;
    const key_table *table[SIZE];
    uint64_t home[SIZE];
    uint64_t word[SIZE];
    uint32_t ref[SIZE];
    size_t count;
};

uint64_t key_stage_fill(const vorn_index *ix, const build_scratch *s, uint64_t i,
                        key_stage *st) noexcept {
    st->count = 0;
    for (; i < ix->n_refs && st->count < key_stage::SIZE; ++i) {
        const uint64_t len = s->lens[i];
        if (len == BUILD_NOT_ENCODABLE) continue;
        const key_table *t = index_key_table(ix, len);
        const size_t k = st->count++;
        st->table[k] = t;
        st->home[k] = index_key_home(t, index_key_hash(scratch_code(s, i), len));
        st->word[k] = index_key_word(scratch_code(s, i), len);
        st->ref[k] = static_cast<uint32_t>(i);
        index_key_prefetch(t, st->home[k]);
    }
    return i;
}

// Buckets for n keys: at most two thirds of the slots full, whatever n is
// (the home bucket is scaled, not masked, so the count need not be a power
// of two).  Over-allocated by a bucket less a byte so that every bucket sits
// in one cache line.
bool key_table_alloc(key_table *t, uint64_t n) noexcept {
    if (n == 0) return true;
    const uint64_t buckets = (n + n / 2) / KEY_BUCKET_SLOTS + 1;
    size_t bytes;
    if (!checked_mul(buckets, sizeof(key_bucket), &bytes) ||
        !checked_add(bytes, sizeof(key_bucket) - 1, &bytes)) {
        return false;
    }
    t->alloc = std::malloc(bytes);
    if (t->alloc == nullptr) return false;
    index_advise_huge(t->alloc, bytes);
    const uintptr_t at =
        (reinterpret_cast<uintptr_t>(t->alloc) + (sizeof(key_bucket) - 1)) & ~uintptr_t{63};
    t->buckets = reinterpret_cast<key_bucket *>(at);
    for (uint64_t b = 0; b < buckets; ++b) {
        key_bucket &k = t->buckets[b];
        for (size_t i = 0; i < KEY_BUCKET_SLOTS; ++i) {
            k.word[i] = 0;
            k.ref[i] = KEY_EMPTY;
        }
        k.unused = 0;
    }
    t->count = buckets;
    return true;
}

// The presence filter over the keys, about one byte per reference (each
// key's bits in one 64-byte block), and the lengths present.  Zero-filled,
// over-allocated by one block so that every block sits in one cache line.
bool index_filter_build(vorn_index *index, const build_scratch *s) noexcept {
    uint64_t blocks;
    if (!index_pow2_at_least(s->encodable / 64, &blocks)) return false;
    size_t bytes;
    if (!checked_mul(blocks + 1, INDEX_FILTER_BLOCK_WORDS * sizeof(uint64_t), &bytes)) {
        return false;
    }
    index->filter_alloc = std::calloc(1, bytes);
    if (index->filter_alloc == nullptr) return false;
    const uintptr_t at = (reinterpret_cast<uintptr_t>(index->filter_alloc) + 63) & ~uintptr_t{63};
    auto *filter = reinterpret_cast<uint64_t *>(at);
    index->filter = filter;
    index->filter_blocks = blocks;
    for (uint64_t i = 0; i < index->n_refs; ++i) {
        const uint64_t len = s->lens[i];
        if (len == BUILD_NOT_ENCODABLE) continue;
        const uint64_t h = index_key_hash(scratch_code(s, i), len);
        uint64_t *block = filter + INDEX_FILTER_BLOCK_WORDS * index_filter_block(h, blocks);
        for (uint32_t b = 0; b < INDEX_FILTER_BITS; ++b) {
            const uint64_t bit = index_filter_bit(h, b);
            block[bit >> 6] |= uint64_t{1} << (bit & 63);
        }
    }
    return true;
}

}  // namespace

bool index_key_table_build(vorn_index *index, const build_scratch *s) noexcept {
    const uint64_t n = index->n_refs;
    if (s->encodable == 0) return true;
    if (!index_filter_build(index, s)) return false;
    uint64_t long_keys = 0;
    for (uint64_t i = 0; i < n; ++i) long_keys += s->lens[i] == DNA2_MAX_LEN ? 1 : 0;
    if (!key_table_alloc(&index->keys, s->encodable - long_keys) ||
        !key_table_alloc(&index->keys32, long_keys)) {
        return false;
    }

    // Ascending insertion: a new key's slot holds its lowest reference; a
    // key met again holds KEY_MULTI and its count of references so far less
    // one (so that even 2^31 - 1 references of one key stay below KEY_EMPTY).
    key_stage st;
    for (uint64_t i = 0; i < n;) {
        i = key_stage_fill(index, s, i, &st);
        for (size_t j = 0; j < st.count; ++j) {
            const slot_at k = key_slot_from(st.table[j], st.home[j], st.word[j]);
            uint32_t &ref = k.ref();
            if (ref == KEY_EMPTY) {
                k.bucket->word[k.i] = st.word[j];
                ref = st.ref[j];
            } else if ((ref & KEY_MULTI) == 0) {
                ref = KEY_MULTI | 1;
            } else {
                ref += 1;
            }
        }
    }

    // Groups for the keys with several references: the count, then the
    // references, filled from the back while the references ascend.  A group
    // start must fit the 31 bits beside KEY_MULTI and stay below KEY_EMPTY.
    key_table *tables[2] = {&index->keys, &index->keys32};
    uint64_t group_len = 0;
    for (key_table *t : tables) {
        for (uint64_t b = 0; b < t->count; ++b) {
            for (const uint32_t r : t->buckets[b].ref) {
                if (r != KEY_EMPTY && (r & KEY_MULTI) != 0) group_len += uint64_t{r & ~KEY_MULTI} + 2;
            }
        }
    }
    if (group_len == 0) return true;
    if (group_len > SIZE_LIMIT) return false;
    index->key_groups = static_cast<uint32_t *>(index_alloc_array(group_len, sizeof(uint32_t)));
    if (index->key_groups == nullptr) return false;
    uint64_t at = 0;
    for (key_table *t : tables) {
        for (uint64_t b = 0; b < t->count; ++b) {
            for (uint32_t &r : t->buckets[b].ref) {
                if (r == KEY_EMPTY || (r & KEY_MULTI) == 0) continue;
                const uint32_t c = (r & ~KEY_MULTI) + 1;
                index->key_groups[at] = c;
                // Cursor: the last position of the group, which ends at its start.
                r = KEY_MULTI | static_cast<uint32_t>(at + c);
                at += uint64_t{c} + 1;
            }
        }
    }
    for (uint64_t i = 0; i < n;) {
        i = key_stage_fill(index, s, i, &st);
        for (size_t j = 0; j < st.count; ++j) {
            uint32_t &ref = key_slot_from(st.table[j], st.home[j], st.word[j]).ref();
            if ((ref & KEY_MULTI) == 0) continue;
            index->key_groups[ref & ~KEY_MULTI] = st.ref[j];
            ref -= 1;
        }
    }
    return true;
}

bool index_deletion_table_build(vorn_index *index, const build_scratch *s) noexcept {
    const uint64_t n = index->n_refs;
    size_t total = 0;
    for (uint64_t i = 0; i < n; ++i) {
        if (s->lens[i] != BUILD_NOT_ENCODABLE) total += s->lens[i];
    }
    // Only empty references (or none) are encodable: no variant to store.
    if (total == 0) return true;
    // A deletion lookup is one bucket per query, so buckets hold about 16
    // entries (two cache lines) and the offsets cost half a byte per entry.
    uint64_t buckets;
    if (!index_pow2_at_least(total / 16, &buckets)) return false;
    index->del_offsets = static_cast<uint64_t *>(index_calloc_array(buckets + 1, sizeof(uint64_t)));
    index->del_entries = static_cast<del_entry *>(index_alloc_array(total, sizeof(del_entry)));
    if (index->del_offsets == nullptr || index->del_entries == nullptr) return false;
    index->del_bucket_count = buckets;
    index->del_count = total;
    uint64_t *offsets = index->del_offsets;
    const uint64_t mask = buckets - 1;

    // Both passes hash a few references' variants at a time and request
    // their buckets before touching any, so the scattered misses overlap; the
    // entries are still placed in (reference, position) order.
    constexpr size_t STAGE = 256;
    uint64_t hash[STAGE];
    uint32_t ref[STAGE];
    uint8_t pos[STAGE];
    for (int pass = 0; pass < 2; ++pass) {
        uint64_t i = 0;
        while (i < n) {
            size_t staged = 0;
            for (; i < n && staged + DNA2_MAX_LEN <= STAGE; ++i) {
                const uint64_t len = s->lens[i];
                if (len == BUILD_NOT_ENCODABLE) continue;
                for (uint64_t p = 0; p < len; ++p, ++staged) {
                    hash[staged] = index_key_hash(dna2_delete_base(scratch_code(s, i), p), len - 1);
                    ref[staged] = static_cast<uint32_t>(i);
                    pos[staged] = static_cast<uint8_t>(p);
                    prefetch_for_write(&offsets[(hash[staged] & mask) + (pass == 0 ? 1 : 0)]);
                }
            }
            if (pass == 0) {
                for (size_t k = 0; k < staged; ++k) offsets[(hash[k] & mask) + 1] += 1;
                continue;
            }
            for (size_t k = 0; k < staged; ++k) {
                const uint32_t tag =
                    index_del_tag(index_del_fingerprint(hash[k]), s->lens[ref[k]], pos[k]);
                index->del_entries[offsets[hash[k] & mask]++] = del_entry{ref[k], tag};
            }
        }
        if (pass == 0) {
            for (uint64_t j = 1; j <= buckets; ++j) offsets[j] += offsets[j - 1];
        }
    }
    // Each offsets[b] now holds the end of bucket b: shift them up one place.
    for (uint64_t j = buckets; j > 0; --j) offsets[j] = offsets[j - 1];
    offsets[0] = 0;
    return true;
}

bool index_piece_tables_build(vorn_index *index, const build_scratch *s) noexcept {
    const uint64_t n = index->n_refs;
    if (s->encodable == 0) return true;
    for (uint64_t m = 2; m <= 4; ++m) {
        piece_table &t = index->pieces[m - 2];
        size_t total;
        if (!checked_mul(s->encodable, m, &total)) return false;
        // Buckets of about 8 entries: the scan is sequential, the offsets
        // cost one byte per entry.
        uint64_t buckets;
        if (!index_pow2_at_least(total / 8, &buckets)) return false;
        t.offsets = static_cast<uint64_t *>(index_calloc_array(buckets + 1, sizeof(uint64_t)));
        t.codes = static_cast<uint64_t *>(index_alloc_array(total, sizeof(uint64_t)));
        t.refs = static_cast<uint32_t *>(index_alloc_array(total, sizeof(uint32_t)));
        t.meta = static_cast<uint8_t *>(index_alloc_array(total, 1));
        if (t.offsets == nullptr || t.codes == nullptr || t.refs == nullptr || t.meta == nullptr) {
            return false;
        }
        t.bucket_count = buckets;
        t.count = total;
        for (int pass = 0; pass < 2; ++pass) {
            for (uint64_t i = 0; i < n; ++i) {
                const uint64_t len = s->lens[i];
                if (len == BUILD_NOT_ENCODABLE) continue;
                for (uint64_t j = 0; j < m; ++j) {
                    uint64_t range;
                    const uint64_t b = index_piece_bucket_of(scratch_code(s, i), len, m, j, buckets, &range);
                    if (pass == 0) {
                        t.offsets[b + 1] += 1;
                        continue;
                    }
                    const uint64_t at = t.offsets[b]++;
                    t.codes[at] = scratch_code(s, i);
                    t.refs[at] = static_cast<uint32_t>(i);
                    t.meta[at] = index_piece_meta(len, j);
                }
            }
            if (pass == 0) {
                for (uint64_t j = 1; j <= buckets; ++j) t.offsets[j] += t.offsets[j - 1];
            }
        }
        for (uint64_t j = buckets; j > 0; --j) t.offsets[j] = t.offsets[j - 1];
        t.offsets[0] = 0;
    }
    return true;
}

}  // namespace velmora
