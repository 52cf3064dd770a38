#pragma once
// POP3 server engine: listens on the loopback interface, serves each connection on a thread of its
// own and asks its owner, through the event handlers below, what the commands return.
//
// Thread contract: the owner's thread (one thread) sets the greeting, port and handlers while the
// engine is inactive, and calls SetActive and the destructor. Handlers run on connection threads,
// several at once; all events of one connection come from that connection's thread. Never call
// SetActive or destroy the engine from a handler.
//
// Shutdown: SetActive(false) closes the listener, wakes every connection and waits up to 5000 ms
// for their threads; threads still running then (a handler blocked, e.g. waiting for the owner's
// thread) make it raise EPOP3Exception "Terminate Thread Timeout". Those threads are never
// detached: each is joined once it has finished (on the next activation or stop) and at the latest
// by the destructor, which waits without limit. To keep that wait from deadlocking, the owner
// must make sure that no handler can still be waiting for the thread that stops or destroys the
// engine: SetStopWaiter lets the stopping thread keep serving what handlers wait for (e.g. the
// threaded-call target's ServeSentCallsUntil), and destroying the engine only after that target
// refuses new calls keeps the final join from waiting on the owner's thread. A handler that waits
// for something slow should watch TPOP3ServerConnection::Stopping and give up once it is set.
//
// Limits: a connection that sends nothing for IdleTimeout (10 minutes by default, the shortest
// autologout time POP3 allows) is closed as if the client had gone; before it has logged in, the
// limit is LoginIdleTimeout (60 seconds by default), since a mail program sends USER and PASS as
// soon as it is greeted. At most MaxConnections connections are served at once (32 by default; a
// mail program uses one or two per account). When all are taken, a new client takes the place of
// the oldest connection that has not logged in and is not in the middle of a login: that one is
// closed, so idle connections that never log in cannot lock the mail program out. Only when every
// connection is logged in or logging in is a new client answered "-ERR Too many connections, try
// again later." and closed at once, so it is told why instead of waiting on a connection nobody
// serves.
//
// Lines from other protocols: before a login succeeds, a line that is not a POP3 command (an HTTP
// request line or header, binary data) ends the connection at once, unanswered, and nothing after
// it is read. A web page can make a browser send such lines to a loopback port; this keeps the
// POP3 commands in the body of its request from being run. After a login, unknown lines are
// answered "-ERR Sorry, Unknown Command" as before.

#include <any>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "base/LStrings.h"
#include "mail/UPOP3Lines.h"

class TAbortSignal;
class TPOP3Channel;
class TPOP3ServerEngine;
class TSocketStream;

enum class TPOP3State { AuthorizationState, TransactionState, UpdateState };

// True when the line can be a POP3 command: its first word is three or four ASCII letters (the form
// of every POP3 keyword, extensions included) and it is not an HTTP request line (one ending in
// " HTTP/" and a version, whatever its first word). Any thread.
bool IsPOP3CommandLine(std::string_view line);

// One client connection. Used only on its connection's thread (handlers run there).
class TPOP3ServerConnection {
public:
    TPOP3ServerConnection(const TPOP3ServerConnection&) = delete;
    TPOP3ServerConnection& operator=(const TPOP3ServerConnection&) = delete;

    // The whole argument of the last USER and PASS commands (RFC 1939: a password may hold blanks),
    // empty when the command came without one.
    const std::string& Username() const { return m_Username; }
    const std::string& Password() const { return m_Password; }
    TPOP3State State() const { return m_State; }
    // CheckUser accepts a login by setting TransactionState; OnQUIT may set UpdateState.
    void SetState(TPOP3State state) { m_State = state; }
    // CheckUser refuses a login by leaving the state as it is; this sets the answer to that PASS
    // ("-ERR Login failed" when not set), e.g. with an RFC 3206 response code.
    void SetLoginFailureReply(std::string reply) { m_LoginFailureReply = std::move(reply); }
    // The owner's per-connection object (not owned by the engine), e.g. a pointer to a session.
    std::any& Data() { return m_Data; }
    // Numeric address of the client, "127.0.0.1:40312".
    const std::string& PeerAddress() const { return m_PeerAddress; }
    // The engine is stopping and closes this connection: a handler waiting for something should stop
    // waiting. Any thread.
    bool Stopping() const;

private:
    friend class TPOP3ServerEngine;
    TPOP3ServerConnection(std::string peerAddress, std::shared_ptr<TAbortSignal> stopping)
        : m_PeerAddress(std::move(peerAddress)), m_Stopping(std::move(stopping)) {}

    std::string m_Username;
    std::string m_Password;
    std::string m_LoginFailureReply;
    TPOP3State m_State = TPOP3State::AuthorizationState;
    std::any m_Data;
    std::string m_PeerAddress;
    std::shared_ptr<TAbortSignal> m_Stopping;
};

// The command being served. Handlers answer by filling Reply and, for a multi-line answer,
// Response; the engine writes them after the handler returns. For RSET and QUIT, Reply holds the
// default reply when the handler is called and stays unless the handler replaces it. A handler that
// leaves Reply empty is answered "-ERR Command Not Handled: " and the command word. A positive answer
// to RETR, TOP, or LIST or UIDL without a number is multi-line: the engine always ends it with "."
// (after the Response lines, or alone when Response is empty and Reply does not end with "."), so a
// client never waits for the end of a body that never comes.
struct TPOP3Command {
    TPOP3Command(TPOP3ServerConnection& connection, TPOP3CommandKind kind, std::string line);

