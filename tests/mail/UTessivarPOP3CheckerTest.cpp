#include "mail/UTessivarPOP3Checker.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

#include "core/UMessageLoop.h"
#include "core/USQLite.h"
#include "core/UThreadedCallData.h"
#include "core/UTessivarAccount.h"
#include "core/UTessivarBusinessLogic.h"
#include "core/UTessivarEmail.h"
#include "core/UTessivarEmailAddress.h"
#include "core/UTessivarLogItem.h"
#include "tests/base/TraceCapture.h"
#include "tests/support/DovecotServer.h"
#include "tests/support/ScriptedPOP3Server.h"
#include "tests/support/TestCertificates.h"

namespace {

using namespace std::chrono_literals;

// The model's message loop, with a switch that makes every waited call fail as when the model's
// thread cannot run it (InsertEmail then returns no email).
class TGatedTarget : public IThreadedCallTarget {
public:
    TMessageLoop Loop;
    std::atomic<bool> RefuseSends{false};
    std::atomic<bool> RefuseFlushes{false}; // FlushStore fails as on a full or broken disk

    void SetDispatcher(TDispatcher dispatcher) override { Loop.SetDispatcher(std::move(dispatcher)); }
    bool Send(TThreadedCallData& data) override {
        if (RefuseSends || (RefuseFlushes && dynamic_cast<TThreadedFlushStoreData*>(&data)))
            return false;
        return Loop.Send(data);
    }
    void Post(std::unique_ptr<TThreadedCallData> data) override { Loop.Post(std::move(data)); }
    bool ServeSentCallsUntil(const std::function<bool()>& done, std::chrono::milliseconds timeout) override {
        return Loop.ServeSentCallsUntil(done, timeout);
    }
};

// A message as a scripted server sends it after "+OK": dot-stuffed lines and the final ".".
std::string Wire(const std::string& from, const std::string& subject, const std::string& body = "body") {
    return "From: " + from + "\r\nSubject: " + subject + "\r\nMessage-Id: <" + subject + "@example.org>\r\n\r\n" +
           body + "\r\n.\r\n";
}

struct TScriptedMessage {
    std::string Raw; // empty: RETR is refused
    bool RefuseDelete = false;
    bool DropAfterSending = false; // close the connection right after Raw
    std::string UID{};             // the message's UIDL id; no UIDL answer while every one is empty
};

// Greets as a server that knows no CAPA (and so offers no TLS), refusing the client's CAPA.
void GreetWithoutTLS(TScriptedPeer& peer) {
    peer.SendLine("+OK scripted");
    peer.Answer("-ERR unknown command");
}

// Greets, accepts the login and serves STAT, UIDL, RETR, DELE and QUIT from the messages; without
// confirmQuit the connection is closed at QUIT, unanswered, as by a server that failed there. With
// `pipelined`, CAPA after the login announces PIPELINING, and *pipelined tells whether the next
// command had arrived when RETR 1 was read.
void ServeMailbox(TScriptedPeer& peer, const std::vector<TScriptedMessage>& messages, bool confirmQuit = true,
                  std::atomic<bool>* pipelined = nullptr) {
    GreetWithoutTLS(peer);
    peer.Answer("+OK");
    peer.Answer("+OK");
    while (const auto line = peer.ReadLine()) {
        const size_t index = line->size() > 5 ? std::strtoul(line->c_str() + 5, nullptr, 10) - 1 : messages.size();
        const TScriptedMessage* message = index < messages.size() ? &messages[index] : nullptr;
        if (*line == "CAPA" && pipelined) {
            peer.Send("+OK\r\nUIDL\r\nPIPELINING\r\n.\r\n");
        } else if (*line == "STAT") {
            peer.SendLine("+OK " + std::to_string(messages.size()) + " 4000");
        } else if (line->starts_with("RETR ") && message && !message->Raw.empty()) {
            if (pipelined && index == 0)
                *pipelined = peer.HasBufferedInput();
            peer.SendLine("+OK");
            peer.Send(message->Raw);
            if (message->DropAfterSending)
                return;
        } else if (line->starts_with("DELE ") && message && !message->RefuseDelete) {
            peer.SendLine("+OK deleted");
        } else if (*line == "UIDL" && !messages.empty() && !messages[0].UID.empty()) {
            peer.SendLine("+OK");
            for (size_t i = 0; i < messages.size(); ++i)
                peer.SendLine(std::to_string(i + 1) + " " + messages[i].UID);
            peer.SendLine(".");
        } else if (*line == "QUIT") {
            if (confirmQuit)
                peer.SendLine("+OK bye");
            return;
        } else {
            peer.SendLine("-ERR refused");
        }
    }
}

std::vector<std::string> Only(const std::vector<std::string>& lines, const std::string& prefix) {
    std::vector<std::string> result;
    for (const std::string& line : lines)
        if (line.starts_with(prefix))
            result.push_back(line);
    return result;
}

std::string FileText(const std::string& path) {
    std::ifstream file(path, std::ios::binary);
    std::stringstream text;
    text << file.rdbuf();
    return text.str();
}

class CheckerTest : public testing::Test {
protected:
    void SetUp() override {
        std::string pattern = (std::filesystem::temp_directory_path() / "tessivar-checker-XXXXXX").string();
        ASSERT_NE(::mkdtemp(pattern.data()), nullptr);
        m_Dir = pattern + "/";
        ::setenv("TESSIVAR_HOME", m_Dir.c_str(), 1);
        ::setenv("TESSIVAR_REGISTRY_DIR", m_Dir.c_str(), 1);
        m_Model = std::make_unique<TTessivarBusinessLogic>(m_Target);
    }
    void TearDown() override {
        m_Checker.reset();
        m_Model.reset();
        std::filesystem::remove_all(m_Dir);
        ::unsetenv("TESSIVAR_HOME");
        ::unsetenv("TESSIVAR_REGISTRY_DIR");
    }

