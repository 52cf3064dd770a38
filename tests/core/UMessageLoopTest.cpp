#include "core/UMessageLoop.h"

#include <gtest/gtest.h>

#include <atomic>
#include <csignal>
#include <map>
#include <stdexcept>
#include <thread>
#include <vector>

namespace {

// A call that records who made it; counts live instances to show that every post is freed.
class TCall : public TThreadedCallData {
public:
    explicit TCall(int worker = 0, int sequence = 0) : Worker(worker), Sequence(sequence) { ++Live; }
    ~TCall() override { --Live; }
    int Worker;
    int Sequence;
    bool Ran = false;
    static inline std::atomic<int> Live{0};
};

// Dispatching it quits the loop: posted last, it shows that everything before it ran.
class TQuitCall : public TThreadedCallData {};
class TThrowingCall : public TThreadedCallData {};

struct TRecorder {
    std::vector<std::pair<int, int>> Calls; // model's thread only
    std::thread::id RanOn;
};

IThreadedCallTarget::TDispatcher Recording(TMessageLoop& loop, TRecorder& recorder) {
    return [&loop, &recorder](TThreadedCallData& data) {
        recorder.RanOn = std::this_thread::get_id();
        if (dynamic_cast<TQuitCall*>(&data)) {
            loop.Quit();
        } else if (dynamic_cast<TThrowingCall*>(&data)) {
            throw std::runtime_error("dispatcher failure");
        } else if (auto* call = dynamic_cast<TCall*>(&data)) {
            call->Ran = true;
            recorder.Calls.emplace_back(call->Worker, call->Sequence);
        }
    };
}

void JoinAll(std::vector<std::thread>& threads) {
    for (auto& thread : threads) {
        thread.join();
    }
}

// Waits (bounded) until the loop has `count` calls queued.
bool WaitForQueued(const TMessageLoop& loop, size_t count) {
    for (int i = 0; i < 2000 && loop.QueuedCount() < count; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return loop.QueuedCount() >= count;
}

} // namespace

TEST(UMessageLoopTest, CallsFromManyWorkersRunOnTheModelThreadInEachWorkersOrder) {
    TRecorder recorder;
    {
        TMessageLoop loop;
        loop.SetDispatcher(Recording(loop, recorder));
        constexpr int Workers = 8, Calls = 200;
        std::atomic<int> sendsRun{0};
        std::vector<std::thread> workers;
        for (int w = 0; w < Workers; ++w) {
            workers.emplace_back([&, w] {
                for (int i = 0; i < Calls; ++i) {
                    if (i % 10 == 0) {
                        TCall call(w, i);
                        if (loop.Send(call) && call.Ran) {
                            ++sendsRun;
                        }
                    } else {
                        loop.Post(std::make_unique<TCall>(w, i));
                    }
                }
            });
        }
        std::thread closer([&] {
            JoinAll(workers);
            loop.Post(std::make_unique<TQuitCall>());
        });
        loop.Run();
        closer.join();
        EXPECT_EQ(sendsRun, Workers * Calls / 10);
        ASSERT_EQ(recorder.Calls.size(), size_t(Workers * Calls));
    }
    EXPECT_EQ(recorder.RanOn, std::this_thread::get_id());
    std::map<int, int> next;
    for (auto [worker, sequence] : recorder.Calls) {
        EXPECT_EQ(sequence, next[worker]++) << "worker " << worker;
    }
    EXPECT_EQ(TCall::Live, 0);
}

TEST(UMessageLoopTest, SendOnTheModelThreadRunsAtOnceAheadOfQueuedPosts) {
    TMessageLoop loop;
    TRecorder recorder;
    loop.SetDispatcher(Recording(loop, recorder));
    loop.Post(std::make_unique<TCall>(1));
    TCall call(2);
    EXPECT_TRUE(loop.Send(call));
    EXPECT_TRUE(call.Ran);
    EXPECT_EQ(loop.ProcessPending(), 1u);
    EXPECT_EQ(recorder.Calls, (std::vector<std::pair<int, int>>{{2, 0}, {1, 0}}));
}

TEST(UMessageLoopTest, SenderWaitsUntilTheModelHasRunItsCall) {
    TMessageLoop loop;
    TRecorder recorder;
    loop.SetDispatcher(Recording(loop, recorder));
    std::atomic<bool> returned{false};
    TCall call(1);
    std::thread worker([&] {
        EXPECT_TRUE(loop.Send(call));
        EXPECT_TRUE(call.Ran);
        returned = true;
    });
    ASSERT_TRUE(WaitForQueued(loop, 1));
    EXPECT_FALSE(returned);
    EXPECT_EQ(loop.ProcessPending(), 1u);
    worker.join();
    EXPECT_TRUE(returned);
}

TEST(UMessageLoopTest, SendDuringShutdownReturnsFalseWithoutRunning) {
    TMessageLoop loop;
    TRecorder recorder;
    loop.SetDispatcher(Recording(loop, recorder));
    loop.BeginShutdown();
    TCall fromModel(1), fromWorker(2);
    EXPECT_FALSE(loop.Send(fromModel));
    std::thread worker([&] { EXPECT_FALSE(loop.Send(fromWorker)); });
    worker.join();
    EXPECT_FALSE(fromModel.Ran);
    EXPECT_FALSE(fromWorker.Ran);
    EXPECT_TRUE(recorder.Calls.empty());
}

TEST(UMessageLoopTest, BlockedSendersAreReleasedWhenShutdownBegins) {
    TMessageLoop loop;
    TRecorder recorder;
    loop.SetDispatcher(Recording(loop, recorder));
    std::vector<std::thread> workers;
    std::vector<TCall> calls(4);
    for (auto& call : calls) {
        workers.emplace_back([&] { EXPECT_FALSE(loop.Send(call)); });
    }
    ASSERT_TRUE(WaitForQueued(loop, calls.size()));
    std::thread([&] { loop.Quit(); }).join();
    JoinAll(workers);
    EXPECT_TRUE(recorder.Calls.empty());
    EXPECT_EQ(loop.QueuedCount(), 0u);
}

TEST(UMessageLoopTest, DestroyingTheLoopReleasesABlockedSender) {
    auto loop = std::make_unique<TMessageLoop>();
    TRecorder recorder;
    loop->SetDispatcher(Recording(*loop, recorder));
    TCall call;
    std::thread worker([&] { EXPECT_FALSE(loop->Send(call)); });
    ASSERT_TRUE(WaitForQueued(*loop, 1));
    loop.reset();
    worker.join();
    EXPECT_FALSE(call.Ran);
}

namespace {
TMessageLoop* g_SignalledLoop = nullptr;
extern "C" void QuitOnSignal(int) {
    g_SignalledLoop->QuitFromSignal();
}
} // namespace

TEST(UMessageLoopTest, SignalEndsRunAndReleasesWaitingSenders) {
    TMessageLoop loop;
    TRecorder recorder;
    g_SignalledLoop = &loop;
    struct sigaction action {
    }, previous{};
    action.sa_handler = QuitOnSignal;
    sigemptyset(&action.sa_mask);
    ASSERT_EQ(sigaction(SIGUSR1, &action, &previous), 0);

    std::atomic<bool> firstRan{false};
    TCall second(2);
    std::atomic<bool> secondReturned{false};
    std::thread secondSender;
    // The first call blocks the model until the second sender is queued behind it, then raises
    // the signal: the second call must not run and its sender must get false.
    loop.SetDispatcher([&](TThreadedCallData& data) {
        auto& call = static_cast<TCall&>(data);
        if (call.Worker == 1) {
            secondSender = std::thread([&] {
                EXPECT_FALSE(loop.Send(second));
                secondReturned = true;
            });
            EXPECT_TRUE(WaitForQueued(loop, 1));
            ::raise(SIGUSR1);
            firstRan = true;
        } else {
            call.Ran = true;
        }
    });
    std::thread firstSender([&] {
        TCall first(1);
        EXPECT_TRUE(loop.Send(first));
    });
    loop.Run(); // returns because of the signal
    firstSender.join();
    secondSender.join();
    sigaction(SIGUSR1, &previous, nullptr);
    EXPECT_TRUE(firstRan);
    EXPECT_TRUE(secondReturned);
    EXPECT_FALSE(second.Ran);
    EXPECT_TRUE(loop.IsShuttingDown());
    TCall late;
    EXPECT_FALSE(loop.Send(late));
}

TEST(UMessageLoopTest, FailingDispatcherDoesNotStopTheLoop) {
    TMessageLoop loop;
    TRecorder recorder;
    loop.SetDispatcher(Recording(loop, recorder));
    loop.Post(std::make_unique<TThrowingCall>());
    loop.Post(std::make_unique<TCall>(1));
    std::thread worker([&] {
        TThrowingCall failing;
        EXPECT_TRUE(loop.Send(failing)); // the sender sees the call as run
        loop.Post(std::make_unique<TQuitCall>());
    });
    loop.Run();
    worker.join();
    EXPECT_EQ(recorder.Calls.size(), 1u);
    EXPECT_EQ(TCall::Live, 0);
}

TEST(UMessageLoopTest, PostsLeftAtShutdownAreFreedOrDrained) {
    TRecorder recorder;
    {
        TMessageLoop loop;
        loop.SetDispatcher(Recording(loop, recorder));
        loop.Post(std::make_unique<TCall>(1));
        loop.BeginShutdown();
        loop.Post(std::make_unique<TCall>(2));
        EXPECT_EQ(loop.ProcessPending(), 0u); // serving has ended
        EXPECT_EQ(loop.Drain(), 2u);          // unless the owner asks for them
        loop.Post(std::make_unique<TCall>(3));
        loop.Post(std::make_unique<TCall>(4));
        EXPECT_EQ(TCall::Live, 2);
    } // the last two are freed unrun
    EXPECT_EQ(TCall::Live, 0);
    EXPECT_EQ(recorder.Calls.size(), 2u);
}

TEST(UMessageLoopTest, ReplacingTheDispatcherDuringACallIsSafe) {
    TMessageLoop loop;
    int firstCalls = 0, laterCalls = 0;
    loop.SetDispatcher([&](TThreadedCallData&) {
        loop.SetDispatcher([&](TThreadedCallData&) { ++laterCalls; });
        ++firstCalls; // reads this function's captures after it has been replaced
    });
    loop.Post(std::make_unique<TCall>());
    loop.Post(std::make_unique<TCall>());
    EXPECT_EQ(loop.ProcessPending(), 2u);
    EXPECT_EQ(firstCalls, 1);
    EXPECT_EQ(laterCalls, 1);
}

TEST(UMessageLoopTest, ModelWaitingForAWorkerStillServesItsSends) {
    TMessageLoop loop;
    TRecorder recorder;
    loop.SetDispatcher(Recording(loop, recorder));
    std::atomic<bool> finished{false};
    loop.Post(std::make_unique<TCall>(9));
    std::thread worker([&] {
        TCall call(1);
        EXPECT_TRUE(loop.Send(call));
        finished = true;
    });
    // Joining the worker without serving its Send would deadlock.
    EXPECT_TRUE(loop.ServeSentCallsUntil([&] { return finished.load(); }, std::chrono::seconds(30)));
    worker.join();
    EXPECT_EQ(recorder.Calls, (std::vector<std::pair<int, int>>{{1, 0}}));
    EXPECT_EQ(loop.ProcessPending(), 1u); // the post waited for the loop
    EXPECT_FALSE(loop.ServeSentCallsUntil([] { return false; }, std::chrono::milliseconds(1)));
}

// An owner that stops its workers after Run must still get their last sends (a local server's
// session releases); a signal that refused them would lose the mail program's deletions.
TEST(UMessageLoopTest, SignalledQuitWithoutShutdownKeepsServingSendsUntilShutdownBegins) {
    TMessageLoop loop;
    TRecorder recorder;
    loop.SetDispatcher(Recording(loop, recorder));
    loop.SetQuitBeginsShutdown(false);
    g_SignalledLoop = &loop;
    struct sigaction action {
    }, previous{};
    action.sa_handler = QuitOnSignal;
    sigemptyset(&action.sa_mask);
    ASSERT_EQ(sigaction(SIGUSR1, &action, &previous), 0);
    loop.Post(std::make_unique<TCall>(1));
    ::raise(SIGUSR1);
    loop.Run(); // returns at once: the quit came first
    sigaction(SIGUSR1, &previous, nullptr);
    EXPECT_TRUE(loop.QuitRequested());
    EXPECT_FALSE(loop.IsShuttingDown());
    EXPECT_TRUE(recorder.Calls.empty()); // posts wait for Drain

    std::atomic<bool> finished{false};
    std::thread worker([&] {
        TCall release(2);
        EXPECT_TRUE(loop.Send(release));
        finished = true;
    });
    EXPECT_TRUE(loop.ServeSentCallsUntil([&] { return finished.load(); }, std::chrono::seconds(30)));
    worker.join();
    EXPECT_EQ(recorder.Calls, (std::vector<std::pair<int, int>>{{2, 0}}));

    loop.BeginShutdown();
    std::thread late([&] {
        TCall call(3);
        EXPECT_FALSE(loop.Send(call));
    });
    late.join();
    EXPECT_EQ(loop.Drain(), 1u);
}

// One-shot timers run once each, in the order they fall due, on the model's thread and between the
// calls; a stopped timer never runs, nor does one still waiting when the loop quits.
TEST(UMessageLoopTest, OneShotTimersRunOnceInDueOrderOnTheModelThread) {
    using namespace std::chrono_literals;
    TMessageLoop loop;
    TRecorder recorder;
    loop.SetDispatcher(Recording(loop, recorder));
    std::vector<std::string> ran;
    std::vector<std::thread::id> threads;
    const auto record = [&](std::string name) {
        return [&, name] {
            ran.push_back(name);
            threads.push_back(std::this_thread::get_id());
        };
    };
    loop.StartTimer(60ms, record("late"));
    loop.StartTimer(20ms, record("early"));
    const TMessageLoop::TTimerID stopped = loop.StartTimer(40ms, record("stopped"));
    EXPECT_TRUE(loop.TimerPending(stopped));
    EXPECT_TRUE(loop.StopTimer(stopped));
    EXPECT_FALSE(loop.StopTimer(stopped));
    // Started from a worker while Run waits with no earlier deadline: Run must wake for it.
    std::thread worker([&] { loop.StartTimer(80ms, [&] { loop.Post(std::make_unique<TQuitCall>()); }); });
    worker.join();
    loop.StartTimer(10s, record("never"));
    const auto started = std::chrono::steady_clock::now();
    loop.Run();
    EXPECT_LT(std::chrono::steady_clock::now() - started, 5s);
    EXPECT_EQ(ran, (std::vector<std::string>{"early", "late"}));
    for (const std::thread::id& thread : threads) {
        EXPECT_EQ(thread, std::this_thread::get_id());
    }
}

// The window-style timer: a start while armed keeps the first time (a stream of changes does not put
// the tick off), the tick sees the timer stopped, and a start from inside the tick arms it again.
TEST(UMessageLoopTest, LoopTimerTicksOncePerArmingAndKeepsItsFirstTime) {
    using namespace std::chrono_literals;
    TMessageLoop loop;
    int ticks = 0;
    bool activeInTick = true;
    std::chrono::steady_clock::time_point firstTick;
    TLoopTimer* self = nullptr;
    TLoopTimer timer(loop, 50ms, [&] {
        activeInTick = self->Active();
        if (++ticks == 1) {
            firstTick = std::chrono::steady_clock::now();
            self->Start();
        }
    });
    self = &timer;
    const auto started = std::chrono::steady_clock::now();
    timer.Start();
    EXPECT_TRUE(timer.Active());
    bool done = false;
    loop.StartTimer(30ms, [&] { timer.Start(); }); // armed already: no effect
    loop.StartTimer(300ms, [&] { done = true; });
    EXPECT_TRUE(loop.RunUntil([&] { return done; }));
    EXPECT_EQ(ticks, 2);
    EXPECT_FALSE(activeInTick);
    EXPECT_LT(firstTick - started, 75ms);
    EXPECT_FALSE(timer.Active());

    timer.Start();
    timer.Stop();
    done = false;
    loop.StartTimer(100ms, [&] { done = true; });
    loop.RunUntil([&] { return done; });
    EXPECT_EQ(ticks, 2);
}
