// Shared by the two halves of the per-read decision: the entry point, which
// gathers the references within the bound over the read's windows, and the
// quality model, which scores each candidate.
#ifndef VELMORA_SRC_RESCUE_INTERNAL_H
#define VELMORA_SRC_RESCUE_INTERNAL_H

#include <cstddef>
#include <cstdint>

#include "common.h"
#include "inline_array.h"

namespace velmora {

// What the quality model needs to know about one read.
struct rescue_read_model {
    const uint8_t *read;
    const uint8_t *quals;    // may be null: every base at RESCUE_DEFAULT_ERROR
    size_t read_len;
    size_t shortest;         // read prefix lengths an alignment may end at:
    size_t longest;          //   shortest .. longest (both <= read_len)
    size_t band;             // an alignment stays within band of the diagonal
    double log_indel_weight; // -inf when indels are not allowed
    uint32_t quality_offset;
};

inline constexpr double RESCUE_DEFAULT_ERROR = 0.001;
// A Phred score of 0 or 1 would give an error probability of 1 or more,
// which makes a matching base impossible; cap it.
inline constexpr double RESCUE_MAX_ERROR = 0.75;

// Per-position log probabilities of the read's bases, filled once per read.
struct rescue_base_logs {
    double match;  // log(1 - p)
    double subst;  // log(p / 3)
    double error;  // log(p)
};

// Working memory of the model for one read: the base table and two rows of
// the banded alignment.
struct rescue_scratch {
    inline_array<rescue_base_logs, 64> bases;
    inline_array<double, 80> rows;
};

// Prepares scratch for model; false when memory could not be had.
bool rescue_model_prepare(const rescue_read_model &model, rescue_scratch &scratch) noexcept;

// Whether the read has an alignment of nonzero probability with a reference
// of ref_len bytes, that is whether rescue_log_likelihood() is above -inf:
// matched and substituted bases always have one (p is above 0 and capped
// below 1), a gap only with a positive indel weight, so some allowed prefix
// length must lie within the band of ref_len, or equal it without indels.
bool rescue_alignment_possible(const rescue_read_model &model, size_t ref_len) noexcept;

// Log-likelihood of the read given the reference (ref, ref_len): the most
// likely alignment of a read prefix of length shortest..longest with the whole
// reference, within the band.  -inf when no such alignment has a nonzero
// probability.  Needs rescue_model_prepare first.
double rescue_log_likelihood(const rescue_read_model &model, rescue_scratch &scratch,
                             const uint8_t *ref, size_t ref_len) noexcept;

}  // namespace velmora

#endif
