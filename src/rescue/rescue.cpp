// Deciding one read's barcode: gather the references within the bound over
// the read's windows in one search (hits/hits_internal.h), then apply the
// distance rule or the posterior over the candidates the abundance rule
// keeps.
#include <algorithm>
#include <cmath>
#include <limits>

#include "hits/hits_internal.h"
#include "index/index_internal.h"
#include "rescue/rescue_internal.h"
#include "search/search.h"

namespace velmora {
namespace {

constexpr double NEG_INF = -std::numeric_limits<double>::infinity();
// Two log scores closer than this are the same score: the same likelihood
// reached through sums taken in another order must not break a tie.
constexpr double RESCUE_TIE_TOLERANCE = 1e-9;

bool params_acceptable(const vorn_rescue_params &p) noexcept {
    if (!search_bound_valid(p.metric, p.k) || p.fixed_window > 1 || p.rescue > 1) return false;
    if (p.rescue == 0) return true;
    // The model's numbers: a NaN or a negative weight would poison every score.
    return std::isfinite(p.prior_pseudocount) && p.prior_pseudocount >= 0.0 &&
           std::isfinite(p.indel_weight) && p.indel_weight >= 0.0 &&
           p.min_posterior >= 0.0 && p.min_posterior <= 1.0;
}

// The fields every outcome shares: distance of the best hit, the next larger
// distance, the count.  Assignment overrides distance and second_distance.
vorn_rescue_result unassigned_result(const probe_hits &list) noexcept {
    vorn_rescue_result r{VORN_STATUS_NONE, UINT32_MAX, UINT32_MAX, UINT32_MAX,
                         static_cast<uint32_t>(list.size()), 0.0};
    if (list.size() == 0) return r;
    r.status = VORN_STATUS_AMBIGUOUS;
    r.distance = list[0].distance;
    for (size_t i = 1; i < list.size(); ++i) {
        if (list[i].distance > r.distance) {
            r.second_distance = list[i].distance;
            break;
        }
    }
    return r;
}

void assign_to(vorn_rescue_result &r, const probe_hits &list, size_t which) noexcept {
    r.status = VORN_STATUS_UNIQUE;
    r.ref_index = list[which].ref_index;
    r.distance = list[which].distance;
    // The least distance among the other hits (the list is sorted).
    const size_t next = which == 0 ? 1 : 0;
    r.second_distance = next < list.size() ? list[next].distance : UINT32_MAX;
}

// The distance rule: a single reference at the best distance.
vorn_rescue_result decide_by_distance(const probe_hits &list) noexcept {
    vorn_rescue_result r = unassigned_result(list);
    if (list.size() == 1 || (list.size() > 1 && list[1].distance > list[0].distance))
        assign_to(r, list, 0);
    return r;
}

// A reference's prior when it is a candidate, else 0: its exact count, or
// the pseudocount when it has no exact read.  The count of a reference that
// has reads is its abundance as observed; adding the pseudocount there too
// would double the prior of a reference seen once, against every cell
// beside it.
double candidate_prior(const uint64_t *counts, const vorn_rescue_params &p, uint32_t ref) noexcept {
    if (counts[ref] < p.min_exact) return 0.0;
    const double prior = counts[ref] > 0 ? static_cast<double>(counts[ref]) : p.prior_pseudocount;
    return prior > 0.0 ? prior : 0.0;
}

// The posterior over the candidates.  false when the model's memory could not
// be had.
bool decide_by_posterior(const vorn_index *index, const rescue_read_model &model,
                         const uint64_t *counts, const vorn_rescue_params &p,
                         const probe_hits &list, vorn_rescue_result &out) noexcept {
    out = unassigned_result(list);
    // A lone candidate's posterior is 1 whatever its likelihood, as long as
    // that is not zero, and then nothing ties with it: no alignment needed.
    size_t lone = SIZE_MAX, candidates = 0;
    for (size_t i = 0; i < list.size() && candidates < 2; ++i) {
        if (candidate_prior(counts, p, list[i].ref_index) > 0.0) {
            lone = i;
            candidates += 1;
        }
    }
    if (candidates == 0) return true;
    if (candidates == 1) {
        if (!rescue_alignment_possible(model, index_ref_len(index, list[lone].ref_index))) return true;
        out.posterior = 1.0;
        if (out.posterior >= p.min_posterior) assign_to(out, list, lone);
        return true;
    }
    rescue_scratch scratch;
    uint8_t ref_buf[DNA2_MAX_LEN];
    bool prepared = false;
    size_t top = SIZE_MAX;
    double top_score = NEG_INF, runner_up = NEG_INF;
    // Scores are kept only as a running log-sum-exp around the top so far:
    // sum = sum over candidates of exp(score - top_score).
    double sum = 0.0;
    for (size_t i = 0; i < list.size(); ++i) {
        const uint32_t ref = list[i].ref_index;
        const double prior = candidate_prior(counts, p, ref);
        if (prior == 0.0) continue;
        if (!prepared) {
            if (!rescue_model_prepare(model, scratch)) return false;
            prepared = true;
        }
        const double score =
            std::log(prior) +
            rescue_log_likelihood(model, scratch, index_ref_bytes(index, ref, ref_buf),
                                  index_ref_len(index, ref));
        if (score == NEG_INF) continue;
        if (score > top_score) {
            sum = (top_score == NEG_INF ? 0.0 : sum * std::exp(top_score - score)) + 1.0;
            runner_up = top_score;
            top_score = score;
            top = i;
        } else {
            sum += std::exp(score - top_score);
            if (score > runner_up) runner_up = score;
        }
    }
    if (top == SIZE_MAX) return true;
    out.posterior = 1.0 / sum;
    const bool tie = runner_up >= top_score - RESCUE_TIE_TOLERANCE;
    if (!tie && out.posterior >= p.min_posterior) assign_to(out, list, top);
    return true;
}

}  // namespace
}  // namespace velmora

