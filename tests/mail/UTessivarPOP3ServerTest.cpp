#include "mail/UTessivarPOP3Server.h"

#include <gtest/gtest.h>
#include <sched.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <memory>
#include <set>
#include <thread>

#include "base/LStrings.h"
#include "core/UAccountLoginHash.h"
#include "core/UMessageLoop.h"
#include "core/USQLite.h"
#include "core/UTessivarAccount.h"
#include "core/UTessivarBusinessLogic.h"
#include "core/UTessivarEmail.h"
#include "core/UTessivarLogItem.h"
#include "core/UThreadedCalls.h"
#include "mail/UPOP3Channel.h"
#include "mail/USockets.h"
#include "mail/UTessivarAccountSession.h"
#include "tests/base/TraceCapture.h"
#include "tests/support/DovecotServer.h"
#include "tests/support/ScriptedPOP3Server.h"

namespace {

using namespace std::chrono_literals;

// A raw POP3 client: the mail program.
class TMailProgram {
public:
    explicit TMailProgram(int port)
        : m_Channel(TSocketStream::Connect("127.0.0.1", port, 5000, std::make_shared<TAbortSignal>())) {
        m_Greeting = Line();
    }
    const std::string& Greeting() const { return m_Greeting; }
    // The next line; "<closed>" when the server has closed the connection (a server closing on data
    // it has not read resets it).
    std::string Line() {
        std::string line;
        try {
            return m_Channel.ReadLine(line) ? line : "<closed>";
        } catch (const ESocketException&) {
            return "<closed>";
        }
    }
    void Send(const std::string& raw) { m_Channel.Write(raw); }
    std::string Command(const std::string& line) {
        m_Channel.WriteLine(line);
        return Line();
    }
    // Body lines as sent (still byte-stuffed), without the terminating ".".
    TStringArray Body() {
        TStringArray lines;
        for (std::string line = Line(); line != "." && line != "<closed>"; line = Line())
            lines.push_back(line);
        return lines;
    }
    void Login(const std::string& user = "me", const std::string& password = "secret") {
        EXPECT_EQ(Command("USER " + user), "+OK Password required");
        EXPECT_EQ(Command("PASS " + password), "+OK Login OK");
    }

private:
    TPOP3Channel m_Channel;
    std::string m_Greeting;
};

// A real mailbox that is always empty, for the passes each login starts.
void EmptyMailbox(TScriptedPeer& peer) {
    peer.SendLine("+OK ready");
    for (auto line = peer.ReadLine(); line; line = peer.ReadLine()) {
        if (*line == "STAT")
            peer.SendLine("+OK 0 0");
        else if (*line == "CAPA") // a server without capabilities, so without TLS
            peer.SendLine("-ERR");
        else if (*line == "QUIT")
            return peer.SendLine("+OK");
        else
            peer.SendLine("+OK");
    }
}

constexpr const char* ApprovedMessage = "From: friend@example.test\r\n"
                                        "Subject: Hello\r\n"
                                        "\r\n"
                                        "first\r\n"
                                        ".dotted\r\n"
                                        "third\r\n";

// A model with one enabled account whose real mailbox is a scripted server, run by a message loop
// on the test's thread, as the program runs it.
class UTessivarPOP3ServerTest : public testing::Test {
protected:
    void SetUp() override {
        std::string pattern = (std::filesystem::temp_directory_path() / "tessivar-server-XXXXXX").string();
        ASSERT_NE(::mkdtemp(pattern.data()), nullptr);
        m_Dir = pattern + "/";
        ::setenv("TESSIVAR_HOME", m_Dir.c_str(), 1);
        ::setenv("TESSIVAR_REGISTRY_DIR", m_Dir.c_str(), 1);
        m_Mailbox = std::make_unique<TScriptedPOP3Server>(EmptyMailbox);
        m_Loop = std::make_unique<TMessageLoop>();
        m_Model = std::make_unique<TTessivarBusinessLogic>(*m_Loop);
        Execute("INSERT INTO Accounts(ID, EmailAddress, RemoteServer, RemotePort, Username, Enabled) VALUES(1, "
                "'me@example.test', '127.0.0.1', " +
                std::to_string(m_Mailbox->Port()) + ", 'me', 1)");
        Execute("INSERT INTO DomainNames(ID, DomainName, Notes, ApprovalStatus, Deleted, Modified) "
                "VALUES(1, 'example.test', '', 'A', 0, 0)");
        Execute("INSERT INTO EmailAddresses(ID, Username, DomainNameID, DisplayName, Notes, ApprovalStatus, "
                "AuthenticationStatus, Deleted, Modified) VALUES(1, 'friend', 1, '', '', '?', '?', 0, 0)");
    }
    void TearDown() override {
        m_Model->Shutdown();
        m_Model.reset();
        m_Loop.reset();
        m_Mailbox.reset();
        std::filesystem::remove_all(m_Dir);
        ::unsetenv("TESSIVAR_HOME");
        ::unsetenv("TESSIVAR_REGISTRY_DIR");
    }

