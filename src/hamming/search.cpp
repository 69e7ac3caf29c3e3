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
// Whatever the route, the record is the one brute force would give.  The
// route table (search/search.h) picks between them.
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

// ---- the bucket scan ----------------------------------------------------------
//
// One loop for every target, over a lane policy: a step tests `width`
// consecutive entries of a bucket and returns, as bit masks, the entries it
// takes up (they agree with the query on piece j and on no earlier piece,
// where they were taken up already) and, among those, the ones within k.
// The loop counts the first and applies the second in bucket order; the last
// entries of a bucket that do not fill a step go one at a time.  It is
// instantiated once per target and the instantiation for the machine is
// chosen once.

// One entry per step, on any machine.
struct piece_lanes_one {
    static constexpr uint64_t width = 1;
    __attribute__((always_inline)) static uint32_t taken(
        const piece_table *t, const piece_probe *probes, uint64_t j, uint64_t e, uint64_t code,
        uint64_t symbols, int32_t k, uint32_t *near) noexcept {
        const uint64_t x = t->codes[e] ^ code;
        if (t->meta[e] != probes[j].meta || (x & probes[j].range) != 0) return 0;
        bool taken_earlier = false;
        for (uint64_t jj = 0; jj < j; ++jj) taken_earlier |= (x & probes[jj].range) == 0;
        if (taken_earlier) return 0;
        *near = hamming_code_mismatches(x, symbols) <= static_cast<uint32_t>(k) ? 1 : 0;
        return 1;
    }
};

#if defined(__x86_64__)
#define VELMORA_TARGET_AVX512 __attribute__((target("popcnt,avx512f")))

// Eight entries per step on 512-bit vectors.  Not forced inline: it can be
// inlined only into code built for the same target, which its instantiation
// below does (flatten).
struct piece_lanes_avx512 {
    static constexpr uint64_t width = 8;
    VELMORA_TARGET_AVX512 static uint32_t taken(const piece_table *t, const piece_probe *probes,
                                                uint64_t j, uint64_t e, uint64_t code,
                                                uint64_t symbols, int32_t k,
                                                uint32_t *near) noexcept {
        const __m512i x = _mm512_xor_si512(_mm512_loadu_si512(t->codes + e),
                                           _mm512_set1_epi64(static_cast<long long>(code)));
        uint64_t meta_bytes;
        std::memcpy(&meta_bytes, t->meta + e, 8);
        // The zero-masking forms: the plain ones start from an undefined
        // vector, which the compiler warns about.
        const __m512i entry_meta = _mm512_maskz_cvtepu8_epi64(
            0xFF, _mm_cvtsi64_si128(static_cast<long long>(meta_bytes)));
        const __m512i range = _mm512_set1_epi64(static_cast<long long>(probes[j].range));
        const __m512i meta = _mm512_set1_epi64(static_cast<long long>(probes[j].meta));
        __mmask8 m = static_cast<__mmask8>(_mm512_testn_epi64_mask(x, range) &
                                           _mm512_cmpeq_epi64_mask(entry_meta, meta));
        for (uint64_t jj = 0; jj < j; ++jj) {
            const __m512i earlier = _mm512_set1_epi64(static_cast<long long>(probes[jj].range));
            m = static_cast<__mmask8>(m & ~_mm512_testn_epi64_mask(x, earlier));
        }
        if (m == 0) return 0;
        // Within k: clearing the lowest set symbol bit k times leaves 0.
        const __m512i one = _mm512_set1_epi64(1);
        __m512i y = _mm512_and_si512(_mm512_or_si512(_mm512_maskz_srli_epi64(0xFF, x, 1), x),
                                     _mm512_set1_epi64(static_cast<long long>(symbols)));
        for (int32_t c = 0; c < k; ++c) y = _mm512_and_si512(y, _mm512_sub_epi64(y, one));
        *near = static_cast<uint32_t>(m & _mm512_testn_epi64_mask(y, y));
        return m;
    }
};
#endif

// Where the entries within k go: a sink's record and hits, or the caller's
// list of references found (hamming_piece_neighbors).
struct piece_consumer {
    piece_near_fn near;
    void *ctx;
};