    void CreateChecker(int port, const std::string& host = "127.0.0.1",
                       TConnectionSecurity security = TConnectionSecurity::Automatic) {
        m_Account = &m_Model->AddAccount("alice@example.test", "alice", host, port);
        m_Account->SetConnectionSecurity(security);
        m_Account->SetLogin("alice", "secret");
        m_Checker = std::make_unique<TTessivarPOP3Checker>(*m_Model, *m_Account);
    }
    // Serves the model's calls in order, as the main window would, until the pass has ended.
    void ServeUntilIdle() {
        const auto deadline = std::chrono::steady_clock::now() + 60s;
        while (m_Checker->Busy()) {
            ASSERT_LT(std::chrono::steady_clock::now(), deadline) << "the pass did not end";
            m_Target.Loop.ProcessPending();
            std::this_thread::sleep_for(1ms);
        }
        m_Target.Loop.ProcessPending();
    }
    void RunPass() {
        m_Checker->StartCheck();
        ServeUntilIdle();
    }
    // The activity log, each item as its kind, a blank and its text.
    std::vector<std::string> Log() const {
        std::vector<std::string> items;
        for (int i = 0; i < m_Model->LogItemCount(); ++i)
            items.push_back(std::to_string(m_Model->LogItems(i).Kind()) + " " + m_Model->LogItems(i).Details());
        return items;
    }
    TTessivarEmailAddress* Sender(const std::string& address) const {
        for (int i = 0; i < m_Model->EmailAddressCount(); ++i)
            if (m_Model->EmailAddresses(i).EmailAddress() == address)
                return &m_Model->EmailAddresses(i);
        return nullptr;
    }
    std::vector<std::string> Subjects() const {
        std::vector<std::string> subjects;
        for (int i = 0; i < m_Model->EmailCount(); ++i)
            subjects.emplace_back(m_Model->Emails(i).Subject());
        return subjects;
    }

    const std::string Checking = "0 Checking mail for \"alice\" at \"127.0.0.1\".";
    const std::string ConnectFailed = "1 Could not connect to server for \"alice\" at \"127.0.0.1\".";
    const std::string Unencrypted =
        "0 The server offers no secure connection: the password travels unencrypted for \"alice\" at \"127.0.0.1\".";
    // The activity log without the warning that a server without TLS earns once per run.
    std::vector<std::string> LogWithoutWarning() const {
        std::vector<std::string> items = Log();
        std::erase(items, Unencrypted);
        return items;
    }

    std::string m_Dir;
    TGatedTarget m_Target;
    std::unique_ptr<TTessivarBusinessLogic> m_Model;
    TTessivarAccount* m_Account = nullptr;
    std::unique_ptr<TTessivarPOP3Checker> m_Checker;
};

class CheckerDovecotTest : public CheckerTest {
protected:
    void SetUp() override {
        if (geteuid() != 0)
            GTEST_SKIP() << "the Dovecot fixture needs root";
        CheckerTest::SetUp();
        m_Server = std::make_unique<TDovecotServer>();
        m_Server->AddUser("alice", "secret");
        CreateChecker(m_Server->Port());
    }
    // QUIT is not waited for; the server expunges a moment later.
    int UpstreamCountAfterQuit(int expected) {
        for (int i = 0; i < 250 && m_Server->MessageCount("alice") != expected; ++i)
            std::this_thread::sleep_for(20ms);
        return m_Server->MessageCount("alice");
    }
    std::unique_ptr<TDovecotServer> m_Server;
};

// ---- Against a real mailbox --------------------------------------------------------------------

TEST_F(CheckerDovecotTest, TakesEveryMessageOffStoresItByteForByteAndDeletesItUpstream) {
    const std::vector<std::string> messages = {
        "From: Bob <bob@example.org>\r\nSubject: dots\r\nMessage-Id: <1@example.org>\r\n\r\n.\r\n.leading\r\n"
        "..two\r\ntrailing  \r\n\r\nend\r\n",
        "From: carol@example.org\r\nSubject: second\r\nMessage-Id: <2@example.org>\r\n\r\n\xE9t\xE9 8-bit\r\n",
        "From: dave@example.org\r\nSubject: third\r\nMessage-Id: <3@example.org>\r\n\r\n" + std::string(3000, 'z') +
            "\r\n"};
    for (const std::string& message : messages)
        m_Server->AddMessage("alice", message);
    RunPass();

    ASSERT_EQ(m_Model->EmailCount(), 3);
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(FileText(m_Model->Emails(i).FileName()), messages[i]);
        EXPECT_EQ(m_Model->Emails(i).MessageID(), "<" + std::to_string(i + 1) + "@example.org>");
    }
    EXPECT_EQ(Log(), (std::vector<std::string>{Checking, Unencrypted,
                                               "0 Processed 3 new messages for \"alice\" at \"127.0.0.1\"."}));
    EXPECT_EQ(UpstreamCountAfterQuit(0), 0);
}

TEST_F(CheckerDovecotTest, EmptyMailboxLogsCheckingAndNoNewMessages) {
    RunPass();
    EXPECT_EQ(Log(),
              (std::vector<std::string>{Checking, Unencrypted, "0 No new messages for \"alice\" at \"127.0.0.1\"."}));
    EXPECT_EQ(m_Model->EmailCount(), 0);
}

