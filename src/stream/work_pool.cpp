#include "stream/work_pool.h"

#include <algorithm>
#include <exception>
#include <new>

#include "io/output_file.h"

namespace {

// Runs the first queued job, the lock held before and after but not during; false when none is queued.
bool runQueuedJob(WorkPool& pool, std::unique_lock<std::mutex>& held) {
    if (pool.queued.empty()) return false;
    PoolJob& job = *pool.queued.front();
    pool.queued.pop_front();
    held.unlock();
    job.run(job.context);
    held.lock();
    job.done = true;
    pool.changed.notify_all();
    return true;
}

void serve(WorkPool& pool) {
    std::unique_lock held(pool.lock);
    while (!pool.closing) {
        if (!runQueuedJob(pool, held)) pool.changed.wait(held);
    }
}

}  // namespace

WorkPool::~WorkPool() {
    {
        const std::lock_guard held(lock);
        closing = true;
        changed.notify_all();
    }
    threads.clear();  // each joined
}

ResultCode queueJob(WorkPool& pool, PoolJob& job) {
    const std::lock_guard held(pool.lock);
    try {
        pool.queued.push_back(&job);
    } catch (const std::bad_alloc&) {
        return ResultCode::OutOfMemory;
    }
    job.done = false;
    pool.changed.notify_one();
    return ResultCode::Success;
}

void startPoolThreads(WorkPool& pool) {
    const CleanupSignalsHeld held;  // the pool's threads never run the cleanup: they own no file
    try {
        while (pool.threads.size() + pool.threadsBusy < pool.threadsAllowed) {
            pool.threads.emplace_back([&pool] { serve(pool); });
        }
    } catch (const std::exception&) {  // refused by a system limit, or no memory for it: fewer threads
    }
}

void waitForJob(WorkPool& pool, PoolJob& job) {
    std::unique_lock held(pool.lock);
    while (!job.done) {
        if (!runQueuedJob(pool, held) && !job.done) pool.changed.wait(held);
    }
}

void settleJob(WorkPool& pool, PoolJob& job) {
    {
        const std::lock_guard held(pool.lock);
        const auto queued = std::find(pool.queued.begin(), pool.queued.end(), &job);
        if (queued != pool.queued.end()) {
            pool.queued.erase(queued);
            job.done = true;
            return;
        }
    }
    waitForJob(pool, job);
}

void helpPool(WorkPool& pool, const std::atomic<bool>& over) {
    std::unique_lock held(pool.lock);
    while (!over) {
        if (!runQueuedJob(pool, held) && !over) pool.changed.wait(held);
    }
}

void wakePool(WorkPool& pool) {
    const std::lock_guard held(pool.lock);
    pool.changed.notify_all();
}
