#include "mail/UPOP3Client.h"

#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <future>
#include <map>
#include <thread>

#include "mail/USockets.h"
#include "mail/UTLS.h"
#include "tests/support/DovecotServer.h"
#include "tests/support/ScriptedPOP3Server.h"

namespace {

using namespace std::chrono_literals;

std::unique_ptr<TPOP3Client> ClientFor(int port, const std::string& user = "alice",
                                       const std::string& password = "secret") {
    auto client = std::make_unique<TPOP3Client>();
    client->SetHost("127.0.0.1");
    client->SetPort(port);
    client->SetUsername(user);
    client->SetPassword(password);
    return client;
}

// The message of the exception fn raises; "<none>" when it raises nothing.
template <typename TFunction>
std::string FailureOf(TFunction fn) {
    try {
        fn();
    } catch (const Exception& error) {
        return error.Message();
    }
    return "<none>";
}

// A script that greets, accepts USER and PASS, then hands over to `rest`.
TScriptedPOP3Server::TScript AfterLogin(std::function<void(TScriptedPeer&)> rest) {
    return [rest](TScriptedPeer& peer) {
        peer.SendLine("+OK scripted");
        peer.Answer("+OK");
        peer.Answer("+OK");
        rest(peer);
    };
}

// Runs fn on another thread and gives up (failing the test) if it has not ended after 20 s, so a
// hang shows up as a failure instead of a stuck test run.
template <typename TFunction>
void RunBounded(TFunction fn, const std::function<void()>& whileRunning) {
    auto done = std::async(std::launch::async, fn);
    whileRunning();
    ASSERT_EQ(done.wait_for(20s), std::future_status::ready) << "operation did not return";
    done.get();
}

class POP3ClientDovecotTest : public testing::Test {
protected:
    void SetUp() override {
        if (geteuid() != 0)
            GTEST_SKIP() << "the Dovecot fixture needs root";
        m_Server = std::make_unique<TDovecotServer>();
        m_Server->AddUser("alice", "secret");
    }
    std::unique_ptr<TDovecotServer> m_Server;
};

TEST_F(POP3ClientDovecotTest, RetrievesMessagesByteForByteIncludingDotLines) {
    const TStringArray first = {"From: bob@example.com", "Subject: dots", "", ".", ".leading dot", "..two dots",
                                "trailing blanks  ", "\ttab", "", "end"};
    m_Server->AddMessage("alice", JoinText(first, "\r\n") + "\r\n");
    m_Server->AddMessage("alice", "Subject: second\n\nwritten with LF only\n");
    auto client = ClientFor(m_Server->Port());
    client->Connect(5000);
    EXPECT_EQ(client->Stat(), 2);
    TStringArray lines;
    ASSERT_TRUE(client->RetrieveRaw(1, lines));
    EXPECT_EQ(lines, first);
    ASSERT_TRUE(client->RetrieveRaw(2, lines));
    EXPECT_EQ(lines, (TStringArray{"Subject: second", "", "written with LF only"}));
    client->Disconnect();
    EXPECT_FALSE(client->Connected());
}

TEST_F(POP3ClientDovecotTest, RefusedRetrieveGivesFalseAndRefusedDeleteRaisesButConnectionStays) {
    m_Server->AddMessage("alice", "Subject: only\r\n\r\nbody\r\n");
    auto client = ClientFor(m_Server->Port());
    client->Connect(5000);
    TStringArray lines = {"stale"};
    EXPECT_FALSE(client->RetrieveRaw(7, lines));
    EXPECT_TRUE(lines.empty());
    EXPECT_THROW(client->Delete(7), EPOP3Exception);
    EXPECT_TRUE(client->Connected());
    EXPECT_EQ(client->Stat(), 1);
}

TEST_F(POP3ClientDovecotTest, DeletedMessageIsGoneAfterDisconnect) {
    m_Server->AddMessage("alice", "Subject: one\r\n\r\n1\r\n");
    m_Server->AddMessage("alice", "Subject: two\r\n\r\n2\r\n");
    auto client = ClientFor(m_Server->Port());
    client->Connect(5000);
    client->Delete(1);
    client->Disconnect();
    // QUIT is not waited for; give the server a bounded moment to expunge.
    for (int i = 0; i < 250 && m_Server->MessageCount("alice") != 1; ++i)
        std::this_thread::sleep_for(20ms);
    client->Connect(5000);
    EXPECT_EQ(client->Stat(), 1);
    TStringArray lines;
    ASSERT_TRUE(client->RetrieveRaw(1, lines));
    EXPECT_EQ(lines, (TStringArray{"Subject: two", "", "2"}));
}

TEST_F(POP3ClientDovecotTest, WrongPasswordRaisesAndLeavesNoConnection) {
    auto client = ClientFor(m_Server->Port(), "alice", "wrong");
    EXPECT_THROW(client->Connect(5000), EPOP3Exception);
    EXPECT_FALSE(client->Connected());
    auto empty = ClientFor(m_Server->Port());
    empty->Connect(5000);
    EXPECT_EQ(empty->Stat(), 0);
}

TEST(POP3ClientTest, RefusalsCarryTheReplyTextAndCloseTheConnection) {
    TScriptedPOP3Server busy([](TScriptedPeer& peer) { peer.SendLine("-ERR server busy"); });
    auto client = ClientFor(busy.Port());
    EXPECT_EQ(FailureOf([&] { client->Connect(5000); }), "server busy");
    EXPECT_FALSE(client->Connected());

    TScriptedPOP3Server unknownUser([](TScriptedPeer& peer) {
        peer.SendLine("+OK hello");
        peer.Answer("-ERR no such user");
    });
    client->SetPort(unknownUser.Port());
    EXPECT_EQ(FailureOf([&] { client->Connect(5000); }), "no such user");
    EXPECT_FALSE(client->Connected());
    EXPECT_EQ(unknownUser.Received(), (TStringArray{"USER alice"}));

    TScriptedPOP3Server silentClose([](TScriptedPeer&) {});
    client->SetPort(silentClose.Port());
    EXPECT_THROW(client->Connect(5000), ESocketException);
    EXPECT_FALSE(client->Connected());
}

// The local server trusts a login only when the real server accepted it, and falls back to the
// remembered login only when the server could not answer: a busy mailbox or a temporary failure
// must not count as a refusal of the password, nor a refusal as a server out of reach.
TEST(POP3ClientTest, RefusedCredentialsAreToldFromOtherLoginFailures) {
    const auto failureAtPass = [](const std::string& reply) -> std::string {
        TScriptedPOP3Server server([reply](TScriptedPeer& peer) {
            peer.SendLine("+OK hello");
            peer.Answer("+OK");
            peer.Answer(reply);
        });
        auto client = ClientFor(server.Port());
        try {
            client->Connect(5000);
        } catch (const EPOP3LoginRefused&) {
            return "refused";
        } catch (const EPOP3Exception&) {
            return "other";
        }
        return "accepted";
    };
    EXPECT_EQ(failureAtPass("-ERR [AUTH] Authentication failed."), "refused");
    EXPECT_EQ(failureAtPass("-ERR"), "refused");
    EXPECT_EQ(failureAtPass("-ERR invalid password"), "refused");
    EXPECT_EQ(failureAtPass("-ERR [IN-USE] Mailbox is locked by another session."), "other");
    EXPECT_EQ(failureAtPass("-ERR [SYS/TEMP] Try again later."), "other");
    EXPECT_EQ(failureAtPass("-ERR [LOGIN-DELAY] Wait a little."), "other");
    EXPECT_EQ(failureAtPass("-err [sys/perm] Account disabled."), "other");
    EXPECT_EQ(failureAtPass("+OK"), "accepted");
}

TEST(POP3ClientTest, StatReadsTheCountBeforeTheFirstBlank) {
    TScriptedPOP3Server server(AfterLogin([](TScriptedPeer& peer) {
        for (const char* reply : {"+OK 3 1200", "+OK", "+OK 3", "+OK x 10", "-ERR mailbox locked"})
            peer.Answer(reply);
        peer.WaitForClose();
    }));
    auto client = ClientFor(server.Port());
    client->Connect(5000);
    EXPECT_EQ(client->Stat(), 3);
    EXPECT_EQ(client->Stat(), 0);
    EXPECT_THROW(client->Stat(), EPOP3Exception);
    EXPECT_THROW(client->Stat(), EPOP3Exception);
    EXPECT_EQ(FailureOf([&] { client->Stat(); }), "mailbox locked");
    EXPECT_TRUE(client->Connected());
}

TEST(POP3ClientTest, GarbageStatusLineRaisesUnrecognizedHeaderAndCloses) {
    TScriptedPOP3Server server(AfterLogin([](TScriptedPeer& peer) {
        peer.Answer("HELLO THERE");
        peer.WaitForClose();
    }));
    auto client = ClientFor(server.Port());
    client->Connect(5000);
    EXPECT_EQ(FailureOf([&] { client->Stat(); }), "Unrecognized POP3 Response Header:\n\"HELLO THERE\"");
    EXPECT_FALSE(client->Connected());
    EXPECT_EQ(FailureOf([&] { client->Stat(); }), "Not connected.");
}

// Body lines of any length arrive whole; only the message size is bounded, and a message over the
// bound is read to its end so that the next one still arrives.
TEST(POP3ClientTest, LongLinesArriveWholeAndAnOversizedMessageIsSkippedInStep) {
    const std::string longLine(50000, 'x');
    const std::string chunk(1 << 20, 'y');
    TScriptedPOP3Server server(AfterLogin([&](TScriptedPeer& peer) {
        peer.Answer("+OK");
        peer.Send("Subject: long\r\n\r\n" + longLine + "\r\n..after\r\n.\r\n");
        peer.Answer("+OK");
        for (std::size_t sent = 0; sent <= POP3MaximumMessageSize; sent += chunk.size() + 2)
            peer.Send(chunk + "\r\n");
        peer.Send(".\r\n");
        peer.Answer("+OK");
        peer.Send("Subject: small\r\n\r\nbody\r\n.\r\n");
        peer.Answer("-ERR status lines stay bounded " + std::string(POP3MaxLineLength, 'z'));
        peer.WaitForClose();
    }));
    auto client = ClientFor(server.Port());
    client->Connect(5000);
    TStringArray lines;
    ASSERT_TRUE(client->RetrieveRaw(1, lines));
    EXPECT_EQ(lines, (TStringArray{"Subject: long", "", longLine, ".after"}));
    try {
        client->RetrieveRaw(2, lines);
        ADD_FAILURE() << "an oversized message was taken";
    } catch (const EPOP3MessageTooLarge& error) {
        EXPECT_GT(error.Size, POP3MaximumMessageSize);
        EXPECT_LT(error.Size, POP3MaximumMessageSize + 2 * chunk.size());
    }
    EXPECT_TRUE(lines.empty());
    ASSERT_TRUE(client->RetrieveRaw(3, lines));
    EXPECT_EQ(lines, (TStringArray{"Subject: small", "", "body"}));
    EXPECT_EQ(FailureOf([&] { client->Delete(3); }), "Max line length exceeded.");
}

// UIDL: ids by number; ids that break the protocol's rules are left out, a number given twice
// names no id, and a server without UIDL gives none. QUIT is confirmed only by "+OK".
TEST(POP3ClientTest, UniqueIDsAndConfirmedQuit) {
    TScriptedPOP3Server server(AfterLogin([](TScriptedPeer& peer) {
        peer.Answer("+OK");
        peer.Send("1 abc\r\n2 \r\n3 has blank\r\n4 x\r\n4 y\r\nfive z\r\n6 " + std::string(71, 'q') +
                  "\r\n7 ..dotted\r\n.\r\n");
        peer.Answer("-ERR no more ids");
        peer.Answer("+OK bye");
        peer.WaitForClose();
    }));
    auto client = ClientFor(server.Port());
    client->Connect(5000);
    EXPECT_EQ(client->UniqueIDs(), (std::map<int, std::string>{{1, "abc"}, {7, "..dotted"}}));
    EXPECT_TRUE(client->UniqueIDs().empty());
    EXPECT_TRUE(client->Quit());
    EXPECT_FALSE(client->Connected());

    TScriptedPOP3Server refusing(AfterLogin([](TScriptedPeer& peer) {
        peer.Answer("-ERR cannot update the mailbox");
        peer.WaitForClose();
    }));
    auto second = ClientFor(refusing.Port());
    second->Connect(5000);
    EXPECT_FALSE(second->Quit());
    EXPECT_FALSE(second->Connected());
}

TEST(POP3ClientTest, ServerDroppingMidMessageRaisesAndCloses) {
    TScriptedPOP3Server server(AfterLogin([](TScriptedPeer& peer) {
        peer.Answer("+OK");
        peer.Send("Subject: cut\r\npartial li");
    }));
    auto client = ClientFor(server.Port());
    client->Connect(5000);
    TStringArray lines;
    EXPECT_THROW(client->RetrieveRaw(1, lines), ESocketException);
    EXPECT_FALSE(client->Connected());
}

TEST(POP3ClientTest, AbortWakesReadsOnSilentServerAndEndlessMessage) {
    for (bool endless : {false, true}) {
        TScriptedPOP3Server server(AfterLogin([endless](TScriptedPeer& peer) {
            if (endless) {
                peer.Answer("+OK");
                peer.Send("line without end of message\r\n");
            }
            peer.WaitForClose();
        }));
        auto client = ClientFor(server.Port());
        client->Connect(5000);
        RunBounded(
            [&] {
                TStringArray lines;
                EXPECT_THROW(client->RetrieveRaw(1, lines), ESocketAborted);
            },
            [&] {
                for (int i = 0; i < 500 && server.Received().size() < 3; ++i)
                    std::this_thread::sleep_for(10ms);
                client->Abort();
            });
        EXPECT_THROW(client->Connect(5000), ESocketAborted);  // an aborted client stays aborted
    }
}

// A real server that falls silent (a half-open connection) fails the read after the stream's
// read time-out instead of holding the caller for ever.
TEST(POP3ClientTest, SilentPeerFailsAReadAfterTheReadTimeOut) {
    TSocketListener listener("127.0.0.1", 0, 1);
    auto abort = std::make_shared<TAbortSignal>();
    auto stream = TSocketStream::Connect("127.0.0.1", listener.Port(), 5000, abort);
    const auto accepted = listener.Accept(abort);
    stream->SetReadTimeout(200);
    stream->EnableKeepAlive();
    char buffer[16];
    const auto start = std::chrono::steady_clock::now();
    EXPECT_THROW(stream->Read(buffer, sizeof buffer), ESocketTimedOut);
    EXPECT_GE(std::chrono::steady_clock::now() - start, 200ms);
    accepted->Write("x");
    EXPECT_EQ(stream->Read(buffer, sizeof buffer), 1u);
}

TEST(POP3ClientTest, DisconnectSendsQuitWithoutWaitingForTheReply) {
    TScriptedPOP3Server server(AfterLogin([](TScriptedPeer& peer) { peer.WaitForClose(); }));
    auto client = ClientFor(server.Port());
    client->Connect(5000);
    client->Disconnect();
    EXPECT_FALSE(client->Connected());
    client->Disconnect();  // nothing to do
    for (int i = 0; i < 500 && server.Received().size() < 3; ++i)
        std::this_thread::sleep_for(10ms);
    EXPECT_EQ(server.Received(), (TStringArray{"USER alice", "PASS secret", "QUIT"}));
}

// A listener whose accept queue is full drops further connection attempts unanswered.
class UnansweredPort {
public:
    UnansweredPort() : m_Listener("127.0.0.1", 0, 0) {
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_port = htons(static_cast<uint16_t>(m_Listener.Port()));
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        for (auto& filler : m_Fillers) {
            filler = TFileHandle(socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0));
            connect(filler.Get(), reinterpret_cast<sockaddr*>(&address), sizeof address);
        }
        std::this_thread::sleep_for(100ms);  // let the queue fill
    }
    int Port() const { return m_Listener.Port(); }

private:
    TSocketListener m_Listener;
    TFileHandle m_Fillers[3];
};

