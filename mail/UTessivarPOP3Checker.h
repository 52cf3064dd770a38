#pragma once
// The mailbox checker of one screened account: a worker thread that empties the account's real
// POP3 mailbox into the model, one pass per login of the mail program to the local server.
//
// Thread contract: construct and destroy on the model's thread (the local server that owns the
// checker lives there). StartCheck and Busy may be called from any thread. The worker reaches the
// model only through threaded calls; while the destructor waits for a running pass it keeps serving
// the calls that pass sends, so it returns within seconds even when the pass waits on the model.
//
// Logins: the local server asks for a pass with the credentials a mail program presented
// (RequestLogin) and learns from WaitForLogin how the real server answered exactly those
// credentials: accepted, refused, or not reached. A request joins the running pass when that pass
// uses the same credentials; otherwise a pass with them follows the running one.
//
// A message leaves the real mailbox only after the model has stored it durably (or after it was
// recognised as a returned authentication request or a self-authentication notice, which are never
// stored): the pass sends DELE only for messages a flush of the store has covered, and the real
// server removes them at QUIT. Storing runs beside the retrieval (TTessivarMessageStorer). Until the server confirms that QUIT, the model remembers the server's id of every message
// stored, so that a pass cut short (a crash, a kill, a lost connection) never stores one twice.

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <memory>
#include <optional>
#include <mutex>
#include <set>
#include <string>
#include <string_view>
#include <thread>
#include <utility>

#include "base/LStrings.h"
#include "base/UException.h"
#include "core/UAccountLoginHash.h"
#include "core/UTessivarMailRobots.h"

class TPOP3Client;
class TTessivarAccount;
class TTessivarBusinessLogic;

// A message the pass could not finish; it stays on the real server for the next pass.
TESSIVAR_EXCEPTION(ETessivarPOP3CheckerException, Exception);

// Domain of the message ids the checker makes up for messages that have none: a GUID, "@", this.
// The .invalid top-level domain is reserved, so no real message id ever ends in it.
inline constexpr std::string_view CheckerMessageIdDomain = "id.tessivar.invalid";
// A PEM file in the settings folder (SettingsDirectory) whose certificate authorities are trusted for
// the real servers' certificates besides the system's store (a provider with a private authority).
inline constexpr std::string_view TrustedCertificatesFileName = "TrustedCertificates.pem";
// The line that marks one of our authentication requests inside a returned message.
inline constexpr std::string_view AuthenticationRequestMarker = "X-Tessivar: Authentication-Request";

// True when some line is exactly AuthenticationRequestMarker.
bool HoldsAuthenticationRequestMarker(const TStringArray& lines);
// The recipient of the authentication request a bounce returns: the "To" value of the header block
// around the first line that is exactly AuthenticationRequestMarker, as user@domain. Empty when the
// message holds no marker line or that block names no recipient.
std::string ReturnedRequestRecipient(const TStringArray& lines);
// The id of the authentication request a bounce returns, without angle brackets: the first id in
// the marker domain among the "Message-Id" of the header block around the first marker line, the
// bounce's own "In-Reply-To" and its "References". Empty when none is there: such a bounce proves
// nothing.
std::string ReturnedRequestMessageId(const TStringArray& lines);
// New message id for a message without one.
std::string NewCheckerMessageId();

// How the real server answered the login of a pass.
enum class TRemoteLoginResult {
    Pending,     // not known yet (or the checker is going away)
    Accepted,    // USER and PASS accepted
    Refused,     // the server refused the user name or password (EPOP3LoginRefused)
    Unreachable, // no answer to the credentials: name lookup, connect, TLS, time-out, a busy mailbox
};

class TTessivarPOP3Checker {
public:
    // The model and the account must outlive the checker. The worker starts idle.
    TTessivarPOP3Checker(TTessivarBusinessLogic& model, TTessivarAccount& account);
    // Ends a running pass (also one waiting on a silent server), joins the worker.
    ~TTessivarPOP3Checker();
    TTessivarPOP3Checker(const TTessivarPOP3Checker&) = delete;
    TTessivarPOP3Checker& operator=(const TTessivarPOP3Checker&) = delete;