    void Execute(const std::string& sql) { m_Model->Database().Execute(sql); }
    // As if the real server had accepted this login at an earlier run.
    void RememberLogin(const std::string& username, const std::string& password) {
        ASSERT_TRUE(RememberAcceptedLogin(*m_Model, Account(), HashAccountLogin(username, password)));
    }
    std::string Cell(const std::string& sql) {
        TSQLiteResultSet result;
        return m_Model->Database().Query(sql, &result) < 1 ? "(none)" : result.Value(0, 0);
    }
    // An approved message awaiting delivery, with its stored file.
    void AddEmail(int id, const std::string& text = ApprovedMessage) {
        Execute("INSERT INTO Emails(ID, AccountID, MessageID, FromEmailAddressID, FromDisplayName, Subject, Received, "
                "ApprovalStatus, WordBlocked, AdultBlocked, Deleted) VALUES(" +
                std::to_string(id) + ", 1, '<m" + std::to_string(id) +
                "@example.test>', 1, '', 'Hello', '2026-01-02T03:04:05.0000000+00:00', '?', 0, 0, 0)");
        std::ofstream(FileOf(id), std::ios::binary) << text;
    }
    std::string FileOf(int id) { return m_Model->StorePath() + IntToHex(static_cast<uint32_t>(id), 8) + ".eml"; }
    std::string Deleted(int id) { return Cell("SELECT Deleted FROM Emails WHERE ID=" + std::to_string(id)); }

    TTessivarAccount& Account() { return m_Model->Accounts(0); }
    int Port() { return Account().Server().Port(); }

    // Runs the mail program's conversation on a thread of its own while this, the model's, thread
    // serves the calls it causes; returns once the connection's session has been released.
    void Converse(const std::function<void(TMailProgram&)>& conversation) {
        std::atomic<bool> done{false};
        const int port = Port();
        std::thread client([&] {
            {
                TMailProgram program(port);
                conversation(program);
            }
            done = true;
        });
        const bool finished = m_Loop->ServeSentCallsUntil([&] { return done.load(); }, 60s);
        client.join();
        ASSERT_TRUE(finished);
        ServeUntilReleased();
    }
    void ServeUntilReleased() {
        EXPECT_TRUE(m_Loop->ServeSentCallsUntil([] { return TTessivarAccountSession::LiveCount() == 0; }, 60s));
        m_Loop->ProcessPending();
    }
    bool Logged(const std::string& details) {
        for (int i = 0; i < m_Model->LogItemCount(); ++i)
            if (m_Model->LogItems(i).Details() == details)
                return true;
        return false;
    }

    std::string m_Dir;
    std::unique_ptr<TScriptedPOP3Server> m_Mailbox;
    std::unique_ptr<TMessageLoop> m_Loop;
    std::unique_ptr<TTessivarBusinessLogic> m_Model;
};

} // namespace

TEST(UTessivarPOP3Server, PortCounterStaysWithinTheLocalRangeAndWraps) {
    int previous = NextServerPort();
    ASSERT_GE(previous, 20000);
    ASSERT_LE(previous, 25000);
    bool wrapped = false;
    for (int i = 0; i <= 5001 && !wrapped; ++i) {
        const int port = NextServerPort();
        if (previous == 25000) {
            EXPECT_EQ(port, 20000);
            wrapped = true;
        } else {
            EXPECT_EQ(port, previous + 1);
        }
        previous = port;
    }
    EXPECT_TRUE(wrapped);
    EXPECT_EQ(NextServerPort(), 20001);
}

TEST_F(UTessivarPOP3ServerTest, PortInUseIsSkippedAndEveryProtectTakesANewPort) {
    const int counter = NextServerPort();
    ASSERT_LT(counter, 24990);
    // Held by another program: the next port the counter hands out (if some other program holds it
    // already, so much the better).
    std::unique_ptr<TSocketListener> taken;
    try {
        taken = std::make_unique<TSocketListener>("127.0.0.1", counter + 1, 1);
    } catch (const ESocketException&) {
    }
    m_Model->Startup();
    const int first = Port();
    EXPECT_GT(first, counter + 1);
    EXPECT_TRUE(Account().Server().Active());
    Account().SetEnabled(false);
    EXPECT_FALSE(Account().Server().Active());
    Account().SetEnabled(true);
    EXPECT_GT(Port(), first);
    TMailProgram program(Port());
    EXPECT_EQ(program.Greeting(), "+OK Local Tessivar POP3 Server");
}

// A machine whose local range is used up by other programs: protecting must fail visibly instead
// of trying ports for ever. The range is filled in a network namespace of a child process, so that
// no other test loses its ports meanwhile.
TEST_F(UTessivarPOP3ServerTest, ProtectFailsAfterOneRoundWhenNoPortCanBeBound) {
    if (::geteuid() != 0)
        GTEST_SKIP() << "a private network namespace needs root";
    Execute("UPDATE Accounts SET Enabled=0");
    m_Model->Startup();
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    // The child ends without running destructors; it only removes its own directory.
    const auto finish = [this](int code) {
        std::filesystem::remove_all(m_Dir);
        std::_Exit(code);
    };
    EXPECT_EXIT(
        {
            if (::unshare(CLONE_NEWNET) != 0)
                finish(2);
            std::vector<std::unique_ptr<TSocketListener>> taken;
            for (int port = FirstServerPort; port <= LastServerPort; ++port)
                taken.push_back(std::make_unique<TSocketListener>("127.0.0.1", port, 1));
            try {
                Account().SetEnabled(true);
                finish(3);
            } catch (const ETessivarPOP3ServerException&) {
            }
            finish(Account().Redirected() || Account().Server().Active() ? 4 : 0);
        },
        testing::ExitedWithCode(0), "");
}

