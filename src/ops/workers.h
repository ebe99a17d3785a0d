// Two workers, one a core, for the modes over many entries whose pieces of
// work are independent. The caller hands jobs over in order; at most two
// wait. The first failure stops the rest and is handed on to the caller;
// without a thread to be had, the caller does each job itself.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <exception>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

#include "base/progress.h"
#include "base/trace.h"

namespace velmorin {

// A job returns how many bytes it went through, for the progress line.
using worker_job = std::function<uint64_t()>;

class worker_pool {
public:
    explicit worker_pool(progress_line& progress);
    ~worker_pool();  // joins the workers however the run ends
    worker_pool(const worker_pool&) = delete;
    worker_pool& operator=(const worker_pool&) = delete;

    // Queues `job`, waiting while two wait; a worker's failure ends the run here.
    void hand_over(worker_job job);
    // Waits for every job; a worker's failure ends the run here.
    void finish();

private:
    void work();
    shared_trace shared_;  // the workers may trace at once
    progress_line& progress_;
    std::mutex lock_;
    std::condition_variable changed_;
    std::deque<worker_job> jobs_;
    bool closing_ = false;
    std::exception_ptr failed_;
    uint64_t bytes_done_ = 0;
    uint32_t done_ = 0;
    std::vector<std::thread> threads_;
};

}  // namespace velmorin