TEST_F(CheckerDovecotTest, MessageWithoutIdIsStoredUnderAGeneratedIdInTheMarkerDomain) {
    m_Server->AddMessage("alice", "From: bob@example.org\r\nSubject: no id\r\n\r\nbody\r\n");
    RunPass();
    ASSERT_EQ(m_Model->EmailCount(), 1);
    const std::string id(m_Model->Emails(0).MessageID());
    EXPECT_EQ(id.size(), 36 + 1 + CheckerMessageIdDomain.size()) << id;
    EXPECT_TRUE(id.ends_with("@" + std::string(CheckerMessageIdDomain))) << id;
    EXPECT_EQ(Log().back(), "0 Processed a new message for \"alice\" at \"127.0.0.1\".");
}

// A returned authentication request is not stored, and without a request id that the service can
// confirm it blocks nobody (anybody can write one); any other robot mail (a bounce of the user's
// own mail) is kept for the user, and the robot is never asked to authenticate.
TEST_F(CheckerDovecotTest, BounceOfAnAuthenticationRequestIsNotStoredAndWithoutProofBlocksNobody) {
    m_Server->AddMessage("alice", "From: Carol <carol@example.org>\r\nSubject: hello\r\n\r\nhi\r\n");
    m_Server->AddMessage("alice", "From: Mail Delivery <Postmaster@mx.example.net>\r\nSubject: Undeliverable\r\n\r\n"
                                  "Your message could not be delivered.\r\n\r\nReturn-Path: <robot@service.example>\r\n"
                                  "To: Carol <carol@example.org>\r\nSubject: Please confirm\r\n"
                                  "X-Tessivar: Authentication-Request\r\n\r\nconfirm here\r\n");
    m_Server->AddMessage("alice", "From: MAILER-DAEMON@mx.example.net\r\nSubject: Warning\r\n\r\nno marker\r\n");
    RunPass();

    EXPECT_EQ(Subjects(), (std::vector<std::string>{"hello", "Warning"}));
    ASSERT_NE(Sender("carol@example.org"), nullptr);
    EXPECT_FALSE(Sender("carol@example.org")->IsBlocked());
    const TTessivarEmailAddress* robot = Sender("MAILER-DAEMON@mx.example.net");
    ASSERT_NE(robot, nullptr);
    EXPECT_EQ(robot->AuthenticationStatus(), TAuthenticationStatus::Undefined);
    EXPECT_EQ(m_Model->Database().SingletonQuery("SELECT COUNT(*) FROM EmailAddressesRequiringAuthorization"), 1);
    EXPECT_FALSE(m_Model->Emails(1).IsAwaitingDelivery());
    EXPECT_FALSE(m_Model->Emails(1).IsBlockedMail());
    EXPECT_EQ(UpstreamCountAfterQuit(0), 0);
}

// The notice is only a hint (the model asks the service); by itself it authenticates nobody.
TEST_F(CheckerDovecotTest, SelfAuthenticationNoticeInLowerCaseIsNotStoredAndAuthenticatesNobodyByItself) {
    m_Server->AddMessage("alice", "From: dave@example.org\r\nSubject: first\r\n\r\nhi\r\n");
    m_Server->AddMessage("alice", "From: Dave <dave@example.org>\r\nSubject: notice\r\n"
                                  "X-Tessivar: self-authentication-notification\r\n\r\nI am real\r\n");
    RunPass();

    EXPECT_EQ(Subjects(), (std::vector<std::string>{"first"}));
    ASSERT_NE(Sender("dave@example.org"), nullptr);
    EXPECT_FALSE(Sender("dave@example.org")->IsAuthenticated());
    EXPECT_EQ(UpstreamCountAfterQuit(0), 0);
}

TEST_F(CheckerDovecotTest, StartCheckDuringAPassIsDroppedButOneRightAfterItStartsAnother) {
    m_Server->AddMessage("alice", "From: bob@example.org\r\nSubject: one\r\n\r\n1\r\n");
    m_Checker->StartCheck();
    // The pass now waits for the model to store the message: the log item and InsertEmail are queued.
    for (int i = 0; i < 5000 && m_Target.Loop.QueuedCount() < 2; ++i)
        std::this_thread::sleep_for(2ms);
    ASSERT_EQ(m_Target.Loop.QueuedCount(), 2u);
    m_Checker->StartCheck();
    EXPECT_TRUE(m_Checker->Busy());
    ServeUntilIdle();
    EXPECT_EQ(Only(Log(), Checking).size(), 1u);

    RunPass();
    EXPECT_EQ(Only(Log(), Checking).size(), 2u);
    EXPECT_EQ(Log().back(), "0 No new messages for \"alice\" at \"127.0.0.1\".");
    EXPECT_EQ(m_Model->EmailCount(), 1);
}

// ---- Against scripted peers --------------------------------------------------------------------

TEST_F(CheckerTest, EmptyMailboxQuitsAndTheTraceNeverShowsThePassword) {
    TScriptedPOP3Server server([](TScriptedPeer& peer) { ServeMailbox(peer, {}); });
    std::string trace;
    {
        TTraceCapture capture;
        CreateChecker(server.Port());
        RunPass();
        m_Checker.reset();
        trace = capture.Text();
    }
    EXPECT_EQ(server.Received(), (std::vector<std::string>{"CAPA", "USER alice", "PASS secret", "STAT", "QUIT"}));
    EXPECT_EQ(LogWithoutWarning(),
              (std::vector<std::string>{Checking, "0 No new messages for \"alice\" at \"127.0.0.1\"."}));
    EXPECT_NE(trace.find("POP3Checker: Checking: 127.0.0.1:" + std::to_string(server.Port()) + " alice/********"),
              std::string::npos);
    EXPECT_EQ(trace.find("secret"), std::string::npos);
    EXPECT_NE(trace.find("Pop3Checker: Terminated."), std::string::npos);
}