TEST(POP3ClientTest, UnansweredConnectTimesOutOrIsAborted) {
    UnansweredPort port;
    auto client = ClientFor(port.Port());
    EXPECT_EQ(FailureOf([&] { client->Connect(300); }), "Connect timed out.");
    EXPECT_FALSE(client->Connected());
    RunBounded([&] { EXPECT_THROW(client->Connect(0), ESocketAborted); },
               [&] {
                   std::this_thread::sleep_for(200ms);
                   client->Abort();
               });
}

// ---- TLS ------------------------------------------------------------------------------------------

// Greets and answers CAPA with the given capability lines.
void GreetWithCapabilities(TScriptedPeer& peer, const std::vector<std::string>& capabilities) {
    peer.SendLine("+OK scripted");
    peer.Answer("+OK capabilities follow");
    for (const std::string& line : capabilities)
        peer.SendLine(line);
    peer.SendLine(".");
}

// Required or announced TLS that does not happen ends the connection before the user name goes out.
TEST(POP3ClientTLSTest, MissingOrRefusedSTLSNeverFallsBackToAPlainLogin) {
    struct TCase {
        TConnectionSecurity Security;
        bool Announce;
        std::string Failure;
    };
    for (const TCase& test : {TCase{TConnectionSecurity::STLS, false, "The server does not offer STLS."},
                              TCase{TConnectionSecurity::Automatic, true, "The server refused STLS: not today"}}) {
        TScriptedPOP3Server server([&](TScriptedPeer& peer) {
            GreetWithCapabilities(peer, test.Announce ? std::vector<std::string>{"USER", "STLS"}
                                                      : std::vector<std::string>{"USER", "UIDL"});
            peer.Answer("-ERR not today");
            peer.WaitForClose();
        });
        auto client = ClientFor(server.Port());
        client->SetSecurity(test.Security);
        EXPECT_EQ(FailureOf([&] { client->Connect(5000); }), test.Failure);
        EXPECT_FALSE(client->Connected());
        EXPECT_FALSE(client->LoginInClear());
        for (const std::string& line : server.Received())
            EXPECT_FALSE(line.starts_with("USER") || line.starts_with("PASS")) << line;
    }
}

