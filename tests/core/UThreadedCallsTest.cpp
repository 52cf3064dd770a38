#include "core/UThreadedCalls.h"

#include "core/UMessageLoop.h"
#include "core/UTessivarAccount.h"
#include "core/UTessivarBusinessLogic.h"
#include "core/UTessivarEmail.h"
#include "core/UTessivarEmailAddress.h"
#include "core/UTessivarLogItem.h"
#include "core/UThreadedCallData.h"
#include "mail/UTessivarAccountSession.h"

#include "tests/core/ModelFixture.h"

#include <atomic>
#include <chrono>

using namespace std::chrono_literals;

namespace {

// Data of a class the model does not know; notes when it is freed.
class TUnknownData : public TThreadedCallData {
public:
    explicit TUnknownData(std::atomic<bool>& freed) : m_Freed(freed) {}
    ~TUnknownData() override { m_Freed = true; }

private:
    std::atomic<bool>& m_Freed;
};

// A model whose owner window is a message loop on the test thread; workers are real threads.
class UThreadedCallsTest : public TModelTest {
protected:
    void SetUp() override {
        TModelTest::SetUp();
        m_Model.reset();
        m_Model = std::make_unique<TTessivarBusinessLogic>(m_Loop);
        m_Model->OnChange = [this](TTessivarBusinessLogic&) { ++m_Changes; };
        Model().Startup();
        m_Account = &Model().AddAccount("me@example.test", "me", "pop.example.test", 110);
    }

    // Runs the work on a worker thread while this thread serves the calls it sends.
    void OnWorker(const std::function<void()>& work) {
        std::atomic<bool> done{false};
        std::thread worker([&] {
            work();
            done = true;
        });
        EXPECT_TRUE(m_Loop.ServeSentCallsUntil([&] { return done.load(); }, 30s));
        worker.join();
    }

    static std::vector<std::string> Lines(const std::string& from) {
        return {"From: " + from, "Subject: Hi", "", "Body"};
    }
    TTessivarEmail* InsertFrom(const std::string& from) {
        return InsertEmail(Model(), *m_Account, "<" + from + ">", Lines(from), EncodeDateTime(2026, 1, 2), "Hi", from,
                           "", "me@example.test", "");
    }
    // Mail awaiting delivery, stored on the model's thread.
    void AddDeliverableMail(int count) {
        Model().AddEmailAddress("friend@example.com", "Friend").Approve();
        for (int i = 0; i < count; ++i)
            ASSERT_NE(InsertFrom("friend@example.com"), nullptr);
    }

    TMessageLoop m_Loop;
    TTessivarAccount* m_Account = nullptr;
};

} // namespace

TEST_F(UThreadedCallsTest, PostedCallsRunInTheWorkersOrderAndTheirDataIsFreed) {
    TTessivarEmailAddress& sender = Model().AddEmailAddress("ivy@example.com", "Ivy");
    std::vector<std::string> seen;
    Model().OnLogItem = [&](TTessivarLogItem& item) {
        seen.push_back(item.Details() + "/" + std::to_string(item.Kind()) + "/" +
                       AuthenticationStatusText(sender.AuthenticationStatus()));
    };
    const int live = TThreadedInsertLogItemData::LiveCount();

    const std::string trace = Traced([&] {
        std::thread worker([&] {
            InsertLogItem(Model(), "before", 0);
            SelfAuthentication(Model(), "IVY@example.com");
            InsertLogItem(Model(), "after", 1);
        });
        worker.join();
        // Nothing has run yet: the model's thread has not served its queue.
        EXPECT_EQ(TThreadedInsertLogItemData::LiveCount(), live + 2);
        EXPECT_TRUE(seen.empty());
        EXPECT_EQ(m_Loop.ProcessPending(), 3u);
    });

    // The notice ran between them: a hint, which authenticates nobody by itself.
    EXPECT_EQ(seen, (std::vector<std::string>{"before/0/Undefined", "after/1/Undefined"}));
    EXPECT_EQ(Occurrences(trace, "Self-authentication notice from IVY@example.com."), 1u);
    EXPECT_EQ(Model().LogItems(Model().LogItemCount() - 1).Details(), "after");
    EXPECT_EQ(TThreadedInsertLogItemData::LiveCount(), live);
    EXPECT_EQ(Occurrences(trace, "Creating threaded insert log item data. "), 2u);
    EXPECT_EQ(Occurrences(trace, "Destroyed threaded insert log item data. "), 2u);
    EXPECT_EQ(Occurrences(trace, "Performing threaded call."), 3u);
}