TEST_F(UTessivarPOP3ServerTest, EmptySessionListsNothingAndRefusesMessageNumbers) {
    m_Model->Startup();
    Converse([](TMailProgram& program) {
        program.Login();
        EXPECT_EQ(program.Command("STAT"), "+OK 0 0");
        EXPECT_EQ(program.Command("LIST"), "+OK 0 messages in session.");
        EXPECT_EQ(program.Line(), ".");
        EXPECT_EQ(program.Command("UIDL"), "+OK 0 messages in session.");
        EXPECT_EQ(program.Line(), ".");
        for (const char* command : {"RETR 1", "TOP 1 0", "DELE 1", "LIST 1", "UIDL 0", "RETR"})
            EXPECT_EQ(program.Command(command), "-ERR No such message.") << command;
        EXPECT_EQ(program.Command("QUIT"), "+OK");
        EXPECT_EQ(program.Line(), "<closed>");
    });
    EXPECT_TRUE(Logged("Delivering pending mail for \"me\" at \"127.0.0.1\" to inbox."));
    EXPECT_TRUE(Logged("Messages successfully delivered."));
}

TEST_F(UTessivarPOP3ServerTest, ServesStoredMessagesAsStoredWithSizesIdsAndHeaderTops) {
    AddEmail(1);
    const std::string unseparated = "Subject: no body separator\r\nX: y";
    AddEmail(2, unseparated);
    m_Model->Startup();
    const std::size_t size1 = std::string(ApprovedMessage).size(), size2 = unseparated.size();
    Converse([&](TMailProgram& program) {
        program.Login();
        EXPECT_EQ(program.Command("STAT"), "+OK 2 " + std::to_string(size1 + size2));
        EXPECT_EQ(program.Command("LIST"), "+OK 2 messages in session.");
        EXPECT_EQ(program.Body(), (TStringArray{"1 " + std::to_string(size1), "2 " + std::to_string(size2)}));
        EXPECT_EQ(program.Command("LIST 2"), "+OK 2 " + std::to_string(size2));
        EXPECT_EQ(program.Command("UIDL"), "+OK 2 messages in session.");
        EXPECT_EQ(program.Body(), (TStringArray{"1 <m1@example.test>", "2 <m2@example.test>"}));
        EXPECT_EQ(program.Command("UIDL 1"), "+OK 1 <m1@example.test>");
        EXPECT_EQ(program.Command("LIST 3"), "-ERR No such message.");
        EXPECT_EQ(program.Command("RETR 1"), "+OK");
        EXPECT_EQ(program.Body(),
                  (TStringArray{"From: friend@example.test", "Subject: Hello", "", "first", "..dotted", "third"}));
        EXPECT_EQ(program.Command("TOP 1 0"), "+OK");
        EXPECT_EQ(program.Body(), (TStringArray{"From: friend@example.test", "Subject: Hello", ""}));
        EXPECT_EQ(program.Command("TOP 1 2"), "+OK");
        EXPECT_EQ(program.Body(),
                  (TStringArray{"From: friend@example.test", "Subject: Hello", "", "first", "..dotted"}));
        // Without an empty line nothing is cut; a last line without line end is still a line.
        EXPECT_EQ(program.Command("TOP 2 0"), "+OK");
        EXPECT_EQ(program.Body(), (TStringArray{"Subject: no body separator", "X: y"}));
        EXPECT_EQ(program.Command("QUIT"), "+OK");
    });
    EXPECT_EQ(Deleted(1), "0");
    EXPECT_EQ(Deleted(2), "0");
}

// The mail program's deletions apply when its connection ends, however it ends, and only then;
// RSET takes them back; messages it did not delete are offered again at the next login.
TEST_F(UTessivarPOP3ServerTest, DeletionsApplyAtTheEndOfEveryConnectionUnlessReset) {
    AddEmail(1);
    AddEmail(2);
    AddEmail(3);
    m_Model->Startup();
    Converse([](TMailProgram& program) {
        program.Login();
        EXPECT_EQ(program.Command("DELE 2"), "+OK");
        EXPECT_EQ(program.Command("RSET"), "+OK Reset");
        EXPECT_EQ(program.Command("DELE 1"), "+OK");
        EXPECT_EQ(program.Command("DELE 1"), "+OK");
        // Marked messages stay listed and retrievable until the connection ends.
        EXPECT_EQ(program.Command("STAT").substr(0, 6), "+OK 3 ");
        EXPECT_EQ(program.Command("RETR 1"), "+OK");
        program.Body();
    }); // dropped without QUIT
    EXPECT_EQ(Deleted(1), "1");
    EXPECT_EQ(Deleted(2), "0");
    Converse([](TMailProgram& program) {
        program.Login();
        EXPECT_EQ(program.Command("UIDL"), "+OK 2 messages in session.");
        EXPECT_EQ(program.Body(), (TStringArray{"1 <m2@example.test>", "2 <m3@example.test>"}));
        EXPECT_EQ(program.Command("DELE 2"), "+OK");
        EXPECT_EQ(program.Command("QUIT"), "+OK");
    });
    EXPECT_EQ(Deleted(2), "0");
    EXPECT_EQ(Deleted(3), "1");
}

// A mail program that logs in again as soon as QUIT is answered finds its deletions applied and the
// other messages offered, not withheld by the session it has just ended.
TEST_F(UTessivarPOP3ServerTest, LoginRightAfterQuitIsOfferedTheMessagesLeft) {
    AddEmail(1);
    AddEmail(2);
    m_Model->Startup();
    const int port = Port();
    Converse([port](TMailProgram& program) {
        program.Login();
        EXPECT_EQ(program.Command("DELE 1"), "+OK");
        EXPECT_EQ(program.Command("QUIT"), "+OK");
        TMailProgram again(port);
        again.Login();
        EXPECT_EQ(again.Command("UIDL"), "+OK 1 messages in session.");
        EXPECT_EQ(again.Body(), (TStringArray{"1 <m2@example.test>"}));
    });
    EXPECT_EQ(Deleted(1), "1");
}