// One step at entry e of piece j's bucket; the first result of the consumer
// that is not step::go_on.
template <class Lanes>
__attribute__((always_inline)) inline step hamming_piece_step(
    const piece_consumer &c, const piece_table *t, const piece_probe *probes, uint64_t j,
    uint64_t e, uint64_t code, uint64_t symbols, int32_t k, uint64_t *measured) noexcept {
    uint32_t near = 0;
    const uint32_t taken = Lanes::taken(t, probes, j, e, code, symbols, k, &near);
    if (taken == 0) return step::go_on;
    *measured += Lanes::width == 1 ? 1 : static_cast<uint64_t>(__builtin_popcount(taken));
    while (near != 0) {
        const uint64_t lane = Lanes::width == 1 ? 0 : static_cast<uint64_t>(__builtin_ctz(near));
        near &= near - 1;
        const uint64_t ref_code = t->codes[e + lane];
        const uint32_t d = hamming_code_mismatches(ref_code ^ code, symbols);
        const step r = c.near(c.ctx, t->refs[e + lane], ref_code, d);
        if (r != step::go_on) return r;
    }
    return step::go_on;
}

// *measured gets the entries taken up (each agrees with the query on a piece).
template <class Lanes>
__attribute__((always_inline)) inline step hamming_piece_scan_with(
    const piece_consumer &c, const piece_table *t, const piece_probe *probes, uint64_t pieces,
    uint64_t code, uint64_t len, int32_t k, uint64_t *measured) noexcept {
    const uint64_t symbols = hamming_symbol_mask(len);
    // Counted locally: an increment through a pointer per entry would chain
    // every entry on a store and a reload.
    uint64_t taken = 0;
    step r = step::go_on;
    for (uint64_t j = 0; j < pieces && r == step::go_on; ++j) {
        const uint64_t last = probes[j].last;
        uint64_t e = probes[j].first;
        for (; last - e >= Lanes::width && r == step::go_on; e += Lanes::width) {
            r = hamming_piece_step<Lanes>(c, t, probes, j, e, code, symbols, k, &taken);
        }
        if constexpr (Lanes::width > 1) {
            for (; e < last && r == step::go_on; ++e) {
                r = hamming_piece_step<piece_lanes_one>(c, t, probes, j, e, code, symbols, k,
                                                        &taken);
            }
        }
    }
    *measured = taken;
    return r;
}

// The instantiations: without popcnt (a libgcc call, so that the library
// still runs everywhere), with it, and with 512-bit vectors.  flatten pulls
// every helper into the instantiation, built for its target.
typedef step (*hamming_piece_scan_fn)(const piece_consumer &c, const piece_table *t,
                                         const piece_probe *probes, uint64_t pieces,
                                         uint64_t code, uint64_t len, int32_t k,
                                         uint64_t *measured) noexcept;

__attribute__((flatten)) step hamming_piece_scan_baseline(
    const piece_consumer &c, const piece_table *t, const piece_probe *probes, uint64_t pieces,
    uint64_t code, uint64_t len, int32_t k, uint64_t *measured) noexcept {
    return hamming_piece_scan_with<piece_lanes_one>(c, t, probes, pieces, code, len, k, measured);
}

#if defined(__x86_64__)
__attribute__((target("popcnt"), flatten)) step hamming_piece_scan_popcnt(
    const piece_consumer &c, const piece_table *t, const piece_probe *probes, uint64_t pieces,
    uint64_t code, uint64_t len, int32_t k, uint64_t *measured) noexcept {
    return hamming_piece_scan_with<piece_lanes_one>(c, t, probes, pieces, code, len, k, measured);
}

VELMORA_TARGET_AVX512 __attribute__((flatten)) step hamming_piece_scan_avx512(
    const piece_consumer &c, const piece_table *t, const piece_probe *probes, uint64_t pieces,
    uint64_t code, uint64_t len, int32_t k, uint64_t *measured) noexcept {
    return hamming_piece_scan_with<piece_lanes_avx512>(c, t, probes, pieces, code, len, k,
                                                       measured);
}
#endif

// The one choice of instantiation, popcnt and vectors alike.  A runtime
// check rather than an ifunc (target_clones): an ifunc resolver runs while
// the library is being relocated, before a sanitizer runtime is up, and
// crashes instrumented builds.
hamming_piece_scan_fn hamming_piece_scan_select() noexcept {
#if defined(__x86_64__)
    __builtin_cpu_init();
    if (__builtin_cpu_supports("popcnt") != 0) {
        return __builtin_cpu_supports("avx512f") != 0 ? hamming_piece_scan_avx512
                                                      : hamming_piece_scan_popcnt;
    }
#endif
    return hamming_piece_scan_baseline;
}

