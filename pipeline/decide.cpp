// The per-read decision over the library's exact lookup and read rescue.
#include "decide.h"

#include <algorithm>

#include "assign.h"
#include "base.h"

namespace velmora_pipeline {

decider::decider(const vorn_index *index, size_t entries, const assign_options &opt,
                 const std::vector<uint64_t> &exact_counts)
    : index_(index), entries_(entries), exact_counts_(exact_counts) {
    vorn_rescue_params_default(&params_);
    params_.metric = opt.hamming ? VORN_METRIC_HAMMING : VORN_METRIC_EDIT;
    params_.k = opt.k;
    params_.fixed_window = opt.hamming || opt.fixed_window ? 1 : 0;
    params_.rescue = opt.rescue ? 1 : 0;
    params_.min_exact = opt.min_exact;
    params_.prior_pseudocount = opt.prior_pseudocount;
    params_.indel_weight = opt.indel_weight;
    params_.min_posterior = opt.min_posterior;
}

void decider::prepare_memo() const {
    held_.clear();
    held_before_.clear();
    if (exact_counts_.size() != entries_) {
        memo_ = std::make_unique<memo_slot[]>(entries_);
        return;
    }
    held_.assign((entries_ + 63) / 64, 0);
    held_before_.assign(held_.size(), 0);
    uint32_t held = 0;
    for (size_t w = 0; w < held_.size(); ++w) {
        held_before_[w] = held;
        for (size_t e = 64 * w; e < std::min(entries_, 64 * w + 64); ++e) {
            if (exact_counts_[e] == 0) continue;
            held_[w] |= uint64_t{1} << (e % 64);
            ++held;
        }
    }
    memo_ = std::make_unique<memo_slot[]>(held);
}

decider::memo_slot *decider::slot_of(uint32_t e) const {
    if (held_.empty()) return &memo_[e];
    const uint64_t word = held_[e / 64];
    const uint64_t bit = uint64_t{1} << (e % 64);
    if ((word & bit) == 0) return nullptr;
    return &memo_[held_before_[e / 64] + static_cast<uint32_t>(__builtin_popcountll(word & (bit - 1)))];
}

void decider::lookup(const read_windows &w, std::vector<vorn_match> *scratch) const {
    scratch->resize(w.n);
    if (w.n && vorn_index_lookup_exact_many_stats(index_, w.window, w.window_len, w.n, scratch->data(), nullptr) != 0)
        throw data_error("the library rejected a batch of reads");
}

void decider::count_exact(const read_windows &w, std::vector<vorn_match> *scratch, uint64_t *counts) const {
    lookup(w, scratch);
    for (const vorn_match &m : *scratch)
        if (m.status == VORN_STATUS_UNIQUE) ++counts[m.best_index];
}

void decider::decide(const read_windows &w, std::vector<vorn_match> *scratch, read_decision *out,
                     vorn_stats *work) const {
    std::call_once(memo_ready_, [this] { prepare_memo(); });
    lookup(w, scratch);
    vorn_hit hits[max_listed_candidates];
    for (size_t i = 0; i < w.n; ++i) {
        const vorn_match &m = (*scratch)[i];
        read_decision &d = out[i];
        d.exact = false;
        d.tie_broken = false;
        d.listed = 0;
        if (m.status == VORN_STATUS_INVALID) {
            d.result = {m.status, UINT32_MAX, UINT32_MAX, UINT32_MAX, 0, 0.0};
            continue;
        }
        if (m.status == VORN_STATUS_UNIQUE && m.best_distance == 0) {
            const exact_entry e = exact_record(m.best_index, w.window[i], w.window_len[i]);
            d.result = {m.status, m.best_index, 0, e.second_distance, e.hit_count, 0.0};
            d.exact = true;
            work->candidates += e.work.candidates;
            work->verifications += e.work.verifications;
            continue;
        }
        size_t n_hits = 0;
        vorn_stats read_work{0, 0};
        const int32_t rc = vorn_rescue_read_stats(
            index_, w.window[i], w.quals[i], w.tail_len[i], w.window_len[i],
            params_.rescue ? exact_counts_.data() : nullptr, params_.rescue ? exact_counts_.size() : 0, &params_,
            hits, max_listed_candidates, &n_hits, &d.result, &read_work);
        if (rc == -2) throw data_error("out of memory");
        if (rc != 0) throw data_error("the library rejected a read");
        work->candidates += read_work.candidates;
        work->verifications += read_work.verifications;
        d.listed = static_cast<uint32_t>(std::min(n_hits, max_listed_candidates));
        for (uint32_t h = 0; h < d.listed; ++h) d.candidates[h] = hits[h].ref_index;
        d.tie_broken = d.result.status == VORN_STATUS_UNIQUE && n_hits >= 2 && hits[1].distance == hits[0].distance;
    }
}

decider::exact_entry decider::exact_record(uint32_t e, const uint8_t *window, size_t len) const {
    memo_slot *slot = slot_of(e);
    exact_entry r;
    const uint32_t ready = slot != nullptr ? slot->ready.load(std::memory_order_acquire) : 0;
    if (ready != 0) {
        r.hit_count = ready - 1;
        r.second_distance = slot->second_distance.load(std::memory_order_relaxed);
        r.work.candidates = slot->candidates.load(std::memory_order_relaxed);
        r.work.verifications = slot->verifications.load(std::memory_order_relaxed);
        return r;
    }
    vorn_match m;
    const int32_t rc = params_.metric == VORN_METRIC_HAMMING
                           ? vorn_index_assign_hamming_stats(index_, &window, &len, 1, params_.k, &m, &r.work)
                           : vorn_index_assign_stats(index_, &window, &len, 1, params_.k, &m, &r.work);
    if (rc != 0) throw data_error("the library rejected a read");
    r.second_distance = m.second_distance;
    r.hit_count = m.hit_count;
    if (slot != nullptr && r.hit_count < UINT32_MAX && r.work.candidates <= UINT32_MAX &&
        r.work.verifications <= UINT32_MAX) {
        slot->second_distance.store(r.second_distance, std::memory_order_relaxed);
        slot->candidates.store(static_cast<uint32_t>(r.work.candidates), std::memory_order_relaxed);
        slot->verifications.store(static_cast<uint32_t>(r.work.verifications), std::memory_order_relaxed);
        slot->ready.store(r.hit_count + 1, std::memory_order_release);
    }
    return r;
}

}  // namespace velmora_pipeline
