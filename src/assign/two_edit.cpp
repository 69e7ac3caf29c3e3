// Two-edit search of an encodable query (at most 32 bases, A/C/G/T only).
//
// The references to take are the encodable ones within two edits, in the
// order of a nested enumeration: the query's own key, then every one-edit
// variant v of it (substitutions, deletions, insertions), each followed by
// v's own one-edit variants; a reference comes at its key's first occurrence
// there, and the references of one key from the highest index down.  The
// status-only form stops part-way, so that order is part of the result.
//
// Walking the enumeration itself probes about 17,800 keys for 16 bases,
// three times as many as it has distinct keys, and nearly all of them absent.
// The references are found by the length they have instead, each length by
// its cheapest route, and only lengths some reference has are searched:
//   same length, substitutions   the piece table of thirds (two mismatches
//                                leave one third intact), or every code
//                                within two substitutions in the key table;
//   same length, indel pair      the references one base longer than a
//                                deletion variant (both lose one base to the
//                                same sequence);
//   one base shorter             each deletion variant and its substitution
//                                variants, in the key table;
//   two bases shorter            each two-deletion variant, in the key table;
//   one base longer              the references one base longer than the
//                                query or one of its substitution variants;
//   two bases longer             the references one base longer than an
//                                insertion variant.
// "One base longer than a key" is a deletion-table lookup under the key, or,
// in a build without that table, the key's insertion variants in the key
// table.  A full search takes the references found by position: its record,
// counters and hits do not depend on the order.  The status-only form stops
// part-way, so it orders them by their key's position in the enumeration,
// which keeps the point where it stops, and so its record and counters, the
// same as walking the enumeration would.
//
// References without a code (a unknown byte, or more than 32 bytes) are
// taken from the non-encodable list within a length window of 2.
#include <algorithm>

#include "assign/assign_internal.h"
#include "common.h"
#include "hamming/hamming_internal.h"
#include "inline_array.h"

