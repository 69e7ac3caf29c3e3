// Internal pieces of the edit-tolerant index assignment: the dispatcher, the
// per-query searches and the code enumeration they share.  Every search runs
// on a probe_sink (index/probe.h), so the same code fills a record, counts
// the work and, for vorn_index_hits, lists the hits.
//
// Return protocols:
//   paths     PATH_DONE (record final) or PATH_DECLINED (caller falls back);
//   searches  the VISIT_* values of the pipeline.
#ifndef VELMORA_SRC_ASSIGN_INTERNAL_H
#define VELMORA_SRC_ASSIGN_INTERNAL_H

#include <cstddef>
#include <cstdint>

#include "index/index_internal.h"
#include "index/probe.h"
#include "velmora.h"

namespace velmora {

inline constexpr int32_t PATH_DONE = 1;
inline constexpr int32_t PATH_DECLINED = 0;

typedef int32_t (*edit_code_visitor)(uint64_t code, uint64_t len, void *ctx);

// Calls visitor for every one-edit variant of (code, len): substitutions,
// deletions, then insertions while the result fits 32 bases.  Returns the
// first nonzero visitor result, else 0.
int32_t index_visit_one_edit_codes(uint64_t code, uint64_t len, edit_code_visitor visitor,
                                   void *ctx) noexcept;

// Probes the one-edit variants of (code, len), preceded by the key itself
// when with_self, in enumeration order: one step of the two-edit searches.
int32_t k2_probe_around(probe_sink *s, uint64_t code, uint64_t len, bool with_self) noexcept;

// ---- searches on a started sink ---------------------------------------------
// Each takes a sink started for the query and bound, runs its routes and
// returns VISIT_CONTINUE or VISIT_STOP (search over), or VISIT_OUT_OF_MEMORY.

int32_t edit_search_one(probe_sink *s, uint64_t code) noexcept;        // encodable, k = 1
int32_t edit_search_two(probe_sink *s, uint64_t code) noexcept;        // encodable, k = 2
int32_t edit_search_unknown_one(probe_sink *s) noexcept;               // unknown bytes, k = 1
int32_t edit_search_unknown_two(probe_sink *s) noexcept;               // one unknown byte, k = 2
int32_t edit_search_long_read(probe_sink *s) noexcept;                 // 33/34 bases, k = 2

bool edit_unknown_accepts(const uint8_t *query, size_t len, int32_t k) noexcept;
bool edit_long_read_accepts(const uint8_t *query, size_t len) noexcept;

// Requests (without reading) the memory a one-edit search of an encodable
// query (code, len) reads first: the presence-filter blocks of its keys and
// the deletion-table bucket of its longer references.
void edit_warm_one(const vorn_index *index, uint64_t code, uint64_t len) noexcept;


// Which search serves a query (given its encodability) for k; EDIT_ROUTE_NONE
// when none does and brute force decides.
enum edit_route : uint32_t {
    EDIT_ROUTE_NONE,
    EDIT_ROUTE_ONE,
    EDIT_ROUTE_TWO,
    EDIT_ROUTE_UNKNOWN_ONE,
    EDIT_ROUTE_UNKNOWN_TWO,
    EDIT_ROUTE_LONG_READ,
};
edit_route edit_route_for(const uint8_t *query, size_t len, bool encodable, int32_t k) noexcept;

// Requests the deletion-table bucket offsets a two-edit search of an
// encodable query (code, len) reads, without reading anything.
void edit_warm_two(const vorn_index *index, uint64_t code, uint64_t len) noexcept;

// The same for a query going along route (code its 2-bit code when it has
// one), where the route has such a step; nothing otherwise.
void edit_warm(const vorn_index *index, edit_route route, uint64_t code, uint64_t len) noexcept;

// Runs a route on a started sink; PATH_DONE with the final status written,
// or PATH_DECLINED when the search ran out of memory.
int32_t edit_run_route(probe_sink *s, edit_route route, uint64_t code) noexcept;

// One query along route, on a sink of its own: the record starts empty, and
// an empty index answers NONE without a search.
int32_t edit_search(const vorn_index *index, const uint8_t *query, size_t len, int32_t k,
                    edit_route route, uint64_t code, vorn_match *result, vorn_stats *stats,
                    uint32_t stop_when_ambiguous) noexcept;

// ---- paths --------------------------------------------------------------------

int32_t index_assign_fast_one(const vorn_index *index, const uint8_t *query, size_t len,
                              int32_t k, vorn_match *result, vorn_stats *stats) noexcept;

// Hands a query to the path of its route (PATH_DECLINED for EDIT_ROUTE_NONE);
// code is the query's 2-bit code when it has one.
int32_t index_assign_path(const vorn_index *index, const uint8_t *query, size_t len,
                          edit_route route, uint64_t code, vorn_match *result, vorn_stats *stats,
                          uint32_t stop_when_ambiguous) noexcept;

int32_t index_assign_neighbor_one_impl(const vorn_index *index, const uint8_t *query,
                                       size_t len, uint64_t code, vorn_match *result,
                                       vorn_stats *stats, uint32_t stop_when_ambiguous) noexcept;

int32_t index_assign_neighbor_two_impl(const vorn_index *index, const uint8_t *query,
                                       size_t len, uint64_t code, vorn_match *result,
                                       vorn_stats *stats, uint32_t stop_when_ambiguous) noexcept;

int32_t index_assign_single_unknown_one(const vorn_index *index, const uint8_t *query,
                                        size_t len, vorn_match *result, vorn_stats *stats,
                                        uint32_t stop_when_ambiguous) noexcept;

int32_t index_assign_single_unknown_two(const vorn_index *index, const uint8_t *query,
                                        size_t len, vorn_match *result, vorn_stats *stats,
                                        uint32_t stop_when_ambiguous) noexcept;

int32_t index_assign_neighbor_two_long_read(const vorn_index *index, const uint8_t *query,
                                            size_t len, vorn_match *result,
                                            vorn_stats *stats) noexcept;

}  // namespace velmora

#endif