// A server that never answers the handshake (implicit TLS or after STLS) fails it within the connect
// time-out, and the abort used at shutdown ends a handshake without waiting for it.
TEST(POP3ClientTLSTest, StalledHandshakeTimesOutWithinTheConnectTimeOutOrIsAborted) {
    for (const TConnectionSecurity security : {TConnectionSecurity::ImplicitTLS, TConnectionSecurity::STLS}) {
        TScriptedPOP3Server server([security](TScriptedPeer& peer) {
            if (security == TConnectionSecurity::STLS) {
                GreetWithCapabilities(peer, {"STLS"});
                peer.Answer("+OK begin TLS");
            }
            peer.WaitForClose();
        });
        auto client = ClientFor(server.Port());
        client->SetHost("localhost");
        client->SetSecurity(security);
        const auto start = std::chrono::steady_clock::now();
        EXPECT_EQ(FailureOf([&] { client->Connect(500); }), "TLS handshake with \"localhost\" timed out.");
        EXPECT_LT(std::chrono::steady_clock::now() - start, 5s);
        EXPECT_FALSE(client->LoginInClear());
        RunBounded([&] { EXPECT_THROW(client->Connect(60000), ESocketAborted); },
                   [&] {
                       std::this_thread::sleep_for(300ms);
                       client->Abort();
                   });
    }
}

