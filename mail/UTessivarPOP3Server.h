#pragma once
// The local POP3 server of one screened account: the mail program fetches from it instead of the
// real mailbox. On login it starts a pass of the account's mailbox checker, waits until the pass has
// stored what it found (at most PassWaitLimit, 15 s by default), and only then builds the account's
// delivery session, so that approved mail fetched at a login reaches the mail program at that same
// login. It serves the session's messages and releases the session, with the mail program's
// deletions, at QUIT (before the reply) or else when the connection ends.
//
// Only the mailbox's owner is served. A login succeeds when the real server accepted exactly its
// user name and password in the pass it started, or, when the real server cannot be reached (or
// has not answered within PassWaitLimit), when they are the last ones the real server accepted
// (kept as a salted slow hash in the database, see core/UAccountLoginHash.h). Otherwise PASS is
// answered FailedLoginReply after FailedLoginDelay (2 s by default) and the refusal is logged once
// per connection; when neither answer is known in time it is answered TemporaryFailureReply, so
// that the mail program tries again. Refused credentials are not relayed again and again (see
// mail/UTessivarLoginThrottle.h).
//
// Thread contract: construction, destruction, Start, Stop, Port and Active on the model's thread.
// The command handlers run on the engine's connection threads and reach the model only through
// threaded calls. The process-wide port counter may be used from any thread.
//
// Stopping never waits on itself: while the engine waits for its connections to end, the model's
// thread keeps serving the calls they send (their session releases), so the deletions of open
// connections are applied. A send refused because the model's thread is shutting down ends the
// wait at once. A login waiting for the pass gives up within a tenth of a second once the server
// stops, and is then refused, so stopping never waits for a pass.

#include <atomic>
#include <chrono>
#include <functional>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "base/LStrings.h"
#include "base/UException.h"
#include "core/UAccountLoginHash.h"

class TPOP3ServerConnection;
class TTessivarLoginThrottle;
enum class TRemoteLoginResult;
class TPOP3ServerEngine;
class TTessivarAccount;
class TTessivarAccountSession;
class TTessivarAccountSessionItem;
class TTessivarBusinessLogic;
class TTessivarPOP3Checker;
struct TPOP3Command;

// No port of the local range could be bound.
TESSIVAR_EXCEPTION(ETessivarPOP3ServerException, Exception);

// The local port range: the counter starts at FirstServerPort, each call raises it by one and wraps
// to FirstServerPort after LastServerPort, so the first port handed out is FirstServerPort + 1.
inline constexpr int FirstServerPort = 20000;
inline constexpr int LastServerPort = 25000;
// Hands out the next local port.
int NextServerPort();

inline constexpr const char* LocalServerGreeting = "+OK Local Tessivar POP3 Server";
// The answers to a PASS that does not log in (RFC 3206 response codes).
inline constexpr const char* FailedLoginReply = "-ERR [AUTH] Invalid user name or password.";
inline constexpr const char* TemporaryFailureReply =
    "-ERR [SYS/TEMP] The mail server could not check the login; try again later.";
inline constexpr const char* ThrottledLoginReply = "-ERR [SYS/TEMP] Too many failed logins; try again later.";
// How long a refused login waits for its answer.
inline constexpr std::chrono::milliseconds DefaultFailedLoginDelay = std::chrono::seconds(2);
// The longest a login waits for the pass it started to store the mail it found.
inline constexpr std::chrono::milliseconds DefaultPassWaitLimit = std::chrono::seconds(15);

class TTessivarPOP3Server {
public:
    // Created with its account, which owns it; the account's model must outlive it.
    explicit TTessivarPOP3Server(TTessivarAccount& account);
    // Stops the engine (serving the session releases of open connections), then ends the checker.
    ~TTessivarPOP3Server();
    TTessivarPOP3Server(const TTessivarPOP3Server&) = delete;
    TTessivarPOP3Server& operator=(const TTessivarPOP3Server&) = delete;