TEST_F(UThreadedCallsTest, InsertEmailSentFromAWorkerReturnsTheStoredEmail) {
    TTessivarEmail* email = nullptr;
    OnWorker([&] { email = InsertFrom("jack@example.com"); });
    ASSERT_EQ(Model().EmailCount(), 1);
    EXPECT_EQ(email, &Model().Emails(0));
    EXPECT_EQ(email->MessageID(), "<jack@example.com>");
    EXPECT_EQ(email->FileSize(), 45); // "From: jack@example.com\r\nSubject: Hi\r\n\r\nBody\r\n"

    // A failure on the model's thread stays there; the worker gets no email.
    std::filesystem::remove_all(m_Dir + "store");
    std::ofstream(m_Dir + "store") << "not a directory";
    OnWorker([&] { email = InsertFrom("kate@example.com"); });
    EXPECT_EQ(email, nullptr);
    EXPECT_EQ(Model().EmailCount(), 1);
}

TEST_F(UThreadedCallsTest, ConcurrentSessionsOfOneAccountShareNoEmail) {
    AddDeliverableMail(2);
    std::unique_ptr<TTessivarAccountSession> sessions[2];
    std::atomic<int> finished{0};
    std::thread first([&] {
        sessions[0] = CreateAccountSession(Model(), *m_Account);
        ++finished;
    });
    std::thread second([&] {
        sessions[1] = CreateAccountSession(Model(), *m_Account);
        ++finished;
    });
    EXPECT_TRUE(m_Loop.ServeSentCallsUntil([&] { return finished == 2; }, 30s));
    first.join();
    second.join();
    ASSERT_TRUE(sessions[0] && sessions[1]);
    if (sessions[0]->Count() == 0)
        std::swap(sessions[0], sessions[1]);
    ASSERT_EQ(sessions[0]->Count(), 2);
    EXPECT_EQ(sessions[1]->Count(), 0);

    // Released from the connection threads; the deletion the mail program asked for is applied.
    sessions[0]->Items(1).MarkForDeletion();
    OnWorker([&] {
        ReleaseAccountSession(Model(), std::move(sessions[0]));
        ReleaseAccountSession(Model(), std::move(sessions[1]));
    });
    EXPECT_EQ(TTessivarAccountSession::LiveCount(), 0);
    EXPECT_FALSE(Model().Emails(0).InSession());
    EXPECT_FALSE(Model().Emails(0).Deleted());
    EXPECT_TRUE(Model().Emails(1).Deleted());
    EXPECT_EQ(Cell("SELECT Deleted FROM Emails WHERE ID=" + std::to_string(Model().Emails(1).ID())), "1");
}

TEST_F(UThreadedCallsTest, UnknownDataRaisesOnTheModelThreadAndIsStillFreed) {
    std::atomic<bool> freed{false};
    TUnknownData data(freed);
    try {
        Model().DispatchThreadedCall(data);
        ADD_FAILURE() << "no exception";
    } catch (const TTessivarBusinessLogicException& error) {
        EXPECT_EQ(error.Message(), "Invalid data in threaded call.");
    }
    // Posted, it is freed after the failure, and the calls behind it still run.
    std::thread worker([&] {
        m_Loop.Post(std::make_unique<TUnknownData>(freed));
        InsertLogItem(Model(), "still running", 0);
    });
    worker.join();
    EXPECT_EQ(m_Loop.ProcessPending(), 2u);
    EXPECT_TRUE(freed);
    EXPECT_EQ(Model().LogItems(Model().LogItemCount() - 1).Details(), "still running");
}

