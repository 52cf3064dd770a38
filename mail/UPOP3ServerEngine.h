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
// refuses new calls keeps the final join from waiting on the owner's thread.

#include <any>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "base/LStrings.h"
#include "mail/UPOP3Lines.h"

class TPOP3Channel;
class TPOP3ServerEngine;

enum class TPOP3State { AuthorizationState, TransactionState, UpdateState };

// One client connection. Used only on its connection's thread (handlers run there).
class TPOP3ServerConnection {
public:
    TPOP3ServerConnection(const TPOP3ServerConnection&) = delete;
    TPOP3ServerConnection& operator=(const TPOP3ServerConnection&) = delete;

    // First parameter of the last USER and PASS commands.
    const std::string& Username() const { return m_Username; }
    const std::string& Password() const { return m_Password; }
    TPOP3State State() const { return m_State; }
    // CheckUser accepts a login by setting TransactionState; OnQUIT may set UpdateState.
    void SetState(TPOP3State state) { m_State = state; }
    // The owner's per-connection object (not owned by the engine), e.g. a pointer to a session.
    std::any& Data() { return m_Data; }
    // Numeric address of the client, "127.0.0.1:40312".
    const std::string& PeerAddress() const { return m_PeerAddress; }

private:
    friend class TPOP3ServerEngine;
    explicit TPOP3ServerConnection(std::string peerAddress) : m_PeerAddress(std::move(peerAddress)) {}

    std::string m_Username;
    std::string m_Password;
    TPOP3State m_State = TPOP3State::AuthorizationState;
    std::any m_Data;
    std::string m_PeerAddress;
};

// The command being served. Handlers answer by filling Reply and, for a multi-line answer,
// Response; the engine writes them after the handler returns. For RSET and QUIT, Reply holds the
// default reply when the handler is called and stays unless the handler replaces it. A handler that
// leaves Reply empty is answered "-ERR Command Not Handled: " and the command word.
struct TPOP3Command {
    TPOP3Command(TPOP3ServerConnection& connection, TPOP3CommandKind kind, std::string line);

    TPOP3ServerConnection& Connection;
    TPOP3CommandKind Kind;
    std::string Line;           // the raw line
    std::string ParameterText;  // the line after the command word and one blank
    TStringArray Parameters;    // ParameterText cut at blanks
    TStringArray Reply;         // status line(s), written as they stand
    TStringArray Response;      // body lines, byte-stuffed and ended with "." by the engine
};

class TPOP3ServerEngine {
public:
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
    std::function<void(TPOP3Command& command, int number)> OnLIST;  // number -1: none given
    std::function<void(TPOP3Command& command, int number)> OnUIDL;  // number -1: none given
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
    void Serve(TSlot& slot, std::unique_ptr<TPOP3Channel> channel);
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
    std::unique_ptr<TListening> m_Listener;

    // Guarded by m_Lock: connection threads not joined yet; each marks its slot finished at its end.
    mutable std::mutex m_Lock;
    std::condition_variable m_SlotFinished;
    std::vector<std::unique_ptr<TSlot>> m_Slots;
};
