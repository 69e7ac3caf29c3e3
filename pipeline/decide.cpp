// The per-read decision over the library's exact lookup and read rescue.
#include "decide.h"

#include <algorithm>
#include <cstring>
#include <string>
#include <string_view>

#include "assign.h"
#include "base.h"
#include "whitelist.h"

namespace velmora_pipeline {

namespace {

// What a failed vorn_rescue_read returns, as the run's error.
void check_rescue(int32_t rc) {
    if (rc == -2) throw data_error("out of memory");
    if (rc != 0) throw data_error("the library rejected a read");
}

}  // namespace

decider::decider(const vorn_index *index, size_t entries, const assign_options &opt,
                 const std::vector<uint64_t> &exact_counts, const whitelist *list)
    : index_(index), entries_(entries), list_(list), exact_counts_(exact_counts) {
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

decider::~decider() { vorn_index_free(abundant_); }

void decider::prepare_beyond() const {
    // Hamming searches take k up to 3; past a few edits the wider search
    // would cost more than the reads it could save.
    const int32_t widest = params_.metric == VORN_METRIC_HAMMING ? 3 : 4;
    if (!list_ || !params_.rescue || exact_counts_.size() != entries_ || params_.k + 1 > widest) return;
    std::vector<std::string> seqs;
    for (size_t e = 0; e < entries_; ++e) {
        most_exact_ = std::max(most_exact_, exact_counts_[e]);
        if (exact_counts_[e] < beyond_ratio) continue;
        abundant_ids_.push_back(static_cast<uint32_t>(e));
        const entry_text text = list_->entry(e);
        seqs.emplace_back(text.data(), text.size());
    }
    if (seqs.empty()) return;
    std::vector<const uint8_t *> ptrs;
    std::vector<size_t> lens;
    for (const std::string &s : seqs) {
        ptrs.push_back(reinterpret_cast<const uint8_t *>(s.data()));
        lens.push_back(s.size());
    }
    abundant_ = vorn_index_build(ptrs.data(), lens.data(), ptrs.size());
    if (!abundant_) throw data_error("out of memory");
}

bool decider::beyond_agrees(const read_windows &w, size_t i, const read_decision &d, double *posterior) const {
    // Most reads go to entries no other outweighs a hundredfold.
    const uint64_t chosen = std::max<uint64_t>(exact_counts_[d.result.ref_index], 1);
    if (chosen > most_exact_ / beyond_ratio) return true;
    vorn_rescue_params p = params_;
    p.k += 1;
    p.rescue = 0;
    vorn_hit near[max_listed_candidates];
    size_t n_near = 0;
    vorn_rescue_result r;
    check_rescue(vorn_rescue_read(abundant_, w.window[i], w.quals[i], w.tail_len[i], w.window_len[i], nullptr, 0,
                                  &p, near, max_listed_candidates, &n_near, &r));
    bool heavier = n_near > max_listed_candidates;
    for (size_t h = 0; h < std::min(n_near, max_listed_candidates); ++h)
        heavier = heavier || exact_counts_[abundant_ids_[near[h].ref_index]] >= beyond_ratio * chosen;
    if (!heavier) return true;
    p.rescue = 1;
    vorn_rescue_result wider;
    size_t n_wider = 0;
    check_rescue(vorn_rescue_read(index_, w.window[i], w.quals[i], w.tail_len[i], w.window_len[i],
                                  exact_counts_.data(), exact_counts_.size(), &p, nullptr, 0, &n_wider, &wider));
    *posterior = wider.posterior;
    return wider.status == VORN_STATUS_UNIQUE && wider.ref_index == d.result.ref_index;
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
    std::call_once(memo_ready_, [this] {
        prepare_memo();
        prepare_beyond();
    });
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
        check_rescue(vorn_rescue_read_stats(
            index_, w.window[i], w.quals[i], w.tail_len[i], w.window_len[i],
            params_.rescue ? exact_counts_.data() : nullptr, params_.rescue ? exact_counts_.size() : 0, &params_,
            hits, max_listed_candidates, &n_hits, &d.result, &read_work));
        work->candidates += read_work.candidates;
        work->verifications += read_work.verifications;
        d.listed = static_cast<uint32_t>(std::min(n_hits, max_listed_candidates));
        for (uint32_t h = 0; h < d.listed; ++h) d.candidates[h] = hits[h].ref_index;
        d.tie_broken = d.result.status == VORN_STATUS_UNIQUE && n_hits >= 2 && hits[1].distance == hits[0].distance;
        double wider_posterior = 0.0;
        if (abundant_ && d.result.status == VORN_STATUS_UNIQUE && d.result.distance >= 1 &&
            !beyond_agrees(w, i, d, &wider_posterior)) {
            d.result.status = VORN_STATUS_AMBIGUOUS;
            d.result.posterior = wider_posterior;
            d.result.ref_index = UINT32_MAX;
            d.tie_broken = false;
        }
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

namespace {

enum : uint8_t { held_exact = 1, held_tie = 2, held_posterior_zero = 4, held_posterior_one = 8 };

// x + 1, wrapping, so that UINT32_MAX takes one byte.
void put_field(uint32_t x, std::string *out) {
    uint32_t v = x + 1;
    while (v >= 0x80) {
        out->push_back(static_cast<char>(v | 0x80));
        v >>= 7;
    }
    out->push_back(static_cast<char>(v));
}

uint32_t take_field(std::string_view &in) {
    uint64_t v = 0;
    for (unsigned shift = 0; shift < 35; shift += 7) {
        if (in.empty()) break;
        const auto c = static_cast<uint8_t>(in.front());
        in.remove_prefix(1);
        v |= uint64_t{c & 0x7Fu} << shift;
        if (c < 0x80) {
            if (v > UINT32_MAX) break;
            return static_cast<uint32_t>(v) - 1;
        }
    }
    throw data_error("held decisions are damaged");
}

uint64_t bits_of(double x) {
    uint64_t b;
    std::memcpy(&b, &x, sizeof b);
    return b;
}

}  // namespace

void pack_decisions(const read_decision *d, size_t n, std::string *out) {
    for (size_t i = 0; i < n; ++i) {
        const read_decision &r = d[i];
        const uint64_t p = bits_of(r.result.posterior);
        const uint8_t flags = static_cast<uint8_t>((r.exact ? held_exact : 0) | (r.tie_broken ? held_tie : 0) |
                                                   (p == bits_of(0.0) ? held_posterior_zero : 0) |
                                                   (p == bits_of(1.0) ? held_posterior_one : 0));
        out->push_back(static_cast<char>(flags));
        for (const uint32_t x : {r.result.status, r.result.ref_index, r.result.distance, r.result.second_distance,
                                 r.result.hit_count, r.listed})
            put_field(x, out);
        for (uint32_t c = 0; c < r.listed && c < max_listed_candidates; ++c) put_field(r.candidates[c], out);
        if (!(flags & (held_posterior_zero | held_posterior_one)))
            out->append(reinterpret_cast<const char *>(&p), sizeof p);
    }
}

std::string_view unpack_decisions(std::string_view in, read_decision *d, size_t n) {
    for (size_t i = 0; i < n; ++i) {
        read_decision &r = d[i];
        if (in.empty()) throw data_error("held decisions are damaged");
        const auto flags = static_cast<uint8_t>(in.front());
        in.remove_prefix(1);
        r.exact = flags & held_exact;
        r.tie_broken = flags & held_tie;
        for (uint32_t *x : {&r.result.status, &r.result.ref_index, &r.result.distance, &r.result.second_distance,
                            &r.result.hit_count, &r.listed})
            *x = take_field(in);
        for (uint32_t c = 0; c < r.listed && c < max_listed_candidates; ++c) r.candidates[c] = take_field(in);
        if (flags & (held_posterior_zero | held_posterior_one)) {
            r.result.posterior = flags & held_posterior_one ? 1.0 : 0.0;
        } else {
            uint64_t p;
            if (in.size() < sizeof p) throw data_error("held decisions are damaged");
            std::memcpy(&p, in.data(), sizeof p);
            in.remove_prefix(sizeof p);
            std::memcpy(&r.result.posterior, &p, sizeof p);
        }
    }
    return in;
}

}  // namespace velmora_pipeline