// A message is never offered on two connections at once, also when one connection logs in twice:
// the repeated login first releases its own session (with its deletions).
TEST_F(UTessivarPOP3ServerTest, ConcurrentAndRepeatedLoginsNeverOfferAMessageTwice) {
    AddEmail(1);
    AddEmail(2);
    m_Model->Startup();
    const int port = Port();
    Converse([port](TMailProgram& first) {
        first.Login();
        EXPECT_EQ(first.Command("STAT").substr(0, 6), "+OK 2 ");
        TMailProgram second(port);
        second.Login();
        EXPECT_EQ(second.Command("STAT"), "+OK 0 0");
        EXPECT_EQ(second.Command("QUIT"), "+OK");
        EXPECT_EQ(first.Command("DELE 1"), "+OK");
        EXPECT_EQ(first.Command("PASS again"), "+OK Login OK");
        EXPECT_EQ(first.Command("UIDL"), "+OK 1 messages in session.");
        EXPECT_EQ(first.Body(), (TStringArray{"1 <m2@example.test>"}));
        EXPECT_EQ(first.Command("QUIT"), "+OK");
    });
    EXPECT_EQ(Deleted(1), "1");
    EXPECT_EQ(Deleted(2), "0");
}

// A stored file that goes missing during a session ends only that connection, and its session is
// still released with its deletions. From then on, a missing or empty file is left out of every
// session, reported once in the activity log, and the account's other mail is still delivered.
TEST_F(UTessivarPOP3ServerTest, UnreadableStoredMessagesAreLeftOutAndNeverStopDelivery) {
    AddEmail(1);
    AddEmail(2);
    AddEmail(3);
    AddEmail(4, "");
    m_Model->Startup();
    const std::string file1 = FileOf(1);
    Converse([&file1](TMailProgram& program) {
        program.Login();
        EXPECT_EQ(program.Command("UIDL"), "+OK 3 messages in session.");
        EXPECT_EQ(program.Body(), (TStringArray{"1 <m1@example.test>", "2 <m2@example.test>", "3 <m3@example.test>"}));
        std::filesystem::remove(file1);
        EXPECT_EQ(program.Command("DELE 2"), "+OK");
        EXPECT_EQ(program.Command("RETR 1"), "<closed>");
    });
    EXPECT_EQ(Deleted(2), "1");
    const std::string size3 = std::to_string(std::string(ApprovedMessage).size());
    for (int login = 0; login < 2; ++login) {
        Converse([&size3](TMailProgram& program) {
            program.Login();
            EXPECT_EQ(program.Command("STAT"), "+OK 1 " + size3);
            EXPECT_EQ(program.Command("LIST"), "+OK 1 messages in session.");
            EXPECT_EQ(program.Body(), (TStringArray{"1 " + size3}));
            EXPECT_EQ(program.Command("UIDL 1"), "+OK 1 <m3@example.test>");
            EXPECT_EQ(program.Command("QUIT"), "+OK");
        });
    }
    int reports = 0;
    for (int i = 0; i < m_Model->LogItemCount(); ++i)
        reports += m_Model->LogItems(i).Kind() == 1;
    EXPECT_EQ(reports, 2) << "one for the missing and one for the empty file, however often they are met";
    EXPECT_TRUE(Logged("A stored message could not be read and is not delivered: \"Hello\"."));
    // Once its file can be read again, the message is delivered.
    std::ofstream(FileOf(4), std::ios::binary) << ApprovedMessage;
    Converse([](TMailProgram& program) {
        program.Login();
        EXPECT_EQ(program.Command("UIDL"), "+OK 2 messages in session.");
        EXPECT_EQ(program.Body(), (TStringArray{"1 <m3@example.test>", "2 <m4@example.test>"}));
    });
}

// Approved mail that the pass of a login finds on the real mailbox reaches the mail program in that
// same login, not only at its next poll.
TEST_F(UTessivarPOP3ServerTest, MailFetchedAtLoginIsDeliveredInTheSameLogin) {
    m_Mailbox = std::make_unique<TScriptedPOP3Server>([](TScriptedPeer& peer) {
        peer.SendLine("+OK ready");
        for (auto line = peer.ReadLine(); line; line = peer.ReadLine()) {
            if (*line == "STAT")
                peer.SendLine("+OK 1 100");
            else if (*line == "UIDL" || *line == "LIST")
                peer.Send(*line == "UIDL" ? "+OK\r\n1 fresh-1\r\n.\r\n" : "+OK\r\n1 100\r\n.\r\n");
            else if (*line == "RETR 1")
                peer.Send("+OK\r\nFrom: friend@example.test\r\nSubject: Fresh\r\nMessage-Id: <fresh@example.test>\r\n"
                          "\r\njust fetched\r\n.\r\n");
            else if (*line == "QUIT")
                return peer.SendLine("+OK");
            else if (line->starts_with("USER ") || line->starts_with("PASS ") || *line == "DELE 1")
                peer.SendLine("+OK");
            else
                peer.SendLine("-ERR unknown");
        }
    });
    Execute("UPDATE Accounts SET RemotePort=" + std::to_string(m_Mailbox->Port()));
    m_Model->Startup();
    Converse([this](TMailProgram& program) {
        program.Login();
        EXPECT_EQ(program.Command("UIDL"), "+OK 1 messages in session.");
        // The id stored with the message, not its message id.
        EXPECT_EQ(program.Body(),
                  (TStringArray{"1 " + Cell("SELECT UIDL FROM Emails WHERE MessageID='<fresh@example.test>'")}));
        EXPECT_EQ(program.Command("RETR 1"), "+OK");
        const TStringArray body = program.Body();
        ASSERT_FALSE(body.empty());
        EXPECT_EQ(body.back(), "just fetched");
        EXPECT_EQ(program.Command("DELE 1"), "+OK");
        EXPECT_EQ(program.Command("QUIT"), "+OK");
    });
    EXPECT_EQ(Cell("SELECT Deleted FROM Emails WHERE MessageID='<fresh@example.test>'"), "1");
}

