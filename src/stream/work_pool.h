// The threads that share a conversion's work: jobs handed out in the order they are given, each
// run on whichever thread takes it first, its owner waiting for it alone. A thread that waits runs
// queued jobs meanwhile, so that no thread idles while work is queued, and with no thread started
// at all every job runs on the thread that waits for it. The pool starts its threads only once work
// is queued beside work running; one that can't be started leaves the work to fewer threads.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <deque>
#include <mutex>
#include <thread>
#include <vector>

#include "core/result_code.h"

// One piece of work; its owner keeps it alive until it is done or taken back.
struct PoolJob {
    void (*run)(void* context) = nullptr;
    void* context = nullptr;
    bool done = false;  // under the pool's lock
};

struct WorkPool {
    explicit WorkPool(unsigned threads) : threadsAllowed(threads) {}
    WorkPool(const WorkPool&) = delete;
    WorkPool& operator=(const WorkPool&) = delete;
    ~WorkPool();  // tells the threads to end and joins them

    unsigned threadsAllowed;  // the threads that may share the work, the ones that wait included
    unsigned threadsBusy = 1;  // those not started by the pool: the one that made it, and any lent
    std::mutex lock;
    std::condition_variable changed;
    std::deque<PoolJob*> queued;  // as long as the owners let it grow: they hold the jobs
    bool closing = false;
    std::vector<std::jthread> threads;
};

// Queues a job; OutOfMemory where no room was left for it (the job is then not queued).
ResultCode queueJob(WorkPool& pool, PoolJob& job);

// Starts the pool's threads, as many as are allowed beside the busy ones and not yet started. One
// thread alone starts them: the one that hands out the work.
void startPoolThreads(WorkPool& pool);

// Returns once the job is done, running queued jobs (this one, or others) meanwhile.
void waitForJob(WorkPool& pool, PoolJob& job);

// Takes the job back where no thread has started it yet, else waits until it is done.
void settleJob(WorkPool& pool, PoolJob& job);

// Runs queued jobs on the calling thread until over is set; whoever sets it calls wakePool after.
void helpPool(WorkPool& pool, const std::atomic<bool>& over);
void wakePool(WorkPool& pool);
