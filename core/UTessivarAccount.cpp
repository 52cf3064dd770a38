#include "core/UTessivarAccount.h"

#include "base/UDebug.h"
#include "clients/UTessivarClientDriver.h"
#include "core/USQLite.h"
#include "core/USQLiteTransaction.h"
#include "core/UTessivarBusinessLogic.h"
#include "core/UTessivarEmail.h"
#include "core/UTessivarIMAPMessages.h"
#include "mail/UTessivarAccountSession.h"
#include "mail/UTessivarIMAPScreener.h"
#include "mail/UTessivarPOP3Server.h"

#include <exception>

TTessivarAccount::TTessivarAccount(TTessivarBusinessLogic& owner)
    : TTessivarRecord(owner, "TTessivarAccount"), m_Server(std::make_unique<TTessivarPOP3Server>(*this)) {}

// The server and the screener go first: stopping them ends the connections that use this account.
TTessivarAccount::~TTessivarAccount() {
    m_IMAPScreener.reset();
    m_Server.reset();
}

std::string TTessivarAccount::Username() const {
    std::lock_guard<std::mutex> lock(m_LoginLock);
    return m_Username;
}

std::string TTessivarAccount::Password() const {
    std::lock_guard<std::mutex> lock(m_LoginLock);
    return m_Password;
}

std::pair<std::string, std::string> TTessivarAccount::Login() const {
    std::lock_guard<std::mutex> lock(m_LoginLock);
    return {m_Username, m_Password};
}

void TTessivarAccount::SetLogin(const std::string& username, const std::string& password) {
    std::lock_guard<std::mutex> lock(m_LoginLock);
    m_Username = username;
    m_Password = password;
}

void TTessivarAccount::AddMailClientAccount(TMailClientAccount& account) {
    m_MailClientAccounts.push_back(&account);
    SetConnectionSecurity(StricterSecurity(ConnectionSecurity(), account.Security));
}

void TTessivarAccount::SetEnabled(bool value) {
    Owner().CheckThread();
    if (m_Enabled == value)
        return;
    {
        TUpdateScope<TTessivarRecord> scope(*this);
        m_Enabled = value;
    }
    // An IMAP account enabled (again) screens what arrives from now on: the mail that came while it
    // was not screened is the user's and stays in INBOX.
    if (value && IsIMAP())
        Owner().IMAPMessages().ForgetInboxPosition(m_ID);
    if (value)
        Protect();
    else
        Unprotect();
}

void TTessivarAccount::Protect() {
    Owner().CheckThread();
    if (IsIMAP()) {
        // Screened in place on its server: no local server, no mail program accounts.
        if (m_Enabled && !m_IMAPScreener)
            m_IMAPScreener = std::make_unique<TTessivarIMAPScreener>(
                Owner(), *this, IMAPConnector ? IMAPConnector : TTessivarIMAPScreener::DefaultConnector(IMAPServer()));
        m_Redirected = m_Enabled;
        return;
    }
    if (!m_Enabled) {
        // Keys left pointing at the marker host (a database made anew, a run that ended between
        // saving Enabled and restoring) would send the mail program to a port nobody serves.
        RestoreMailClientAccounts();
        return;
    }
    try {
        m_Server->Start();
        for (TMailClientAccount* account : m_MailClientAccounts)
            account->SetPOP3Server(LocalMarkerHost, m_Server->Port());
    } catch (...) {
        // A protect that fails part way is undone, so that no mail program is left pointing at a
        // local server that is not protecting its account.
        m_Server->Stop();
        m_Redirected = false;
        RestoreMailClientAccounts();
        throw;
    }
    m_Redirected = true;
}

void TTessivarAccount::Unprotect() {
    Owner().CheckThread();
    if (IsIMAP()) {
        m_IMAPScreener.reset();
        m_Redirected = false;
        return;
    }
    if (!m_Redirected) {
        RestoreMailClientAccounts();
        return;
    }
    // Every mail program account is restored and the server stopped even when one restore fails;
    // the first failure is reported afterwards.
    std::exception_ptr failure;
    for (TMailClientAccount* account : m_MailClientAccounts) {
        try {
            account->SetPOP3Server(m_RemoteServer, m_RemotePort);
        } catch (...) {
            if (!failure)
                failure = std::current_exception();
        }
    }
    m_Server->Stop();
    m_Redirected = false;
    if (failure)
        std::rethrow_exception(failure);
}

void TTessivarAccount::RestoreMailClientAccounts() noexcept {
    for (TMailClientAccount* account : m_MailClientAccounts) {
        try {
            account->RestoreRemoteServer();
        } catch (const std::exception& error) {
            // Tried again at the next unprotect and at the next start.
            DebugException("TTessivarAccount", error);
        } catch (...) {
        }
    }
}

namespace {
const char* TrueFalse(bool value) {
    return value ? "true" : "false";
}
} // namespace

std::unique_ptr<TTessivarAccountSession> TTessivarAccount::CreateSession() {
    TTessivarBusinessLogic& owner = Owner();
    owner.CheckThread();
    Debug("Creating session for account: " + m_EmailAddress);
    auto session = std::make_unique<TTessivarAccountSession>(*this);
    // The mail of an IMAP account stays on its server, where its screener puts it; the local server
    // never offers it (nor runs for such an account).
    if (IsIMAP())
        return session;
    for (int i = 0; i < owner.EmailCount(); ++i) {
        TTessivarEmail& email = owner.Emails(i);
        const bool awaiting = email.IsAwaitingDelivery();
        if (DebugMode()) {
            const TTessivarAccount* account = email.Account();
            Debug("EMAIL: " + std::string(email.Subject()) + "\r\n" + TrueFalse(awaiting) + "\r\n" + TrueFalse(email.InSession()) +
                  "\r\n" + (account ? account->EmailAddress() : std::string()) + "=" + m_EmailAddress + "\r\n" +
                  (account ? std::to_string(account->ID()) : std::string()) + "=" + std::to_string(m_ID));
        }
        if (email.Account() == this && awaiting && !email.InSession() && session->AddEmail(email))
            Debug("Added email to session " + m_EmailAddress + ": " + std::string(email.Subject()));
    }
    return session;
}

void TTessivarAccount::ReleaseSession(std::unique_ptr<TTessivarAccountSession>&& session) {
    TTessivarBusinessLogic& owner = Owner();
    owner.CheckThread();
    std::unique_ptr<TTessivarAccountSession> released = std::move(session);
    if (!released)
        return;
    {
        TUpdateScope<TTessivarBusinessLogic> scope(owner);
        // The deletions are written in one transaction: one durable commit for the session instead
        // of one per message, which kept the model's thread (and a mail program waiting for its
        // QUIT to be answered) busy for seconds when a thousand messages were fetched at once.
        std::unique_ptr<TSQLiteTransaction> transaction;
        for (int i = 0; i < released->Count(); ++i) {
            TTessivarAccountSessionItem& item = released->Items(i);
            if (!item.MarkedForDeletion())
                continue;
            if (!transaction)
                transaction = std::make_unique<TSQLiteTransaction>(owner.Database());
            item.Email().Delete();
        }
        if (transaction)
            transaction->Commit();
    }
    released.reset();
    owner.PurgeDetachedEmails();
    Debug("Released a session for account: " + m_EmailAddress);
}

void TTessivarAccount::Save() {
    Owner().CheckThread();
    Owner().Database().Update("Accounts", {"EmailAddress", "RemoteServer", "RemotePort", "Enabled"},
                              "ID=" + std::to_string(m_ID), {m_EmailAddress, m_RemoteServer, m_RemotePort, m_Enabled});
}
