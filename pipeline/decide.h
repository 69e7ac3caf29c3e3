// The decision for each read: the one place the pipeline asks the library
// about reads.  Most reads are exact, unique matches: a batch's exact lookup
// finds them, and the rest of their fixed-window record (which depends only
// on the entry) is searched once per entry and kept.  Every other read is
// searched once, by the library's vorn_rescue_read_stats, which lists the
// entries within the bound (letting the window's end move for indels unless
// the window is fixed), decides by posterior or by the distance rule, and
// counts the work of its fixed-window search.
#ifndef VELMORA_PIPELINE_DECIDE_H
#define VELMORA_PIPELINE_DECIDE_H

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "velmora.h"

namespace velmora_pipeline {

struct assign_options;
struct whitelist;

// Entries listed per read, closest first.
inline constexpr size_t max_listed_candidates = 8;

struct read_decision {
    vorn_rescue_result result;  // status, entry, distances, hits, posterior
    bool exact = false;         // an exact, unique match: nothing was rescued
    bool tie_broken = false;    // assigned although another entry was as close
    uint32_t listed = 0;
    uint32_t candidates[max_listed_candidates];
};

// The windows of a batch of reads.  A read whose window does not fit has a
// null window (and a nonzero length): every library entry point answers it
// with the invalid record and no work.  tail: the window and up to k bases
// after it, for a window whose end may move; quals: the tail's qualities.
struct read_windows {
    const uint8_t *const *window;
    const size_t *window_len;
    const size_t *tail_len;
    const uint8_t *const *quals;
    size_t n;
};

class decider {
public:
    // exact_counts: reads per entry of the first pass (empty without the
    // rescue); kept by reference.  list: the entries, for the check beyond
    // the bound (see decide()); null leaves it out.
    decider(const vorn_index *index, size_t entries, const assign_options &opt,
            const std::vector<uint64_t> &exact_counts, const whitelist *list = nullptr);
    ~decider();
    decider(const decider &) = delete;
    decider &operator=(const decider &) = delete;

    // Bases after the window a read's tail holds.
    uint64_t tail_extra() const { return params_.fixed_window ? 0 : static_cast<uint64_t>(params_.k); }

    // The first pass: adds the reads whose window equals one entry.
    void count_exact(const read_windows &w, std::vector<vorn_match> *scratch, uint64_t *counts) const;
    // Decides every read of w into out[0, w.n) and adds the library's work
    // to *work.
    //
    // Beyond the bound: a read rescued to an entry with few exact reads may
    // instead carry one error more from an entry with far more, which the
    // search within the bound does not see (a read two substitutions from a
    // cell, one from an entry read once).  When an entry with at least
    // beyond_ratio times the exact reads of the one chosen lies within k + 1
    // (found in a small index of the entries with at least beyond_ratio
    // exact reads), the read is decided again with the bound k + 1, and keeps
    // its entry only if that decision gives it too.
    //
    // Safe to call from several threads at once.  Throws data_error when the
    // library refuses or runs out of memory.
    void decide(const read_windows &w, std::vector<vorn_match> *scratch, read_decision *out,
                vorn_stats *work) const;

private:
    struct exact_entry {
        uint32_t second_distance = UINT32_MAX;
        uint32_t hit_count = 0;
        vorn_stats work{0, 0};
    };
    // Workers racing on one entry store the same values; ready (hit count
    // + 1) is published last.
    struct memo_slot {
        std::atomic<uint32_t> ready{0};
        std::atomic<uint32_t> second_distance{0};
        std::atomic<uint32_t> candidates{0};
        std::atomic<uint32_t> verifications{0};
    };
    exact_entry exact_record(uint32_t e, const uint8_t *window, size_t len) const;
    void lookup(const read_windows &w, std::vector<vorn_match> *scratch) const;
    // Sets up the per-entry memo of exact reads at the first decide(), when
    // the first pass (if any) has filled exact_counts: with counts, only the
    // entries that have exact reads get a slot, since the second pass meets
    // exact reads of no other entry.
    void prepare_memo() const;
    // Builds the index of the abundant entries, when the check applies.
    void prepare_beyond() const;
    // Whether the decision d of the read of window i stands the check; when
    // it does not, *posterior is the top posterior of the wider decision.
    bool beyond_agrees(const read_windows &w, size_t i, const read_decision &d, double *posterior) const;
    // The memo slot of entry e, or null when e has none.
    memo_slot *slot_of(uint32_t e) const;

    const vorn_index *index_;
    size_t entries_;
    const whitelist *list_;
    const std::vector<uint64_t> &exact_counts_;
    vorn_rescue_params params_;
    mutable std::once_flag memo_ready_;
    mutable std::unique_ptr<memo_slot[]> memo_;
    // With counts: bit e of held_ says whether entry e has a slot, and
    // held_before_[w] how many entries below 64 * w have one (the slot's
    // number is that plus the set bits below e in its word).
    mutable std::vector<uint64_t> held_;
    mutable std::vector<uint32_t> held_before_;
    // The entries with at least beyond_ratio exact reads, indexed, and
    // their numbers in the list.
    mutable vorn_index *abundant_ = nullptr;
    mutable std::vector<uint32_t> abundant_ids_;
    mutable uint64_t most_exact_ = 0;  // the most exact reads of any entry
};

// Decisions held between passes: appends n decisions to *out, a few bytes
// each for an exact match (fields varint-coded, UINT32_MAX in one byte).
void pack_decisions(const read_decision *d, size_t n, std::string *out);
// The n decisions that pack_decisions wrote at the start of in; what
// follows them.  Throws data_error on bytes it did not write.
std::string_view unpack_decisions(std::string_view in, read_decision *d, size_t n);

// An extra substitution costs a read's likelihood a factor p / 3: about
// 1/300 at Q20, 1/30 at Q10.  An entry with under 100 times the reads of
// the chosen one would rarely outweigh that.
inline constexpr uint64_t beyond_ratio = 100;

}  // namespace velmora_pipeline

#endif
