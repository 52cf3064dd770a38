#include "mail/UIMAPClient.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <future>
#include <thread>

#include "mail/USockets.h"
#include "tests/base/TraceCapture.h"
#include "mail/UTLS.h"
#include "tests/support/DovecotIMAP.h"
#include "tests/support/ScriptedPOP3Server.h"

namespace {

using namespace std::chrono_literals;

const std::string FromBob = "From: Bob <bob@example.org>\r\nSubject: hello\r\nMessage-ID: <1@example.org>\r\n\r\n"
                            "first line\r\n.\r\n\xE9t\xE9\r\n";

std::string Message(int n) {
    return "From: carol@example.org\r\nSubject: " + std::to_string(n) + "\r\nMessage-ID: <" + std::to_string(n) +
           "@example.org>\r\n\r\nbody " + std::to_string(n) + "\r\n";
}

TIMAPServer ServerAt(int port, TIMAPSecurity security, const std::string& host = "localhost") {
    TIMAPServer server;
    server.EmailAddress = "alice@example.org";
    server.Host = host;
    server.Port = port;
    server.Security = security;
    server.Username = "alice";
    return server;
}

template <typename TFunction>
std::string FailureOf(TFunction fn) {
    try {
        fn();
    } catch (const Exception& error) {
        return std::string(error.ClassName()) + ": " + error.Message();
    }
    return "<none>";
}

class IMAPClientTest : public testing::Test {
protected:
    void SetUp() override {
        if (geteuid() != 0)
            GTEST_SKIP() << "the Dovecot fixture needs root";
    }
    void Start(TDovecotIMAPOptions options = {}) {
        m_Server = std::make_unique<TDovecotIMAP>(std::move(options));
        m_Server->AddUser("alice", "secret");
    }
    std::unique_ptr<TIMAPMailbox> Connect(TIMAPSecurity security = TIMAPSecurity::ImplicitTLS,
                                          const std::string& password = "secret") {
        const int port = security == TIMAPSecurity::ImplicitTLS ? m_Server->IMAPSPort() : m_Server->Port();
        return ConnectIMAP(ServerAt(port, security), password, m_Server->AuthorityFile(), 5000);
    }
    std::unique_ptr<TDovecotIMAP> m_Server;
};

class IMAPClientLoginTest : public IMAPClientTest, public testing::WithParamInterface<TIMAPSecurity> {};

// Over IMAPS and over STARTTLS, with the password in AUTHENTICATE itself or after the server's go-
// ahead (one that could not be quoted): logged in over TLS, with the capabilities of the login.
TEST_P(IMAPClientLoginTest, LogsInOverTLSWithOrWithoutInitialResponse) {
    for (const bool initialResponse : {true, false}) {
        m_Server = std::make_unique<TDovecotIMAP>(TDovecotIMAPOptions{.InitialResponse = initialResponse});
        const std::string password = initialResponse ? "secret" : "p\"a\\ss w\xC3\xB6rd";
        m_Server->AddUser("alice", password);
        EXPECT_EQ(m_Server->Capabilities("alice").find("SASL-IR") != std::string::npos, initialResponse);
        TTraceCapture capture;
        auto mailbox = ConnectIMAP(ServerAt(GetParam() == TIMAPSecurity::ImplicitTLS ? m_Server->IMAPSPort()
                                                                                     : m_Server->Port(),
                                            GetParam()),
                                   password, m_Server->AuthorityFile(), 5000);
        EXPECT_TRUE(mailbox->HasIdle());
        mailbox->Logout();
        // The trace shows the conversation, never the password.
        const std::string trace = capture.Text();
        EXPECT_NE(trace.find("AUTHENTICATE PLAIN ****"), std::string::npos) << trace;
        EXPECT_NE(trace.find("IMAPClient: < * BYE Logging out"), std::string::npos) << trace;
        EXPECT_EQ(trace.find(initialResponse ? "AGFsaWNlAHNlY3JldA" : "AGFsaWNlAHAiYVxzcyB3"), std::string::npos) << trace;
        const std::string log = m_Server->LogWhenItHolds("Login: user=<alice>");
        EXPECT_NE(log.find("Login: user=<alice>, method=PLAIN"), std::string::npos)
            << log;
        EXPECT_NE(log.find("TLS"), std::string::npos) << log;
        m_Server.reset();
    }
}

INSTANTIATE_TEST_SUITE_P(ImplicitAndSTARTTLS, IMAPClientLoginTest,
                         testing::Values(TIMAPSecurity::ImplicitTLS, TIMAPSecurity::STARTTLS));

// A refused password, and one that could smuggle a command in, are refused logins (the second
// without a word to the server). Refusals come last: Dovecot delays logins after one.
TEST_F(IMAPClientTest, WrongPasswordIsARefusedLogin) {
    Start();
    EXPECT_NO_THROW(Connect()->Logout());
    EXPECT_THROW(Connect(TIMAPSecurity::STARTTLS, "secret\r\nT9 LOGOUT"), EIMAPLoginRefused);
    EXPECT_THROW(Connect(TIMAPSecurity::ImplicitTLS, "wrong"), EIMAPLoginRefused);
}

// A certificate of an unknown authority or for another host ends the connection before the login:
// the server never sees one, over STARTTLS either.
TEST_F(IMAPClientTest, UnverifiedCertificateEndsTheConnectionBeforeTheLogin) {
    Start();
    for (const TIMAPSecurity security : {TIMAPSecurity::ImplicitTLS, TIMAPSecurity::STARTTLS}) {
        const int port = security == TIMAPSecurity::ImplicitTLS ? m_Server->IMAPSPort() : m_Server->Port();
        EXPECT_THROW(ConnectIMAP(ServerAt(port, security), "secret", "", 5000), ETLSException);
        EXPECT_THROW(ConnectIMAP(ServerAt(port, security, "127.0.0.1"), "secret", m_Server->AuthorityFile(), 5000),
                     ETLSException);
    }
    const std::string log = m_Server->LogWhenItHolds("no auth attempts");
    EXPECT_EQ(log.find("Login:"), std::string::npos) << log;
    EXPECT_EQ(log.find("auth failed"), std::string::npos) << log;
}

// The screener reads mail that the user has not read yet: fetching must not mark it read, and the
// message arrives byte for byte.
TEST_F(IMAPClientTest, FetchLeavesTheMessageUnreadAndWhole) {
    Start();
    const uint32_t uid = m_Server->Append("alice", "INBOX", FromBob);
    auto mailbox = Connect();
    const TIMAPFolderState state = mailbox->Select("INBOX");
    EXPECT_EQ(state.UIDValidity, m_Server->UIDValidity("alice", "INBOX"));
    EXPECT_EQ(state.UIDNext, uid + 1);
    EXPECT_EQ(state.Exists, 1u);
    EXPECT_EQ(mailbox->Fetch(uid), FromBob);
    EXPECT_EQ(mailbox->FetchHeader(uid), FromBob.substr(0, FromBob.find("\r\n\r\n") + 4));
    EXPECT_EQ(mailbox->Fetch(uid + 5), std::nullopt);
    EXPECT_EQ(mailbox->UIDsWithMessageID("<1@example.org>"), std::vector<uint32_t>{uid});
    EXPECT_TRUE(mailbox->UIDsWithMessageID("").empty()); // would match every message
    EXPECT_EQ(mailbox->UIDsSince(1), std::vector<uint32_t>{uid});
    mailbox->Logout();
    const auto messages = m_Server->Messages("alice", "INBOX");
    ASSERT_EQ(messages.size(), 1u);
    EXPECT_EQ(messages[0].Flags.find("\\Seen"), std::string::npos) << messages[0].Flags;
}

// "n:*" always takes in the folder's last message, even when its UID is below n: a client that
// believed it would screen that message again and again.
TEST_F(IMAPClientTest, UIDsFromLeavesOutTheLastMessageBelowTheStart) {
    Start();
    std::vector<uint32_t> uids;
    for (int i = 0; i < 3; ++i)
        uids.push_back(m_Server->Append("alice", "INBOX", Message(i)));
    auto mailbox = Connect();
    mailbox->Select("INBOX");
    EXPECT_EQ(mailbox->UIDsFrom(0), uids);
    EXPECT_EQ(mailbox->UIDsFrom(uids[1]), std::vector<uint32_t>(uids.begin() + 1, uids.end()));
    EXPECT_TRUE(mailbox->UIDsFrom(uids[2] + 1).empty());
}

struct TMoveCase {
    bool Move;
    bool UIDPlus;
};

class IMAPClientMoveTest : public IMAPClientTest, public testing::WithParamInterface<TMoveCase> {};

// However the server moves, the message lands in the target (created when missing), and a message
// another client marked deleted but has not expunged stays where it is.
TEST_P(IMAPClientMoveTest, MovesOneMessageAndLeavesOthersDeletedMailAlone) {
    Start({.Move = GetParam().Move, .UIDPlus = GetParam().UIDPlus});
    const std::string capabilities = m_Server->Capabilities("alice");
    EXPECT_EQ(capabilities.find(" MOVE") != std::string::npos, GetParam().Move) << capabilities;
    EXPECT_EQ(capabilities.find(" UIDPLUS") != std::string::npos, GetParam().UIDPlus) << capabilities;
    const uint32_t deleted = m_Server->Append("alice", "INBOX", Message(1));
    m_Server->AddFlags("alice", "INBOX", deleted, "\\Deleted");
    const uint32_t moving = m_Server->Append("alice", "INBOX", FromBob);
    auto mailbox = Connect();
    EXPECT_EQ(mailbox->HasMove(), GetParam().Move);
    EXPECT_EQ(mailbox->HasUIDPlus(), GetParam().UIDPlus);
    mailbox->Select("INBOX");
    const uint32_t target = mailbox->Move(moving, std::string(IMAPBlockedFolder));

    const auto blocked = m_Server->Messages("alice", std::string(IMAPBlockedFolder));
    ASSERT_EQ(blocked.size(), 1u);
    EXPECT_EQ(blocked[0].MessageID, "<1@example.org>");
    EXPECT_EQ(target, GetParam().Move || GetParam().UIDPlus ? blocked[0].UID : 0u);
    const auto inbox = m_Server->Messages("alice", "INBOX");
    ASSERT_EQ(inbox.size(), GetParam().Move || GetParam().UIDPlus ? 1u : 2u);
    EXPECT_EQ(inbox[0].UID, deleted);
    if (inbox.size() == 2) {
        EXPECT_EQ(inbox[1].UID, moving);
        EXPECT_NE(inbox[1].Flags.find("\\Deleted"), std::string::npos);
    }
}

INSTANTIATE_TEST_SUITE_P(ServerKinds, IMAPClientMoveTest,
                         testing::Values(TMoveCase{true, true}, TMoveCase{false, true}, TMoveCase{false, false}));

// The folders come out where the server keeps them: with its separator and below its namespace
// prefix, created once and subscribed; special-use folders are found by their use.
TEST_F(IMAPClientTest, FoldersFollowTheServersSeparatorAndPrefix) {
    Start({.Separator = '.', .Prefix = "INBOX."});
    auto mailbox = Connect();
    for (int round = 0; round < 2; ++round) {
        mailbox->EnsureFolder(std::string(IMAPAwaitingFolder));
        mailbox->EnsureFolder(std::string(IMAPBlockedFolder));
    }
    EXPECT_EQ(m_Server->ServerFolders("alice"),
              (std::vector<std::string>{"INBOX", "INBOX.Junk", "INBOX.Tessivar", "INBOX.Tessivar.Awaiting Authorization",
                                        "INBOX.Tessivar.Blocked", "INBOX.Trash"}));
    EXPECT_EQ(mailbox->SpecialUseFolder("\\Trash"), "Trash");
    EXPECT_EQ(mailbox->SpecialUseFolder("\\Archive"), "");
    EXPECT_EQ(mailbox->Select(std::string(IMAPAwaitingFolder)).Exists, 0u);
    mailbox->EnsureFolder("Entwürfe/R&D");
    const auto folders = m_Server->ServerFolders("alice");
    EXPECT_NE(std::find(folders.begin(), folders.end(), "INBOX.Entw&APw-rfe.R&-D"), folders.end());
}

TEST_F(IMAPClientTest, NewUIDValidityShowsAtTheNextSelect) {
    Start();
    m_Server->Append("alice", "INBOX", Message(1));
    auto mailbox = Connect();
    const uint32_t before = mailbox->Select("INBOX").UIDValidity;
    m_Server->SetUIDValidity("alice", "INBOX", before + 1000);
    EXPECT_EQ(mailbox->Select("INBOX").UIDValidity, before + 1000);
}

class IMAPClientWaitTest : public IMAPClientTest, public testing::WithParamInterface<bool> {};

// Another client's new message wakes the wait within a second through IDLE; without IDLE the
// wait asks the server when its time is up. The client's own doings wake nothing.
TEST_P(IMAPClientWaitTest, AnotherClientsAppendEndsTheWait) {
    const bool idle = GetParam();
    Start({.Idle = idle});
    const uint32_t screened = m_Server->Append("alice", "INBOX", Message(0));
    auto mailbox = Connect();
    EXPECT_EQ(mailbox->HasIdle(), idle);
    mailbox->Select("INBOX");
    // The client's own fetch and move are no news.
    mailbox->Fetch(screened);
    mailbox->Move(screened, std::string(IMAPBlockedFolder));
    EXPECT_FALSE(mailbox->WaitForChange(300ms));
    auto waited = std::async(std::launch::async, [&] {
        const auto start = std::chrono::steady_clock::now();
        const bool changed = mailbox->WaitForChange(idle ? 20s : 1500ms);
        return std::make_pair(changed, std::chrono::steady_clock::now() - start);
    });
    std::this_thread::sleep_for(300ms);
    const auto appended = std::chrono::steady_clock::now();
    const uint32_t uid = m_Server->Append("alice", "INBOX", Message(1));
    const auto [changed, took] = waited.get();
    EXPECT_TRUE(changed);
    if (idle) {
        EXPECT_LT(std::chrono::steady_clock::now() - appended, 1s);
    }
    EXPECT_EQ(mailbox->UIDsFrom(1), std::vector<uint32_t>{uid}); // the connection is in step after DONE
}

INSTANTIATE_TEST_SUITE_P(WithAndWithoutIdle, IMAPClientWaitTest, testing::Bool());

TEST_F(IMAPClientTest, AbortEndsAWaitAndEveryLaterOperation) {
    for (const bool idle : {true, false}) {
        Start({.Idle = idle});
        auto mailbox = Connect();
        mailbox->Select("INBOX");
        auto waited = std::async(std::launch::async, [&] { return FailureOf([&] { mailbox->WaitForChange(60s); }); });
        std::this_thread::sleep_for(300ms);
        const auto aborted = std::chrono::steady_clock::now();
        mailbox->Abort();
        ASSERT_EQ(waited.wait_for(5s), std::future_status::ready);
        EXPECT_EQ(waited.get(), "ESocketAborted: Connection aborted.");
        EXPECT_LT(std::chrono::steady_clock::now() - aborted, 1s);
        EXPECT_THROW(mailbox->Select("INBOX"), ESocketAborted);
        EXPECT_NO_THROW(mailbox->Logout());
        m_Server.reset();
    }
}

// ---- Against a scripted peer: what real servers do not do ----------------------------------------

std::string TagOf(const std::string& line) {
    return line.substr(0, line.find(' '));
}

// STARTTLS required but not offered, or offered and refused: nothing but CAPABILITY and STARTTLS
// goes out, and the failure is a TLS failure.
TEST(IMAPClientScriptedTest, MissingOrRefusedSTARTTLSNeverFallsBackToAPlainLogin) {
    for (const bool offered : {false, true}) {
        TScriptedPOP3Server server([offered](TScriptedPeer& peer) {
            peer.SendLine("* OK [CAPABILITY IMAP4rev1 LOGINDISABLED" + std::string(offered ? " STARTTLS" : "") +
                          " AUTH=PLAIN] ready");
            if (const auto line = peer.ReadLine())
                peer.SendLine(TagOf(*line) + " BAD not now");
            peer.WaitForClose();
        });
        auto mailbox = std::make_unique<TIMAPClient>(ServerAt(server.Port(), TIMAPSecurity::STARTTLS, "127.0.0.1"), "");
        EXPECT_THROW(mailbox->Connect("secret", 5000), ETLSException);
        EXPECT_EQ(server.Received(), offered ? std::vector<std::string>{"T1 STARTTLS"} : std::vector<std::string>{});
    }
    // Responses sent in clear behind the go-ahead would pass for protected ones.
    TScriptedPOP3Server injecting([](TScriptedPeer& peer) {
        peer.SendLine("* OK [CAPABILITY IMAP4rev1 STARTTLS] ready");
        if (const auto line = peer.ReadLine())
            peer.Send(TagOf(*line) + " OK begin\r\n* CAPABILITY IMAP4rev1 AUTH=PLAIN\r\n");
        peer.WaitForClose();
    });
    auto mailbox = std::make_unique<TIMAPClient>(ServerAt(injecting.Port(), TIMAPSecurity::STARTTLS, "127.0.0.1"), "");
    EXPECT_EQ(FailureOf([&] { mailbox->Connect("secret", 5000); }),
              "ETLSException: The server sent data before the TLS handshake.");
}

// A server that announces an enormous literal (or goes on without end) fails the operation and
// closes the connection; nothing of the size announced is allocated. A greeting that says BYE is a
// failure to connect, not a refused password.
TEST(IMAPClientScriptedTest, OversizedLiteralAndByeGreetingFailTheConnection) {
    TScriptedPOP3Server huge([](TScriptedPeer& peer) {
        peer.SendLine("* OK ready");
        peer.ReadLine();
        peer.SendLine("* CAPABILITY IMAP4rev1 {" + std::to_string(IMAPMaximumMessageSize + 1) + "}");
        peer.WaitForClose();
    });
    auto mailbox = std::make_unique<TIMAPClient>(ServerAt(huge.Port(), TIMAPSecurity::STARTTLS, "127.0.0.1"), "");
    EXPECT_EQ(FailureOf([&] { mailbox->Connect("secret", 5000); }),
              "EIMAPException: IMAP literal too large: " + std::to_string(IMAPMaximumMessageSize + 1) + " bytes.");
    EXPECT_EQ(FailureOf([&] { mailbox->Select("INBOX"); }), "EIMAPException: Not connected.");

    TScriptedPOP3Server bye([](TScriptedPeer& peer) { peer.SendLine("* BYE too many connections"); });
    auto refused = std::make_unique<TIMAPClient>(ServerAt(bye.Port(), TIMAPSecurity::STARTTLS, "127.0.0.1"), "");
    EXPECT_EQ(FailureOf([&] { refused->Connect("secret", 5000); }),
              "EIMAPException: The server refused the connection: too many connections");
}

} // namespace
