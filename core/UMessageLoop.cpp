#include "core/UMessageLoop.h"

#include "base/UDebug.h"
#include "base/UWindows.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <limits>
#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

static_assert(std::atomic<bool>::is_always_lock_free, "QuitFromSignal needs a lock-free flag");

namespace {

int CreateWakeFd() {
    int fd = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (fd < 0) {
        throw MessageLoopException("Could not create the message loop's wake-up event: " + LastErrorMessage());
    }
    return fd;
}

// How often a waiting sender looks whether a signal asked the loop to quit.
constexpr std::chrono::milliseconds SignalCheckInterval{100};

} // namespace

struct TMessageLoop::TSendState {
    bool Started = false; // the model's thread has taken the call off the queue
    bool Done = false;    // the sender may return
    bool Ran = false;     // what Send returns
};

TMessageLoop::TMessageLoop() : m_ModelThread(std::this_thread::get_id()), m_WakeFd(CreateWakeFd()) {}

TMessageLoop::~TMessageLoop() {
    BeginShutdown();
    {
        std::unique_lock lock(m_Lock);
        m_Changed.wait(lock, [this] { return m_ActiveSenders == 0; });
        m_Queue.clear(); // posts that never ran are freed here
    }
    ::close(m_WakeFd);
}

void TMessageLoop::SetDispatcher(TDispatcher dispatcher) {
    auto shared = std::make_shared<TDispatcher>(std::move(dispatcher));
    std::lock_guard lock(m_Lock);
    m_Dispatcher = std::move(shared);
}

bool TMessageLoop::Send(TThreadedCallData& data) {
    if (IsShuttingDown()) {
        return false;
    }
    if (std::this_thread::get_id() == m_ModelThread) {
        TEntry entry;
        entry.Sent = &data;
        return RunEntry(entry);
    }
    TSendState state;
    std::unique_lock lock(m_Lock);
    if (IsShuttingDown()) {
        return false;
    }
    TEntry entry;
    entry.Sent = &data;
    entry.State = &state;
    m_Queue.push_back(std::move(entry));
    ++m_ActiveSenders;
    Wake();
    while (!state.Done) {
        m_Changed.wait_for(lock, SignalCheckInterval);
        if (!state.Done && !state.Started && m_QuitSignalled && m_QuitBeginsShutdown) {
            // The loop may never serve this call now; the data stays ours, so it may be dropped.
            auto mine =
                std::find_if(m_Queue.begin(), m_Queue.end(), [&](const TEntry& e) { return e.State == &state; });
            if (mine != m_Queue.end()) {
                m_Queue.erase(mine);
            }
            state.Done = true;
        }
    }
    --m_ActiveSenders;
    m_Changed.notify_all();
    return state.Ran;
}

void TMessageLoop::Post(std::unique_ptr<TThreadedCallData> data) {
    if (!data) {
        return;
    }
    std::lock_guard lock(m_Lock);
    TEntry entry;
    entry.Posted = std::move(data);
    m_Queue.push_back(std::move(entry));
    Wake();
}

bool TMessageLoop::ServeSentCallsUntil(const std::function<bool()>& done, std::chrono::milliseconds timeout) {
    CheckThread("ServeSentCallsUntil");
    // done() usually watches other threads without telling us, so it is looked at every few ms.
    constexpr int CheckIntervalMs = 5;
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    bool finished = true;
    while (!done()) {
        HandleSignalledQuit();
        Serve(std::numeric_limits<size_t>::max(), false, true);
        if (done()) {
            break;
        }
        if (std::chrono::steady_clock::now() >= deadline) {
            finished = false;
            break;
        }
        // Consumes the wake-up as well; Run serves its queue until empty before waiting again.
        WaitForWork(CheckIntervalMs);
    }
    // An event loop that drives this one (WakeHandle) would otherwise not look at the posts that
    // arrived meanwhile until something else woke it.
    if (QueuedCount() > 0 || m_QuitSignalled) {
        Wake();
    }
    return finished && done();
}

void TMessageLoop::Run() {
    CheckThread("Run");
    while (true) {
        HandleSignalledQuit();
        if (Quitting()) {
            break;
        }
        Serve(std::numeric_limits<size_t>::max(), true);
        RunDueTimers();
        if (Quitting()) {
            break;
        }
        // A call or timer queued meanwhile has written the wake-up event, so this returns at once.
        WaitForWork(TimeToNextTimer());
    }
    if (m_QuitBeginsShutdown) {
        BeginShutdown();
    }
}

