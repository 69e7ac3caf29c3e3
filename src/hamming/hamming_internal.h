// Internal pieces of the Hamming (substitution-only) assignment: the bounded
// Hamming distance, the replacement search for queries with bytes other than
// A/C/G/T, and the routes, which run on the shared candidate pipeline
// (index/probe.h) so that vorn_index_hits can list what they find.
#ifndef VELMORA_SRC_HAMMING_INTERNAL_H
#define VELMORA_SRC_HAMMING_INTERNAL_H

#include <cstddef>
#include <cstdint>

#include "index/index_internal.h"
#include "index/probe.h"
#include "velmora.h"

namespace velmora {

inline constexpr int32_t HAMMING_MAX_K = 3;

// Bit 2i set for every position i < len (len <= 32): the low bit of each
// 2-bit symbol.  The 32-base value is written out, since building it from
// 4^32 - 1 would need a shift by 64.
static inline uint64_t hamming_symbol_mask(uint64_t len) noexcept {
    return len >= 32 ? 0x5555555555555555ull
                     : 0x1555555555555555ull & ((uint64_t{1} << (2 * len)) - 1);
}

// Positions at which two codes differ, given their exclusive-or and the
// symbol mask of their length: a symbol differs when either of its two bits
// does, so the high bit of each symbol is folded onto the low one.  A
// popcount: an instruction only in code built for a target that has one.
static inline uint32_t hamming_code_mismatches(uint64_t x, uint64_t symbols) noexcept {
    return static_cast<uint32_t>(__builtin_popcountll(((x >> 1) | x) & symbols));
}

// Probes every code within budget (0 to 3) substitutions of (code, len),
// each once, through the key table.
step hamming_probe_neighborhood(probe_sink *s, uint64_t code, size_t len,
                                    int32_t budget) noexcept;

// Replacement search of a query of at most 32 bytes with at most k unknown
// bytes: every replacement of the unknown bytes by bases, then every code
// within k - unknown substitutions of it.
step hamming_unknown_replacements(probe_sink *s, const query_facts &q) noexcept;

// What a scan of the piece table does with a reference within k
// substitutions: ref_code is its code, mismatches its distance.
// step::go_on, or a value that ends the scan and is returned.
typedef step (*piece_near_fn)(void *ctx, uint32_t ref, uint64_t ref_code,
                                 uint32_t mismatches) noexcept;

// Every encodable reference of length len within k (1 to 3) substitutions of
// (code, len), through the piece table of the k + 1 split (which the index
// must have): k substitutions leave one piece intact, so each such reference
// sits in the bucket of one of the query's pieces, whose entries carry the
// whole code.  Each is handed to near once, at the first piece it agrees on;
// *taken gets the number of entries taken up (each agrees with the query on
// a piece).  The scan is the Hamming route's own, vectorised where the
// machine allows.
step hamming_piece_neighbors(const vorn_index *index, uint64_t code, uint64_t len, int32_t k,
                             piece_near_fn near, void *ctx, uint64_t *taken) noexcept;

// The routes of a query of at most 32 bytes (k from 1 to 3): an A/C/G/T
// query through the piece table (or its neighborhood in the key table), a
// query with unknown bytes by the replacement search; then the non-encodable
// references of its length.  step::out_of_memory when the search could not
// finish.
step hamming_search_code(probe_sink *s, const query_facts &q) noexcept;
step hamming_search_unknown(probe_sink *s, const query_facts &q) noexcept;

// Requests what the piece stage of a later query (code, len) will read,
// without reading anything that is not yet in cache: its bucket offsets
// (step 0), or, once those have arrived, the first lines of its buckets
// (step 1).  A batch runs these a query or two ahead, so that a query's two
// dependent misses overlap the work on the ones before it.
void hamming_piece_warm(const vorn_index *index, uint64_t code, uint64_t len, int32_t k,
                        int step) noexcept;

}  // namespace velmora

#endif
