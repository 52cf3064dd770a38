#include "mail/UPOP3ServerEngine.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>

#include <atomic>
#include <condition_variable>
#include <map>
#include <memory>
#include <mutex>
#include <thread>

#include "mail/UPOP3Channel.h"
#include "mail/USockets.h"

namespace {

using namespace std::chrono_literals;

// A raw POP3 client for driving the engine line by line.
class TTestClient {
public:
    explicit TTestClient(int port)
        : m_Channel(TSocketStream::Connect("127.0.0.1", port, 5000, std::make_shared<TAbortSignal>())) {
        m_Greeting = Line();
    }
    const std::string& Greeting() const { return m_Greeting; }
    void Send(const std::string& line) { m_Channel.WriteLine(line); }
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
    std::string Command(const std::string& line) {
        Send(line);
        return Line();
    }
    // Raw body lines up to and including the terminating ".".
    TStringArray Body() {
        TStringArray lines;
        for (std::string line = Line(); line != "<closed>"; line = Line()) {
            lines.push_back(line);
            if (line == ".")
                break;
        }
        return lines;
    }
    void Login() {
        EXPECT_EQ(Command("USER u"), "+OK Password required");
        EXPECT_EQ(Command("PASS p"), "+OK Login OK");
    }
    void Drop() { m_Channel.Close(); }

private:
    TPOP3Channel m_Channel;
    std::string m_Greeting;
};

// An engine on a free port whose handlers log in everybody and record what they were given.
class POP3ServerEngineTest : public testing::Test {
protected:
    void SetUp() override {
        m_Engine.SetGreeting("+OK test server");
        m_Engine.SetDefaultPort(0);
        m_Engine.CheckUser = [this](TPOP3ServerConnection& connection) {
            Record("CheckUser " + connection.Username() + "/" + connection.Password());
            if (!connection.Password().starts_with("wrong"))
                connection.SetState(TPOP3State::TransactionState);
        };
        m_Engine.OnBeforeCommandHandler = [this](TPOP3ServerConnection&, const std::string& line) {
            Record("before " + line);
        };
        m_Engine.OnLIST = [this](TPOP3Command& command, int number) {
            Record("LIST " + std::to_string(number));
            command.Reply = {"+OK listed"};
        };
        m_Engine.OnTOP = [this](TPOP3Command& command, int number, int lines) {
            Record("TOP " + std::to_string(number) + " " + std::to_string(lines));
            command.Reply = {"+OK"};
            command.Response = {"header"};
        };
        m_Engine.OnDELE = [this](TPOP3Command& command, int number) {
            Record("DELE " + std::to_string(number));
            command.Reply = {"+OK"};
        };
        m_Engine.OnRSET = [this](TPOP3Command&) { Record("RSET"); };
        m_Engine.OnDisconnect = [this](TPOP3ServerConnection&) {
            std::lock_guard lock(m_Lock);
            ++m_Disconnects;
            m_Changed.notify_all();
        };
    }

    void Record(const std::string& event) {
        std::lock_guard lock(m_Lock);
        m_Events.push_back(event);
    }
    TStringArray Events() {
        std::lock_guard lock(m_Lock);
        return m_Events;
    }
    // Waits (bounded) until `count` connections have ended, then gives the number that did.
    int DisconnectsAfterWaitingFor(int count) {
        std::unique_lock lock(m_Lock);
        m_Changed.wait_for(lock, 10s, [&] { return m_Disconnects >= count; });
        return m_Disconnects;
    }
    int Start() {
        m_Engine.SetActive(true);
        return m_Engine.Port();
    }