extern "C" VORN_API void vorn_rescue_params_default(vorn_rescue_params *params) VORN_NOEXCEPT {
    if (params == nullptr) return;
    params->metric = VORN_METRIC_EDIT;
    params->k = 1;
    params->fixed_window = 0;
    params->rescue = 1;
    params->min_exact = 1;
    params->prior_pseudocount = 1.0;
    params->indel_weight = 0.1;
    params->min_posterior = 0.975;
    params->quality_offset = 33;
}

namespace velmora {
namespace {

int32_t rescue_read(const vorn_index *index, const uint8_t *read, const uint8_t *quals,
                    size_t read_len, size_t window_len, const uint64_t *exact_counts,
                    size_t n_counts, const vorn_rescue_params *params, vorn_hit *hits,
                    size_t capacity, size_t *n_hits, vorn_rescue_result *result,
                    vorn_stats *stats) noexcept {
    if (index == nullptr || params == nullptr || result == nullptr || n_hits == nullptr) return -1;
    if (read == nullptr && read_len != 0) return -1;
    if (hits == nullptr && capacity != 0) return -1;
    const vorn_rescue_params p = *params;
    if (!params_acceptable(p)) return -1;
    if (p.rescue == 1 && (n_counts != index->n_refs || (exact_counts == nullptr && n_counts != 0)))
        return -1;

    const auto k = static_cast<size_t>(p.k);
    const size_t fixed = std::min(window_len, read_len);
    const bool moving = p.metric == VORN_METRIC_EDIT && p.fixed_window == 0 && k > 0;
    // Read prefix lengths an alignment may end at.
    size_t shortest = fixed, longest = fixed;
    if (moving) {
        shortest = window_len > k ? window_len - k : 0;
        longest = window_len <= read_len && read_len - window_len >= k ? window_len + k : read_len;
        if (shortest > longest) shortest = longest;
    }
    // One search over every window, with the fixed window's own search, the
    // one the counters follow, first.
    probe_hits near, at_fixed;
    vorn_stats work{0, 0};
    vorn_stats *counted = stats != nullptr ? &work : nullptr;
    bool exact_unique = false;
    const bool found =
        moving ? index_hits_windows(index, read, shortest, longest, fixed, p.k, &near, &at_fixed,
                                    &exact_unique, counted)
               : index_hits_list(index, read, fixed, p.metric, p.k, &at_fixed, counted);
    if (!found) {
        *n_hits = 0;
        return -2;
    }
    if (!moving) exact_unique = index_hits_exact_unique(at_fixed);
    // An exact unique match is decided on the fixed window alone.
    if (exact_unique) shortest = longest = fixed;
    probe_hits &list = moving && !exact_unique ? near : at_fixed;
    if (p.rescue == 1 && !exact_unique) {
        // The posterior reads each hit's count and bytes: requested before
        // the sort, so that the misses overlap it.
        for (size_t i = 0; i < list.size(); ++i) {
            prefetch(&exact_counts[list[i].ref_index]);
            index_ref_prefetch(index, list[i].ref_index);
        }
    }
    index_hits_sort(&list);

    vorn_rescue_result r;
    if (exact_unique) {
        r = unassigned_result(list);
        assign_to(r, list, 0);
        r.posterior = p.rescue == 1 ? 1.0 : 0.0;
    } else if (p.rescue == 0) {
        r = decide_by_distance(list);
    } else {
        // A path never strays further from the diagonal than the longer of
        // its two sides, so a band wider than that only costs time.
        // The references' lengths matter only when the read side is shorter
        // than k.
        size_t sides = longest;
        for (size_t i = 0; i < list.size() && sides < k; ++i)
            sides = std::max(sides, index_ref_len(index, list[i].ref_index));
        const rescue_read_model model{read,
                                      quals,
                                      read_len,
                                      shortest,
                                      longest,
                                      p.metric == VORN_METRIC_HAMMING ? 0 : std::min(k, sides),
                                      p.indel_weight > 0.0 ? std::log(p.indel_weight) : NEG_INF,
                                      p.quality_offset};
        if (!decide_by_posterior(index, model, exact_counts, p, list, r)) {
            *n_hits = 0;
            return -2;
        }
    }
    index_hits_copy(list, hits, capacity, n_hits);
    *result = r;
    if (stats != nullptr) *stats = work;
    return 0;
}

}  // namespace
}  // namespace velmora

extern "C" VORN_API int32_t vorn_rescue_read(const vorn_index *index, const uint8_t *read,
                                             const uint8_t *quals, size_t read_len,
                                             size_t window_len, const uint64_t *exact_counts,
                                             size_t n_counts, const vorn_rescue_params *params,
                                             vorn_hit *hits, size_t capacity, size_t *n_hits,
                                             vorn_rescue_result *result) VORN_NOEXCEPT {
    return velmora::rescue_read(index, read, quals, read_len, window_len, exact_counts, n_counts,
                                params, hits, capacity, n_hits, result, nullptr);
}

extern "C" VORN_API int32_t vorn_rescue_read_stats(
    const vorn_index *index, const uint8_t *read, const uint8_t *quals, size_t read_len,
    size_t window_len, const uint64_t *exact_counts, size_t n_counts,
    const vorn_rescue_params *params, vorn_hit *hits, size_t capacity, size_t *n_hits,
    vorn_rescue_result *result, vorn_stats *stats) VORN_NOEXCEPT {
    return velmora::rescue_read(index, read, quals, read_len, window_len, exact_counts, n_counts,
                                params, hits, capacity, n_hits, result, stats);
}