    TPOP3ServerConnection& Connection;
    TPOP3CommandKind Kind;
    std::string Line;          // the raw line
    std::string ParameterText; // the line after the command word and one blank
    TStringArray Parameters;   // ParameterText cut at blanks
    TStringArray Reply;        // status line(s), written as they stand
    TStringArray Response;     // body lines, byte-stuffed and ended with "." by the engine
};

class TPOP3ServerEngine {
public:
    static constexpr std::chrono::milliseconds DefaultIdleTimeout = std::chrono::minutes(10);
    static constexpr std::chrono::milliseconds DefaultLoginIdleTimeout = std::chrono::seconds(60);
    static constexpr std::size_t DefaultMaxConnections = 32;

    TPOP3ServerEngine();
    // Stops the engine and joins every connection thread, waiting as long as they take.
    ~TPOP3ServerEngine();
    TPOP3ServerEngine(const TPOP3ServerEngine&) = delete;
    TPOP3ServerEngine& operator=(const TPOP3ServerEngine&) = delete;

    // Settings, changed only while inactive.
    void SetGreeting(std::string greeting) { m_Greeting = std::move(greeting); }
    const std::string& Greeting() const { return m_Greeting; }
    void SetDefaultPort(int port) { m_DefaultPort = port; }
    int DefaultPort() const { return m_DefaultPort; }
    // How stopping waits for connection threads: waits until done() is true or the time-out passes
    // and returns done(). Default: a plain wait. Must stay usable until the engine is destroyed. See
    // the shutdown note at the top of this file.
    using TStopWaiter = std::function<bool(const std::function<bool()>& done, std::chrono::milliseconds timeout)>;
    void SetStopWaiter(TStopWaiter waiter) { m_StopWaiter = std::move(waiter); }
    // See "Limits" at the top of this file.
    void SetIdleTimeout(std::chrono::milliseconds timeout) { m_IdleTimeout = timeout; }
    std::chrono::milliseconds IdleTimeout() const { return m_IdleTimeout; }
    void SetLoginIdleTimeout(std::chrono::milliseconds timeout) { m_LoginIdleTimeout = timeout; }
    std::chrono::milliseconds LoginIdleTimeout() const { return m_LoginIdleTimeout; }
    void SetMaxConnections(std::size_t count) { m_MaxConnections = count; }
    std::size_t MaxConnections() const { return m_MaxConnections; }

    // true: binds 127.0.0.1 at DefaultPort and listens (queue of 15), raising ESocketException when
    // the port cannot be bound. false: stops as described at the top of this file.
    void SetActive(bool active);
    bool Active() const { return m_Listener != nullptr; }
    // The port and address actually bound while active (the port matters when DefaultPort is 0).
    int Port() const;
    std::string BoundAddress() const;
    // Connection threads that have not finished yet, including those left over by a timed-out stop.
    std::size_t ConnectionCount() const;

    // Event handlers (see the thread contract above). A handler that raises ends its connection
    // without a reply.
    std::function<void(TPOP3ServerConnection& connection, const std::string& line)> OnBeforeCommandHandler;
    std::function<void(TPOP3ServerConnection& connection)> CheckUser;
    std::function<void(TPOP3Command& command, int number)> OnLIST; // number -1: none given
    std::function<void(TPOP3Command& command, int number)> OnUIDL; // number -1: none given
    std::function<void(TPOP3Command& command)> OnSTAT;
    std::function<void(TPOP3Command& command)> OnRSET;
    std::function<void(TPOP3Command& command, int number)> OnRETR;
    std::function<void(TPOP3Command& command, int number)> OnDELE;
    std::function<void(TPOP3Command& command, int number, int lines)> OnTOP;
    std::function<void(TPOP3Command& command, TPOP3ServerConnection& connection)> OnQUIT;
    // Raised exactly once per connection when it ends, for any reason.
    std::function<void(TPOP3ServerConnection& connection)> OnDisconnect;

private:
    struct TSlot;
    struct TListening;

    void Start();
    void Stop();
    void AcceptLoop(TListening& listening);
    // Takes a slot for the stream and starts its thread; refuses the client when all are taken.
    // When every slot is taken, closes the oldest connection that has not logged in and is not
    // logging in, and lets the new one take its place. Called with m_Lock held; false when there
    // is none.
    bool EvictIdleLogin(const std::string& newcomer);
    void Admit(TListening& listening, std::unique_ptr<TSocketStream> stream,
               std::shared_ptr<TAbortSignal> closeSignal);
    void Serve(TSlot& slot, std::unique_ptr<TPOP3Channel> channel, std::shared_ptr<TAbortSignal> stopping);
    // Closes every connection of the engine (wakes their reads and writes).
    void CloseConnections();
    // Serves one line; false when the connection is to be closed.
    bool ServeLine(TPOP3ServerConnection& connection, TPOP3Channel& channel, const std::string& line);
    void ServeCommand(TPOP3Command& command);
    // Joins the threads of finished connections.
    void ReapFinished();
    bool AllFinished() const;
    bool WaitForConnections(std::chrono::milliseconds timeout);

    // Owner's thread only.
    std::string m_Greeting = "+OK";
    int m_DefaultPort = 110;
    TStopWaiter m_StopWaiter;
    // Read by connection threads of an activation, so changed only while inactive.
    std::chrono::milliseconds m_IdleTimeout = DefaultIdleTimeout;
    std::chrono::milliseconds m_LoginIdleTimeout = DefaultLoginIdleTimeout;
    std::size_t m_MaxConnections = DefaultMaxConnections;
    std::unique_ptr<TListening> m_Listener;

    // Guarded by m_Lock: connection threads not joined yet; each marks its slot finished at its end.
    mutable std::mutex m_Lock;
    std::condition_variable m_SlotFinished;
    std::vector<std::unique_ptr<TSlot>> m_Slots;
};