TEST_F(CheckerTest, StartCheckRightAfterAPassEndsIsNeverLost) {
    TScriptedPOP3Server server([](TScriptedPeer& peer) { ServeMailbox(peer, {}); });
    CreateChecker(server.Port());
    constexpr int Passes = 30;
    for (int pass = 0; pass < Passes; ++pass) {
        m_Checker->StartCheck();
        // No sleep: the next StartCheck comes as soon as Busy drops, before the worker waits again.
        const auto deadline = std::chrono::steady_clock::now() + 20s;
        while (m_Checker->Busy())
            ASSERT_LT(std::chrono::steady_clock::now(), deadline) << "pass " << pass << " never ran";
    }
    m_Target.Loop.ProcessPending();
    EXPECT_EQ(Only(Log(), Checking).size(), static_cast<size_t>(Passes));
}

// A pass cut before its QUIT leaves what it stored on the server. The next pass deletes those
// messages without storing them again (but stores again one whose file was lost), and once the
// server confirms its QUIT nothing stays remembered.
TEST_F(CheckerTest, APassCutBeforeItsQuitNeverStoresAMessageTwice) {
    const std::vector<TScriptedMessage> mailbox = {{Wire("bob@example.org", "one"), false, false, "uid-1"},
                                                   {Wire("bob@example.org", "two"), false, false, "uid-2"},
                                                   {Wire("bob@example.org", "three"), false, false, "uid-3"}};
    std::atomic<int> connections{0};
    TScriptedPOP3Server server([&](TScriptedPeer& peer) { ServeMailbox(peer, mailbox, ++connections > 1); });
    CreateChecker(server.Port());
    RunPass();
    ASSERT_EQ(Subjects(), (std::vector<std::string>{"one", "two", "three"}));
    const auto remembered = [&] {
        return m_Model->Database().SingletonQuery("SELECT COUNT(*) FROM RetrievedMessages");
    };
    EXPECT_EQ(remembered(), 3);
    ASSERT_EQ(::unlink(m_Model->Emails(1).FileName().c_str()), 0);

    RunPass();
    EXPECT_EQ(Subjects(), (std::vector<std::string>{"one", "two", "three", "two"}));
    std::vector<std::string> secondPass = server.Received();
    const auto firstLogin = std::find(secondPass.begin(), secondPass.end(), "USER alice");
    secondPass.erase(secondPass.begin(), std::find(firstLogin + 1, secondPass.end(), "USER alice"));
    EXPECT_EQ(Only(secondPass, "RETR"), (std::vector<std::string>{"RETR 2"}));
    EXPECT_EQ(Only(secondPass, "DELE"), (std::vector<std::string>{"DELE 1", "DELE 2", "DELE 3"}));
    EXPECT_EQ(remembered(), 0);
}

class CheckerLoginFailureTest : public CheckerTest,
                                public testing::WithParamInterface<std::function<void(TScriptedPeer&)>> {};

TEST_P(CheckerLoginFailureTest, FailureBeforeTheMessagesEndsThePassWithAConnectErrorItem) {
    TScriptedPOP3Server server(GetParam());
    CreateChecker(server.Port());
    RunPass();
    EXPECT_EQ(LogWithoutWarning(), (std::vector<std::string>{Checking, ConnectFailed}));
    EXPECT_TRUE(Only(server.Received(), "RETR").empty());
}

INSTANTIATE_TEST_SUITE_P(Peers, CheckerLoginFailureTest,
                         testing::Values([](TScriptedPeer&) {}, // closes without a greeting
                                         [](TScriptedPeer& peer) {
                                             GreetWithoutTLS(peer);
                                             peer.Answer("+OK");
                                             peer.Answer("-ERR invalid login");
                                             peer.WaitForClose();
                                         },
                                         [](TScriptedPeer& peer) {
                                             GreetWithoutTLS(peer);
                                             peer.Answer("+OK");
                                             peer.Answer("+OK");
                                             peer.Answer("200 what?");
                                             peer.WaitForClose();
                                         }));

TEST_F(CheckerTest, FailedMessagesStayUpstreamWhileTheOthersAreStoredAndDeleted) {
    TScriptedPOP3Server server([](TScriptedPeer& peer) {
        ServeMailbox(peer, {{""}, // RETR refused
                            {"Subject: long line\r\n\r\n" + std::string(50000, 'x') + "\r\n.\r\n"},
                            {Wire("bob@example.org", "three"), true}, // DELE refused
                            {Wire("<bob@example.org> carol@example.org", "unreadable sender")},
                            {Wire("bob@example.org", "five")}});
    });
    CreateChecker(server.Port());
    RunPass();
    // Headers that cannot be read in full would fail at every pass: the message is stored with what
    // could be read, so the user gets to see it.
    EXPECT_EQ(Subjects(), (std::vector<std::string>{"long line", "three", "unreadable sender", "five"}));
    ASSERT_NE(Sender("bob@example.org"), nullptr);
    EXPECT_EQ(Only(server.Received(), "DELE"), (std::vector<std::string>{"DELE 2", "DELE 3", "DELE 4", "DELE 5"}));
    EXPECT_EQ(server.Received().back(), "QUIT");
    EXPECT_EQ(LogWithoutWarning(),
              (std::vector<std::string>{Checking, "0 Processed 5 new messages for \"alice\" at \"127.0.0.1\"."}));
}

TEST_F(CheckerTest, NothingIsDeletedUpstreamWhenTheModelCannotStore) {
    TScriptedPOP3Server server([](TScriptedPeer& peer) {
        ServeMailbox(peer, {{Wire("bob@example.org", "one")}, {Wire("bob@example.org", "two")}});
    });
    CreateChecker(server.Port());
    m_Target.RefuseSends = true;
    RunPass();
    EXPECT_EQ(m_Model->EmailCount(), 0);
    EXPECT_TRUE(Only(server.Received(), "DELE").empty());
    EXPECT_EQ(server.Received().back(), "QUIT");
}

