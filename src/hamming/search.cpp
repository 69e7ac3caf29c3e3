// Substitution-only (Hamming) assignment through the index, k = 0 to 3.
//
// Only references of exactly the query's length can match.  Each query takes
// one route:
//   k = 0           the exact lookup (the key table, or the non-encodable scan);
//   encodable       pigeonhole over the piece table of the k + 1 split: k
//                   mismatches cannot touch all k + 1 disjoint pieces, so every
//                   reference within k agrees with the query on at least one
//                   piece.  Each entry carries the whole reference code, so a
//                   candidate is measured by XOR and bit count without reading
//                   its bytes, and it is taken up only at the first piece it
//                   agrees on, which needs no candidate set and no heap.  An
//                   index built without piece tables probes every code within
//                   k substitutions instead (same references, other counts);
//   unknown bytes   the replacement search over the key table, then the
//                   non-encodable references through one candidate set;
//   full scan       every reference of the query's length: queries over 32
//                   bytes, which no table covers, and the fallback when the
//                   candidate set cannot grow.  It needs no memory, so the
//                   function never fails once the arguments are accepted.
// Whatever the route, the record is the one brute force would give.
#include <cstddef>
#include <cstdint>
#include <cstring>

#if defined(__x86_64__)
#include <immintrin.h>
#endif

#include "hamming/hamming_internal.h"
#include "index/index_internal.h"
#include "match/match_record.h"
#include "velmora.h"

