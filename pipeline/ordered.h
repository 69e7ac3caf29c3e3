// Batches processed on worker threads and handed back in input order, with
// a bounded number in flight: the driver of both jobs' second pass.  The
// calling thread parses and writes; at most 2N + 2 batches are in flight, so
// memory stays bounded whatever the input size.
#ifndef VELMORA_PIPELINE_ORDERED_H
#define VELMORA_PIPELINE_ORDERED_H

#include <condition_variable>
#include <cstdint>
#include <exception>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "base.h"
#include "pool.h"

namespace velmora_pipeline {

// Batch needs a uint64_t seq_no.  fill(Batch &) reads the next batch (false
// at the end of input), process(Batch &) runs on a worker and may throw
// (the first error is rethrown as data_error on the calling thread),
// write(Batch &) runs on the calling thread in input order.  With one thread
// everything runs on the calling thread.
template <class Batch, class Fill, class Process, class Write>
void run_in_order(unsigned threads, Fill &&fill, Process &&process, Write &&write) {
    if (threads <= 1) {
        Batch b;
        while (fill(b)) {
            process(b);
            write(b);
        }
        return;
    }
    const size_t max_in_flight = 2 * size_t{threads} + 2;
    std::mutex mutex;
    std::condition_variable done_cv;
    std::vector<Batch *> slots(max_in_flight, nullptr);
    std::string error;
    std::vector<std::unique_ptr<Batch>> owned;
    std::vector<Batch *> spare;
    uint64_t next_seq = 0, next_write = 0;
    task_pool pool(threads);
    auto take = [&](uint64_t seq_no, bool wait) -> Batch * {
        std::unique_lock<std::mutex> lock(mutex);
        Batch *&slot = slots[seq_no % slots.size()];
        for (;;) {
            if (!error.empty()) throw data_error(error);
            if (slot && slot->seq_no == seq_no) {
                Batch *b = slot;
                slot = nullptr;
                return b;
            }
            if (!wait) return nullptr;
            done_cv.wait(lock);
        }
    };
    auto write_ready = [&](bool wait) {
        while (next_write < next_seq) {
            Batch *b = take(next_write, wait);
            if (!b) return;
            write(*b);
            spare.push_back(b);
            ++next_write;
            wait = false;
        }
    };
    try {
        for (;;) {
            if (next_seq - next_write >= max_in_flight) write_ready(true);
            if (spare.empty()) {
                owned.push_back(std::make_unique<Batch>());
                spare.push_back(owned.back().get());
            }
            Batch *b = spare.back();
            if (!fill(*b)) break;
            spare.pop_back();
            b->seq_no = next_seq++;
            pool.submit([&, b] {
                std::string err;
                try {
                    process(*b);
                } catch (const std::exception &e) {
                    err = e.what();
                }
                {
                    std::lock_guard<std::mutex> lock(mutex);
                    if (!err.empty() && error.empty()) error = err;
                    slots[b->seq_no % slots.size()] = b;
                }
                done_cv.notify_all();
            });
            write_ready(false);
        }
        while (next_write < next_seq) write_ready(true);
    } catch (...) {
        pool.wait_idle();
        throw;
    }
}

}  // namespace velmora_pipeline

#endif
