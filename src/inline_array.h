// The one growable list of the library: room for the first N elements inside
// the object, which lives in the caller's stack frame, so that the common
// query or read allocates nothing; past them, malloc'd storage that doubles.
// Growth reports failure by return value and leaves the contents as they
// were; the destructor releases what was allocated.  Elements are copied with
// memcpy, so they must be trivially copyable.
#ifndef VELMORA_SRC_INLINE_ARRAY_H
#define VELMORA_SRC_INLINE_ARRAY_H

#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <type_traits>

#include "common.h"

namespace velmora {

template <class T, size_t N>
class inline_array {
    static_assert(std::is_trivially_copyable_v<T>, "elements move with memcpy");
    static_assert(N > 0, "the inline room is what the list starts with");

public:
    inline_array() noexcept = default;
    ~inline_array() { release(); }
    // The storage pointer may point into the object itself.
    inline_array(const inline_array &) = delete;
    inline_array &operator=(const inline_array &) = delete;

    T *data() noexcept { return data_; }
    const T *data() const noexcept { return data_; }
    T *begin() noexcept { return data_; }
    T *end() noexcept { return data_ + size_; }
    T &operator[](size_t i) noexcept { return data_[i]; }
    const T &operator[](size_t i) const noexcept { return data_[i]; }
    size_t size() const noexcept { return size_; }
    size_t capacity() const noexcept { return capacity_; }

    // Room for at least need elements: the capacity doubles until it fits.
    // false, with the list unchanged, when the size would wrap or malloc fails.
    bool reserve(size_t need) noexcept {
        if (need <= capacity_) return true;
        size_t grown = capacity_;
        while (grown < need) {
            if (!checked_mul(grown, 2, &grown)) return false;
        }
        size_t bytes;
        if (!checked_mul(grown, sizeof(T), &bytes)) return false;
        T *p = static_cast<T *>(std::malloc(bytes));
        if (p == nullptr) return false;
        std::memcpy(p, data_, size_ * sizeof(T));
        release();
        data_ = p;
        capacity_ = grown;
        return true;
    }

    bool push(const T &v) noexcept {
        if (size_ == capacity_ && !reserve(size_ + 1)) return false;
        data_[size_++] = v;
        return true;
    }

    // Appends n elements from p (which may be null when n is 0).
    // Sets the size to n <= capacity(): a shorter list keeps its first n
    // elements; a longer one takes elements the caller wrote into data().
    void set_size(size_t n) noexcept {
        VELMORA_ASSERT(n <= capacity_);
        size_ = n;
    }

    // Releases the heap storage and empties the list; it can be used again.
    void reset() noexcept {
        release();
        data_ = inline_;
        size_ = 0;
        capacity_ = N;
    }

private:
    void release() noexcept {
        if (data_ != inline_) std::free(data_);
    }

    T *data_ = inline_;
    size_t size_ = 0;
    size_t capacity_ = N;
    T inline_[N];
};

}  // namespace velmora

#endif
