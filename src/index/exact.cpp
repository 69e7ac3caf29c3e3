// Exact lookup: which references are identical to a query.
//
// An encodable query is answered by one probe run of the key table, which
// holds the references of each (code, length) with their number: duplicates
// are counted, never walked, and no reference byte is read.  Any other query
// is compared with the non-encodable references of its length, in ascending
// order, so the first hit is the lowest index.
//
// The case-ignoring lookups fold a-z to A-Z on both sides.  A folded query
// that encodes can equal upper-case references (in the exact table) and also
// references spelled with lower-case letters (non-encodable, in the list),
// so it consults both; the byte-exact lookups never need the list for an
// encodable query, because a reference identical to it is itself encodable.
//
// Both counters grow together: by the slot's count on a table hit, and by 1
// per listed reference of the query's length, before it is compared.
#include <cstdint>

#include "common.h"
#include "index/index_internal.h"
#include "index/probe.h"
#include "match/match_record.h"
#include "velmora.h"

namespace velmora {
namespace {

inline uint8_t ascii_upper(uint8_t b) noexcept {
    return (b >= 'a' && b <= 'z') ? static_cast<uint8_t>(b - ('a' - 'A')) : b;
}

bool bytes_equal_folded(const uint8_t *a, const uint8_t *b, size_t len) noexcept {
    for (size_t i = 0; i < len; ++i) {
        if (ascii_upper(a[i]) != ascii_upper(b[i])) return false;
    }
    return true;
}

// Adds the hits among the non-encodable references of length len to the
// record's best_index and hit_count.
void index_scan_nonencodable(const vorn_index *index, const uint8_t *query, size_t len,
                             vorn_match *result, vorn_stats *stats, uint32_t fold_case) noexcept {
    const uint64_t count = index->nonenc_count;
    for (uint64_t k = 0; k < count; ++k) {
        const uint64_t j = index->nonenc_refs[k];
        if (index_ref_len(index, j) != len) continue;
        stats_count(stats, 1);
        // A non-encodable reference means the index keeps the arena.
        const uint8_t *ref = index_ref_bytes(index, j, nullptr);
        const bool equal =
            fold_case ? bytes_equal_folded(ref, query, len) : bytes_equal(ref, query, len);
        // Every hit is at distance 0: the count at the best is the hit count.
        int32_t at_best = 0;
        if (equal) match_apply_hit(result, static_cast<uint32_t>(j), 0, &at_best);
    }
}


// The lookup once the record is reset and the index known not to be empty;
// inlined into every entry point below.
// slot: the query's reference word in the key table, or null (an encodable
// query whose key the table does not hold, or a query without a code).
__attribute__((always_inline)) inline void exact_apply(const vorn_index *index,
                                                       const uint8_t *query, size_t len,
                                                       bool encoded, const uint32_t *slot,
                                                       vorn_match *result, vorn_stats *stats,
                                                       uint32_t fold_case) noexcept {
    if (encoded) {
        if (slot != nullptr) {
            uint32_t n = 0;
            const uint32_t *refs = index_key_refs(index, slot, &n);
            stats_count(stats, n);
            // The references run from the highest index down.
            result->best_index = refs[n - 1];
            result->best_distance = 0;
            result->hit_count = static_cast<uint32_t>(n);
        }
        // Byte-exact: a reference identical to an encodable query is itself
        // encodable, so the table alone decides.
        if (!fold_case) {
            match_finish(result, static_cast<int32_t>(result->hit_count));
            return;
        }
    }
    // Every hit is at distance 0, so the number of hits is the number at the
    // best distance.
    index_scan_nonencodable(index, query, len, result, stats, fold_case);
    match_finish(result, static_cast<int32_t>(result->hit_count));
}

// The whole lookup of one query whose code the caller holds (encoded says
// whether the query's encoder accepted it).
__attribute__((always_inline)) inline void exact_one(const vorn_index *index,
                                                     const uint8_t *query, size_t len,
                                                     bool encoded, uint64_t code,
                                                     vorn_match *result, vorn_stats *stats,
                                                     uint32_t fold_case) noexcept {
    match_reset(result, VORN_STATUS_NONE);
    if (index->n_refs == 0) return;
    const key_table *t = index_key_table(index, len);
    const uint32_t *slot = encoded && t->count != 0
                               ? index_key_find_from(t, index_key_home(t, index_key_hash(code, len)),
                                                     index_key_word(code, len))
                               : nullptr;
    exact_apply(index, query, len, encoded, slot, result, stats, fold_case);
}


// The two lookups differ in how a query is encoded and whether the list of
// references without a code is consulted for an encodable query.
struct exact_kind {
    dna2_code_fn code;
    uint32_t fold_case;
};

constexpr exact_kind EXACT_STRICT{dna2_code, 0};
constexpr exact_kind EXACT_FOLDED{dna2_code_ascii_upper, 1};

int32_t index_lookup_exact_single(const vorn_index *index, const uint8_t *query, size_t len,
                                  vorn_match *result, vorn_stats *stats,
                                  exact_kind kind) noexcept {
    if (index == nullptr || result == nullptr) return -1;
    stats_clear(stats);
    if (query == nullptr && len != 0) {
        match_reset_invalid(result);
        return 0;
    }
    uint64_t code = 0;
    const bool encoded = kind.code(query, len, &code) != 0;
    exact_one(index, query, len, encoded, code, result, stats, kind.fold_case);
    return 0;
}

// A query of the batch with its key, worked out a few queries ahead: the
// table and home bucket the lookup reads first, and the key word.
struct coded_query {
    const key_table *table;
    uint64_t home;
    uint64_t word;
    bool encoded;
};

// Each lookup waits on one cache miss; encoding the queries EXACT_AHEAD ahead
// and requesting their buckets then lets those misses overlap.
constexpr size_t EXACT_AHEAD = 8;

int32_t index_lookup_exact_batch(const vorn_index *index, const uint8_t *const *queries,
                                 const size_t *query_lens, size_t n_queries,
                                 vorn_match *results, vorn_stats *stats,
                                 exact_kind kind) noexcept {
    if (index == nullptr) return -1;
    if (n_queries != 0 && (queries == nullptr || query_lens == nullptr || results == nullptr)) {
        return -1;
    }
    stats_clear(stats);
    coded_query ahead[EXACT_AHEAD];
    const auto encode = [&](size_t i) noexcept {
        coded_query &c = ahead[i % EXACT_AHEAD];
        uint64_t code = 0;
        const size_t len = query_lens[i];
        c.encoded = (queries[i] != nullptr || len == 0) && kind.code(queries[i], len, &code) != 0;
        if (!c.encoded) return;
        c.table = index_key_table(index, len);
        c.word = index_key_word(code, len);
        if (c.table->count == 0) return;
        c.home = index_key_home(c.table, index_key_hash(code, len));
        index_key_prefetch(c.table, c.home);
    };
    for (size_t i = 0; i < n_queries && i < EXACT_AHEAD; ++i) encode(i);
    for (size_t i = 0; i < n_queries; ++i) {
        const coded_query c = ahead[i % EXACT_AHEAD];
        if (i + EXACT_AHEAD < n_queries) encode(i + EXACT_AHEAD);
        if (queries[i] == nullptr && query_lens[i] != 0) {
            match_reset_invalid(&results[i]);
            continue;
        }
        match_reset(&results[i], VORN_STATUS_NONE);
        if (index->n_refs == 0) continue;
        const uint32_t *slot = c.encoded && c.table->count != 0
                                   ? index_key_find_from(c.table, c.home, c.word)
                                   : nullptr;
        exact_apply(index, queries[i], query_lens[i], c.encoded, slot, &results[i], stats,
                    kind.fold_case);
    }
    return 0;
}

}  // namespace

void index_exact_record(const vorn_index *index, const query_facts &q, vorn_match *result,
                        vorn_stats *stats) noexcept {
    exact_one(index, q.bytes, q.len, q.encodable, q.code, result, stats, 0);
}

}  // namespace velmora

