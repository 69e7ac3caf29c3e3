// Internal pieces of the edit-tolerant index assignment: its routes and the
// one-edit key enumeration they share.  Every route runs on a probe_sink
// (index/probe.h), so the same code fills a record, counts the work and, for
// vorn_index_hits, lists the hits.
#ifndef VELMORA_SRC_ASSIGN_INTERNAL_H
#define VELMORA_SRC_ASSIGN_INTERNAL_H

#include <cstddef>
#include <cstdint>

#include "index/index_internal.h"
#include "index/probe.h"
#include "velmora.h"

namespace velmora {

// Adds to b the keys within one edit of (code, len), in probing order: the
// key itself, its substitutions, its deletions, then, with with_insertions
// and while the result fits 32 bases, its insertions.  A deletion or
// insertion that repeats the one before it is left out, and so are the keys
// of lengths no reference has.  Returns where the deletions start.  b must
// be able to take them all (its limit KEY_BATCH_MAX).
size_t edit_one_keys(key_batch *b, uint64_t code, uint64_t len, bool with_insertions) noexcept;

// Probes the keys within one edit of (code, len), the key itself first: one
// step of the searches of queries that one edit of their own leaves within
// one more.
step k2_probe_around(probe_sink *s, uint64_t code, uint64_t len) noexcept;

// ---- routes -------------------------------------------------------------------
// Each takes a sink started for the query and bound (search/search.h), runs
// its probes and returns step::go_on or step::stop (search over), or
// step::out_of_memory.

step edit_search_one(probe_sink *s, const query_facts &q) noexcept;          // A/C/G/T, k = 1
step edit_search_two(probe_sink *s, const query_facts &q) noexcept;          // A/C/G/T, k = 2
step edit_search_unknown_one(probe_sink *s, const query_facts &q) noexcept;  // unknown bytes, k = 1
step edit_search_unknown_two(probe_sink *s, const query_facts &q) noexcept;  // one unknown byte, k = 2
step edit_search_long_read(probe_sink *s, const query_facts &q) noexcept;    // 33/34 bases, k = 2

// Request (without reading) the memory the one- and two-edit searches of an
// A/C/G/T query read first: the presence-filter blocks of its one-edit keys,
// the deletion-table bucket offsets.
void edit_warm_one(const vorn_index *index, const query_facts &q) noexcept;
void edit_warm_two(const vorn_index *index, const query_facts &q) noexcept;

}  // namespace velmora

#endif
