// What the old-against-new drivers share: a library build loaded with
// dlopen, its functions found by name, and the CPU time of the calling
// thread.
#ifndef VELMORA_BENCH_AB_LOAD_H
#define VELMORA_BENCH_AB_LOAD_H

#include <dlfcn.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <ctime>

#include "velmora.h"

namespace velmora_bench {

// The shapes of the batch entry points: with a bound, and exact.
using batch_fn = int32_t (*)(const vorn_index *, const uint8_t *const *, const size_t *, size_t, int32_t,
                             vorn_match *, vorn_stats *);
using exact_batch_fn = int32_t (*)(const vorn_index *, const uint8_t *const *, const size_t *, size_t,
                                   vorn_match *, vorn_stats *);

// The library at path, loaded on its own (so two builds may be loaded side
// by side); exits with a message when it cannot be.
inline void *load_library(const char *path) {
    void *h = dlopen(path, RTLD_NOW | RTLD_LOCAL);
    if (h == nullptr) {
        std::fprintf(stderr, "%s\n", dlerror());
        std::exit(2);
    }
    return h;
}

template <class F>
void find(void *handle, const char *name, F *out) {
    *out = reinterpret_cast<F>(dlsym(handle, name));
    if (*out == nullptr) {
        std::fprintf(stderr, "%s: %s\n", name, dlerror());
        std::exit(2);
    }
}

inline double cpu_microseconds() {
    timespec t;
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
    return static_cast<double>(t.tv_sec) * 1e6 + static_cast<double>(t.tv_nsec) / 1e3;
}

}  // namespace velmora_bench

#endif
