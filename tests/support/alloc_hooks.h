// Allocation hooks for the test binaries, which link the library objects with
// -Wl,--wrap=malloc,--wrap=calloc,--wrap=free.  While armed,
// the hooks count allocations and live blocks, and can make the Nth
// allocation fail.
//
//   alloc_fault_sweep([&](uint64_t fail_at) {...}) runs a call with the 1st,
//   2nd, ... allocation failing until a run completes without any injected
//   failure; the callback checks the outcome of each run (alloc_injected()
//   tells whether this run's failure has happened yet).
#ifndef VELMORA_TESTS_ALLOC_HOOKS_H
#define VELMORA_TESTS_ALLOC_HOOKS_H

#include <cstdint>
#include <functional>

namespace velmora_test {

struct alloc_counters {
    uint64_t allocations;  // successful malloc/calloc calls while armed
    int64_t live;          // allocations minus frees of non-null pointers while armed
    bool injected;         // the armed run had an allocation made to fail
};

// Arms the hooks for the current thread; fail_at = N makes the Nth
// allocation (1-based) return null, 0 never fails.
void alloc_arm(uint64_t fail_at);
// Disarms and returns what was seen while armed.
alloc_counters alloc_disarm();

// Runs body(fail_at) for fail_at = 1, 2, ... with the hooks armed; body must
// leave nothing allocated (free what the call returned).  Stops after the
// first run in which no failure was injected and returns the number of runs.
// Every run must end with no live block; a leak fails the current test.
uint64_t alloc_fault_sweep(const std::function<void(uint64_t fail_at)> &body,
                           uint64_t max_runs = 100000);

// True once the armed run has had an allocation made to fail.
bool alloc_injected();

// Counts what one call allocates: the number of allocations and whether any
// block was left live.
alloc_counters alloc_measure(const std::function<void()> &body);

}  // namespace velmora_test

#endif