namespace velmora {
namespace {

struct piece_probe {
    uint64_t meta;
    uint64_t range;  // bit range of the piece in a code
    uint64_t first;
    uint64_t last;
};

// One bucket entry of piece j: counted when it agrees with the query on
// piece j and on no earlier piece (it was taken up there), applied when
// within k.  VISIT_OUT_OF_MEMORY when the hit list could not grow.
__attribute__((always_inline)) inline int32_t hamming_piece_entry(
    probe_sink *s, const piece_table *t, const piece_probe *probes, uint64_t j, uint64_t e,
    uint64_t code, uint64_t symbols, uint64_t *measured) noexcept {
    const uint64_t x = t->codes[e] ^ code;
    if (t->meta[e] != probes[j].meta || (x & probes[j].range) != 0) return VISIT_CONTINUE;
    bool taken_earlier = false;
    for (uint64_t jj = 0; jj < j; ++jj) taken_earlier |= (x & probes[jj].range) == 0;
    if (taken_earlier) return VISIT_CONTINUE;
    *measured += 1;
    const uint32_t d = static_cast<uint32_t>(__builtin_popcountll(((x >> 1) | x) & symbols));
    if (d <= static_cast<uint32_t>(s->k)) return probe_apply(s, t->refs[e], d);
    return VISIT_CONTINUE;
}

// Adds the entries measured to the counters (counted locally: an increment
// through the stats pointer per entry would chain every entry on a store
// and a reload).
inline int32_t hamming_piece_count(probe_sink *s, uint64_t measured, int32_t result) noexcept {
    if (s->stats != nullptr) {
        s->stats->candidates += measured;
        s->stats->verifications += measured;
    }
    return result;
}

// The bucket scans, written once and compiled twice: with the popcnt
// instruction where the machine has it, and without (a libgcc call) so the
// library still runs everywhere; a third, eight entries at a time, where
// the machine has 512-bit vectors.  The choice is a runtime check rather
// than an ifunc (target_clones): an ifunc resolver runs while the library is
// being relocated, before a sanitizer runtime is up, and crashes
// instrumented builds.
__attribute__((always_inline)) inline int32_t hamming_piece_scan_body(
    probe_sink *s, const piece_table *t, const piece_probe *probes, uint64_t pieces,
    uint64_t code) noexcept {
    const uint64_t symbols = hamming_symbol_mask(s->query_len);
    uint64_t measured = 0;
    for (uint64_t j = 0; j < pieces; ++j) {
        for (uint64_t e = probes[j].first; e < probes[j].last; ++e) {
            if (hamming_piece_entry(s, t, probes, j, e, code, symbols, &measured) !=
                VISIT_CONTINUE) {
                return hamming_piece_count(s, measured, VISIT_OUT_OF_MEMORY);
            }
        }
    }
    return hamming_piece_count(s, measured, VISIT_CONTINUE);
}

#if defined(__x86_64__)
__attribute__((target("popcnt"))) int32_t hamming_piece_scan_popcnt(
    probe_sink *s, const piece_table *t, const piece_probe *probes, uint64_t pieces,
    uint64_t code) noexcept {
    return hamming_piece_scan_body(s, t, probes, pieces, code);
}

// Eight entries per step: the same tests as hamming_piece_entry on vectors,
// then the entries within k applied one by one in bucket order; the last
// few entries of a bucket go through the entry test itself.
__attribute__((target("popcnt,avx512f"))) int32_t hamming_piece_scan_wide(
    probe_sink *s, const piece_table *t, const piece_probe *probes, uint64_t pieces,
    uint64_t code) noexcept {
    const uint64_t symbols = hamming_symbol_mask(s->query_len);
    const __m512i query = _mm512_set1_epi64(static_cast<long long>(code));
    const __m512i symbol_bits = _mm512_set1_epi64(static_cast<long long>(symbols));
    const __m512i one = _mm512_set1_epi64(1);
    uint64_t measured = 0;
    for (uint64_t j = 0; j < pieces; ++j) {
        const __m512i range = _mm512_set1_epi64(static_cast<long long>(probes[j].range));
        const __m512i meta = _mm512_set1_epi64(static_cast<long long>(probes[j].meta));
        uint64_t e = probes[j].first;
        for (; e + 8 <= probes[j].last; e += 8) {
            const __m512i x = _mm512_xor_si512(_mm512_loadu_si512(t->codes + e), query);
            uint64_t meta_bytes;
            std::memcpy(&meta_bytes, t->meta + e, 8);
            // The zero-masking forms: the plain ones start from an
            // undefined vector, which the compiler warns about.
            const __m512i entry_meta = _mm512_maskz_cvtepu8_epi64(
                0xFF, _mm_cvtsi64_si128(static_cast<long long>(meta_bytes)));
            __mmask8 m = static_cast<__mmask8>(_mm512_testn_epi64_mask(x, range) &
                                               _mm512_cmpeq_epi64_mask(entry_meta, meta));
            for (uint64_t jj = 0; jj < j; ++jj) {
                const __m512i earlier = _mm512_set1_epi64(static_cast<long long>(probes[jj].range));
                m = static_cast<__mmask8>(m & ~_mm512_testn_epi64_mask(x, earlier));
            }
            if (m == 0) continue;
            measured += static_cast<uint64_t>(__builtin_popcount(m));
            // Within k: clearing the lowest set symbol bit k times leaves 0.
            __m512i y = _mm512_and_si512(_mm512_or_si512(_mm512_maskz_srli_epi64(0xFF, x, 1), x), symbol_bits);
            for (int32_t c = 0; c < s->k; ++c) y = _mm512_and_si512(y, _mm512_sub_epi64(y, one));
            uint32_t near = static_cast<uint32_t>(m & _mm512_testn_epi64_mask(y, y));
            while (near != 0) {
                const uint64_t lane = static_cast<uint64_t>(__builtin_ctz(near));
                near &= near - 1;
                const uint64_t xe = t->codes[e + lane] ^ code;
                const uint32_t d =
                    static_cast<uint32_t>(__builtin_popcountll(((xe >> 1) | xe) & symbols));
                if (probe_apply(s, t->refs[e + lane], d) != VISIT_CONTINUE) {
                    return hamming_piece_count(s, measured, VISIT_OUT_OF_MEMORY);
                }
            }
        }
        for (; e < probes[j].last; ++e) {
            if (hamming_piece_entry(s, t, probes, j, e, code, symbols, &measured) !=
                VISIT_CONTINUE) {
                return hamming_piece_count(s, measured, VISIT_OUT_OF_MEMORY);
            }
        }
    }
    return hamming_piece_count(s, measured, VISIT_CONTINUE);
}

// 0: neither instruction set, 1: popcnt, 2: popcnt and 512-bit vectors.
int cpu_scan_level() noexcept {
    __builtin_cpu_init();
    if (__builtin_cpu_supports("popcnt") == 0) return 0;
    return __builtin_cpu_supports("avx512f") != 0 ? 2 : 1;
}
#endif

int32_t hamming_piece_scan(probe_sink *s, const piece_table *t, const piece_probe *probes,
                           uint64_t pieces, uint64_t code) noexcept {
#if defined(__x86_64__)
    static const int level = cpu_scan_level();
    if (level == 2) return hamming_piece_scan_wide(s, t, probes, pieces, code);
    if (level == 1) return hamming_piece_scan_popcnt(s, t, probes, pieces, code);
#endif
    return hamming_piece_scan_body(s, t, probes, pieces, code);
}

// Requests what the piece stage of a later query will read, without reading
// anything that is not yet in cache: its bucket offsets (step 0), or, once
// those have arrived, the first lines of its buckets (step 1).  A batch runs
// these a query or two ahead, so that a query's two dependent misses overlap
// the work on the ones before it.  Nothing is recorded or counted.
void hamming_piece_warm(const vorn_index *ix, const uint8_t *query, size_t len, int32_t k,
                        int step) noexcept {
    uint64_t code = 0;
    if (k < 1 || len > DNA2_MAX_LEN || (ix->flags & VORN_INDEX_NO_PIECES) != 0) return;
    if (query == nullptr || !dna2_code(query, len, &code)) return;
    const uint64_t pieces = static_cast<uint64_t>(k) + 1;
    const piece_table *t = &ix->pieces[pieces - 2];
    if (t->count == 0) return;
    for (uint64_t j = 0; j < pieces; ++j) {
        uint64_t start = 0;
        uint64_t piece_len = 0;
        index_piece_bounds(len, pieces, j, &start, &piece_len);
        const uint64_t b = index_piece_bucket(dna2_extract(code, start, piece_len), piece_len,
                                              index_piece_kind(pieces, j), t->bucket_count);
        if (step == 0) {
            __builtin_prefetch(&t->offsets[b]);
        } else {
            __builtin_prefetch(&t->codes[t->offsets[b]]);
            __builtin_prefetch(&t->meta[t->offsets[b]]);
            __builtin_prefetch(&t->refs[t->offsets[b]]);
        }
    }
}

// Pigeonhole stage of the encodable route: probes the k + 1 pieces of the
// query code.  The bucket offsets and then the first entries of all pieces
// are prefetched before any bucket is read, so their misses overlap.
int32_t hamming_piece_stage(probe_sink *s, uint64_t code) noexcept {
    const uint64_t len = s->query_len;
    const uint64_t pieces = static_cast<uint64_t>(s->k) + 1;
    const piece_table *t = &s->index->pieces[pieces - 2];
    piece_probe probes[HAMMING_MAX_K + 1];
    for (uint64_t j = 0; j < pieces; ++j) {
        uint64_t start = 0;
        uint64_t piece_len = 0;
        index_piece_bounds(len, pieces, j, &start, &piece_len);
        probes[j].meta = index_piece_meta(len, j);
        // A zero-length piece has an empty range: everyone agrees on it.
        probes[j].range = piece_len == 0 ? 0 : dna2_mask(piece_len) << (2 * start);
        probes[j].first = index_piece_bucket(dna2_extract(code, start, piece_len), piece_len,
                                             index_piece_kind(pieces, j), t->bucket_count);
        __builtin_prefetch(&t->offsets[probes[j].first]);
    }
    for (uint64_t j = 0; j < pieces; ++j) {
        probes[j].last = t->offsets[probes[j].first + 1];
        probes[j].first = t->offsets[probes[j].first];
        // A bucket spans a few lines of codes and one of lengths: request
        // the first four, not just one, so their misses overlap too (the
        // hardware streams a longer bucket on its own).
        const uint64_t ahead = probes[j].first + 32 < probes[j].last ? probes[j].first + 32
                                                                     : probes[j].last;
        for (uint64_t e = probes[j].first; e < ahead; e += 8) {
            __builtin_prefetch(&t->codes[e]);
        }
        __builtin_prefetch(&t->meta[probes[j].first]);
    }
    return hamming_piece_scan(s, t, probes, pieces, code);
}

}  // namespace

int32_t hamming_search(probe_sink *s) noexcept {
    const vorn_index *ix = s->index;
    const size_t len = s->query_len;
    uint64_t code = 0;
    // The empty query (possibly a null pointer) is encodable with code 0.
    if (len == 0 || dna2_code(s->query, len, &code)) {
        // The piece tables hold encodable references only and the list only
        // the others, so no reference can be met twice.
        int32_t r = VISIT_CONTINUE;
        if ((ix->flags & VORN_INDEX_NO_PIECES) == 0) {
            if (ix->pieces[0].count != 0) r = hamming_piece_stage(s, code);
        } else {
            r = hamming_probe_neighborhood(s, code, len, s->k);
        }
        if (r != VISIT_CONTINUE) return r;
        return probe_nonencodable(s, 0, false);
    }

    uint64_t positions[HAMMING_MAX_K] = {0, 0, 0};
    uint64_t unknown_count = 0;
    for (size_t i = 0; i < len; ++i) {
        if (dna2_is_base(s->query[i])) continue;
        if (unknown_count < HAMMING_MAX_K) positions[unknown_count] = i;
        unknown_count += 1;
    }
    // More unknown bytes than k: every one of them mismatches an encodable
    // reference, so none can be within k and the search is skipped.
    if (unknown_count <= static_cast<uint64_t>(s->k) &&
        hamming_unknown_replacements(s, positions, unknown_count) != VISIT_CONTINUE) {
        return VISIT_OUT_OF_MEMORY;
    }
    return probe_nonencodable(s, 0, true);
}

int32_t hamming_full_scan(probe_sink *s) noexcept {
    const vorn_index *ix = s->index;
    for (uint64_t r = 0; r < ix->n_refs; ++r) {
        if (index_ref_len(ix, r) != s->query_len) continue;
        if (probe_measure(s, r) != VISIT_CONTINUE) return VISIT_OUT_OF_MEMORY;
    }
    return VISIT_CONTINUE;
}

namespace {

void hamming_assign_one(const vorn_index *index, const uint8_t *query, size_t len, int32_t k,
                        vorn_match *result, vorn_stats *stats) noexcept {
    if (query == nullptr && len != 0) {
        match_reset_invalid(result);
        return;
    }
    if (index->n_refs == 0) {
        match_reset(result, VORN_STATUS_NONE);
        return;
    }
    if (k == 0) {
        index_assign_exact_one_impl(index, query, len, result, stats, dna2_code, 0);
        return;
    }
    probe_sink sink;
    probe_sink *s = &sink;
    probe_sink_start(s, index, query, len, k, PROBE_HAMMING, result, stats, 0, nullptr);
    if (len > DNA2_MAX_LEN || hamming_search(s) != VISIT_CONTINUE) {
        // Whatever a declined route applied is discarded (its counters are
        // not rolled back); the scan needs no memory.
        probe_sink_start(s, index, query, len, k, PROBE_HAMMING, result, stats, 0, nullptr);
        hamming_full_scan(s);
    }
    match_finish(result, s->best_count);
}

}  // namespace
}  // namespace velmora

extern "C" VORN_API int32_t vorn_index_assign_hamming_stats(
    const vorn_index *index, const uint8_t *const *queries, const size_t *query_lens,
    size_t n_queries, int32_t k, vorn_match *results, vorn_stats *stats) VORN_NOEXCEPT {
    // Compared unsigned, so every negative k is rejected as well.
    if (static_cast<uint32_t>(k) > static_cast<uint32_t>(velmora::HAMMING_MAX_K)) return -1;
    if (index == nullptr || results == nullptr) return -1;
    if (n_queries > 0 && (queries == nullptr || query_lens == nullptr)) return -1;

    if (stats != nullptr) {
        stats->candidates = 0;
        stats->verifications = 0;
    }
    for (size_t i = 0; i < n_queries; ++i) {
        if (i + 2 < n_queries) {
            velmora::hamming_piece_warm(index, queries[i + 2], query_lens[i + 2], k, 0);
        }
        if (i + 1 < n_queries) {
            velmora::hamming_piece_warm(index, queries[i + 1], query_lens[i + 1], k, 1);
        }
        velmora::hamming_assign_one(index, queries[i], query_lens[i], k, &results[i], stats);
    }
    return 0;
}