TEST_F(UThreadedCallsTest, SendsDuringShutdownReturnWithoutResultAndFreeTheSession) {
    AddDeliverableMail(1);
    auto session = m_Account->CreateSession();
    ASSERT_EQ(session->Count(), 1);
    session->Items(0).MarkForDeletion();
    const int emails = Model().EmailCount();

    TTessivarEmail* email = nullptr;
    std::unique_ptr<TTessivarAccountSession> created;
    std::atomic<bool> done{false};
    std::thread worker([&] {
        email = InsertFrom("late@example.com"); // waits: nobody serves the loop
        created = CreateAccountSession(Model(), *m_Account);
        ReleaseAccountSession(Model(), std::move(session));
        done = true;
    });
    for (int i = 0; i < 2000 && m_Loop.QueuedCount() == 0; ++i)
        std::this_thread::sleep_for(5ms);
    ASSERT_EQ(m_Loop.QueuedCount(), 1u);
    m_Loop.BeginShutdown();
    worker.join();

    EXPECT_TRUE(done);
    EXPECT_EQ(email, nullptr);
    EXPECT_EQ(created, nullptr);
    EXPECT_EQ(Model().EmailCount(), emails);
    // The session was freed by the worker; its email is free again, its deletion not applied.
    EXPECT_FALSE(Model().Emails(0).InSession());
    EXPECT_FALSE(Model().Emails(0).Deleted());
    EXPECT_EQ(TTessivarAccountSession::LiveCount(), 0);
}

TEST_F(UThreadedCallsTest, CallsQueuedForADestroyedModelAreDroppedNotRun) {
    std::atomic<bool> freed{false};
    std::thread poster([&] {
        InsertLogItem(Model(), "queued", 0);
        m_Loop.Post(std::make_unique<TUnknownData>(freed));
    });
    poster.join();
    const int live = TThreadedInsertLogItemData::LiveCount();
    m_Model.reset();

    // Served by the loop, but nothing reaches the model any more.
    EXPECT_EQ(m_Loop.ProcessPending(), 2u);
    EXPECT_TRUE(freed);
    EXPECT_EQ(TThreadedInsertLogItemData::LiveCount(), live - 1);
    bool ran = true;
    std::atomic<bool> done{false};
    std::thread sender([&] {
        TThreadedSelfAuthenticationData data("ivy@example.com");
        ran = m_Loop.Send(data);
        done = true;
    });
    EXPECT_TRUE(m_Loop.ServeSentCallsUntil([&] { return done.load(); }, 30s));
    sender.join();
    EXPECT_FALSE(ran);
}

// A mailbox checker still waiting in InsertEmail when the model shuts down (whoever calls Shutdown)
// must not be served against the emptied lists: its approved sender would come back as a second,
// unknown one and be sent a challenge.
TEST_F(UThreadedCallsTest, ShutdownServesNoWaitingInsertAgainstEmptiedLists) {
    AddDeliverableMail(1);
    const auto rows = [&] {
        return Count("EmailAddresses") * 1000 + Count("DomainNames") * 100 + Count("Emails") * 10 +
               Count("EmailAddressesRequiringAuthorization");
    };
    const int before = rows();
    TTessivarEmail* email = reinterpret_cast<TTessivarEmail*>(1);
    std::atomic<bool> done{false};
    std::thread checker([&] {
        email = InsertFrom("friend@example.com");
        done = true;
    });
    for (int i = 0; i < 2000 && m_Loop.QueuedCount() == 0; ++i)
        std::this_thread::sleep_for(5ms);
    ASSERT_EQ(m_Loop.QueuedCount(), 1u);

    Model().Shutdown();
    EXPECT_TRUE(m_Loop.ServeSentCallsUntil([&] { return done.load(); }, 30s));
    checker.join();
    EXPECT_EQ(email, nullptr);
    EXPECT_EQ(rows(), before);

    // Also a call handed to the model directly is no longer run.
    TThreadedSelfAuthenticationData notice("friend@example.com");
    Model().DispatchThreadedCall(notice);
    EXPECT_EQ(Model().EmailAddressCount(), 0);
}