bool TMessageLoop::RunUntil(const std::function<bool()>& done) {
    CheckThread("RunUntil");
    while (!done()) {
        HandleSignalledQuit();
        if (Quitting()) {
            break;
        }
        if (Serve(1, true) > 0) {
            continue;
        }
        RunDueTimers();
        if (done() || Quitting()) {
            break;
        }
        WaitForWork(TimeToNextTimer());
    }
    return done();
}

void TMessageLoop::Quit() {
    m_QuitRequested = true;
    if (m_QuitBeginsShutdown) {
        BeginShutdown();
    } else {
        Wake();
    }
}

void TMessageLoop::SetQuitBeginsShutdown(bool value) {
    m_QuitBeginsShutdown = value;
}

bool TMessageLoop::QuitRequested() const {
    return m_QuitRequested || m_QuitSignalled;
}

bool TMessageLoop::Quitting() const {
    return IsShuttingDown() || QuitRequested();
}

void TMessageLoop::QuitFromSignal() noexcept {
    int savedErrno = errno;
    m_QuitSignalled.store(true);
    Wake();
    errno = savedErrno;
}

void TMessageLoop::BeginShutdown() {
    {
        std::lock_guard lock(m_Lock);
        m_ShuttingDown = true;
        // Senders whose call has not started get false; their data never reaches the model.
        for (auto it = m_Queue.begin(); it != m_Queue.end();) {
            if (it->State) {
                it->State->Done = true;
                it->State->Ran = false;
                it = m_Queue.erase(it);
            } else {
                ++it;
            }
        }
    }
    m_Changed.notify_all();
    Wake();
}

bool TMessageLoop::IsShuttingDown() const {
    return m_ShuttingDown || (m_QuitSignalled && m_QuitBeginsShutdown);
}

size_t TMessageLoop::QueuedCount() const {
    std::lock_guard lock(m_Lock);
    return m_Queue.size();
}

size_t TMessageLoop::ProcessPending() {
    CheckThread("ProcessPending");
    HandleSignalledQuit();
    if (Quitting()) {
        return 0;
    }
    size_t queued;
    {
        std::lock_guard lock(m_Lock);
        queued = m_Queue.size();
    }
    const size_t served = Serve(queued, true);
    return served + RunDueTimers();
}

size_t TMessageLoop::Drain() {
    CheckThread("Drain");
    HandleSignalledQuit();
    size_t queued;
    {
        std::lock_guard lock(m_Lock);
        queued = m_Queue.size();
    }
    return Serve(queued, false);
}

TMessageLoop::TTimerID TMessageLoop::StartTimer(std::chrono::milliseconds delay, std::function<void()> action) {
    const auto due = std::chrono::steady_clock::now() + std::max(delay, std::chrono::milliseconds(0));
    TTimerID id;
    {
        std::lock_guard lock(m_Lock);
        id = ++m_LastTimerID;
        m_Timers.emplace(id, TTimer{due, std::move(action)});
    }
    Wake(); // a loop waiting for an earlier deadline, or for none, looks again
    return id;
}

bool TMessageLoop::StopTimer(TTimerID id) {
    std::lock_guard lock(m_Lock);
    return m_Timers.erase(id) > 0;
}

bool TMessageLoop::TimerPending(TTimerID id) const {
    std::lock_guard lock(m_Lock);
    return m_Timers.count(id) > 0;
}

size_t TMessageLoop::RunDueTimers() {
    const auto now = std::chrono::steady_clock::now();
    size_t run = 0;
    for (;;) {
        std::function<void()> action;
        {
            std::lock_guard lock(m_Lock);
            if (Quitting()) {
                break;
            }
            // One at a time, so that an action may stop a timer that is due as well.
            auto next = std::min_element(m_Timers.begin(), m_Timers.end(), [](const auto& a, const auto& b) {
                return a.second.Due < b.second.Due || (a.second.Due == b.second.Due && a.first < b.first);
            });
            if (next == m_Timers.end() || next->second.Due > now) {
                break;
            }
            action = std::move(next->second.Action);
            m_Timers.erase(next);
        }
        try {
            if (action) {
                action();
            }
        } catch (const std::exception& error) {
            DebugException("TMessageLoop", error);
        } catch (...) {
            DebugException("TMessageLoop", Exception("Unknown failure in a timer."));
        }
        ++run;
    }
    return run;
}