    // Any thread: starts a pass unless one is running or already requested. The pass logs in with
    // the account's login (TTessivarAccount::Login).
    void StartCheck();
    // Any thread: asks for a pass that logs in with these credentials and returns its number, to be
    // handed to WaitForLogin and WaitForPassStored. The running pass is joined when it uses the same
    // credentials; otherwise a pass follows it (a later request with other credentials, made before
    // that pass begins, takes its place, and WaitForLogin then asks again).
    uint64_t RequestLogin(const std::string& username, const std::string& password);
    // Any thread: waits up to `timeout` for the real server's answer to these credentials in pass
    // `pass` (moved on to a later pass when that one used other credentials). Pending when it did
    // not come in time or the checker is being destroyed.
    TRemoteLoginResult WaitForLogin(uint64_t& pass, const std::string& username, const std::string& password,
                                    std::chrono::milliseconds timeout);
    // Any thread: waits up to `timeout` until pass `pass` has stored durably what it found (or has
    // ended); false after the time-out or when the checker is being destroyed.
    bool WaitForPassStored(uint64_t pass, std::chrono::milliseconds timeout);
    // Any thread: a pass is running or requested.
    bool Busy() const;
    // Any thread: waits until the running or requested pass has stored durably what it found (or
    // has failed), or until the time-out; true at once when no pass is running or requested. False
    // after the time-out, or when the checker is being destroyed.
    bool WaitForStoredMail(std::chrono::milliseconds timeout);

private:
    class TPass;

    // The answer to one pass's login, kept for the waiting logins; the credentials only as this
    // run's fingerprint.
    struct TLoginReport {
        uint64_t Pass;
        TLoginFingerprint Login;
        TRemoteLoginResult Result;
    };

    void Execute();
    bool WorkerFinished() const;
    // Called by a pass once what it found is durably stored: wakes WaitForStoredMail.
    void MarkStored();
    // Called by a pass once the real server has answered its login (or could not be reached).
    void ReportLogin(TRemoteLoginResult result);
    // RequestLogin with m_CheckLock held.
    uint64_t RequestLoginLocked(const std::string& username, const std::string& password);
    const TLoginReport* FindReport(uint64_t pass) const;

    // Constant after construction.
    TTessivarBusinessLogic& m_Model;
    TTessivarAccount& m_Account;
    // Used by the worker only; Abort alone comes from the destructor.
    const std::unique_ptr<TPOP3Client> m_Client;
    // Used by the worker only: the activity log has said once in this run that the password for
    // this account travels unencrypted.
    bool m_ReportedLoginInClear = false;
    // Used by the worker only: the reasons of failed secure connections told in this run.
    std::set<std::string> m_ReportedFailureReasons;
    // Used by the worker only: why the trusted certificates file was ignored, as last reported.
    std::string m_ReportedTrustProblem;

    // Guarded by m_CheckLock.
    mutable std::mutex m_CheckLock;
    std::condition_variable m_Wake;
    bool m_Busy = false;
    bool m_Storing = false;   // a pass is running or requested and has not yet stored what it found
    std::condition_variable m_Stored; // signalled when m_Storing becomes false
    bool m_Requested = false; // a StartCheck the worker has not taken up yet
    // The credentials of the requested pass; none: the account's login.
    std::optional<std::pair<std::string, std::string>> m_RequestedLogin;
    uint64_t m_PassNumber = 0;         // the latest pass the worker has taken up
    TLoginFingerprint m_PassLogin{};   // the credentials of that pass
    bool m_PassRunning = false;        // that pass has not ended yet
    uint64_t m_StoredPass = 0;         // the latest pass that has stored what it found, or ended
    std::deque<TLoginReport> m_Reports; // the latest passes' answers, newest last
    bool m_Terminated = false;
    bool m_Finished = false; // the worker has left its loop

    std::thread m_Thread; // last: started when everything above exists
};