// Retrieval runs ahead of the answers where the server allows it, each answer still going with
// its own command (refusals among them), and DELE waits for the flush that makes the message
// durable here.
TEST_F(CheckerTest, PipeliningServerGetsRetrievalsAheadAndDeletionsOnlyAfterTheFlush) {
    std::atomic<bool> pipelined{false};
    TScriptedPOP3Server server([&](TScriptedPeer& peer) {
        ServeMailbox(peer,
                     {{Wire("bob@example.org", "one"), false, false, "uid-1"},
                      {"", false, false, "uid-2"}, // RETR refused
                      {Wire("bob@example.org", "three"), true, false, "uid-3"}, // DELE refused
                      {Wire("bob@example.org", "four"), false, false, "uid-4"}},
                     true, &pipelined);
    });
    CreateChecker(server.Port());
    RunPass();
    EXPECT_TRUE(pipelined);
    EXPECT_EQ(Subjects(), (std::vector<std::string>{"one", "three", "four"}));
    const std::vector<std::string> received = server.Received();
    const auto lastRetrieval = std::find(received.rbegin(), received.rend(), "RETR 4");
    const auto firstDeletion = std::find(received.begin(), received.end(), "DELE 1");
    ASSERT_NE(lastRetrieval, received.rend());
    EXPECT_LT(lastRetrieval.base() - 1 - received.begin(), firstDeletion - received.begin());
    EXPECT_EQ(Only(received, "DELE"), (std::vector<std::string>{"DELE 1", "DELE 3", "DELE 4"}));
    EXPECT_EQ(received.back(), "QUIT");
    // The confirmed QUIT removed 1 and 4; 3 stays remembered, so the next pass only deletes it.
    EXPECT_EQ(m_Model->Database().SingletonQuery("SELECT COUNT(*) FROM RetrievedMessages"), 1);
}

// A message stored but not made durable (the flush failed) is neither deleted nor QUIT upstream;
// the next pass finds it remembered and only deletes it.
TEST_F(CheckerTest, MessageIsNeverDeletedUpstreamBeforeItsFlushSucceeded) {
    const std::vector<TScriptedMessage> mailbox = {{Wire("bob@example.org", "one"), false, false, "uid-1"},
                                                   {Wire("bob@example.org", "two"), false, false, "uid-2"}};
    std::atomic<bool> pipelined{false};
    TScriptedPOP3Server server([&](TScriptedPeer& peer) { ServeMailbox(peer, mailbox, true, &pipelined); });
    CreateChecker(server.Port());
    m_Target.RefuseFlushes = true;
    RunPass();
    EXPECT_EQ(m_Model->EmailCount(), 2);
    EXPECT_TRUE(Only(server.Received(), "DELE").empty());
    EXPECT_TRUE(Only(server.Received(), "QUIT").empty());

    m_Target.RefuseFlushes = false;
    RunPass();
    EXPECT_EQ(Subjects(), (std::vector<std::string>{"one", "two"}));
    EXPECT_EQ(Only(server.Received(), "RETR").size(), 2u);
    EXPECT_EQ(Only(server.Received(), "DELE"), (std::vector<std::string>{"DELE 1", "DELE 2"}));
    EXPECT_EQ(server.Received().back(), "QUIT");
}

TEST_F(CheckerTest, DroppedConnectionLosesNothingAndTheNextLoginStartsANewPass) {
    std::atomic<int> connections{0};
    TScriptedPOP3Server server([&](TScriptedPeer& peer) {
        if (connections++ > 0)
            return ServeMailbox(peer, {});
        ServeMailbox(peer, {{Wire("bob@example.org", "kept")},
                            {"Subject: cut\r\n\r\npartial li", false, true},
                            {Wire("bob@example.org", "never reached")}});
    });
    CreateChecker(server.Port());
    RunPass();
    // What was stored is flushed, but the connection is gone before it could be deleted.
    EXPECT_EQ(Subjects(), (std::vector<std::string>{"kept"}));
    EXPECT_TRUE(Only(server.Received(), "DELE").empty());
    EXPECT_EQ(LogWithoutWarning(), (std::vector<std::string>{Checking, ConnectFailed}));

    RunPass();
    EXPECT_EQ(connections, 2);
    EXPECT_EQ(Log().back(), "0 No new messages for \"alice\" at \"127.0.0.1\".");
}

class CheckerShutdownTest : public CheckerTest,
                            public testing::WithParamInterface<std::function<void(TScriptedPeer&)>> {};

TEST_P(CheckerShutdownTest, DestroyingTheCheckerEndsAPassWaitingOnTheServer) {
    std::atomic<bool> waiting{false};
    TScriptedPOP3Server server([&](TScriptedPeer& peer) {
        GetParam()(peer);
        waiting = true;
        peer.WaitForClose();
    });
    CreateChecker(server.Port());
    m_Checker->StartCheck();
    for (int i = 0; i < 5000 && !waiting; ++i) {
        m_Target.Loop.ProcessPending();
        std::this_thread::sleep_for(2ms);
    }
    ASSERT_TRUE(waiting);
    const auto start = std::chrono::steady_clock::now();
    m_Checker.reset();
    EXPECT_LT(std::chrono::steady_clock::now() - start, 5s);
    m_Target.Loop.ProcessPending();
    EXPECT_EQ(LogWithoutWarning(), (std::vector<std::string>{Checking})); // cancellation is no error
}