int TMessageLoop::TimeToNextTimer() const {
    std::lock_guard lock(m_Lock);
    if (m_Timers.empty()) {
        return -1;
    }
    auto due = m_Timers.begin()->second.Due;
    for (const auto& [id, timer] : m_Timers) {
        due = std::min(due, timer.Due);
    }
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(due - std::chrono::steady_clock::now()).count();
    return static_cast<int>(std::clamp<int64_t>(left, 0, std::numeric_limits<int>::max()));
}

void TMessageLoop::CheckThread(const char* operation) const {
    if (std::this_thread::get_id() != m_ModelThread) {
        throw MessageLoopException(std::string(operation) +
                                   " must be called on the thread that created the message loop.");
    }
}

void TMessageLoop::Wake() noexcept {
    // write() is async-signal-safe; the counter cannot overflow in practice, so a failure only
    // means the loop is awake already.
    uint64_t one = 1;
    ssize_t written = ::write(m_WakeFd, &one, sizeof one);
    (void)written;
}

void TMessageLoop::ClearWake() {
    CheckThread("ClearWake");
    uint64_t count = 0;
    ssize_t read = ::read(m_WakeFd, &count, sizeof count);
    (void)read;
}

void TMessageLoop::WaitForWork(int timeoutMs) {
    pollfd wake{m_WakeFd, POLLIN, 0};
    while (::poll(&wake, 1, timeoutMs) < 0 && errno == EINTR) {
    }
    uint64_t count = 0;
    ssize_t read = ::read(m_WakeFd, &count, sizeof count);
    (void)read;
}

size_t TMessageLoop::Serve(size_t limit, bool stopIfQuitting, bool sentOnly) {
    size_t served = 0;
    while (served < limit) {
        TEntry entry;
        {
            std::lock_guard lock(m_Lock);
            if (stopIfQuitting && Quitting()) {
                break;
            }
            auto next = sentOnly ? std::find_if(m_Queue.begin(), m_Queue.end(), [](const TEntry& e) { return e.State; })
                                 : m_Queue.begin();
            if (next == m_Queue.end()) {
                break;
            }
            entry = std::move(*next);
            m_Queue.erase(next);
            if (entry.State) {
                entry.State->Started = true;
            }
        }
        bool ran = RunEntry(entry);
        if (entry.State) {
            // After this the sender may return at any moment; its state is not touched again.
            std::lock_guard lock(m_Lock);
            entry.State->Ran = ran;
            entry.State->Done = true;
            m_Changed.notify_all();
        }
        ++served;
    } // a posted call's data is freed at the end of its iteration
    return served;
}

bool TMessageLoop::RunEntry(TEntry& entry) {
    std::shared_ptr<TDispatcher> dispatcher;
    {
        std::lock_guard lock(m_Lock);
        dispatcher = m_Dispatcher;
    }
    if (!dispatcher || !*dispatcher) {
        return false;
    }
    TThreadedCallData& data = entry.Posted ? *entry.Posted : *entry.Sent;
    try {
        (*dispatcher)(data);
    } catch (const std::exception& error) {
        DebugException("TMessageLoop", error);
    } catch (...) {
        DebugException("TMessageLoop", Exception("Unknown failure in a threaded call."));
    }
    return true;
}

void TMessageLoop::HandleSignalledQuit() {
    if (m_QuitSignalled && m_QuitBeginsShutdown && !m_ShuttingDown) {
        BeginShutdown();
    }
}

// ---- TLoopTimer ----------------------------------------------------------------------------------

TLoopTimer::TLoopTimer(TMessageLoop& loop, std::chrono::milliseconds interval, std::function<void()> onTimer)
    : m_Loop(loop), m_Interval(interval), m_OnTimer(std::move(onTimer)) {}

TLoopTimer::~TLoopTimer() {
    Stop();
}

void TLoopTimer::Start() {
    if (Active()) {
        return;
    }
    m_ID = m_Loop.StartTimer(m_Interval, [this] {
        m_ID = 0;
        if (m_OnTimer) {
            m_OnTimer();
        }
    });
}

void TLoopTimer::Stop() {
    if (Active()) {
        m_Loop.StopTimer(m_ID);
        m_ID = 0;
    }
}
