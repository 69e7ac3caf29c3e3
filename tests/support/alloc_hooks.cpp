#include "alloc_hooks.h"

#include <gtest/gtest.h>

#include <cstddef>
#include <cstdlib>

extern "C" {
void *__real_malloc(size_t size);
void *__real_calloc(size_t n, size_t size);
void __real_free(void *p);
}

namespace {

thread_local bool g_armed = false;
thread_local uint64_t g_fail_at = 0;
thread_local uint64_t g_attempts = 0;
thread_local velmora_test::alloc_counters g_counters{};

// Decides whether this allocation attempt is the one to fail.
bool alloc_should_fail() {
    if (!g_armed) return false;
    g_attempts += 1;
    if (g_fail_at != 0 && g_attempts == g_fail_at) {
        g_counters.injected = true;
        return true;
    }
    return false;
}

void alloc_note(void *p) {
    if (g_armed && p != nullptr) {
        g_counters.allocations += 1;
        g_counters.live += 1;
    }
}

}  // namespace

extern "C" {

void *__wrap_malloc(size_t size) {
    if (alloc_should_fail()) return nullptr;
    void *p = __real_malloc(size);
    alloc_note(p);
    return p;
}

void *__wrap_calloc(size_t n, size_t size) {
    if (alloc_should_fail()) return nullptr;
    void *p = __real_calloc(n, size);
    alloc_note(p);
    return p;
}

void __wrap_free(void *p) {
    if (g_armed && p != nullptr) g_counters.live -= 1;
    __real_free(p);
}

}  // extern "C"

namespace velmora_test {

void alloc_arm(uint64_t fail_at) {
    g_armed = true;
    g_fail_at = fail_at;
    g_attempts = 0;
    g_counters = alloc_counters{0, 0, false};
}

alloc_counters alloc_disarm() {
    g_armed = false;
    return g_counters;
}

bool alloc_injected() { return g_counters.injected; }

uint64_t alloc_fault_sweep(const std::function<void(uint64_t)> &body, uint64_t max_runs) {
    for (uint64_t fail_at = 1; fail_at <= max_runs; ++fail_at) {
        alloc_arm(fail_at);
        body(fail_at);
        const alloc_counters c = alloc_disarm();
        EXPECT_EQ(c.live, 0) << "leak with allocation " << fail_at << " failing";
        if (!c.injected) return fail_at;
    }
    ADD_FAILURE() << "fault sweep did not converge";
    return max_runs;
}

alloc_counters alloc_measure(const std::function<void()> &body) {
    alloc_arm(0);
    body();
    return alloc_disarm();
}

}  // namespace velmora_test