INSTANTIATE_TEST_SUITE_P(Peers, CheckerShutdownTest,
                         testing::Values([](TScriptedPeer&) {},    // silent from the start
                                         [](TScriptedPeer& peer) { // a message that never ends
                                             GreetWithoutTLS(peer);
                                             peer.Answer("+OK");
                                             peer.Answer("+OK");
                                             peer.Answer("+OK 1 100");
                                             peer.Answer("+OK");
                                             peer.Send("Subject: endless\r\n\r\nmore to come\r\n");
                                         }));

// ---- TLS to the real server ----------------------------------------------------------------------

TEST_F(CheckerDovecotTest, PlainOnlyServerStillWorksAndTheWarningComesOncePerRun) {
    m_Server->AddMessage("alice", "From: bob@example.org\r\nSubject: one\r\n\r\nbody\r\n");
    RunPass();
    m_Server->AddMessage("alice", "From: bob@example.org\r\nSubject: two\r\n\r\nbody\r\n");
    RunPass();
    EXPECT_EQ(m_Model->EmailCount(), 2);
    EXPECT_EQ(Only(Log(), Unencrypted).size(), 1u);
    EXPECT_EQ(Log()[1], Unencrypted); // before the pass's outcome
}

// Dovecot speaking TLS with a certificate of the test's own authority, which the program trusts
// through the extra trusted certificates file in its directory.
class CheckerTLSTest : public CheckerTest {
protected:
    void SetUp() override {
        if (geteuid() != 0)
            GTEST_SKIP() << "the Dovecot fixture needs root";
        CheckerTest::SetUp();
        m_Certificates = std::make_unique<TTestCertificates>();
        std::filesystem::copy_file(m_Certificates->AuthorityFile(), m_Dir + std::string(TrustedCertificatesFileName));
    }
    void TearDown() override {
        m_Checker.reset();
        m_Server.reset();
        m_Certificates.reset();
        CheckerTest::TearDown();
    }
    void StartServer(const TTestCertificate& certificate) {
        m_Server = std::make_unique<TDovecotServer>(TDovecotTLS{certificate.CertificateFile, certificate.KeyFile});
        m_Server->AddUser("alice", "secret");
    }
    // Dovecot writes its log through a process of its own.
    std::string ServerLogWhenItHolds(const std::string& text) {
        for (int i = 0; i < 250 && m_Server->Log().find(text) == std::string::npos; ++i)
            std::this_thread::sleep_for(20ms);
        return m_Server->Log();
    }

    const std::string CheckingLocalhost = "0 Checking mail for \"alice\" at \"localhost\".";
    std::unique_ptr<TTestCertificates> m_Certificates;
    std::unique_ptr<TDovecotServer> m_Server;
};

class CheckerTLSPassTest : public CheckerTLSTest, public testing::WithParamInterface<bool> {};

// Over POP3S (the mail program asked for a secure connection) and over STLS (announced by the
// server on its plain port): every message arrives byte for byte, with no warning.
TEST_P(CheckerTLSPassTest, StoresEveryMessageByteForByteOverTLS) {
    const bool implicit = GetParam();
    StartServer(m_Certificates->Issue("server", "localhost"));
    const std::vector<std::string> messages = {
        "From: Bob <bob@example.org>\r\nSubject: dots\r\nMessage-Id: <1@example.org>\r\n\r\n.\r\n..two\r\n",
        "From: carol@example.org\r\nSubject: big\r\nMessage-Id: <2@example.org>\r\n\r\n" +
            std::string(100000, 'z') + "\r\n\xE9t\xE9\r\n"};
    for (const std::string& message : messages)
        m_Server->AddMessage("alice", message);
    std::string trace;
    {
        TTraceCapture capture;
        CreateChecker(implicit ? m_Server->POP3SPort() : m_Server->Port(), "localhost",
                      implicit ? TConnectionSecurity::ImplicitTLS : TConnectionSecurity::Automatic);
        RunPass();
        trace = capture.Text();
    }
    ASSERT_EQ(m_Model->EmailCount(), 2);
    for (int i = 0; i < 2; ++i)
        EXPECT_EQ(FileText(m_Model->Emails(i).FileName()), messages[i]);
    EXPECT_EQ(Log(), (std::vector<std::string>{CheckingLocalhost,
                                               "0 Processed 2 new messages for \"alice\" at \"localhost\"."}));
    EXPECT_NE(trace.find("POP3Checker: Connected over TLSv1."), std::string::npos);
    EXPECT_NE(ServerLogWhenItHolds("Login: user=<alice>").find("TLS"), std::string::npos);
}

INSTANTIATE_TEST_SUITE_P(ImplicitAndSTLS, CheckerTLSPassTest, testing::Bool());

// A private authority is trusted only through the file, and the file is taken up by the next pass
// once the user has put it there, without a restart.
TEST_F(CheckerTLSTest, PrivateAuthorityIsTrustedOnceItsFileIsInPlace) {
    const std::string trustFile = m_Dir + std::string(TrustedCertificatesFileName);
    std::filesystem::remove(trustFile);
    StartServer(m_Certificates->Issue("server", "localhost"));
    m_Server->AddMessage("alice", "From: bob@example.org\r\nSubject: waits\r\n\r\nbody\r\n");
    CreateChecker(m_Server->Port(), "localhost");
    RunPass();
    EXPECT_EQ(Log().back(), "1 Could not connect to server for \"alice\" at \"localhost\": the certificate is not "
                            "from a trusted authority: see TrustedCertificates.pem in the README.");
    EXPECT_EQ(m_Model->EmailCount(), 0);

    std::filesystem::copy_file(m_Certificates->AuthorityFile(), trustFile);
    RunPass();
    EXPECT_EQ(Log().back(), "0 Processed a new message for \"alice\" at \"localhost\".");
    EXPECT_EQ(m_Model->EmailCount(), 1);
}

