#pragma once
// The road from worker threads to the model's thread. A target runs threaded-call data objects on
// the model's thread, in the order they arrive. Send and Post may be called from any thread.

#include <chrono>
#include <functional>
#include <memory>
#include <thread>

// Base of every threaded-call data object.
class TThreadedCallData {
public:
    virtual ~TThreadedCallData() = default;
};

class IThreadedCallTarget {
public:
    // The model's handler, run on the model's thread for each call.
    using TDispatcher = std::function<void(TThreadedCallData&)>;

    virtual ~IThreadedCallTarget() = default;
    virtual void SetDispatcher(TDispatcher dispatcher) = 0;
    // Runs the call on the model's thread and waits until it has run; on that thread itself it runs
    // at once. Returns false without running it once the model's thread is shutting down. A failure
    // raised by the dispatcher stays on the model's thread; the sender sees the call as run.
    virtual bool Send(TThreadedCallData& data) = 0;
    // Queues the call and returns; takes ownership of the data, freed after it has run (or dropped
    // at shutdown).
    virtual void Post(std::unique_ptr<TThreadedCallData> data) = 0;

    // On the model's thread: waits until done() is true or the time-out passes, running the calls
    // that workers send meanwhile, so that a worker the model waits for can never wait on the model
    // in turn. Returns done(). The default only polls; targets that queue sent calls override it.
    virtual bool ServeSentCallsUntil(const std::function<bool()>& done, std::chrono::milliseconds timeout) {
        const auto deadline = std::chrono::steady_clock::now() + timeout;
        while (!done()) {
            if (std::chrono::steady_clock::now() >= deadline)
                return done();
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        return true;
    }
};
