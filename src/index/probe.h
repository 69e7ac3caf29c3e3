// The candidate pipeline every index path runs through, edit and Hamming
// alike: a path lists probe keys, the pipeline fetches their key-table slots
// together, walks the references of each key in order, skips the ones the
// query already met, measures each new one with the path's bounded test
// (edit or Hamming distance) and folds the hit into the record, and into the
// hit list when the caller is listing hits.  It stops early once the
// status-only form has its answer.
#ifndef VELMORA_SRC_INDEX_PROBE_H
#define VELMORA_SRC_INDEX_PROBE_H

#include <cstddef>
#include <cstdint>

#include "common.h"
#include "index/candidate_set.h"
#include "index/index_internal.h"
#include "inline_array.h"
#include "match/match_record.h"
#include "velmora.h"

namespace velmora {

// What every step of a search returns: go on, stop (the status-only form is
// settled, or a consumer has what it wanted), or out of memory (the candidate
// set or the hit list could not grow; a record falls back on the full scan).
enum class step : int32_t { go_on, stop, out_of_memory };

// Hits being listed for one query's search; the first 64 need no heap.
using probe_hits = inline_array<vorn_hit, 64>;

// What a search needs to know about a query, worked out in one pass over its
// bytes before any route is chosen.
struct query_facts {
    const uint8_t *bytes;  // null only when len is 0
    size_t len;
    // The 2-bit code of the first 32 bytes with A in place of each unknown
    // byte: the query's code when it is encodable, and the code every
    // replacement of its unknown bytes starts from when it is not.
    uint64_t code;
    bool encodable;        // at most 32 bytes, upper-case A/C/G/T only
    bool long_read;        // 33 or 34 bytes, upper-case A/C/G/T only
    uint32_t unknown;      // bytes other than A/C/G/T (counted for len <= 34)
    size_t unknown_at[3];  // positions of the first three of them
};

void query_facts_of(query_facts *f, const uint8_t *bytes, size_t len) noexcept;

// The byte-exact lookup's complete record for a query (index/exact.cpp): one
// slot read of the key table, or the non-encodable references of its length.
void index_exact_record(const vorn_index *index, const query_facts &q, vorn_match *result,
                        vorn_stats *stats) noexcept;

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

static inline bool probe_settled(const probe_sink *s) noexcept {
    return s->stop_when_ambiguous && s->best_count >= 2;
}

// Folds a hit into the record and the hit list.
static inline step probe_apply(probe_sink *s, uint32_t ref, uint32_t d) noexcept {
    match_apply_hit(s->result, ref, d, &s->best_count);
    if (s->hits != nullptr && !s->hits->push(vorn_hit{ref, d})) return step::out_of_memory;
    return step::go_on;
}

// Counts, measures and applies a reference the query meets for the first
// time (no candidate set involved).
step probe_measure(probe_sink *s, uint64_t ref) noexcept;

// The candidate set, then probe_measure for a new reference; step::stop when
// the search is settled afterwards (new reference or not).
step probe_take(probe_sink *s, uint64_t ref) noexcept;

// probe_take for an encodable reference whose code and length the caller
// holds (a key-table slot, a confirmed deletion entry): the same record and
// counters, measured from the code instead of the arena.
step probe_take_code(probe_sink *s, uint64_t ref, uint64_t code, uint64_t len) noexcept;

// Every reference of one key of the key table, in the key's order.
step probe_key(probe_sink *s, uint64_t code, uint64_t len) noexcept;

// What a table walk does with each reference it finds (code and len are the
// reference's): take it up on a sink (probe_visit_take, ctx the sink), or
// collect it.  Anything but step::go_on ends the walk and is returned.
typedef step (*ref_visitor)(void *ctx, uint32_t ref, uint64_t code, uint64_t len) noexcept;

step probe_visit_take(void *sink, uint32_t ref, uint64_t code, uint64_t len) noexcept;

// ---- the key batch ------------------------------------------------------------
// Keys of the key table, walked in the order they were added.  Nearly every
// key of a large index misses the cache and the keys do not depend on each
// other, so a key's filter block is requested as it is added, and the slots
// of all the keys the filter lets through before the first one is read.  A
// key of a length no reference has is ruled out before it is hashed.

// One key and the one-edit variants of a code of at most 32 bases.
inline constexpr size_t KEY_BATCH_MAX = 1 + 8 * DNA2_MAX_LEN;
// Keys a batch gathers before it walks them, unless its user walks it.
inline constexpr size_t KEY_BATCH_AHEAD = 64;

struct key_batch {
    const vorn_index *index;
    ref_visitor visit;
    void *ctx;
    size_t count;
    size_t limit;  // the batch walks itself once it holds this many keys
    uint64_t codes[KEY_BATCH_MAX];
    uint64_t homes[KEY_BATCH_MAX];  // the key's hash, then its home slot or INDEX_NONE
    uint8_t lens[KEY_BATCH_MAX];
};

void key_batch_start(key_batch *b, const vorn_index *index, ref_visitor visit, void *ctx,
                     size_t limit = KEY_BATCH_AHEAD) noexcept;

// Requests the slots of keys [from, to).
void key_batch_request(key_batch *b, size_t from, size_t to) noexcept;

// Walks keys [from, to), whose slots were requested, in order.
step key_batch_walk(key_batch *b, size_t from, size_t to) noexcept;

// Requests and walks every key held, and empties the batch.
step key_batch_flush(key_batch *b) noexcept;

// Adds a key; a batch at its limit is flushed.
static inline step key_batch_add(key_batch *b, uint64_t code, uint64_t len) noexcept {
    VELMORA_ASSERT(b->count < KEY_BATCH_MAX);
    b->codes[b->count] = code;
    b->lens[b->count] = static_cast<uint8_t>(len);
    if (index_has_length(b->index, len)) {
        b->homes[b->count] = index_key_hash(code, len);
        index_filter_prefetch(b->index, b->homes[b->count]);
    } else {
        b->homes[b->count] = INDEX_NONE;
    }
    return ++b->count == b->limit ? key_batch_flush(b) : step::go_on;
}

// Adds (code, len) and then every code within budget substitutions of it,
// each once, the earlier position changing slowest; the first result of an
// add that is not step::go_on.
step key_batch_add_substitutions(key_batch *b, uint64_t code, uint64_t len,
                                 int32_t budget) noexcept;

// ---- the deletion table ---------------------------------------------------------

// Requests the deletion-table bucket index_longer_references reads for (code, len).
void index_longer_prefetch(const vorn_index *index, uint64_t code, uint64_t len) noexcept;

// The references one base longer than one of the n keys (all of length len)
// that lose one base to become it, handed to visit: through the deletion
// table (bucket offsets, then entries, requested for every key before any is
// read; each bucket from its newest entry, the highest reference first), or,
// when the build left the table out, through the keys' insertion variants in
// the key table.  A reference may be handed over more than once.
step index_longer_references(const vorn_index *index, const uint64_t *codes, size_t n,
                                uint64_t len, ref_visitor visit, void *ctx) noexcept;

// The references one base longer than (code, len) that lose one base to
// become it, taken up from the highest reference down.
step probe_longer_references(probe_sink *s, uint64_t code, uint64_t len) noexcept;

// The full scan: every reference the metric allows (Hamming: those of the
// query's length), in ascending order.  step::out_of_memory also when a
// distance could not be computed, which leaves a record invalid.
step probe_every_reference(probe_sink *s) noexcept;

// The non-encodable references whose length differs from the query's by at
// most window, in ascending order; through the candidate set (probe_take) or,
// when no other route can have met them, measured directly.
step probe_nonencodable(probe_sink *s, size_t window, bool through_set) noexcept;

}  // namespace velmora

#endif