// A real mailbox that accepts the connection and then says nothing: the login is answered once the
// wait's limit has passed, with the mail already stored; stopping the server meanwhile is not held
// up by the wait.
TEST_F(UTessivarPOP3ServerTest, SilentRealMailboxDelaysLoginOnlyWithinTheLimit) {
    m_Mailbox = std::make_unique<TScriptedPOP3Server>([](TScriptedPeer& peer) { peer.WaitForClose(); });
    Execute("UPDATE Accounts SET RemotePort=" + std::to_string(m_Mailbox->Port()));
    AddEmail(1);
    m_Model->Startup();
    RememberLogin("me", "secret");
    EXPECT_EQ(Account().Server().PassWaitLimit(), 15s);
    Account().Server().SetPassWaitLimit(1s);
    const auto started = std::chrono::steady_clock::now();
    Converse([](TMailProgram& program) {
        program.Login();
        EXPECT_EQ(program.Command("UIDL 1"), "+OK 1 <m1@example.test>");
    });
    EXPECT_GE(std::chrono::steady_clock::now() - started, 900ms);
    EXPECT_LT(std::chrono::steady_clock::now() - started, 5s);

    // The first login's pass still hangs on the mailbox, so this login waits for it the full 15 s.
    Account().Server().SetPassWaitLimit(DefaultPassWaitLimit);
    std::thread client([port = Port()] {
        TMailProgram program(port);
        EXPECT_EQ(program.Command("USER me"), "+OK Password required");
        // A stop that cuts the wait short either closes the connection or tells the mail program to
        // try again later; it never serves the login.
        const std::string answer = program.Command("PASS secret");
        EXPECT_TRUE(answer == "<closed>" || answer.rfind("-ERR [SYS/TEMP] ", 0) == 0) << answer;
    });
    std::this_thread::sleep_for(300ms);
    const auto stopping = std::chrono::steady_clock::now();
    TTraceCapture capture;
    Account().SetEnabled(false);
    EXPECT_LT(std::chrono::steady_clock::now() - stopping, 3s);
    EXPECT_EQ(capture.Text().find("failed on port"), std::string::npos) << capture.Text();
    client.join();
}

// Stopping a server whose connection is open must neither wait for the engine's time-out nor lose
// the connection's deletions: the model's thread serves the release while it waits.
TEST_F(UTessivarPOP3ServerTest, StoppingWithAnOpenConnectionAppliesItsDeletions) {
    AddEmail(1);
    m_Model->Startup();
    std::atomic<bool> deleted{false};
    const int port = Port();
    std::thread client([&] {
        try {
            TMailProgram program(port);
            program.Login();
            EXPECT_EQ(program.Command("DELE 1"), "+OK");
            deleted = true;
            program.Line(); // until the server goes away
        } catch (const ESocketException&) {
        }
        deleted = true;
    });
    ASSERT_TRUE(m_Loop->ServeSentCallsUntil([&] { return deleted.load(); }, 60s));
    std::string trace;
    {
        TTraceCapture capture;
        Account().SetEnabled(false);
        trace = capture.Text();
    }
    client.join();
    EXPECT_EQ(trace.find("failed on port"), std::string::npos) << trace;
    EXPECT_EQ(Deleted(1), "1");
    EXPECT_FALSE(Account().Redirected());
}

// When the model's thread refuses calls (it is shutting down), a login gets no session but an
// answer to every command, and nothing hangs.
TEST_F(UTessivarPOP3ServerTest, LoginWhileTheModelShutsDownHoldsNoSession) {
    AddEmail(1);
    m_Model->Startup();
    m_Loop->BeginShutdown();
    TMailProgram program(Port());
    program.Login();
    EXPECT_EQ(program.Command("STAT"), "+OK 0 0");
    for (const char* command : {"LIST", "UIDL 1", "RETR 1", "TOP 1 1", "DELE 1"})
        EXPECT_EQ(program.Command(command), "-ERR No session current.") << command;
    EXPECT_EQ(program.Command("RSET"), "+OK Reset");
    EXPECT_EQ(program.Command("QUIT"), "+OK");
}

// The login's words are the ones the pass presents to the real mailbox.
TEST_F(UTessivarPOP3ServerTest, LoginCredentialsServeThePassOnTheRealMailbox) {
    m_Model->Startup();
    Converse([](TMailProgram& program) { program.Login("alice", "s3cret word"); });
    // The pass first asks the real mailbox whether it offers TLS (CAPA).
    for (int i = 0; i < 1000 && m_Mailbox->Received().size() < 3; ++i)
        std::this_thread::sleep_for(10ms);
    auto received = m_Mailbox->Received();
    std::erase(received, "CAPA");
    ASSERT_GE(received.size(), 2u);
    EXPECT_EQ(received[0], "USER alice");
    EXPECT_EQ(received[1], "PASS s3cret word");
}

