// Internal pieces of the edit-tolerant index assignment: the dispatcher, the
// per-query paths and the code visitors they share.
//
// Return protocols, used everywhere below:
//   paths     PATH_DONE (record final) or PATH_DECLINED (caller falls back);
//   visitors  VISIT_CONTINUE, VISIT_STOP (query became ambiguous in
//             status-only mode) or VISIT_OUT_OF_MEMORY (candidate set could
//             not grow; the path declines).
#ifndef VELMORA_SRC_ASSIGN_INTERNAL_H
#define VELMORA_SRC_ASSIGN_INTERNAL_H

#include <cstddef>
#include <cstdint>

#include "assign/candidate_set.h"
#include "index/index_internal.h"
#include "velmora.h"

namespace velmora {

inline constexpr int32_t PATH_DONE = 1;
inline constexpr int32_t PATH_DECLINED = 0;
inline constexpr int32_t VISIT_CONTINUE = 0;
inline constexpr int32_t VISIT_STOP = 1;
inline constexpr int32_t VISIT_OUT_OF_MEMORY = -1;

// Context of the two-edit visitors; filled once per query by the path.
struct k2_visit_ctx {
    const vorn_index *index;
    candidate_seen_set *seen;
    const uint8_t *query;
    size_t query_len;
    vorn_match *result;
    int32_t *best_count;
    vorn_stats *stats;
    uint32_t stop_when_ambiguous;
};

typedef int32_t (*edit_code_visitor)(uint64_t code, uint64_t len, void *ctx);

// ---- candidate verification -------------------------------------------------

int32_t index_verify_seed_candidate(const vorn_index *index, uint64_t ref,
                                    candidate_seen_set *seen, const uint8_t *query,
                                    size_t query_len, uint32_t k, vorn_match *result,
                                    int32_t *best_count, vorn_stats *stats) noexcept;

void index_update_verified(vorn_match *result, int32_t ref, uint32_t d,
                           int32_t *best_count) noexcept;

int32_t index_visit_exact_seed_candidates(const vorn_index *index, uint64_t code, uint64_t len,
                                          candidate_seen_set *seen, const uint8_t *query,
                                          size_t query_len, uint32_t k, vorn_match *result,
                                          int32_t *best_count, vorn_stats *stats,
                                          uint32_t stop_when_ambiguous) noexcept;

int32_t index_scan_nonencodable_seed_candidates(const vorn_index *index,
                                                candidate_seen_set *seen,
                                                const uint8_t *query, size_t query_len,
                                                vorn_match *result, int32_t *best_count,
                                                vorn_stats *stats,
                                                uint32_t stop_when_ambiguous) noexcept;

int32_t index_visit_one_edit_codes(uint64_t code, uint64_t len, edit_code_visitor visitor,
                                   void *ctx) noexcept;

int32_t visit_k2_exact_code(uint64_t code, uint64_t len, void *ctx) noexcept;
int32_t visit_k2_first_edit_code(uint64_t code, uint64_t len, void *ctx) noexcept;

// Last step of every two-edit path: the window-2 scan of the references
// without a code (skipped when the search already stopped on ambiguity),
// then the final status.  PATH_DONE, or PATH_DECLINED when the candidate set
// could not grow.
int32_t index_finish_two_edit_search(const k2_visit_ctx *ctx, bool stopped) noexcept;

// ---- paths ------------------------------------------------------------------

int32_t index_assign_fast_one(const vorn_index *index, const uint8_t *query, size_t len,
                              int32_t k, vorn_match *result, vorn_stats *stats) noexcept;

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
