#include "pool.h"

#include <utility>

namespace velmora_pipeline {

task_pool::task_pool(unsigned threads) {
    threads_.reserve(threads);
    for (unsigned i = 0; i < threads; ++i) threads_.emplace_back([this] { run(); });
}

task_pool::~task_pool() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        closing_ = true;
        todo_.clear();
    }
    work_cv_.notify_all();
    for (std::thread &t : threads_) t.join();
}

void task_pool::submit(std::function<void()> task) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        todo_.push_back(std::move(task));
    }
    work_cv_.notify_one();
}

void task_pool::wait_idle() {
    std::unique_lock<std::mutex> lock(mutex_);
    idle_cv_.wait(lock, [this] { return todo_.empty() && running_ == 0; });
}

void task_pool::run() {
    for (;;) {
        std::function<void()> task;
        {
            std::unique_lock<std::mutex> lock(mutex_);
            work_cv_.wait(lock, [this] { return closing_ || !todo_.empty(); });
            if (closing_) return;
            task = std::move(todo_.front());
            todo_.pop_front();
            ++running_;
        }
        task();
        {
            std::lock_guard<std::mutex> lock(mutex_);
            --running_;
        }
        idle_cv_.notify_all();
    }
}

}  // namespace velmora_pipeline