// The trace names the account, each command and its answer, cut after eleven lines; the password
// of a login stays out of it.
TEST_F(UTessivarPOP3ServerTest, TraceShowsCommandsAndAnswersCutAfterElevenLines) {
    std::string message = "Subject: long\r\n\r\n";
    for (int i = 1; i <= 20; ++i)
        message += "line " + std::to_string(i) + "\r\n";
    AddEmail(1, message);
    m_Model->Startup();
    std::string trace;
    {
        TTraceCapture capture;
        Converse([](TMailProgram& program) {
            program.Login();
            EXPECT_EQ(program.Command("RETR 1"), "+OK");
            program.Body();
        });
        trace = capture.Text();
    }
    EXPECT_NE(trace.find("TTessivarPOP3Server\r\n"), std::string::npos);
    EXPECT_NE(trace.find("Attempting: USER me\r\n"), std::string::npos);
    EXPECT_EQ(trace.find("s3cret"), std::string::npos);
    EXPECT_EQ(trace.find("secret"), std::string::npos);
    EXPECT_NE(trace.find("me@example.test"), std::string::npos);
    EXPECT_NE(trace.find("Attempting: RETR 1"), std::string::npos);
    EXPECT_NE(trace.find("line 9"), std::string::npos);
    EXPECT_EQ(trace.find("line 10"), std::string::npos);
    EXPECT_NE(trace.find("..."), std::string::npos);
    EXPECT_NE(trace.find("SERVER: DISCONNECT"), std::string::npos);
}

// Real mail repeats message ids (a list copy beside the original), has long ones and ones with
// blanks; clients that keep mail on the server or check ids lose mail on such UIDL answers.
TEST_F(UTessivarPOP3ServerTest, UIDLIsValidUniqueStableAndNeverReusedWhateverTheMessageIds) {
    AddEmail(1);
    AddEmail(2);
    AddEmail(3);
    AddEmail(4);
    AddEmail(5);
    Execute("UPDATE Emails SET MessageID='<list@example.test>' WHERE ID IN (1, 2)");
    Execute("UPDATE Emails SET MessageID='<" + std::string(113, 'x') + ">' WHERE ID=3");
    Execute("UPDATE Emails SET MessageID='<with blank@example.test>' WHERE ID=4");
    m_Model->Startup();
    TStringArray first;
    for (int login = 0; login < 2; ++login) {
        Converse([&first, login](TMailProgram& program) {
            program.Login();
            EXPECT_EQ(program.Command("UIDL"), "+OK 5 messages in session.");
            const TStringArray listing = program.Body();
            std::set<std::string> ids;
            for (const std::string& line : listing) {
                const std::string id = line.substr(line.find(' ') + 1);
                EXPECT_TRUE(IsValidUIDL(id)) << id;
                ids.insert(id);
            }
            EXPECT_EQ(ids.size(), 5u);
            EXPECT_EQ(listing[4], "5 <m5@example.test>"); // a valid, unrepeated id stays what clients saw
            EXPECT_EQ(program.Command("UIDL 2"), "+OK " + listing[1]);
            if (login == 0)
                first = listing;
            else
                EXPECT_EQ(listing, first) << "ids must be the same in every session";
            EXPECT_EQ(program.Command("QUIT"), "+OK");
        });
    }

    // A stored message's row ID comes back after the newest rows were removed; its UIDL does not.
    const auto store = [this] {
        return m_Model
            ->InsertEmail(Account(), "<m5@example.test>", {"From: friend@example.test", "", "x"}, 0, "again",
                          "friend@example.test", "", "me@example.test", "", "")
            .ID();
    };
    const int id = store();
    const std::string uidl = Cell("SELECT UIDL FROM Emails WHERE ID=" + std::to_string(id));
    EXPECT_TRUE(IsValidUIDL(uidl));
    EXPECT_NE(uidl, "<m5@example.test>");
    Execute("DELETE FROM Emails WHERE ID=" + std::to_string(id));
    ASSERT_EQ(store(), id);
    EXPECT_NE(Cell("SELECT UIDL FROM Emails WHERE ID=" + std::to_string(id)), uidl);
}

// ---- Who may log in ------------------------------------------------------------------------------

namespace {

constexpr const char* RefusedReply = "-ERR [AUTH] Invalid user name or password.";
constexpr const char* TryLaterReply = "-ERR [SYS/TEMP] The mail server could not check the login; try again later.";
constexpr const char* ThrottledReply = "-ERR [SYS/TEMP] Too many failed logins; try again later.";

// The account's real mailbox is a Dovecot server whose user's password holds blanks.
class LocalServerDovecotTest : public UTessivarPOP3ServerTest {
protected:
    void SetUp() override {
        if (::geteuid() != 0)
            GTEST_SKIP() << "the Dovecot fixture needs root";
        UTessivarPOP3ServerTest::SetUp();
        m_Dovecot = std::make_unique<TDovecotServer>();
        m_Dovecot->AddUser("mailuser", Password);
        Execute("UPDATE Accounts SET RemotePort=" + std::to_string(m_Dovecot->Port()) + ", Username='mailuser'");
    }
    // Starts a run of the program (again) on the database.
    void Run() {
        if (m_Model->AccountCount() > 0) {
            m_Model->Shutdown();
            m_Model.reset();
            m_Model = std::make_unique<TTessivarBusinessLogic>(*m_Loop);
        }
        m_Model->Startup();
        Account().Server().SetFailedLoginDelay(100ms);
    }
    void TearDown() override {
        if (m_Model)
            UTessivarPOP3ServerTest::TearDown();
        m_Dovecot.reset();
    }
    // Mail awaiting delivery that a wrong login must never see, then the run.
    void RunWithMailStored() {
        AddEmail(1);
        Run();
    }
    int RefusalsLogged() {
        int count = 0;
        for (int i = 0; i < m_Model->LogItemCount(); ++i)
            count += m_Model->LogItems(i).Details().starts_with("Refused a login to the local server for ");
        return count;
    }
    // The real server goes away; its port then refuses connections.
    void StopRealServer() { m_Dovecot.reset(); }

