#pragma once
// The portable threaded-call target: a message loop on the model's thread, used when no window
// serves the calls (windowless mode, tests).
// Thread contract: the thread that constructs the loop is the model's thread. Run, RunUntil,
// ProcessPending, Drain and ServeSentCallsUntil run only there, and so do the timers' actions.
// Send, Post, Quit, BeginShutdown, IsShuttingDown, SetQuitBeginsShutdown, QuitRequested,
// StartTimer, StopTimer and TimerPending may be called from any thread; QuitFromSignal is the only
// member that is async-signal-safe. A sender blocked in Send is released when the loop is
// destroyed, but threads that may still call Send or Post afterwards must be joined first.

#include "base/UException.h"
#include "core/UThreadedCallTarget.h"

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <thread>

TESSIVAR_EXCEPTION(MessageLoopException, Exception);

class TMessageLoop : public IThreadedCallTarget {
public:
    TMessageLoop();
    // Begins the shutdown (waiting senders get false), waits until no sender is inside Send, and
    // frees the calls still queued without running them.
    ~TMessageLoop() override;
    TMessageLoop(const TMessageLoop&) = delete;
    TMessageLoop& operator=(const TMessageLoop&) = delete;

    void SetDispatcher(TDispatcher dispatcher) override;
    // Returns true once the model's thread has run the call (also when the dispatcher failed);
    // false at once while shutting down, or when no dispatcher is set. A worker blocked here is
    // released with false when the shutdown begins before its call has started.
    bool Send(TThreadedCallData& data) override;
    // Takes ownership of the data. Calls run in the order they were queued, across all threads.
    // Calls queued while shutting down are kept for Drain and otherwise freed unrun.
    void Post(std::unique_ptr<TThreadedCallData> data) override;

    // On the model's thread: runs the sent calls that arrive (in order) until done() is true or the
    // time-out passes; posts stay queued for later. Returns done().
    bool ServeSentCallsUntil(const std::function<bool()>& done, std::chrono::milliseconds timeout) override;

    // Serves queued calls until Quit; then, unless the quit was told not to, begins the shutdown
    // and returns. Queued posts stay queued (see Drain). Returns at once after an earlier quit.
    void Run();
    // Serves queued calls and timers, like Run, until done() holds (looked at after each call and
    // timer) or a quit is asked for; unlike Run, it may be called again and again. Returns done().
    bool RunUntil(const std::function<bool()>& done);
    // Ends Run and, unless SetQuitBeginsShutdown(false) was called, begins the shutdown.
    void Quit();
    // Async-signal-safe form of Quit for SIGINT/SIGTERM handlers: sets a flag and writes to an
    // eventfd; Run, ProcessPending and waiting senders act on it.
    void QuitFromSignal() noexcept;
    // Default true. With false, a quit only ends Run (and ProcessPending): workers' sends are still
    // accepted and served by ServeSentCallsUntil, so that an owner can stop its workers after Run
    // while their last calls still reach the model; the owner then calls BeginShutdown itself.
    // Set it before Run.
    void SetQuitBeginsShutdown(bool value);
    // Quit or QuitFromSignal has been called.
    bool QuitRequested() const;
    // Refuses further Sends and releases the senders waiting for a call that has not started.
    void BeginShutdown();
    bool IsShuttingDown() const;
    // Calls waiting in the queue (posts and sends not yet started).
    size_t QueuedCount() const;

    // One-shot timers: the action runs once on the model's thread, from Run or ProcessPending, when
    // the delay has passed and the loop is neither quitting nor shutting down; timers still waiting
    // then never run. Timers due together run in the order of their times. Returns the timer's id
    // (never 0).
    using TTimerID = uint64_t;
    TTimerID StartTimer(std::chrono::milliseconds delay, std::function<void()> action);
    // False when the timer has run or was stopped already.
    bool StopTimer(TTimerID id);
    bool TimerPending(TTimerID id) const;