    TTessivarAccount& Account() const { return m_Account; }
    // Gives up a previous binding, then takes ports from the counter until one binds. Raises
    // ETessivarPOP3ServerException once every port of the range has failed once, leaving the
    // server stopped.
    void Start();
    // Stops listening and ends the connections; a failure is written to the trace only.
    void Stop();
    // The port of the last Start (after a failed Start the last port tried; 0 before the first).
    int Port() const;
    bool Active() const;
    // How long a login waits for its pass (any thread; read at each login).
    void SetPassWaitLimit(std::chrono::milliseconds limit) { m_PassWaitLimit = limit.count(); }
    std::chrono::milliseconds PassWaitLimit() const { return std::chrono::milliseconds(m_PassWaitLimit.load()); }
    // How long a refused login waits before its answer (any thread; read at each login).
    void SetFailedLoginDelay(std::chrono::milliseconds delay) { m_FailedLoginDelay = delay.count(); }
    std::chrono::milliseconds FailedLoginDelay() const { return std::chrono::milliseconds(m_FailedLoginDelay.load()); }

private:
    // Command handlers (connection threads).
    void CheckUser(TPOP3ServerConnection& connection);
    void BeforeCommand(TPOP3ServerConnection& connection, const std::string& line);
    void HandleSTAT(TPOP3Command& command);
    void HandleLIST(TPOP3Command& command, int number);
    void HandleUIDL(TPOP3Command& command, int number);
    void HandleRETR(TPOP3Command& command, int number);
    void HandleTOP(TPOP3Command& command, int number, int lines);
    void HandleDELE(TPOP3Command& command, int number);
    void HandleRSET(TPOP3Command& command);
    void HandleQUIT(TPOP3Command& command, TPOP3ServerConnection& connection);
    void Disconnect(TPOP3ServerConnection& connection);
    // Releases the connection's session, if it holds one (at most once per session).
    void ReleaseHeldSession(TPOP3ServerConnection& connection);
    // Login (UTessivarPOP3ServerLogin.cpp).
    enum class TLoginVerdict { Accepted, Refused, TryLater, Throttled };
    enum class TRememberedLogin { None, Matches, Differs };
    // Decides the login of the connection's user name and password before `deadline`; `pass` is
    // the checker's pass whose storing the login is to wait for (0: none).
    TLoginVerdict Authenticate(TPOP3ServerConnection& connection, std::chrono::steady_clock::time_point deadline,
                               uint64_t& pass);
    // The real server's answer to these credentials in the checker's pass, Pending when it did not
    // come before the deadline or the server is stopping.
    TRemoteLoginResult WaitForLoginAnswer(TPOP3ServerConnection& connection, uint64_t& pass,
                                          std::chrono::steady_clock::time_point deadline);
    TRememberedLogin CompareWithRemembered(const std::string& username, const std::string& password);
    // Keeps the hash of credentials the real server accepted; forgets it when it refused them.
    void RememberAccepted(const std::string& username, const std::string& password);
    void ForgetRefused(const std::string& username, const std::string& password);
    // Answers FailedLoginReply after FailedLoginDelay; logs the refusal once per connection.
    void RefuseLogin(TPOP3ServerConnection& connection, bool& reported);
    // Waits until the checker's pass `pass` has stored what it found, the deadline has passed, or
    // the server is stopping.
    void WaitForPass(TPOP3ServerConnection& connection, uint64_t pass, std::chrono::steady_clock::time_point deadline);

    // The session of the command's connection, or nullptr after answering "-ERR No session current.".
    TTessivarAccountSession* SessionFor(TPOP3Command& command);
    // Message `number` (from 1) of that session, or nullptr after answering the failure ("-ERR No
    // such message." when the number is outside 1 ... Count).
    TTessivarAccountSessionItem* MessageFor(TPOP3Command& command, int number);
    // LIST and UIDL: the whole list or one message's line, with `text` of each message.
    using TItemText = std::function<std::string(const TTessivarAccountSessionItem&)>;
    void ServeListing(TPOP3Command& command, int number, const TItemText& text);
    // The trace entries before and after a command.
    std::string TraceHeader(TPOP3ServerConnection& connection) const;
    void TraceServed(const TPOP3Command& command) const;

    // Constant after construction.
    TTessivarAccount& m_Account;
    TTessivarBusinessLogic& m_Model;
    std::atomic<std::chrono::milliseconds::rep> m_PassWaitLimit{DefaultPassWaitLimit.count()};
    std::atomic<std::chrono::milliseconds::rep> m_FailedLoginDelay{DefaultFailedLoginDelay.count()};
    const std::unique_ptr<TTessivarLoginThrottle> m_Throttle;
    // The credentials known in this run to match the stored hash, as a fingerprint; guarded by
    // m_RememberedLock.
    std::mutex m_RememberedLock;
    std::optional<TLoginFingerprint> m_Remembered;
    // Destroyed in this order by the destructor: the engine first, so that no connection can start
    // a pass of a checker that is going away.
    std::unique_ptr<TTessivarPOP3Checker> m_Checker;
    std::unique_ptr<TPOP3ServerEngine> m_Server;
};