    std::mutex m_Lock;
    std::condition_variable m_Changed;
    TStringArray m_Events;
    int m_Disconnects = 0;
    TPOP3ServerEngine m_Engine; // last: destroyed (joining its threads) before what handlers use
};

TEST_F(POP3ServerEngineTest, CommandsAreMatchedInAnyCaseAndNumbersDefaultToMinusOne) {
    TTestClient client(Start());
    EXPECT_EQ(client.Greeting(), "+OK test server");
    client.Login();
    // A whole list is a multi-line answer, ended by the engine; one message's line is not.
    EXPECT_EQ(client.Command("list"), "+OK listed");
    EXPECT_EQ(client.Line(), ".");
    EXPECT_EQ(client.Command("LISTX"), "-ERR Sorry, Unknown Command");
    EXPECT_EQ(client.Command("LIST abc"), "+OK listed");
    EXPECT_EQ(client.Line(), ".");
    EXPECT_EQ(client.Command("LIST  2 "), "+OK listed");
    EXPECT_EQ(client.Command("UIDL"), "-ERR Command Not Handled: UIDL");
    EXPECT_EQ(Events(),
              (TStringArray{"before USER u", "before PASS p", "CheckUser u/p", "before list", "LIST -1", "before LISTX",
                            "before LIST abc", "LIST -1", "before LIST  2 ", "LIST 2", "before UIDL"}));
}

// RFC 1939: the whole rest of the line is the password, blanks included; cut at the first blank,
// the real server would be asked about another password than the one the mail program gave.
TEST_F(POP3ServerEngineTest, LoginPassesTheWholePasswordAndStateGuardsCommands) {
    TTestClient client(Start());
    for (const char* command : {"LIST", "STAT", "RETR 1", "DELE 1", "UIDL", "TOP 1 1", "RSET"})
        EXPECT_EQ(client.Command(command), "-ERR Please login first") << command;
    EXPECT_EQ(client.Command("NOOP"), "+OK NOOP");
    EXPECT_EQ(client.Command("APOP u digest"), "-ERR Command Not Handled: APOP");
    EXPECT_EQ(client.Command("USER bob smith"), "+OK Password required");
    EXPECT_EQ(client.Command("PASS wrong horse"), "-ERR Login failed");
    EXPECT_EQ(client.Command("PASS  open sesame "), "+OK Login OK");
    EXPECT_EQ(client.Command("APOP u digest"), "-ERR Wrong State");
    EXPECT_EQ(client.Command("RSET"), "+OK Reset");
    // A PASS without a password does not log in with the one before it.
    EXPECT_EQ(client.Command("PASS"), "+OK Login OK");
    const TStringArray events = Events();
    EXPECT_NE(std::find(events.begin(), events.end(), "CheckUser bob smith/wrong horse"), events.end());
    EXPECT_NE(std::find(events.begin(), events.end(), "CheckUser bob smith/ open sesame "), events.end());
    EXPECT_NE(std::find(events.begin(), events.end(), "CheckUser bob smith/"), events.end());
}

TEST_F(POP3ServerEngineTest, InvalidDeleAndTopArgumentsNeverReachTheHandlers) {
    TTestClient client(Start());
    client.Login();
    EXPECT_EQ(client.Command("DELE"), "-ERR Invalid Message Number");
    EXPECT_EQ(client.Command("DELE one"), "-ERR Invalid Message Number");
    EXPECT_EQ(client.Command("DELE 3"), "+OK");
    for (const char* command : {"TOP", "TOP 1", "TOP x 1", "TOP 1 y", "TOP -1 0", "TOP 1 -1", "TOP 1 -5"})
        EXPECT_EQ(client.Command(command), "-ERR Invalid Syntax") << command;
    EXPECT_EQ(client.Command("TOP 2 0"), "+OK");
    EXPECT_EQ(client.Body(), (TStringArray{"header", "."}));
    const TStringArray events = Events();
    EXPECT_EQ(std::count_if(events.begin(), events.end(), [](const auto& e) { return e.starts_with("TOP "); }), 1);
    EXPECT_EQ(std::count_if(events.begin(), events.end(), [](const auto& e) { return e.starts_with("DELE "); }), 1);
}

TEST_F(POP3ServerEngineTest, BodyLinesStartingWithDotAreStuffed) {
    m_Engine.OnRETR = [](TPOP3Command& command, int number) {
        command.Reply = {"+OK"};
        if (number == 1)
            command.Response = {"Subject: dots", "", ".", ".x", "..y", "end."};
        else
            command.Reply.push_back("."); // an empty body written by the handler itself
    };
    TTestClient client(Start());
    client.Login();
    EXPECT_EQ(client.Command("RETR 1"), "+OK");
    EXPECT_EQ(client.Body(), (TStringArray{"Subject: dots", "", "..", "..x", "...y", "end.", "."}));
    EXPECT_EQ(client.Command("RETR 2"), "+OK");
    EXPECT_EQ(client.Body(), (TStringArray{"."}));
    EXPECT_EQ(client.Command("NOOP"), "+OK NOOP");
}

TEST_F(POP3ServerEngineTest, QuitClosesInEveryStateButCallsOnQuitOnlyAfterLogin) {
    m_Engine.OnQUIT = [this](TPOP3Command& command, TPOP3ServerConnection& connection) {
        Record("QUIT");
        connection.SetState(TPOP3State::UpdateState);
        command.Reply = {"+OK bye"};
    };
    const int port = Start();
    TTestClient early(port);
    EXPECT_EQ(early.Command("QUIT"), "+OK Closing communication channel");
    EXPECT_EQ(early.Line(), "<closed>");
    TTestClient late(port);
    late.Login();
    EXPECT_EQ(late.Command("quit"), "+OK bye");
    EXPECT_EQ(late.Line(), "<closed>");
    EXPECT_EQ(DisconnectsAfterWaitingFor(2), 2);
    const TStringArray events = Events();
    EXPECT_EQ(std::count(events.begin(), events.end(), "QUIT"), 1);
}

TEST_F(POP3ServerEngineTest, OnDisconnectFiresExactlyOnceHoweverTheConnectionEnds) {
    m_Engine.OnRETR = [](TPOP3Command&, int) { throw EPOP3Exception("stored message unreadable"); };
    const int port = Start();
    {
        TTestClient quits(port);
        quits.Command("QUIT");
    }
    {
        TTestClient drops(port);
        drops.Send("NOOP");
        drops.Drop();
    }
    {
        TTestClient overlong(port);
        overlong.Send(std::string(20000, 'A'));
        EXPECT_EQ(overlong.Line(), "<closed>");
    }
    {
        TTestClient failing(port);
        failing.Login();
        EXPECT_EQ(failing.Command("RETR 1"), "<closed>"); // no reply at all
    }
    {
        TTestClient garbage(port);
        garbage.Login();
        garbage.Send(std::string("\x01\xff") + '\0' + "\x7f garbage \x80\r\nLIST\r\nNOOP");
        EXPECT_EQ(garbage.Line(), "-ERR Sorry, Unknown Command");
        EXPECT_EQ(garbage.Line(), "+OK listed");
        garbage.Drop(); // in the middle of an unfinished line
    }
    EXPECT_EQ(DisconnectsAfterWaitingFor(5), 5);
    TTestClient stillServing(port);
    EXPECT_EQ(stillServing.Command("NOOP"), "+OK NOOP");
    m_Engine.SetActive(false);
    EXPECT_EQ(DisconnectsAfterWaitingFor(6), 6);
}

// A web page can make the browser send an HTTP request to a loopback port; POP3 commands in its
// body must never run. Real clients' commands, including extensions sent before login, still do.
TEST(POP3CommandLine, HTTPAndBinaryLinesAreNoPOP3Commands) {
    for (const char* line : {"USER me", "PASS two words", "CAPA", "AUTH PLAIN", "STLS", "top 1 0", "QUIT", "XTND x"})
        EXPECT_TRUE(IsPOP3CommandLine(line)) << line;
    for (const char* line : {"POST / HTTP/1.1", "USER / HTTP/1.1", "PASS /x?y=1 http/1.0", "PRI * HTTP/2.0",
                             "GET / HTTP/2 ", "Host: 127.0.0.1:20001", "Content-Type: text/plain",
                             "User-Agent: Browser/1.0", "X", "AB", "USERS x", "\x16\x03\x01", "1234", "US3R me", ""})
        EXPECT_FALSE(IsPOP3CommandLine(line)) << line;
}

TEST_F(POP3ServerEngineTest, ForeignProtocolLinesBeforeLoginCloseTheConnectionUnexecuted) {
    const int port = Start();
    TTestClient page(port);
    page.Send("POST / HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\nUSER u\r\nPASS p\r\nDELE 1\r\nQUIT");
    EXPECT_EQ(page.Line(), "<closed>");
    TTestClient pageAfterUser(port);
    EXPECT_EQ(pageAfterUser.Command("USER u"), "+OK Password required");
    pageAfterUser.Send("Host: 127.0.0.1\r\nPASS p\r\nDELE 1");
    EXPECT_EQ(pageAfterUser.Line(), "<closed>");
    EXPECT_EQ(DisconnectsAfterWaitingFor(2), 2);
    for (const std::string& event : Events())
        EXPECT_TRUE(event.starts_with("before ")) << event;
    // A mail program asking for capabilities first is answered and served on.
    TTestClient program(port);
    EXPECT_EQ(program.Command("CAPA"), "-ERR Sorry, Unknown Command");
    program.Login();
    EXPECT_EQ(program.Command("Host: 127.0.0.1"), "-ERR Sorry, Unknown Command");
}

// An empty body must still end with ".", or the mail program waits for it for ever.
TEST_F(POP3ServerEngineTest, MultiLineAnswersAlwaysEndWithTheTerminator) {
    m_Engine.OnRETR = [](TPOP3Command& command, int number) {
        command.Reply = {number == 1 ? "+OK" : "-ERR No such message."};
    };
    m_Engine.OnUIDL = [](TPOP3Command& command, int) { command.Reply = {"+OK 0 messages"}; };
    TTestClient client(Start());
    client.Login();
    EXPECT_EQ(client.Command("RETR 1"), "+OK");
    EXPECT_EQ(client.Body(), (TStringArray{"."}));
    EXPECT_EQ(client.Command("RETR 2"), "-ERR No such message.");
    EXPECT_EQ(client.Command("UIDL"), "+OK 0 messages");
    EXPECT_EQ(client.Body(), (TStringArray{"."}));
    EXPECT_EQ(client.Command("UIDL 1"), "+OK 0 messages"); // one message's line is single-line
    EXPECT_EQ(client.Command("NOOP"), "+OK NOOP");
}

// A connection nobody talks on is closed and reported ended once; one in use stays open.
TEST_F(POP3ServerEngineTest, IdleConnectionsAreClosedAndReportedOnce) {
    EXPECT_EQ(m_Engine.IdleTimeout(), std::chrono::minutes(10));
    m_Engine.SetIdleTimeout(400ms);
    const int port = Start();
    TTestClient idle(port);
    idle.Login();
    TTestClient busy(port);
    for (int i = 0; i < 8; ++i) {
        std::this_thread::sleep_for(100ms);
        EXPECT_EQ(busy.Command("NOOP"), "+OK NOOP");
    }
    EXPECT_EQ(idle.Line(), "<closed>");
    EXPECT_EQ(DisconnectsAfterWaitingFor(1), 1);
    EXPECT_EQ(busy.Command("NOOP"), "+OK NOOP");
}

// A mail program never meets the limit: it uses a connection or two. When every connection is
// logged in, a client beyond the limit is told why at once, and served again as soon as a
// connection has ended.
TEST_F(POP3ServerEngineTest, ConnectionsBeyondTheLimitAreRefusedWithAReason) {
    const std::size_t limit = m_Engine.MaxConnections();
    EXPECT_EQ(limit, 32u);
    const int port = Start();
    std::vector<std::unique_ptr<TTestClient>> clients;
    for (std::size_t i = 0; i < limit; ++i) {
        clients.push_back(std::make_unique<TTestClient>(port));
        ASSERT_EQ(clients.back()->Greeting(), "+OK test server") << i;
        clients.back()->Login();
    }
    {
        TTestClient refused(port);
        EXPECT_EQ(refused.Greeting(), "-ERR Too many connections, try again later.");
        EXPECT_EQ(refused.Line(), "<closed>");
    }
    EXPECT_EQ(m_Engine.ConnectionCount(), limit);
    EXPECT_EQ(clients.front()->Command("QUIT"), "+OK Closing communication channel");
    for (int i = 0; i < 1000 && m_Engine.ConnectionCount() >= limit; ++i)
        std::this_thread::sleep_for(10ms);
    TTestClient next(port);
    EXPECT_EQ(next.Greeting(), "+OK test server");
    next.Login();
    EXPECT_EQ(clients.back()->Command("NOOP"), "+OK NOOP");
}

// Idle connections that never log in once held every place; now a new client takes the place of
// the oldest of them, while a logged-in connection and one in the middle of its login stay.
TEST_F(POP3ServerEngineTest, NewConnectionsTakeThePlaceOfIdleOnesThatNeverLoggedIn) {
    bool released = false;
    m_Engine.CheckUser = [&](TPOP3ServerConnection& connection) {
        std::unique_lock lock(m_Lock);
        if (connection.Password() == "slow")
            m_Changed.wait_for(lock, 10s, [&] { return released; });
        connection.SetState(TPOP3State::TransactionState);
    };
    m_Engine.SetMaxConnections(4);
    const int port = Start();
    TTestClient loggedIn(port);
    loggedIn.Login();
    TTestClient loggingIn(port);
    EXPECT_EQ(loggingIn.Command("USER u"), "+OK Password required");
    loggingIn.Send("PASS slow");
    TTestClient idle1(port);
    TTestClient idle2(port);
    for (int i = 0; i < 200 && m_Engine.ConnectionCount() < 4; ++i)
        std::this_thread::sleep_for(10ms);
    TTestClient newcomer1(port);
    EXPECT_EQ(newcomer1.Greeting(), "+OK test server");
    EXPECT_EQ(idle1.Line(), "<closed>");
    TTestClient newcomer2(port);
    EXPECT_EQ(newcomer2.Greeting(), "+OK test server");
    EXPECT_EQ(idle2.Line(), "<closed>");
    newcomer2.Login();
    EXPECT_EQ(loggedIn.Command("NOOP"), "+OK NOOP");
    {
        std::lock_guard lock(m_Lock);
        released = true;
        m_Changed.notify_all();
    }
    EXPECT_EQ(loggingIn.Line(), "+OK Login OK");
    EXPECT_EQ(loggingIn.Command("NOOP"), "+OK NOOP");
}

// A connection that has not logged in is closed after the shorter time-out; a logged-in one keeps
// the POP3 autologout time.
TEST_F(POP3ServerEngineTest, ConnectionsThatHaveNotLoggedInTimeOutSooner) {
    EXPECT_EQ(m_Engine.LoginIdleTimeout(), std::chrono::seconds(60));
    m_Engine.SetLoginIdleTimeout(300ms);
    const int port = Start();
    TTestClient loggedIn(port);
    loggedIn.Login();
    TTestClient greeted(port);
    EXPECT_EQ(greeted.Command("USER u"), "+OK Password required");
    std::this_thread::sleep_for(700ms);
    EXPECT_EQ(greeted.Line(), "<closed>");
    EXPECT_EQ(loggedIn.Command("NOOP"), "+OK NOOP");
}

// The listening socket's own address (read back from the socket) is the loopback address, so the
// port is not reachable from the network. Tests only ever connect to loopback addresses.
TEST_F(POP3ServerEngineTest, ListensOnLoopbackOnly) {
    const int port = Start();
    EXPECT_EQ(m_Engine.BoundAddress(), "127.0.0.1");
    TTestClient client(port);
    EXPECT_EQ(client.Command("NOOP"), "+OK NOOP");
}

TEST_F(POP3ServerEngineTest, BusyPortFailsActivationAndStoppedPortCanBeReused) {
    const int port = Start();
    TPOP3ServerEngine second;
    second.SetDefaultPort(port);
    EXPECT_THROW(second.SetActive(true), ESocketException);
    EXPECT_FALSE(second.Active());
    {
        TTestClient client(port); // the first engine is unharmed
        EXPECT_EQ(client.Command("QUIT"), "+OK Closing communication channel");
    }
    m_Engine.SetActive(false);
    second.SetActive(true);
    EXPECT_EQ(second.Port(), port);
}

TEST_F(POP3ServerEngineTest, StopClosesOpenConnectionsAndPort) {
    const int port = Start();
    TTestClient idle(port);
    TTestClient loggedIn(port);
    loggedIn.Login();
    TTestClient halfLine(port);
    halfLine.Send("LIS");
    m_Engine.SetActive(false);
    EXPECT_EQ(DisconnectsAfterWaitingFor(3), 3);
    EXPECT_EQ(idle.Line(), "<closed>");
    EXPECT_EQ(loggedIn.Line(), "<closed>");
    EXPECT_EQ(m_Engine.ConnectionCount(), 0u);
    EXPECT_THROW(TSocketStream::Connect("127.0.0.1", port, 2000, std::make_shared<TAbortSignal>()), ESocketException);
}

// A STAT handler that blocks until released, like one waiting for a busy owner thread.
class BlockedHandlerTest : public POP3ServerEngineTest {
protected:
    void SetUp() override {
        POP3ServerEngineTest::SetUp();
        m_Engine.OnSTAT = [this](TPOP3Command& command) {
            std::unique_lock lock(m_Lock);
            m_Entered = true;
            m_Changed.notify_all();
            m_Changed.wait(lock, [this] { return m_Released; });
            command.Reply = {"+OK 0 0"};
        };
    }
    void WaitUntilHandlerEntered() {
        std::unique_lock lock(m_Lock);
        ASSERT_TRUE(m_Changed.wait_for(lock, 10s, [this] { return m_Entered; }));
    }
    void Release() {
        std::lock_guard lock(m_Lock);
        m_Released = true;
        m_Changed.notify_all();
    }

