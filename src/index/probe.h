// The candidate pipeline every index path runs through, edit and Hamming
// alike: a path lists probe keys, the pipeline fetches their key-table slots
// together, walks the references of each key in order, skips the ones the
// query already met, measures each new one with the path's bounded test
// (edit or Hamming distance) and folds the hit into the record, and into the
// hit list when the caller is listing hits.  It stops early once the
// status-only form has its answer.
//
// Return protocol of every step: VISIT_CONTINUE, VISIT_STOP (the status-only
// search is settled) or VISIT_OUT_OF_MEMORY (the candidate set or the hit
// list could not grow; the path declines).
#ifndef VELMORA_SRC_INDEX_PROBE_H
#define VELMORA_SRC_INDEX_PROBE_H

#include <cstddef>
#include <cstdint>

#include "index/candidate_set.h"
#include "index/index_internal.h"
#include "inline_array.h"
#include "velmora.h"

namespace velmora {

inline constexpr int32_t VISIT_CONTINUE = 0;
inline constexpr int32_t VISIT_STOP = 1;
inline constexpr int32_t VISIT_OUT_OF_MEMORY = -1;

// Hits being listed for one query's search; the first 64 need no heap.
using probe_hits = inline_array<vorn_hit, 64>;

// What a search needs to know about a query, worked out in one pass over its
// bytes before any route is chosen.
struct query_facts {
    const uint8_t *bytes;  // null only when len is 0
    size_t len;
    uint64_t code;         // the 2-bit code when encodable, else 0
    bool encodable;        // at most 32 bytes, upper-case A/C/G/T only
    bool long_read;        // 33 or 34 bytes, upper-case A/C/G/T only
    uint32_t unknown;      // bytes other than A/C/G/T (counted for len <= 34)
    size_t unknown_at[3];  // positions of the first three of them
};

void query_facts_of(query_facts *f, const uint8_t *bytes, size_t len) noexcept;

// The read prefixes a search over several windows measures each reference
// against (the windows of one read: prefixes of shortest to longest bytes),
// so that a reference met through any window is measured once for all.
struct probe_windows {
    const uint8_t *read;  // at least longest bytes
    size_t shortest;
    size_t longest;
    size_t fixed;         // the window the record follows; shortest..longest
    uint64_t code;        // 2-bit code of the first `encodable` bytes
    size_t encodable;     // longest encodable prefix (at most 32 bytes)
    // Hits within k of the fixed window, with their distance there; null
    // once only the least distance over the windows matters.
    probe_hits *fixed_hits;
};

// Fills w for the prefixes shortest..longest of read, fixed among them.
void probe_windows_start(probe_windows *w, const uint8_t *read, size_t shortest, size_t longest,
                         size_t fixed, probe_hits *fixed_hits) noexcept;

// The state of one query's search.  Paths set it up with probe_sink_start
// and read the record (and best_count) when they finish; the candidate set
// is released when the sink goes out of scope.
struct probe_sink {
    const vorn_index *index;
    const uint8_t *query;
    size_t query_len;
    int32_t k;
    uint32_t metric;  // VORN_METRIC_*
    bool stop_when_ambiguous;
    vorn_match *result;
    vorn_stats *stats;
    probe_hits *hits;  // null unless listing
    int32_t best_count;
    // The query's 2-bit code when it has one, so that a reference whose code
    // the probe already holds is measured without reading its bytes.
    uint64_t query_code;
    bool query_encodable;
    // Null for a single query.  Otherwise every reference is measured against
    // all the windows: the record and fixed_hits follow the fixed one, the
    // hit list holds the least distance over them.
    const probe_windows *windows;
    candidate_seen_set seen;
};

// Resets the record to VORN_STATUS_NONE and the search state to empty.
// metric is a VORN_METRIC_* code.
void probe_sink_start(probe_sink *s, const vorn_index *index, const query_facts &query, int32_t k,
                      uint32_t metric, vorn_match *result, vorn_stats *stats,
                      bool stop_when_ambiguous, probe_hits *hits) noexcept;

// Points a started sink at another query (a window of the same read), with
// its own record and counters; the references taken up so far stay taken,
// and the hit list goes on.
// encodable and code say whether the query has a 2-bit code, and which.
void probe_sink_retarget(probe_sink *s, const uint8_t *query, size_t query_len, bool encodable,
                         uint64_t code, vorn_match *result, vorn_stats *stats) noexcept;

// Whether the window of len bytes has a 2-bit code, and which (*code).
static inline bool probe_window_code(const probe_windows &w, size_t len, uint64_t *code) noexcept {
    if (len > w.encodable) return false;
    *code = w.code & dna2_mask(len);
    return true;
}

static inline bool probe_settled(const probe_sink *s) noexcept {
    return s->stop_when_ambiguous && s->best_count >= 2;
}

// Folds a hit into the record and the hit list.
static inline int32_t probe_apply(probe_sink *s, uint32_t ref, uint32_t d) noexcept;

// Counts, measures and applies a reference the query meets for the first
// time (no candidate set involved).
int32_t probe_measure(probe_sink *s, uint64_t ref) noexcept;

// The candidate set, then probe_measure for a new reference; VISIT_STOP when
// the search is settled afterwards (new reference or not).
int32_t probe_take(probe_sink *s, uint64_t ref) noexcept;

// probe_take for an encodable reference whose code and length the caller
// holds (a key-table slot, a confirmed deletion entry): the same record and
// counters, measured from the code instead of the arena.
int32_t probe_take_code(probe_sink *s, uint64_t ref, uint64_t code, uint64_t len) noexcept;

// Every reference of one key of the key table, in the key's order.
int32_t probe_key(probe_sink *s, uint64_t code, uint64_t len) noexcept;

// Several keys: their slots are fetched together, then each key is walked in
// the listed order, exactly as probing them one at a time.  The walk stops at
// the first step that does not continue.
int32_t probe_keys(probe_sink *s, const uint64_t *codes, const uint8_t *lens, size_t n) noexcept;

// The two halves of probe_keys, for a path that requests the slots of all its
// keys at once and walks them in several groups: homes receives each key's
// home slot, or INDEX_NONE when the presence filter rules the key out.
void probe_prefetch(const probe_sink *s, const uint64_t *codes, const uint8_t *lens, size_t n,
                    uint64_t *homes) noexcept;
int32_t probe_walk(probe_sink *s, const uint64_t *codes, const uint8_t *lens,
                   const uint64_t *homes, size_t n) noexcept;

// Requests the deletion-table bucket that probe_longer_references will read.
void probe_longer_prefetch(const probe_sink *s, uint64_t code, uint64_t len) noexcept;

// The references one base longer than (code, len) that lose one base to
// become it, in the order the deletion table keeps them (highest reference
// first); through the deletion table, or, when the build left it out, the
// insertion variants of the code in the key table.
int32_t probe_longer_references(probe_sink *s, uint64_t code, uint64_t len) noexcept;

// The full scan: every reference the metric allows (Hamming: those of the
// query's length), in ascending order.  VISIT_OUT_OF_MEMORY also when a
// distance could not be computed, which leaves a record invalid.
int32_t probe_every_reference(probe_sink *s) noexcept;

// The non-encodable references whose length differs from the query's by at
// most window, in ascending order; through the candidate set (probe_take) or,
// when no other route can have met them, measured directly.
int32_t probe_nonencodable(probe_sink *s, size_t window, bool through_set) noexcept;

}  // namespace velmora

#include "match/match_record.h"

namespace velmora {

static inline int32_t probe_apply(probe_sink *s, uint32_t ref, uint32_t d) noexcept {
    match_apply_hit(s->result, ref, d, &s->best_count);
    if (s->hits != nullptr && !s->hits->push(vorn_hit{ref, d})) return VISIT_OUT_OF_MEMORY;
    return VISIT_CONTINUE;
}

}  // namespace velmora

#endif
