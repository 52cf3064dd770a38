#include "mail/UTessivarMessageStorer.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <numeric>
#include <thread>

#include "core/UMessageLoop.h"
#include "core/UTessivarAccount.h"
#include "core/UTessivarBusinessLogic.h"

namespace {

using namespace std::chrono_literals;

class MessageStorerTest : public testing::Test {
protected:
    void SetUp() override {
        std::string pattern = (std::filesystem::temp_directory_path() / "tessivar-storer-XXXXXX").string();
        ASSERT_NE(::mkdtemp(pattern.data()), nullptr);
        m_Dir = pattern + "/";
        ::setenv("TESSIVAR_HOME", m_Dir.c_str(), 1);
        ::setenv("TESSIVAR_REGISTRY_DIR", m_Dir.c_str(), 1);
        m_Model = std::make_unique<TTessivarBusinessLogic>(m_Loop);
        m_Account = &m_Model->AddAccount("alice@example.test", "alice", "127.0.0.1", 110);
    }
    void TearDown() override {
        m_Model.reset();
        std::filesystem::remove_all(m_Dir);
        ::unsetenv("TESSIVAR_HOME");
        ::unsetenv("TESSIVAR_REGISTRY_DIR");
    }

    static TTessivarMessageStorer::TMessage Message(int number, size_t bodyBytes) {
        return {number, "uid-" + std::to_string(number),
                {"From: bob@example.org", "Subject: " + std::to_string(number),
                 "Message-Id: <" + std::to_string(number) + "@example.org>", "", std::string(bodyBytes, 'x')}};
    }

    // Adds `count` messages while the model's thread is busy elsewhere: the adding stops once the
    // queue is full; returns how many went in before it stopped. Then serves the model until the
    // storer has stored and flushed them all.
    int AddedWhileTheModelIsBusy(TTessivarMessageStorer& storer, int count, size_t bodyBytes) {
        std::atomic<int> added{0};
        std::thread adder([&] {
            for (int number = 1; number <= count; ++number) {
                storer.Add(Message(number, bodyBytes));
                ++added;
            }
        });
        int before = -1;
        while (added != before) { // until the adder has stopped for a while
            before = added;
            std::this_thread::sleep_for(300ms);
        }
        const int stalled = added;
        const auto deadline = std::chrono::steady_clock::now() + 60s;
        while (added < count && std::chrono::steady_clock::now() < deadline)
            m_Loop.ServeSentCallsUntil([&] { return added == count; }, 100ms);
        adder.join();
        std::atomic<bool> finished{false};
        std::thread finisher([&] { finished = storer.Finish(); });
        m_Loop.ServeSentCallsUntil([&] { return finished.load(); }, 60s);
        finisher.join();
        return stalled;
    }

    std::string m_Dir;
    TMessageLoop m_Loop;
    std::unique_ptr<TTessivarBusinessLogic> m_Model;
    TTessivarAccount* m_Account = nullptr;
};

TEST_F(MessageStorerTest, RetrievalWaitsOnceTheQueueHoldsItsMessageBudget) {
    TTessivarMessageStorer storer(*m_Model, *m_Account);
    constexpr int Count = MaximumQueuedMessages + 8;
    // One message is being stored (its call waits for the model), the queue holds the budget.
    EXPECT_EQ(AddedWhileTheModelIsBusy(storer, Count, 10), static_cast<int>(MaximumQueuedMessages) + 1);
    EXPECT_EQ(m_Model->EmailCount(), Count);
    std::vector<int> all(Count);
    std::iota(all.begin(), all.end(), 1);
    EXPECT_EQ(storer.TakeDurable(), all);
}

TEST_F(MessageStorerTest, RetrievalWaitsOnceTheQueueHoldsItsByteBudget) {
    TTessivarMessageStorer storer(*m_Model, *m_Account);
    constexpr size_t Body = MaximumQueuedBytes / 4 + 1; // three fit in the budget, four do not
    EXPECT_EQ(AddedWhileTheModelIsBusy(storer, 8, Body), 1 + 3);
    EXPECT_EQ(m_Model->EmailCount(), 8);
}

} // namespace