    bool m_Entered = false;
    bool m_Released = false;
};

TEST_F(BlockedHandlerTest, StopRaisesTerminateThreadTimeoutAndDestructionStillJoins) {
    auto engine = std::make_unique<TPOP3ServerEngine>();
    engine->SetDefaultPort(0);
    engine->CheckUser = m_Engine.CheckUser;
    engine->OnSTAT = m_Engine.OnSTAT;
    engine->OnDisconnect = m_Engine.OnDisconnect;
    engine->SetActive(true);
    TTestClient client(engine->Port());
    client.Login();
    client.Send("STAT");
    WaitUntilHandlerEntered();
    try {
        engine->SetActive(false);
        ADD_FAILURE() << "stop did not report the blocked connection";
    } catch (const EPOP3Exception& error) {
        EXPECT_STREQ(error.what(), "Terminate Thread Timeout");
    }
    EXPECT_FALSE(engine->Active());
    EXPECT_EQ(engine->ConnectionCount(), 1u);
    std::thread releaser([this] {
        std::this_thread::sleep_for(200ms);
        Release();
    });
    engine.reset(); // waits for the handler, then joins its thread
    releaser.join();
    EXPECT_EQ(DisconnectsAfterWaitingFor(1), 1);
}

TEST_F(BlockedHandlerTest, StopWaiterCanServeWhatBlockedHandlersWaitFor) {
    int waits = 0;
    m_Engine.SetStopWaiter([&](const std::function<bool()>& done, std::chrono::milliseconds timeout) {
        ++waits;
        EXPECT_EQ(timeout, 5000ms);
        Release(); // as the owner's thread would serve the call a handler waits for
        for (int i = 0; i < 1000 && !done(); ++i)
            std::this_thread::sleep_for(10ms);
        return done();
    });
    TTestClient client(Start());
    client.Login();
    client.Send("STAT");
    WaitUntilHandlerEntered();
    EXPECT_NO_THROW(m_Engine.SetActive(false));
    EXPECT_EQ(waits, 1);
    EXPECT_EQ(client.Line(), "<closed>"); // the reply is never written: the engine was stopping
    EXPECT_EQ(DisconnectsAfterWaitingFor(1), 1);
    m_Engine.SetStopWaiter(nullptr); // it refers to this fixture, which goes before the engine
}

} // namespace