    static constexpr const char* Password = "Tb Pa55 word";
    std::unique_ptr<TDovecotServer> m_Dovecot;
};

void ExpectNothingServed(TMailProgram& program) {
    for (const char* command : {"STAT", "LIST", "UIDL", "RETR 1", "TOP 1 0", "DELE 1"})
        EXPECT_EQ(program.Command(command), "-ERR Please login first") << command;
}

} // namespace

// Any local process could read and delete the owner's mail with made-up credentials. Only the
// credentials the real server accepts log in; a refusal is answered after the delay, serves
// nothing, and is logged once per connection however often it is tried.
TEST_F(LocalServerDovecotTest, WrongPasswordWrongUserOrNoUserReadNothing) {
    RunWithMailStored();
    Converse([](TMailProgram& program) {
        EXPECT_EQ(program.Command("USER mailuser"), "+OK Password required");
        const auto started = std::chrono::steady_clock::now();
        EXPECT_EQ(program.Command("PASS wrong"), RefusedReply);
        EXPECT_GE(std::chrono::steady_clock::now() - started, 100ms);
        ExpectNothingServed(program);
        EXPECT_EQ(program.Command("USER intruder"), "+OK Password required");
        EXPECT_EQ(program.Command(std::string("PASS ") + Password), RefusedReply);
        ExpectNothingServed(program);
        EXPECT_EQ(program.Command("QUIT"), "+OK Closing communication channel");
    });
    Converse([](TMailProgram& program) {
        EXPECT_EQ(program.Command(std::string("PASS ") + Password), RefusedReply);
        ExpectNothingServed(program);
    });
    EXPECT_EQ(RefusalsLogged(), 2) << "once per connection";
    EXPECT_EQ(Deleted(1), "0");
    // The owner still gets the mail.
    Converse([](TMailProgram& program) {
        program.Login("mailuser", Password);
        EXPECT_EQ(program.Command("UIDL"), "+OK 1 messages in session.");
        EXPECT_EQ(program.Body(), (TStringArray{"1 <m1@example.test>"}));
    });
}

// The password "Tb Pa55 word" reached the real server as "Tb"; the whole line is the password.
TEST_F(LocalServerDovecotTest, PasswordWithBlanksReachesTheRealServerWhole) {
    Run();
    m_Dovecot->AddMessage("mailuser", "From: friend@example.test\r\nSubject: Fresh\r\nMessage-Id: <fresh@example.test>\r\n"
                                      "\r\nfetched with the whole password\r\n");
    Converse([this](TMailProgram& program) {
        program.Login("mailuser", Password);
        EXPECT_EQ(program.Command("UIDL"), "+OK 1 messages in session.");
        EXPECT_EQ(program.Body(),
                  (TStringArray{"1 " + Cell("SELECT UIDL FROM Emails WHERE MessageID='<fresh@example.test>'")}));
    });
    EXPECT_EQ(m_Dovecot->MessageCount("mailuser"), 0);
}

// Without network the owner still reads what is stored, with the credentials last accepted, kept
// only as a slow hash; other credentials are refused, also in the next run of the program.
TEST_F(LocalServerDovecotTest, RealServerDownServesOnlyTheRememberedLogin) {
    RunWithMailStored();
    Converse([](TMailProgram& program) { program.Login("mailuser", Password); });
    const std::string hash = Cell("SELECT HashedPassword FROM AccountLogins WHERE AccountID=1");
    EXPECT_TRUE(hash.starts_with("$argon2id$")) << hash;
    EXPECT_EQ(hash.find("Pa55"), std::string::npos);
    StopRealServer();
    for (int run = 0; run < 2; ++run) {
        Converse([](TMailProgram& program) {
            EXPECT_EQ(program.Command("USER mailuser"), "+OK Password required");
            EXPECT_EQ(program.Command("PASS Tb Pa55 wordx"), RefusedReply);
            ExpectNothingServed(program);
            program.Login("mailuser", Password);
            EXPECT_EQ(program.Command("UIDL"), "+OK 1 messages in session.");
            EXPECT_EQ(program.Body(), (TStringArray{"1 <m1@example.test>"}));
        });
        // The next run knows the hash from the database alone.
        Run();
    }
    std::ifstream database(m_Dir + "Tessivar.db", std::ios::binary);
    const std::string bytes((std::istreambuf_iterator<char>(database)), std::istreambuf_iterator<char>());
    EXPECT_EQ(bytes.find("Pa55"), std::string::npos);
}

// A first login while the real server is down or silent cannot be checked: the mail program is told
// to try again, and is never served the stored mail.
TEST_F(LocalServerDovecotTest, FirstLoginWhileTheRealServerIsDownIsToldToTryAgain) {
    RunWithMailStored();
    StopRealServer();
    Converse([](TMailProgram& program) {
        EXPECT_EQ(program.Command("USER mailuser"), "+OK Password required");
        EXPECT_EQ(program.Command(std::string("PASS ") + Password), TryLaterReply);
        ExpectNothingServed(program);
    });
    m_Mailbox = std::make_unique<TScriptedPOP3Server>([](TScriptedPeer& peer) { peer.WaitForClose(); });
    Execute("UPDATE Accounts SET RemotePort=" + std::to_string(m_Mailbox->Port()));
    Run();
    Account().Server().SetPassWaitLimit(1s);
    Converse([](TMailProgram& program) {
        EXPECT_EQ(program.Command("USER mailuser"), "+OK Password required");
        EXPECT_EQ(program.Command(std::string("PASS ") + Password), TryLaterReply);
        ExpectNothingServed(program);
    });
    EXPECT_EQ(Deleted(1), "0");
}

