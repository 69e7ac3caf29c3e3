// The tool's worker threads: a fixed set that takes submitted tasks in the
// order they were submitted.
#ifndef VELMORA_PIPELINE_POOL_H
#define VELMORA_PIPELINE_POOL_H

#include <condition_variable>
#include <cstddef>
#include <deque>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

namespace velmora_pipeline {

class task_pool {
public:
    explicit task_pool(unsigned threads);
    // Tasks not yet started are dropped; running ones finish first.
    ~task_pool();
    task_pool(const task_pool &) = delete;
    task_pool &operator=(const task_pool &) = delete;

    unsigned size() const { return static_cast<unsigned>(threads_.size()); }
    // A task must not throw: each caller keeps its own errors, to report them
    // where the task's result is awaited.
    void submit(std::function<void()> task);
    // Returns once every task submitted so far has finished.
    void wait_idle();

private:
    void run();

    std::mutex mutex_;
    std::condition_variable work_cv_, idle_cv_;
    std::deque<std::function<void()>> todo_;
    size_t running_ = 0;
    bool closing_ = false;
    std::vector<std::thread> threads_;
};

}  // namespace velmora_pipeline

#endif