    // Runs the calls queued so far, then the timers due, without waiting for more; nothing while
    // shutting down. Returns the number of calls and timers run.
    size_t ProcessPending();
    // Runs the posts queued so far, also while shutting down: for an owner that wants the last
    // notifications handled rather than dropped. Returns the number of calls run.
    size_t Drain();

    // For an event loop that drives this one (the windows' Qt loop): a descriptor that becomes
    // readable when a call is queued, a timer is started or a quit is asked for. ClearWake (model's
    // thread) makes it unreadable again; call it before ProcessPending, so that nothing queued after
    // the clear goes unnoticed.
    int WakeHandle() const { return m_WakeFd; }
    void ClearWake();
    // Milliseconds until the next timer is due (rounded up), or -1 when none waits.
    int TimeToNextTimer() const;

private:
    struct TSendState;
    struct TEntry {
        std::unique_ptr<TThreadedCallData> Posted; // owned data of a post
        TThreadedCallData* Sent = nullptr;         // the sender's data; the sender waits for it
        TSendState* State = nullptr;               // the waiting sender's state (on its stack)
    };

    void CheckThread(const char* operation) const;
    void Wake() noexcept;
    // A quit ends serving (Run, ProcessPending): shutting down, or a quit that does not shut down.
    bool Quitting() const;
    // Waits until a call is queued or a quit is asked for; -1: no time limit.
    void WaitForWork(int timeoutMs = -1);
    // Runs at most `limit` queued calls (only sent ones when sentOnly); stops early when
    // stopIfQuitting and a quit is asked for.
    size_t Serve(size_t limit, bool stopIfQuitting, bool sentOnly = false);
    bool RunEntry(TEntry& entry);
    void HandleSignalledQuit();
    // Runs the timers that were due when it began (those started meanwhile wait for the next
    // round); stops when a quit is asked for. Returns the number run.
    size_t RunDueTimers();

    // Constant after construction
    const std::thread::id m_ModelThread;
    const int m_WakeFd; // eventfd written for every queued call and every quit

    // Lock-free flags: m_QuitSignalled is set by QuitFromSignal, m_QuitRequested by Quit,
    // m_ShuttingDown under m_Lock.
    std::atomic<bool> m_QuitSignalled{false};
    std::atomic<bool> m_QuitRequested{false};
    std::atomic<bool> m_ShuttingDown{false};
    std::atomic<bool> m_QuitBeginsShutdown{true};

    // Guarded by m_Lock
    mutable std::mutex m_Lock;
    std::condition_variable m_Changed; // a sent call finished, was released, or a sender left
    std::deque<TEntry> m_Queue;
    std::shared_ptr<TDispatcher> m_Dispatcher; // shared so that a running call survives SetDispatcher
    size_t m_ActiveSenders = 0;
    struct TTimer {
        std::chrono::steady_clock::time_point Due;
        std::function<void()> Action;
    };
    std::map<TTimerID, TTimer> m_Timers;
    TTimerID m_LastTimerID = 0;
};

// A window-style one-shot timer on a message loop: a fixed interval; Start arms it unless it is
// armed already (so a stream of starts does not put the tick off), Stop disarms it, and each arming
// ticks at most once, disarmed before the action runs. Model's thread only; the loop must outlive
// it.
class TLoopTimer {
public:
    TLoopTimer(TMessageLoop& loop, std::chrono::milliseconds interval, std::function<void()> onTimer);
    ~TLoopTimer();
    TLoopTimer(const TLoopTimer&) = delete;
    TLoopTimer& operator=(const TLoopTimer&) = delete;

    void Start();
    void Stop();
    bool Active() const { return m_ID != 0; }
    std::chrono::milliseconds Interval() const { return m_Interval; }

private:
    TMessageLoop& m_Loop;
    const std::chrono::milliseconds m_Interval;
    const std::function<void()> m_OnTimer;
    TMessageLoop::TTimerID m_ID = 0;
};