// A trusted certificates file that its group may write to is ignored, as ssh ignores such keys: the
// private authority is not trusted, the activity log says why once, and once the mode is put right
// the next pass trusts the file again.
TEST_F(CheckerTLSTest, TrustedCertificatesFileItsGroupCanWriteIsIgnoredWithALogItem) {
    const std::string trustFile = m_Dir + std::string(TrustedCertificatesFileName);
    std::filesystem::permissions(trustFile, std::filesystem::perms(0664));
    StartServer(m_Certificates->Issue("server", "localhost"));
    m_Server->AddMessage("alice", "From: bob@example.org\r\nSubject: waits\r\n\r\nbody\r\n");
    CreateChecker(m_Server->Port(), "localhost");
    RunPass();
    RunPass();
    const std::string ignored = "1 Ignored the trusted certificates in \"" + trustFile +
                                "\" because its group may write to it: they are trusted only in a file of your own "
                                "(or root's) that nobody else may write to.";
    EXPECT_EQ(Only(Log(), ignored).size(), 1u);
    EXPECT_EQ(Log().back(), "1 Could not connect to server for \"alice\" at \"localhost\".");
    EXPECT_EQ(m_Model->EmailCount(), 0);

    std::filesystem::permissions(trustFile, std::filesystem::perms(0644));
    RunPass();
    EXPECT_EQ(Log().back(), "0 Processed a new message for \"alice\" at \"localhost\".");
    EXPECT_EQ(m_Model->EmailCount(), 1);
}

struct TBadCertificate {
    std::string Name;
    std::function<TTestCertificate(TTestCertificates&)> Make;
    std::string Reason;  // what the trace says about it
    std::string Subject; // and the name it gives for the certificate
    std::string Told;    // what the activity log tells the user
};

class CheckerBadCertificateTest : public CheckerTLSTest, public testing::WithParamInterface<TBadCertificate> {};

// A certificate that does not verify ends the pass with the connect error, the reason in the trace,
// and the password never sent: over STLS too, where falling back to plain would be easy.
TEST_P(CheckerBadCertificateTest, EndsThePassBeforeThePasswordIsSent) {
    StartServer(GetParam().Make(*m_Certificates));
    m_Server->AddMessage("alice", "From: bob@example.org\r\nSubject: stays\r\n\r\nbody\r\n");
    const std::string told = "1 Could not connect to server for \"alice\" at \"localhost\": " + GetParam().Told + ".";
    for (const bool implicit : {false, true}) {
        std::string trace;
        {
            TTraceCapture capture;
            m_Checker.reset();
            CreateChecker(implicit ? m_Server->POP3SPort() : m_Server->Port(), "localhost");
            if (implicit)
                m_Account->SetConnectionSecurity(TConnectionSecurity::ImplicitTLS);
            RunPass();
            trace = capture.Text();
        }
        EXPECT_EQ(Log().back(), told);
        EXPECT_NE(trace.find("certificate verify failed (" + GetParam().Reason + ")"), std::string::npos) << trace;
        EXPECT_NE(trace.find("for the certificate of " + GetParam().Subject), std::string::npos) << trace;
    }
    // The reason is told once per account and run; later failures say only that the check failed.
    RunPass();
    EXPECT_EQ(Log().back(), "1 Could not connect to server for \"alice\" at \"localhost\".");
    EXPECT_EQ(Only(Log(), "0 The server offers no secure connection").size(), 0u);
    EXPECT_EQ(m_Model->EmailCount(), 0);
    EXPECT_EQ(m_Server->MessageCount("alice"), 1);
    const std::string log = ServerLogWhenItHolds("no auth attempts");
    EXPECT_NE(log.find("no auth attempts"), std::string::npos) << log;
    EXPECT_EQ(log.find("user=<alice>"), std::string::npos) << log;
}

INSTANTIATE_TEST_SUITE_P(
    Certificates, CheckerBadCertificateTest,
    testing::Values(
        TBadCertificate{"OtherHost", [](TTestCertificates& c) { return c.Issue("other", "mail.example.test"); },
                        "hostname mismatch", "CN=mail.example.test",
                        "the certificate is for mail.example.test, not localhost"},
        TBadCertificate{"SelfSigned", [](TTestCertificates& c) { return c.SelfSigned("self", "localhost"); },
                        "self-signed certificate", "CN=localhost",
                        "the certificate is not from a trusted authority: see TrustedCertificates.pem in the README"},
        TBadCertificate{"Expired", [](TTestCertificates& c) { return c.IssueExpired("expired", "localhost"); },
                        "certificate has expired", "CN=localhost", "the server's certificate expired on 2020-02-01"}),
    [](const testing::TestParamInfo<TBadCertificate>& info) { return info.param.Name; });

// A server that announces STLS and then never answers the handshake holds the pass no longer than
// the connect time-out, and never sees the login.
TEST_F(CheckerTest, StalledHandshakeEndsThePassWithTheConnectErrorWithinTheConnectTimeOut) {
    TScriptedPOP3Server server([](TScriptedPeer& peer) {
        peer.SendLine("+OK scripted");
        peer.Answer("+OK");
        peer.SendLine("STLS");
        peer.SendLine(".");
        peer.Answer("+OK begin TLS");
        peer.WaitForClose();
    });
    std::string trace;
    const auto start = std::chrono::steady_clock::now();
    {
        TTraceCapture capture;
        CreateChecker(server.Port(), "localhost");
        RunPass();
        trace = capture.Text();
    }
    EXPECT_LT(std::chrono::steady_clock::now() - start, 40s);
    EXPECT_EQ(Log(), (std::vector<std::string>{"0 Checking mail for \"alice\" at \"localhost\".",
                                               "1 Could not connect to server for \"alice\" at \"localhost\"."}));
    EXPECT_NE(trace.find("TLS handshake with \"localhost\" timed out."), std::string::npos);
    // What follows STLS is the client's half of the handshake, never a login.
    const std::vector<std::string> received = server.Received();
    ASSERT_GE(received.size(), 2u);
    EXPECT_EQ(std::vector<std::string>(received.begin(), received.begin() + 2),
              (std::vector<std::string>{"CAPA", "STLS"}));
    EXPECT_TRUE(Only(received, "USER").empty() && Only(received, "PASS").empty());
}