step hamming_piece_scan(const piece_consumer &c, const piece_table *t,
                           const piece_probe *probes, uint64_t pieces, uint64_t code,
                           uint64_t len, int32_t k, uint64_t *measured) noexcept {
    static const hamming_piece_scan_fn scan = hamming_piece_scan_select();
    return scan(c, t, probes, pieces, code, len, k, measured);
}

}  // namespace

// Nothing is recorded or counted.
void hamming_piece_warm(const vorn_index *ix, uint64_t code, uint64_t len, int32_t k,
                        int step) noexcept {
    if (k < 1 || len > DNA2_MAX_LEN || (ix->flags & VORN_INDEX_NO_PIECES) != 0) return;
    const uint64_t pieces = static_cast<uint64_t>(k) + 1;
    const piece_table *t = &ix->pieces[pieces - 2];
    if (t->count == 0) return;
    for (uint64_t j = 0; j < pieces; ++j) {
        uint64_t range;
        const uint64_t b = index_piece_bucket_of(code, len, pieces, j, t->bucket_count, &range);
        if (step == 0) {
            prefetch(&t->offsets[b]);
        } else {
            prefetch(&t->codes[t->offsets[b]]);
            prefetch(&t->meta[t->offsets[b]]);
            prefetch(&t->refs[t->offsets[b]]);
        }
    }
}

namespace {

// The buckets of the k + 1 pieces of (code, len) in table t, the split's.
// The bucket offsets and then the first entries of all pieces are
// prefetched before any bucket is read, so their misses overlap.  Returns
// the number of pieces.
uint64_t hamming_piece_probes(const piece_table *t, uint64_t code, uint64_t len, int32_t k,
                              piece_probe *probes) noexcept {
    const uint64_t pieces = static_cast<uint64_t>(k) + 1;
    for (uint64_t j = 0; j < pieces; ++j) {
        probes[j].meta = index_piece_meta(len, j);
        probes[j].first =
            index_piece_bucket_of(code, len, pieces, j, t->bucket_count, &probes[j].range);
        prefetch(&t->offsets[probes[j].first]);
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
            prefetch(&t->codes[e]);
        }
        prefetch(&t->meta[probes[j].first]);
    }
    return pieces;
}

step hamming_apply_near(void *ctx, uint32_t ref, uint64_t, uint32_t mismatches) noexcept {
    return probe_apply(static_cast<probe_sink *>(ctx), ref, mismatches);
}

}  // namespace

step hamming_piece_neighbors(const vorn_index *ix, uint64_t code, uint64_t len, int32_t k,
                             piece_near_fn near, void *ctx, uint64_t *taken) noexcept {
    const piece_table *t = &ix->pieces[k - 1];
    *taken = 0;
    if (t->count == 0) return step::go_on;
    piece_probe probes[HAMMING_MAX_K + 1];
    const uint64_t pieces = hamming_piece_probes(t, code, len, k, probes);
    return hamming_piece_scan(piece_consumer{near, ctx}, t, probes, pieces, code, len, k, taken);
}

step hamming_search_code(probe_sink *s, const query_facts &q) noexcept {
    const vorn_index *ix = s->index;
    // The piece tables hold encodable references only and the list only
    // the others, so no reference can be met twice.
    step r = step::go_on;
    if ((ix->flags & VORN_INDEX_NO_PIECES) == 0) {
        // Pigeonhole over the k + 1 pieces: every entry taken up is counted
        // as measured.
        uint64_t taken = 0;
        r = hamming_piece_neighbors(ix, q.code, q.len, s->k, hamming_apply_near, s, &taken);
        stats_count(s->stats, taken);
        if (r != step::go_on) r = step::out_of_memory;
    } else {
        r = hamming_probe_neighborhood(s, q.code, q.len, s->k);
    }
    if (r != step::go_on) return r;
    return probe_nonencodable(s, 0, false);
}

step hamming_search_unknown(probe_sink *s, const query_facts &q) noexcept {
    // More unknown bytes than k: every one of them mismatches an encodable
    // reference, so none can be within k and the search is skipped.
    if (q.unknown <= static_cast<uint32_t>(s->k) && hamming_unknown_replacements(s, q) != step::go_on)
        return step::out_of_memory;
    return probe_nonencodable(s, 0, true);
}

}  // namespace velmora