// 200 connections that never log in once held every place for 10 minutes; each new one now takes
// the place of the oldest idle one, and the owner's login goes through.
TEST_F(LocalServerDovecotTest, TwoHundredIdleConnectionsNeverLockTheOwnerOut) {
    RunWithMailStored();
    const int port = Port();
    std::atomic<bool> done{false};
    std::thread client([&] {
        TMailProgram owner(port);
        owner.Login("mailuser", Password);
        std::vector<std::unique_ptr<TMailProgram>> idle;
        for (int i = 0; i < 200; ++i) {
            idle.push_back(std::make_unique<TMailProgram>(port));
            EXPECT_EQ(idle.back()->Greeting(), "+OK Local Tessivar POP3 Server") << i;
        }
        EXPECT_EQ(idle.front()->Line(), "<closed>");
        EXPECT_EQ(owner.Command("STAT").substr(0, 6), "+OK 1 ");
        EXPECT_EQ(owner.Command("QUIT"), "+OK");
        TMailProgram again(port);
        EXPECT_EQ(again.Greeting(), "+OK Local Tessivar POP3 Server");
        again.Login("mailuser", Password);
        EXPECT_EQ(again.Command("UIDL"), "+OK 1 messages in session.");
        done = true;
    });
    EXPECT_TRUE(m_Loop->ServeSentCallsUntil([&] { return done.load(); }, 120s));
    client.join();
    ServeUntilReleased();
}

// Relaying every wrong guess would get the owner's real mailbox locked by the provider. The same
// refused credentials are refused locally; after a few refusals in a row new ones wait; the
// credentials the real server accepted last still go through.
TEST_F(UTessivarPOP3ServerTest, RefusedLoginsAreNotRelayedAgainAndAgain) {
    m_Mailbox = std::make_unique<TScriptedPOP3Server>([](TScriptedPeer& peer) {
        peer.SendLine("+OK ready");
        for (auto line = peer.ReadLine(); line; line = peer.ReadLine()) {
            if (*line == "PASS right")
                peer.SendLine("+OK");
            else if (line->starts_with("PASS "))
                return peer.SendLine("-ERR [AUTH] Authentication failed.");
            else if (*line == "STAT")
                peer.SendLine("+OK 0 0");
            else if (*line == "CAPA")
                peer.SendLine("-ERR");
            else if (*line == "QUIT")
                return peer.SendLine("+OK");
            else
                peer.SendLine("+OK");
        }
    });
    Execute("UPDATE Accounts SET RemotePort=" + std::to_string(m_Mailbox->Port()));
    m_Model->Startup();
    Account().Server().SetFailedLoginDelay(10ms);
    Converse([](TMailProgram& program) { program.Login("me", "right"); });
    const auto relayed = [this](const std::string& password) {
        const std::vector<std::string> received = m_Mailbox->Received();
        return std::count(received.begin(), received.end(), "PASS " + password);
    };
    const auto login = [this](const std::string& password, const std::string& expected) {
        Converse([&](TMailProgram& program) {
            EXPECT_EQ(program.Command("USER me"), "+OK Password required");
            EXPECT_EQ(program.Command("PASS " + password), expected) << password;
        });
    };
    login("guess 1", RefusedReply);
    login("guess 1", RefusedReply);
    EXPECT_EQ(relayed("guess 1"), 1);
    login("guess 2", RefusedReply);
    login("guess 3", RefusedReply);
    login("guess 4", ThrottledReply);
    login("guess 1", RefusedReply);
    EXPECT_EQ(relayed("guess 2") + relayed("guess 3"), 2);
    EXPECT_EQ(relayed("guess 4") + relayed("guess 1"), 1);
    login("right", "+OK Login OK");
    EXPECT_EQ(relayed("right"), 2);
    // A CR inside the password would let the rest of the line pass for a command of its own.
    login("right\rDELE 1", RefusedReply);
    for (const std::string& line : m_Mailbox->Received())
        EXPECT_EQ(line.find('\r'), std::string::npos) << line;
}

// Logins with other credentials at the same moment share one checker: none may ride on the answer
// the real server gave to another's credentials.
TEST_F(UTessivarPOP3ServerTest, SimultaneousLoginsEachGetTheAnswerToTheirOwnCredentials) {
    m_Mailbox = std::make_unique<TScriptedPOP3Server>([](TScriptedPeer& peer) {
        peer.SendLine("+OK ready");
        for (auto line = peer.ReadLine(); line; line = peer.ReadLine()) {
            if (line->starts_with("PASS ") && *line != "PASS right")
                return peer.SendLine("-ERR [AUTH] Authentication failed.");
            peer.SendLine(*line == "STAT" ? "+OK 0 0" : *line == "CAPA" ? "-ERR" : "+OK");
            if (*line == "QUIT")
                return;
        }
    });
    Execute("UPDATE Accounts SET RemotePort=" + std::to_string(m_Mailbox->Port()));
    m_Model->Startup();
    Account().Server().SetFailedLoginDelay(10ms);
    const int port = Port();
    for (int round = 0; round < 3; ++round) {
        Converse([port, round](TMailProgram& owner) {
            std::thread intruder([port, round] {
                TMailProgram program(port);
                EXPECT_EQ(program.Command("USER me"), "+OK Password required");
                EXPECT_EQ(program.Command("PASS wrong " + std::to_string(round)), RefusedReply);
                EXPECT_EQ(program.Command("STAT"), "-ERR Please login first");
            });
            owner.Login("me", "right");
            EXPECT_EQ(owner.Command("STAT"), "+OK 0 0");
            intruder.join();
        });
    }
}
