#pragma once
// A screened POP3 account, its local POP3 server and the mail program accounts that fetch through
// it. Thread contract: the model's thread only, except the login credentials (SetLogin, Username,
// Password), which the local server's connection threads write and the mailbox checker reads;
// they are guarded by their own lock; and the connection security, which the checker reads.

#include "core/UConnectionSecurity.h"
#include "core/UIMAPSettings.h"
#include "core/UTessivarRecord.h"

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <utility>
#include <vector>

class TAbortSignal;
class TIMAPMailbox;
class TMailClientAccount;
class TTessivarIMAPScreener;
class TTessivarAccountSession;
class TTessivarPOP3Server;

class TTessivarAccount : public TTessivarRecord {
public:
    explicit TTessivarAccount(TTessivarBusinessLogic& owner);
    ~TTessivarAccount() override;

    int32_t ID() const { return m_ID; }
    const std::string& EmailAddress() const { return m_EmailAddress; }
    // Nothing assigns it; it stays empty.
    const std::string& RecipientName() const { return m_RecipientName; }
    bool Enabled() const { return m_Enabled; }
    const std::string& RemoteServer() const { return m_RemoteServer; }
    int32_t RemotePort() const { return m_RemotePort; }
    // The local server runs and the mail program accounts point at it.
    bool Redirected() const { return m_Redirected; }
    TTessivarPOP3Server& Server() const { return *m_Server; }

    // An IMAP account is screened in place on its server (RemoteServer, RemotePort, the stored
    // user name) instead of through the local POP3 server; it has no mail program accounts.
    bool IsIMAP() const { return m_IMAPSecurity.has_value(); }
    // Its security; nullopt for a POP3 account.
    std::optional<TIMAPSecurity> IMAPSecurity() const { return m_IMAPSecurity; }
    // Where its server is and who logs in (the stored user name); for an IMAP account only.
    TIMAPServer IMAPServer() const;
    // The screener of an enabled, protected IMAP account (mail/UTessivarIMAPScreener.h); none
    // otherwise.
    TTessivarIMAPScreener* IMAPScreener() const { return m_IMAPScreener.get(); }
    // How the screener connects, when set before Protect (tests, a connection test); else the
    // program's connector, with the password from the password store. Raising the signal it is
    // given ends a connection attempt at once.
    std::function<std::unique_ptr<TIMAPMailbox>(const std::shared_ptr<TAbortSignal>&)> IMAPConnector;

    // The stored user name, replaced in memory by the user name of the mail program's login.
    std::string Username() const;
    // Set by the mail program's login; never stored.
    std::string Password() const;
    void SetLogin(const std::string& username, const std::string& password);
    // User name and password read together, so that a login in between cannot mix two of them.
    std::pair<std::string, std::string> Login() const;

    // How the checker protects its connection to the real server (Automatic unless set; see
    // TConnectionSecurity). Any thread may read it; it is not stored, but stated anew at every
    // start by the mail program accounts linked to this account.
    TConnectionSecurity ConnectionSecurity() const { return m_ConnectionSecurity.load(); }
    // Model's thread: replaces the security, e.g. for a driver whose mail program names it.
    void SetConnectionSecurity(TConnectionSecurity security) { m_ConnectionSecurity.store(security); }

    // Mail program accounts that fetch through this account; not owned. Adding one takes its
    // Security when that is stricter than the account's (StricterSecurity), so a mail program that
    // reaches the real server over TLS has the checker do the same.
    const std::vector<TMailClientAccount*>& MailClientAccounts() const { return m_MailClientAccounts; }
    void AddMailClientAccount(TMailClientAccount& account);
    bool HasMailClientAccounts() const { return !m_MailClientAccounts.empty(); }

    // Saves the flag, then protects or unprotects the account.
    void SetEnabled(bool value);
    // An enabled IMAP account starts its screener instead (nothing when it runs already).
    // Starts the local server and points the mail program accounts at it (only when enabled). A
    // disabled account, or one whose protect fails part way, instead points every mail program
    // account still naming the marker host back at its real server.
    void Protect();
    // An IMAP account stops its screener, leaving every message where it is on the server.
    // Points the mail program accounts back at the real server and stops the local server. When not
    // redirected, restores the mail program accounts that still name the marker host.
    void Unprotect();

    // The emails of this account awaiting delivery and in no other session; the caller owns the
    // session.
    std::unique_ptr<TTessivarAccountSession> CreateSession();
    // Deletes the emails the mail program deleted and frees the session (also on failure), which
    // frees its emails for later sessions. Leaves the session with the caller when called from a
    // wrong thread.
    void ReleaseSession(std::unique_ptr<TTessivarAccountSession>&& session);

protected:
    void Save() override;

private:
    friend class TTessivarBusinessLogic;

    // Points each linked mail program account that names the marker host back at its real server;
    // failures go to the trace.
    void RestoreMailClientAccounts() noexcept;

    std::string m_EmailAddress;
    std::string m_RecipientName;
    bool m_Enabled = false;
    int32_t m_ID = -1;
    std::unique_ptr<TTessivarPOP3Server> m_Server;
    std::vector<TMailClientAccount*> m_MailClientAccounts;
    std::string m_RemoteServer;
    int32_t m_RemotePort = -1;
    bool m_Redirected = false;
    std::atomic<TConnectionSecurity> m_ConnectionSecurity{TConnectionSecurity::Automatic};
    std::optional<TIMAPSecurity> m_IMAPSecurity;
    std::unique_ptr<TTessivarIMAPScreener> m_IMAPScreener;

    mutable std::mutex m_LoginLock;
    std::string m_Username; // guarded by m_LoginLock
    std::string m_Password; // guarded by m_LoginLock
};
