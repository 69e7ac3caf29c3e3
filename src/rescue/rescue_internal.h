// Shared by the two halves of the per-read decision: the entry point, which
// gathers the references within the bound over the read's windows, and the
// quality model, which scores each candidate.
#ifndef VELMORA_SRC_RESCUE_INTERNAL_H
#define VELMORA_SRC_RESCUE_INTERNAL_H

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "common.h"

namespace velmora {

// An array with inline room for the common read (a barcode, a handful of
// hits) that moves to the heap only when a read needs more.  grow() keeps the
// contents; false means no memory, with the contents untouched.
template <class T, size_t Inline>
class rescue_buffer {
public:
    rescue_buffer() = default;
    rescue_buffer(const rescue_buffer &) = delete;
    rescue_buffer &operator=(const rescue_buffer &) = delete;
    ~rescue_buffer() {
        if (data_ != inline_) std::free(data_);
    }

    bool grow(size_t need) noexcept {
        if (need <= capacity_) return true;
        size_t bytes;
        if (!checked_mul(need, sizeof(T), &bytes)) return false;
        T *p = static_cast<T *>(std::malloc(bytes));
        if (p == nullptr) return false;
        std::memcpy(p, data_, size_ * sizeof(T));
        if (data_ != inline_) std::free(data_);
        data_ = p;
        capacity_ = need;
        return true;
    }

    T *data() noexcept { return data_; }
    const T *data() const noexcept { return data_; }
    T &operator[](size_t i) noexcept { return data_[i]; }
    const T &operator[](size_t i) const noexcept { return data_[i]; }
    size_t size() const noexcept { return size_; }
    size_t capacity() const noexcept { return capacity_; }
    void set_size(size_t n) noexcept { size_ = n; }

private:
    T inline_[Inline];
    T *data_ = inline_;
    size_t size_ = 0;
    size_t capacity_ = Inline;
};

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
    rescue_buffer<rescue_base_logs, 64> bases;
    rescue_buffer<double, 80> rows;
};

// Prepares scratch for model; false when memory could not be had.
bool rescue_model_prepare(const rescue_read_model &model, rescue_scratch &scratch) noexcept;

// Log-likelihood of the read given the reference (ref, ref_len): the most
// likely alignment of a read prefix of length shortest..longest with the whole
// reference, within the band.  -inf when no such alignment has a nonzero
// probability.  Needs rescue_model_prepare first.
double rescue_log_likelihood(const rescue_read_model &model, rescue_scratch &scratch,
                             const uint8_t *ref, size_t ref_len) noexcept;

}  // namespace velmora

#endif
