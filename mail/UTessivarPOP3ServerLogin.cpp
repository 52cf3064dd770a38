// Who may log in to the local POP3 server: the mailbox's owner, as the real server decides. Runs
// on the thread of the connection that logs in; the model is reached through threaded calls.

#include <algorithm>
#include <chrono>
#include <thread>

#include "base/UDebug.h"
#include "core/UAccountLoginHash.h"
#include "core/UTessivarAccount.h"
#include "core/UThreadedCalls.h"
#include "mail/UPOP3ServerEngine.h"
#include "mail/UTessivarLoginThrottle.h"
#include "mail/UTessivarPOP3Checker.h"
#include "mail/UTessivarPOP3Server.h"

namespace {

using TClock = std::chrono::steady_clock;

// A login waiting for an answer looks this often whether the server is stopping.
constexpr auto LoginWaitSlice = std::chrono::milliseconds(100);

std::string Quoted(const std::string& text) {
    return "\"" + text + "\"";
}

// Credentials that can be relayed as they are: a user name, and no CR or NUL, with which a server
// could end the command line early and take the rest for another command.
bool IsRelayableLogin(const std::string& username, const std::string& password) {
    const auto breaksLine = [](char c) { return c == '\r' || c == '\n' || c == '\0'; };
    return !username.empty() && std::none_of(username.begin(), username.end(), breaksLine) &&
           std::none_of(password.begin(), password.end(), breaksLine);
}

} // namespace

TTessivarPOP3Server::TLoginVerdict TTessivarPOP3Server::Authenticate(TPOP3ServerConnection& connection,
                                                                     TClock::time_point deadline, uint64_t& pass) {
    const std::string& username = connection.Username();
    const std::string& password = connection.Password();
    const std::string& address = m_Account.EmailAddress();
    if (!IsRelayableLogin(username, password)) {
        Debug("Login to the local server for " + address + " without a usable user name or password; refused.");
        return TLoginVerdict::Refused;
    }
    const TLoginFingerprint login = AccountLoginFingerprint(username, password);
    if (m_Throttle->RecentlyRefused(login)) {
        Debug("The real server refused this login for " + address + " a short while ago; refused without asking it.");
        return TLoginVerdict::Refused;
    }
    if (m_Throttle->BackOffLeft() > TClock::duration::zero() &&
        CompareWithRemembered(username, password) != TRememberedLogin::Matches) {
        Debug("Too many failed logins for " + address + "; new credentials wait before they go to the real server.");
        return TLoginVerdict::Throttled;
    }

    pass = m_Checker->RequestLogin(username, password);
    const TRemoteLoginResult answer = WaitForLoginAnswer(connection, pass, deadline);
    switch (answer) {
    case TRemoteLoginResult::Accepted:
        m_Throttle->Accepted(login);
        RememberAccepted(username, password);
        return TLoginVerdict::Accepted;
    case TRemoteLoginResult::Refused:
        pass = 0;
        m_Throttle->Refused(login);
        ForgetRefused(username, password);
        return TLoginVerdict::Refused;
    case TRemoteLoginResult::Unreachable:
    case TRemoteLoginResult::Pending:
        break;
    }
    // No word from the real server: the mail already stored is served to the last credentials it
    // accepted; what it still fetches arrives at the next login.
    pass = 0;
    if (connection.Stopping())
        return TLoginVerdict::TryLater;
    switch (CompareWithRemembered(username, password)) {
    case TRememberedLogin::Matches:
        Debug("The real server for " + address + " did not answer; the last login it accepted is served.");
        return TLoginVerdict::Accepted;
    case TRememberedLogin::Differs:
        if (answer == TRemoteLoginResult::Unreachable)
            return TLoginVerdict::Refused;
        // The server is slow, and may still accept new credentials (a changed password).
        return TLoginVerdict::TryLater;
    case TRememberedLogin::None:
        break;
    }
    return TLoginVerdict::TryLater;
}

TRemoteLoginResult TTessivarPOP3Server::WaitForLoginAnswer(TPOP3ServerConnection& connection, uint64_t& pass,
                                                           TClock::time_point deadline) {
    while (!connection.Stopping()) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - TClock::now());
        if (left <= std::chrono::milliseconds::zero())
            break;
        const TRemoteLoginResult answer = m_Checker->WaitForLogin(pass, connection.Username(), connection.Password(),
                                                                  std::min(left, std::chrono::milliseconds(LoginWaitSlice)));
        if (answer != TRemoteLoginResult::Pending)
            return answer;
    }
    return TRemoteLoginResult::Pending;
}

TTessivarPOP3Server::TRememberedLogin TTessivarPOP3Server::CompareWithRemembered(const std::string& username,
                                                                                 const std::string& password) {
    const TLoginFingerprint login = AccountLoginFingerprint(username, password);
    {
        std::lock_guard lock(m_RememberedLock);
        if (m_Remembered && *m_Remembered == login)
            return TRememberedLogin::Matches;
    }
    const std::optional<std::string> hash = AcceptedLoginHash(m_Model, m_Account);
    if (!hash || hash->empty())
        return TRememberedLogin::None;
    if (!AccountLoginMatches(*hash, username, password))
        return TRememberedLogin::Differs;
    std::lock_guard lock(m_RememberedLock);
    m_Remembered = login;
    return TRememberedLogin::Matches;
}

void TTessivarPOP3Server::RememberAccepted(const std::string& username, const std::string& password) {
    const TLoginFingerprint login = AccountLoginFingerprint(username, password);
    {
        std::lock_guard lock(m_RememberedLock);
        if (m_Remembered && *m_Remembered == login)
            return;
    }
    try {
        if (RememberAcceptedLogin(m_Model, m_Account, HashAccountLogin(username, password))) {
            std::lock_guard lock(m_RememberedLock);
            m_Remembered = login;
        }
    } catch (const std::exception& error) {
        // The login goes on; without a kept hash only an unreachable server refuses it later.
        DebugException("TTessivarPOP3Server", error);
    }
}

void TTessivarPOP3Server::ForgetRefused(const std::string& username, const std::string& password) {
    if (CompareWithRemembered(username, password) != TRememberedLogin::Matches)
        return;
    // The real server no longer takes them (a changed password): they open nothing any more.
    Debug("The real server refused the last login it had accepted for " + m_Account.EmailAddress() + "; forgotten.");
    {
        std::lock_guard lock(m_RememberedLock);
        m_Remembered.reset();
    }
    RememberAcceptedLogin(m_Model, m_Account, std::string());
}

void TTessivarPOP3Server::RefuseLogin(TPOP3ServerConnection& connection, bool& reported) {
    if (!reported) {
        reported = true;
        InsertLogItem(m_Model,
                      "Refused a login to the local server for " + Quoted(connection.Username()) + " at " +
                          Quoted(m_Account.RemoteServer()) + ": the user name or password is not the mailbox's.",
                      1);
    }
    // Slows down guessing; a stopping server ends the wait.
    const auto until = TClock::now() + FailedLoginDelay();
    while (!connection.Stopping() && TClock::now() < until)
        std::this_thread::sleep_for(std::min<TClock::duration>(until - TClock::now(), LoginWaitSlice));
    connection.SetLoginFailureReply(FailedLoginReply);
}