// The extra trusted certificates file is read when TLS is first needed; one that is not PEM fails
// the connection instead of being ignored.
TEST(POP3ClientTLSTest, UnreadableTrustedCertificatesFileFailsTheConnection) {
    const std::string file = (std::filesystem::temp_directory_path() / "tessivar-trust-test.pem").string();
    std::ofstream(file) << "not a certificate\n";
    EXPECT_THROW(TTLSContext context(file), ETLSException);
    std::filesystem::remove(file);
    EXPECT_NO_THROW(TTLSContext context(file)); // no file: the system's store alone
}

// As ssh does with its keys: a trusted certificates file that others could have changed is not
// read at all (so a broken one fails nothing), and the context says why.
TEST(POP3ClientTLSTest, TrustedCertificatesFileOthersCanWriteIsIgnored) {
    const std::string file = (std::filesystem::temp_directory_path() / "tessivar-trust-mode.pem").string();
    std::ofstream(file) << "not a certificate\n";
    const std::pair<std::filesystem::perms, std::string> modes[] = {
        {std::filesystem::perms(0664), "its group may write to it"},
        {std::filesystem::perms(0646), "every user may write to it"},
        {std::filesystem::perms(0666), "every user may write to it"},
    };
    for (const auto& [mode, reason] : modes) {
        std::filesystem::permissions(file, mode);
        EXPECT_EQ(TrustFileProblem(file), reason);
        std::unique_ptr<TTLSContext> context;
        EXPECT_NO_THROW(context = std::make_unique<TTLSContext>(file));
        if (context) {
            EXPECT_EQ(context->IgnoredTrustFile(), reason);
        }
    }
    std::filesystem::permissions(file, std::filesystem::perms(0644));
    EXPECT_EQ(TrustFileProblem(file), "");
    EXPECT_THROW(TTLSContext context(file), ETLSException); // read, and found broken
    if (::geteuid() == 0) {
        ASSERT_EQ(::chown(file.c_str(), 65534, 65534), 0);
        EXPECT_EQ(TrustFileProblem(file), "it belongs to another user (user id 65534)");
        EXPECT_NO_THROW(TTLSContext context(file));
    }
    std::filesystem::remove(file);
    EXPECT_EQ(TrustFileProblem(file), "");
}

}  // namespace
