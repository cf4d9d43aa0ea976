// Streams checked ahead on the pool's threads and taken in their order on the calling thread: the
// check reads only inputs, so it may run on any thread and early, while what the user sees (the
// outputs made, the lines printed) happens one stream after the other, in the order given, as with
// one thread. With one thread, each stream is checked, then taken, in turn on the calling thread.
#pragma once

#include <algorithm>
#include <memory>
#include <new>
#include <optional>

#include "core/result_code.h"
#include "stream/work_pool.h"

// One stream handed out: its state is set up by next, filled by check and read by take.
template <typename State, typename Check>
struct StreamInFlight {
    PoolJob job;
    Check* check = nullptr;
    std::optional<State> state;

    static void run(void* context) {
        StreamInFlight& self = *static_cast<StreamInFlight*>(context);
        (*self.check)(*self.state);
    }
};

// The streams handed out and not yet taken, oldest first; every one is settled on the way out,
// before the states they fill go.
template <typename State, typename Check>
struct StreamsInFlight {
    WorkPool& pool;
    std::unique_ptr<StreamInFlight<State, Check>[]> ring;  // never moved: the pool holds its jobs
    size_t size = 0;
    size_t first = 0;
    size_t count = 0;
    ~StreamsInFlight() {
        for (; count > 0; --count) drop();
    }
    StreamInFlight<State, Check>& at(size_t index) { return ring[(first + index) % size]; }
    void drop() {
        settleJob(pool, at(0).job);
        at(0).state.reset();
        first = (first + 1) % size;
    }
};

// Hands out streams while there is room: next(state), on the calling thread, sets one up (false:
// none is left); false once none is.
template <typename State, typename Check, typename Next>
bool handOutStreams(StreamsInFlight<State, Check>& out, Check& check, Next& next) {
    while (out.count < out.size) {
        StreamInFlight<State, Check>& stream = out.at(out.count);
        if (!next(stream.state.emplace())) return false;
        stream.check = &check;
        stream.job = PoolJob{StreamInFlight<State, Check>::run, &stream};
        if (failed(queueJob(out.pool, stream.job))) {  // no room in the queue: checked here and now
            stream.run(&stream);
            stream.job.done = true;
        }
        if (++out.count == 2) startPoolThreads(out.pool);
    }
    return true;
}

// check(state) runs on whichever thread takes it, at most 2 x threads - 1 streams ahead of the one
// taken, so memory is bounded by the threads; take(state) runs on the calling thread, in order,
// once that stream's check is done, and returns false where no stream after it is to be taken.
// check may not throw; where next or take finds no memory (std::bad_alloc), or the streams in
// flight find none, the streams handed out are settled and the result is OutOfMemory.
template <typename State, typename Next, typename Check, typename Take>
ResultCode checkInOrder(unsigned threads, Next next, Check check, Take take) {
    WorkPool pool(std::max(threads, 1u));
    try {
        StreamsInFlight<State, Check> out{pool, {}};
        out.size = 2 * size_t{pool.threadsAllowed} - 1;
        out.ring = std::make_unique<StreamInFlight<State, Check>[]>(out.size);
        bool more = true;
        for (;;) {
            if (more) more = handOutStreams(out, check, next);
            if (out.count == 0) return ResultCode::Success;
            waitForJob(pool, out.at(0).job);
            const bool goOn = take(*out.at(0).state);
            out.drop();
            --out.count;
            if (!goOn) return ResultCode::Success;
        }
    } catch (const std::bad_alloc&) {
        return ResultCode::OutOfMemory;
    }
}
