#include "ops/workers.h"

#include "base/failure.h"

namespace velmorin {

worker_pool::worker_pool(progress_line& progress) : progress_(progress) {
    for (int k = 0; k < 2; ++k) {
        try {
            threads_.emplace_back([this] { work(); });
        } catch (const std::exception&) {
            break;  // the others, or the caller itself, do the work
        }
    }
}

worker_pool::~worker_pool() {
    {
        std::lock_guard<std::mutex> held(lock_);
        closing_ = true;
        if (!failed_) failed_ = std::make_exception_ptr(run_ended{255});
        changed_.notify_all();
    }
    for (std::thread& t : threads_) t.join();
}

void worker_pool::work() {
    for (;;) {
        std::unique_lock<std::mutex> held(lock_);
        changed_.wait(held, [&] { return !jobs_.empty() || closing_ || failed_; });
        if (failed_ || jobs_.empty()) return;
        worker_job job = std::move(jobs_.front());
        jobs_.pop_front();
        held.unlock();
        uint64_t bytes = 0;
        try {
            bytes = job();
        } catch (...) {
            held.lock();
            if (!failed_) failed_ = std::current_exception();
            changed_.notify_all();
            return;
        }
        held.lock();
        ++done_;
        bytes_done_ += bytes;
        changed_.notify_all();
    }
}

void worker_pool::hand_over(worker_job job) {
    if (threads_.empty()) {
        bytes_done_ += job();
        return show_progress(progress_, ++done_, bytes_done_);
    }
    std::unique_lock<std::mutex> held(lock_);
    changed_.wait(held, [&] { return jobs_.size() < 2 || failed_; });
    if (failed_) std::rethrow_exception(failed_);
    jobs_.push_back(std::move(job));
    changed_.notify_all();
    uint32_t done = done_;
    uint64_t bytes = bytes_done_;
    held.unlock();
    show_progress(progress_, done, bytes);
}

void worker_pool::finish() {
    {
        std::unique_lock<std::mutex> held(lock_);
        closing_ = true;
        changed_.notify_all();
        // Waits with the progress line moving.
        while (!jobs_.empty() && !failed_) {
            changed_.wait(held);
            uint32_t done = done_;
            uint64_t bytes = bytes_done_;
            held.unlock();
            show_progress(progress_, done, bytes);
            held.lock();
        }
    }
    for (std::thread& t : threads_) t.join();
    threads_.clear();
    if (failed_) std::rethrow_exception(failed_);
}

}  // namespace velmorin