using namespace velmora;

extern "C" VORN_API int32_t vorn_index_lookup_exact_stats(const vorn_index *index,
                                                          const uint8_t *query, size_t query_len,
                                                          vorn_match *result,
                                                          vorn_stats *stats) VORN_NOEXCEPT {
    return index_lookup_exact_single(index, query, query_len, result, stats,
                                     EXACT_STRICT);
}

extern "C" VORN_API int32_t vorn_index_lookup_exact_ascii_stats(const vorn_index *index,
                                                                const uint8_t *query,
                                                                size_t query_len,
                                                                vorn_match *result,
                                                                vorn_stats *stats) VORN_NOEXCEPT {
    return index_lookup_exact_single(index, query, query_len, result, stats,
                                     EXACT_FOLDED);
}

extern "C" VORN_API int32_t vorn_index_lookup_exact_many_stats(
    const vorn_index *index, const uint8_t *const *queries, const size_t *query_lens,
    size_t n_queries, vorn_match *results, vorn_stats *stats) VORN_NOEXCEPT {
    return index_lookup_exact_batch(index, queries, query_lens, n_queries, results, stats,
                                    EXACT_STRICT);
}

extern "C" VORN_API int32_t vorn_index_lookup_exact_ascii_many_stats(
    const vorn_index *index, const uint8_t *const *queries, const size_t *query_lens,
    size_t n_queries, vorn_match *results, vorn_stats *stats) VORN_NOEXCEPT {
    return index_lookup_exact_batch(index, queries, query_lens, n_queries, results, stats,
                                    EXACT_FOLDED);
}