// A server that announces STLS and refuses it (someone between may be stripping TLS) is named as
// the reason, and an account that requires STLS of a server without it likewise.
TEST_F(CheckerTest, RefusedOrMissingSTLSIsToldAsTheReason) {
    for (const bool announce : {true, false}) {
        TScriptedPOP3Server server([announce](TScriptedPeer& peer) {
            peer.SendLine("+OK scripted");
            peer.Answer("+OK");
            if (announce)
                peer.SendLine("STLS");
            peer.SendLine(".");
            peer.Answer("-ERR not now");
            peer.WaitForClose();
        });
        m_Checker.reset();
        CreateChecker(server.Port(), "localhost", announce ? TConnectionSecurity::Automatic : TConnectionSecurity::STLS);
        RunPass();
        EXPECT_EQ(Log().back(), announce ? "1 Could not connect to server for \"alice\" at \"localhost\": the server "
                                           "refused STLS."
                                         : "1 Could not connect to server for \"alice\" at \"localhost\": the server "
                                           "does not offer STLS, which the account requires.");
        EXPECT_TRUE(Only(server.Received(), "PASS").empty());
    }
}

// ---- Recognising robots and returned requests ---------------------------------------------------

TEST(CheckerBounceTest, RobotSendersAreRecognisedByTheirAddressPrefix) {
    EXPECT_TRUE(IsMailRobotAddress("PostMaster@example.org"));
    EXPECT_TRUE(IsMailRobotAddress("mailer-daemon@mx.example.org"));
    EXPECT_TRUE(IsMailRobotAddress(std::string(AutoReplySenderAddress)));
    EXPECT_FALSE(IsMailRobotAddress("postmaster.office@example.org"));
    EXPECT_FALSE(IsMailRobotAddress("bob@postmaster.example.org"));
}

TEST(CheckerBounceTest, ReturnedRequestRecipientComesFromTheHeaderBlockOfTheFirstMarker) {
    // The marker inside an embedded header block; the address in angle brackets is reported bare.
    EXPECT_EQ(ReturnedRequestRecipient({"From: postmaster@x.example", "", "Delivery failed", "", "Subject: confirm",
                                        "To: Carol Smith <carol@example.org>", "X-Tessivar: Authentication-Request", "",
                                        "body", "To: other@example.org", "X-Tessivar: Authentication-Request"}),
              "carol@example.org");
    // The marker in the message's own header block, whose first line is "To".
    EXPECT_EQ(ReturnedRequestRecipient({"To: dave@example.org", "X-Tessivar: Authentication-Request", "", "x"}),
              "dave@example.org");
    // Letter case and blanks of the marker line count.
    EXPECT_EQ(ReturnedRequestRecipient({"To: dave@example.org", "x-tessivar: Authentication-Request"}), "");
    EXPECT_EQ(ReturnedRequestRecipient({"To: dave@example.org", "X-Tessivar:  Authentication-Request"}), "");
    // A marker block that names no recipient reports nothing.
    EXPECT_EQ(ReturnedRequestRecipient({"Subject: x", "X-Tessivar: Authentication-Request"}), "");
}

// The proof a bounce offers is the returned request's id; an id outside the marker domain, or a
// marker domain inside a longer name, proves nothing.
TEST(CheckerBounceTest, ReturnedRequestIdComesFromTheReturnedBlockOrTheBouncesReferences) {
    const std::string marker = "X-Tessivar: Authentication-Request";
    EXPECT_EQ(
        ReturnedRequestMessageId({"From: postmaster@x.example", "In-Reply-To: <other@auth.tessivar.com>", "", "failed",
                                  "", "To: carol@example.org", "Message-Id: <ab12@auth.tessivar.com>", marker}),
        "ab12@auth.tessivar.com");
    EXPECT_EQ(ReturnedRequestMessageId({"From: postmaster@x.example", "In-Reply-To: <cd34@auth.tessivar.com>", "",
                                        "To: carol@example.org", marker}),
              "cd34@auth.tessivar.com");
    EXPECT_EQ(
        ReturnedRequestMessageId({"From: postmaster@x.example", "References: <a@mail.example> <ef56@AUTH.tessivar.com>",
                                  "", "Message-Id: <x@mail.example>", marker}),
        "ef56@AUTH.tessivar.com");
    EXPECT_EQ(ReturnedRequestMessageId({"From: postmaster@x.example", "", "Message-Id: <x@mail.example>", marker}), "");
    EXPECT_EQ(ReturnedRequestMessageId(
                  {"From: postmaster@x.example", "", "Message-Id: <x@evilauth.tessivar.com.example>", marker}),
              "");
    EXPECT_EQ(ReturnedRequestMessageId({"From: postmaster@x.example", "", "Message-Id: <@auth.tessivar.com>", marker}),
              "");
    EXPECT_EQ(ReturnedRequestMessageId({"In-Reply-To: <ab12@auth.tessivar.com>", "", "no marker"}), "");
}

} // namespace
