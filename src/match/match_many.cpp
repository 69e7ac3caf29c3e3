// Brute-force matching of a batch against a plain reference list: every
// query is measured against every reference, in reference order, with the
// bounded test candidate_distance_within_k.  vorn_match_many is also the
// fallback of the index paths, so its record is the definition they are
// tested against.  vorn_assign_many runs the same loop and additionally
// keeps best_count and the edit class of the best reference.
#include "common.h"
#include "distance/distance_internal.h"
#include "match/match_record.h"
#include "velmora.h"

namespace velmora {
namespace {

// The argument checks both matchers share, in their documented order: -1 to
// reject, 0 when there is nothing to do, 1 to run.  The caller has already
// rejected a null out and a negative k.  An empty batch reads no reference,
// so it is answered before the reference count is looked at: callers may
// pass any count with no queries.
int32_t match_batch_checks(const uint8_t *const *queries, const size_t *query_lens,
                           size_t n_queries, const uint8_t *const *refs,
                           const size_t *ref_lens, size_t n_refs) noexcept {
    if (n_queries == 0) return n_refs != 0 && (refs == nullptr || ref_lens == nullptr) ? -1 : 0;
    if (n_refs > SIZE_LIMIT || queries == nullptr || query_lens == nullptr) return -1;
    return n_refs != 0 && (refs == nullptr || ref_lens == nullptr) ? -1 : 1;
}

uint32_t edit_class_of(uint32_t d, size_t q_len, size_t r_len) noexcept {
    switch (d) {
        case 0: return VORN_EDIT_EXACT;
        case 1:
            if (q_len == r_len) return VORN_EDIT_SUBSTITUTION;
            return q_len > r_len ? VORN_EDIT_INSERTION : VORN_EDIT_DELETION;
        case 2: return VORN_EDIT_TWO;
        default: return VORN_EDIT_OTHER;
    }
}

// Measures the query against every reference into m, reset first.  Returns
// false, m invalid and *best_count 0, when the query could not be evaluated:
// it or a reference is null with a nonzero length, or a distance could not
// be computed.  edit_class, when given, receives the class of the best
// reference.
bool match_one_query(const uint8_t *q, size_t q_len, const uint8_t *const *refs,
                     const size_t *ref_lens, size_t n_refs, int32_t k, vorn_match *m,
                     int32_t *best_count, uint32_t *edit_class) noexcept {
    match_reset(m, VORN_STATUS_NONE);
    *best_count = 0;
    bool valid = q != nullptr || q_len == 0;
    for (size_t r = 0; r < n_refs && valid; ++r) {
        const int32_t d = refs[r] != nullptr || ref_lens[r] == 0
                              ? candidate_distance_within_k(q, q_len, refs[r], ref_lens[r], k)
                              : CANDIDATE_UNMEASURED;
        valid = d != CANDIDATE_UNMEASURED;
        if (d < 0) continue;
        const uint32_t before = m->best_distance;
        match_apply_hit(m, static_cast<uint32_t>(r), static_cast<uint32_t>(d), best_count);
        if (edit_class != nullptr && m->best_distance != before) {
            *edit_class = edit_class_of(static_cast<uint32_t>(d), q_len, ref_lens[r]);
        }
    }
    if (!valid) {
        match_reset_invalid(m);
        *best_count = 0;
    }
    return valid;
}

}  // namespace
}  // namespace velmora

using namespace velmora;

extern "C" VORN_API int32_t vorn_match_many(const uint8_t *const *queries, const size_t *query_lens,
                                            size_t n_queries, const uint8_t *const *refs,
                                            const size_t *ref_lens, size_t n_refs, int32_t k,
                                            vorn_match *out) VORN_NOEXCEPT {
    if (out == nullptr || k < 0) return -1;
    const int32_t checked = match_batch_checks(queries, query_lens, n_queries, refs, ref_lens, n_refs);
    if (checked <= 0) return checked;
    for (size_t i = 0; i < n_queries; ++i) {
        int32_t best_count = 0;
        if (match_one_query(queries[i], query_lens[i], refs, ref_lens, n_refs, k, &out[i],
                            &best_count, nullptr))
            match_finish(&out[i], best_count);
    }
    return 0;
}

extern "C" VORN_API int32_t vorn_assign_many(const uint8_t *const *queries,
                                             const size_t *query_lens, size_t n_queries,
                                             const uint8_t *const *refs, const size_t *ref_lens,
                                             size_t n_refs, int32_t k, uint32_t require_single_hit,
                                             vorn_assignment *out) VORN_NOEXCEPT {
    if (require_single_hit > 1 || k < 0 || out == nullptr) return -1;
    const int32_t checked = match_batch_checks(queries, query_lens, n_queries, refs, ref_lens, n_refs);
    if (checked <= 0) return checked;
    for (size_t i = 0; i < n_queries; ++i) {
        vorn_assignment *a = &out[i];
        vorn_match m;
        int32_t best_count = 0;
        uint32_t edit_class = VORN_EDIT_NONE;
        if (!match_one_query(queries[i], query_lens[i], refs, ref_lens, n_refs, k, &m,
                             &best_count, &edit_class)) {
            edit_class = VORN_EDIT_INVALID;
        } else if (m.hit_count == 0) {
            m.status = VORN_STATUS_NONE;
            edit_class = VORN_EDIT_NONE;
        } else if (require_single_hit == 1 && m.hit_count > 1) {
            m.status = VORN_STATUS_AMBIGUOUS;
        } else {
            match_finish(&m, best_count);
        }
        a->best_index = m.best_index;
        a->best_distance = m.best_distance;
        a->second_distance = m.second_distance;
        a->best_count = static_cast<uint32_t>(best_count);
        a->hit_count = m.hit_count;
        a->status = m.status;
        a->edit_class = edit_class;
    }
    return 0;
}