namespace velmora {
namespace {

// ---- the references found ----------------------------------------------------

struct k2_found {
    uint64_t code;
    uint32_t ref;
    // The key's length in the low 6 bits; above them, once the order is
    // needed, the key's first position in the enumeration (below 2^18).
    uint32_t rank_len;
};

inline uint64_t k2_len(const k2_found &f) noexcept { return f.rank_len & 63; }

// A reference may be found by more than one route; a full list drops its
// repeats before it grows, so no query with up to 128 distinct candidates
// touches the heap, as the header promises.
struct k2_found_list {
    inline_array<k2_found, 256> items;
    bool failed = false;  // an append could not grow the list
    uint64_t len = 0;     // the query's length, for the piece scan's additions
};

// Drops repeated references (a reference can be found by several keys), so
// that a full list grows only when it holds that many distinct references.
void k2_found_compact(k2_found_list *l) noexcept {
    k2_found *items = l->items.data();
    std::sort(items, items + l->items.size(),
              [](const k2_found &a, const k2_found &b) noexcept { return a.ref < b.ref; });
    size_t kept = 0;
    for (size_t i = 0; i < l->items.size(); ++i) {
        if (kept == 0 || items[kept - 1].ref != items[i].ref) items[kept++] = items[i];
    }
    l->items.set_size(kept);
}

void k2_found_add(k2_found_list *l, uint32_t ref, uint64_t code, uint64_t len) noexcept {
    if (l->failed) return;
    if (l->items.size() == l->items.capacity()) k2_found_compact(l);
    if (!l->items.push(k2_found{code, ref, static_cast<uint32_t>(len)})) l->failed = true;
}

// ---- the references found through the key and deletion tables -----------------

// Collects what a table walk finds.  A reference within two substitutions of
// near (when given) is left out: the substitution route lists it already,
// and an exact match would otherwise come once per key.
struct k2_collector {
    k2_found_list *out;
    const uint64_t *near;
};

step k2_collect(void *ctx, uint32_t ref, uint64_t code, uint64_t len) noexcept {
    const k2_collector *c = static_cast<const k2_collector *>(ctx);
    if (c->near == nullptr || dna2_mismatches(code, *c->near) > 2) k2_found_add(c->out, ref, code, len);
    return step::go_on;
}

// Deleting p gives the same sequence as deleting p - 1 when both bases are
// equal; only the first base of each run is deleted.
inline bool k2_first_of_run(uint64_t code, uint64_t p) noexcept {
    return p == 0 || ((code >> (2 * p)) & 3) != ((code >> (2 * p - 2)) & 3);
}

// Each deletion variant and its substitution variants (one base shorter).
void k2_keys_deletion_substitution(key_batch *b, uint64_t code, uint64_t len) noexcept {
    for (uint64_t p = 0; p < len; ++p) {
        if (k2_first_of_run(code, p))
            (void)key_batch_add_substitutions(b, dna2_delete_base(code, p), len - 1, 1);
    }
}

// Each two-deletion variant (two bases shorter).
void k2_keys_two_deletions(key_batch *b, uint64_t code, uint64_t len) noexcept {
    for (uint64_t p = 0; p < len; ++p) {
        if (!k2_first_of_run(code, p)) continue;
        const uint64_t d = dna2_delete_base(code, p);
        for (uint64_t p2 = 0; p2 + 1 < len; ++p2) {
            if (k2_first_of_run(d, p2)) (void)key_batch_add(b, dna2_delete_base(d, p2), len - 2);
        }
    }
}

// ---- the references one base longer than a key ----------------------------------

// The most keys one call makes.  The references sought have a code, so at
// most 32 bases: one longer than a query of at most 31 (the query and its
// 3 * 31 substitution variants), or two longer than one of at most 30 (4 + 3
// * 30 insertion variants, a run's repeats left out).
constexpr size_t K2_LONGER_KEYS = 1 + 3 * (DNA2_MAX_LEN - 1);

// The deletion-table keys under which the references within two edits of
// (code, n) that are `grow` (0 to 2) bases longer sit, all of length
// n + grow - 1: for 0 the query's deletion variants (the indel pairs), for 1
// the query and its substitution variants, for 2 its insertion variants.
// Returns their number (at most K2_LONGER_KEYS).
size_t k2_longer_keys(uint64_t code, uint64_t n, int grow,
                      uint64_t (&keys)[K2_LONGER_KEYS]) noexcept {
    size_t nkeys = 0;
    // The count above leaves no key out; the check keeps a wrong count from
    // writing past the array.
    auto put = [&](uint64_t key) noexcept {
        if (nkeys < K2_LONGER_KEYS) keys[nkeys++] = key;
    };
    if (grow == 0) {
        for (uint64_t p = 0; p < n; ++p) {
            if (k2_first_of_run(code, p)) put(dna2_delete_base(code, p));
        }
    } else if (grow == 1) {
        put(code);
        for (uint64_t p = 0; p < n; ++p) {
            for (uint64_t x = 1; x < 4; ++x) put(code ^ (x << (2 * p)));
        }
    } else {
        // Inserting b before p repeats inserting it before p - 1 when base
        // p - 1 is b; only the first of such a run is kept.
        for (uint64_t p = 0; p <= n; ++p) {
            for (uint64_t b = 0; b < 4; ++b) {
                if (p > 0 && ((code >> (2 * p - 2)) & 3) == b) continue;
                put(dna2_insert_base(code, p, b));
            }
        }
    }
    return nkeys;
}

// ---- the same-length substitutions through the piece table --------------------

step k2_add_substituted(void *ctx, uint32_t ref, uint64_t ref_code, uint32_t) noexcept {
    k2_found_list *out = static_cast<k2_found_list *>(ctx);
    k2_found_add(out, ref, ref_code, out->len);
    return step::go_on;
}

// ---- the order of the enumeration ---------------------------------------------

constexpr uint64_t K2_NOWHERE = UINT64_MAX;
// Room for one first-level variant's list: itself and at most 8 * 33 variants
// (a rank stays below 2^18: at most 1 + 8 * 33 first-level variants).
constexpr uint64_t K2_LEVEL_STRIDE = 512;

// Position of (r, rl) in the list of v: v itself (0), then its one-edit
// variants in the order of edit_one_keys, repeats included; K2_NOWHERE when
// absent.
uint64_t k2_position_around(uint64_t v, uint64_t vl, uint64_t r, uint64_t rl) noexcept {
    if (rl == vl) {
        const uint32_t m = dna2_mismatches(v, r);
        if (m == 0) return 0;
        if (m != 1) return K2_NOWHERE;
        const uint64_t p = static_cast<uint64_t>(__builtin_ctzll(v ^ r)) / 2;
        const uint64_t here = (v >> (2 * p)) & 3;
        const uint64_t b = (r >> (2 * p)) & 3;
        return 1 + 3 * p + (b > here ? b - 1 : b);
    }
    if (rl + 1 == vl) {
        if (!dna2_one_deletion(v, r, rl)) return K2_NOWHERE;
        for (uint64_t p = 0; p < vl; ++p) {
            if (dna2_delete_base(v, p) == r) return 1 + 3 * vl + p;
        }
        return K2_NOWHERE;
    }
    if (rl == vl + 1 && vl < DNA2_MAX_LEN) {
        if (!dna2_one_deletion(r, v, vl)) return K2_NOWHERE;
        for (uint64_t p = 0; p <= vl; ++p) {
            for (uint64_t b = 0; b < 4; ++b) {
                if (dna2_insert_base(v, p, b) == r) return 1 + 4 * vl + 4 * p + b;
            }
        }
    }
    return K2_NOWHERE;
}

inline bool k2_within_one(uint64_t a, uint64_t b) noexcept { return a + 1 >= b && b + 1 >= a; }

// First position of the key (r, rl) in the nested enumeration of (q, n):
// first-level variant index times K2_LEVEL_STRIDE plus the position in its
// list.  Only the order of two ranks matters.
uint64_t k2_rank(uint64_t q, uint64_t n, uint64_t r, uint64_t rl) noexcept {
    if (rl == n && r == q) return 0;
    uint64_t level = 1;
    if (k2_within_one(rl, n)) {
        for (uint64_t p = 0; p < n; ++p) {
            const uint64_t here = (q >> (2 * p)) & 3;
            for (uint64_t b = 0; b < 4; ++b) {
                if (b == here) continue;
                const uint64_t at = k2_position_around(dna2_with_base(q, p, b), n, r, rl);
                if (at != K2_NOWHERE) return level * K2_LEVEL_STRIDE + at;
                ++level;
            }
        }
    } else {
        level += 3 * n;
    }
    if (n > 0 && k2_within_one(rl, n - 1)) {
        for (uint64_t p = 0; p < n; ++p) {
            const uint64_t at = k2_position_around(dna2_delete_base(q, p), n - 1, r, rl);
            if (at != K2_NOWHERE) return level * K2_LEVEL_STRIDE + at;
            ++level;
        }
    } else {
        level += n;
    }
    if (n < DNA2_MAX_LEN && k2_within_one(rl, n + 1)) {
        for (uint64_t p = 0; p <= n; ++p) {
            for (uint64_t b = 0; b < 4; ++b) {
                const uint64_t at = k2_position_around(dna2_insert_base(q, p, b), n + 1, r, rl);
                if (at != K2_NOWHERE) return level * K2_LEVEL_STRIDE + at;
                ++level;
            }
        }
    }
    VELMORA_ASSERT(false);  // every key found is within two edits
    return K2_NOWHERE;
}

// ---- the search ----------------------------------------------------------------

inline bool k2_has_length(const vorn_index *ix, uint64_t n, int64_t delta) noexcept {
    const int64_t l = static_cast<int64_t>(n) + delta;
    return l >= 0 && index_has_length(ix, static_cast<uint64_t>(l));
}

}  // namespace

void edit_warm_two(const vorn_index *ix, const query_facts &q) noexcept {
    if (ix->del_bucket_count == 0) return;  // no keys, or no deletion table
    uint64_t keys[K2_LONGER_KEYS];
    const uint64_t mask = ix->del_bucket_count - 1;
    for (int grow = 0; grow <= 2; ++grow) {
        if (!k2_has_length(ix, q.len, grow) || (grow == 0 && q.len == 0)) continue;
        const size_t nkeys = k2_longer_keys(q.code, q.len, grow, keys);
        const uint64_t key_len = q.len + static_cast<uint64_t>(grow) - 1;
        for (size_t i = 0; i < nkeys; ++i)
            prefetch(&ix->del_offsets[index_key_hash(keys[i], key_len) & mask]);
    }
}

step edit_search_two(probe_sink *s, const query_facts &q) noexcept {
    const vorn_index *ix = s->index;
    const uint64_t code = q.code;
    const uint64_t n = q.len;
    // No encodable reference: only the non-encodable ones are left.
    if (!index_has_keys(ix)) return probe_nonencodable(s, 2, true);
    k2_found_list found;
    k2_collector all{&found, nullptr};
    key_batch batch;
    key_batch_start(&batch, ix, k2_collect, &all);
    uint64_t keys[K2_LONGER_KEYS];

    if (k2_has_length(ix, n, 0)) {
        if ((ix->flags & VORN_INDEX_NO_PIECES) == 0) {
            found.len = n;
            uint64_t taken = 0;
            hamming_piece_neighbors(ix, code, n, 2, k2_add_substituted, &found, &taken);
        } else {
            (void)key_batch_add_substitutions(&batch, code, n, 2);
            (void)key_batch_flush(&batch);
        }
    }
    if (n >= 1 && k2_has_length(ix, n, -1)) {
        k2_keys_deletion_substitution(&batch, code, n);
        (void)key_batch_flush(&batch);
    }
    if (n >= 2 && k2_has_length(ix, n, -2)) {
        k2_keys_two_deletions(&batch, code, n);
        (void)key_batch_flush(&batch);
    }
    // The references as long as the query (an indel pair), one and two bases
    // longer, each one base longer than one of its keys.
    for (int grow = 0; grow <= 2; ++grow) {
        if (!k2_has_length(ix, n, grow) || (grow == 0 && n == 0)) continue;
        const size_t nkeys = k2_longer_keys(code, n, grow, keys);
        k2_collector c{&found, grow == 0 ? &code : nullptr};
        (void)index_longer_references(ix, keys, nkeys, n + static_cast<uint64_t>(grow) - 1,
                                      k2_collect, &c);
    }
    if (found.failed) return step::out_of_memory;

    // In the enumeration's order; a reference found twice is taken once.
    // Only the status-only form, which may stop part-way, needs that order:
    // a full search gives the same record, counters and hits in any order,
    // so it takes the references by position.
    if (!s->stop_when_ambiguous) {
        k2_found_compact(&found);
        for (size_t i = 0; i < found.items.size(); ++i) {
            const k2_found &f = found.items[i];
            const step r = probe_take_code(s, f.ref, f.code, k2_len(f));
            if (r != step::go_on) return r;
        }
        return probe_nonencodable(s, 2, true);
    }
    k2_found *items = found.items.data();
    const size_t count = found.items.size();
    if (count > 1) {
        for (size_t i = 0; i < count; ++i) {
            const uint64_t len = k2_len(items[i]);
            const bool same_key = i > 0 && items[i - 1].code == items[i].code &&
                                  k2_len(items[i - 1]) == len;
            items[i].rank_len = same_key ? items[i - 1].rank_len
                                         : static_cast<uint32_t>(
                                               k2_rank(code, n, items[i].code, len) << 6 | len);
        }
        // One rank is one key, so equal ranks hold equal lengths.
        std::sort(items, items + count, [](const k2_found &a, const k2_found &b) noexcept {
            return a.rank_len != b.rank_len ? a.rank_len < b.rank_len : a.ref > b.ref;
        });
    }
    for (size_t i = 0; i < count; ++i) {
        if (i > 0 && items[i - 1].ref == items[i].ref) continue;
        const step r = probe_take_code(s, items[i].ref, items[i].code, k2_len(items[i]));
        if (r != step::go_on) return r;
    }
    return probe_nonencodable(s, 2, true);
}

}  // namespace velmora
