// Accounts screened in place over IMAP. An IMAP account is an Accounts row like any other (address,
// server, port, user name, enabled) with a row of its own in IMAPAccounts, which says how the
// connection is protected. The table is added at first use, so that a database made by an earlier
// version opens unchanged and its accounts stay POP3 accounts.

#include "core/UTessivarBusinessLogic.h"

#include "base/LStrings.h"
#include "base/UDebug.h"
#include "core/USQLite.h"
#include "core/USQLiteTransaction.h"
#include "core/UTessivarAccount.h"

namespace {

const char* const IMAPAccountsTable =
    "CREATE TABLE IF NOT EXISTS IMAPAccounts(        AccountID INTEGER PRIMARY KEY,        Security INTEGER);";

// Stored codes: 0 implicit TLS, 1 STARTTLS. An unknown code reads as implicit TLS, the stricter.
int SecurityCode(TIMAPSecurity security) {
    return security == TIMAPSecurity::STARTTLS ? 1 : 0;
}

TIMAPSecurity SecurityFromCode(int code) {
    return code == 1 ? TIMAPSecurity::STARTTLS : TIMAPSecurity::ImplicitTLS;
}

} // namespace

TIMAPServer TTessivarAccount::IMAPServer() const {
    TIMAPServer server;
    server.AccountID = m_ID;
    server.EmailAddress = m_EmailAddress;
    server.Host = m_RemoteServer;
    server.Port = m_RemotePort;
    server.Security = m_IMAPSecurity.value_or(TIMAPSecurity::ImplicitTLS);
    server.Username = Username();
    return server;
}

void TTessivarBusinessLogic::CreateIMAPAccountsTable() {
    if (m_IMAPAccountsTable)
        return;
    m_Database->Execute(IMAPAccountsTable);
    m_IMAPAccountsTable = true;
}

void TTessivarBusinessLogic::LoadIMAPAccounts() {
    TSQLiteResultSet rows;
    // A database without the table has no IMAP accounts; it is not created just for reading.
    if (m_Database->Query("SELECT name FROM sqlite_master WHERE type='table' AND name='IMAPAccounts'", &rows) < 1)
        return;
    m_IMAPAccountsTable = true;
    if (m_Database->Query("SELECT AccountID, Security FROM IMAPAccounts", &rows) < 1)
        return;
    for (; !rows.Eof(); rows.Next())
        if (TTessivarAccount* account = FindAccountByID(rows.AsInteger(0)))
            account->m_IMAPSecurity = SecurityFromCode(rows.AsInteger(1));
}

TTessivarAccount& TTessivarBusinessLogic::AddIMAPAccount(const std::string& emailAddress, const std::string& username,
                                                         const std::string& remoteServer, int32_t remotePort,
                                                         TIMAPSecurity security) {
    CheckThread();
    for (const auto& account : m_Accounts)
        if (account->IsIMAP() && SameText(account->EmailAddress(), emailAddress) &&
            SameText(account->Username(), username) && SameText(account->RemoteServer(), remoteServer) &&
            account->RemotePort() == remotePort) {
            if (account->m_IMAPSecurity != security) {
                m_Database->Update("IMAPAccounts", {"Security"}, "AccountID=" + std::to_string(account->ID()),
                                   {SecurityCode(security)});
                account->m_IMAPSecurity = security;
            }
            return *account;
        }

    CreateIMAPAccountsTable();
    auto account = std::make_unique<TTessivarAccount>(*this);
    {
        TSQLiteTransaction transaction(*m_Database);
        m_Database->Insert("Accounts", {"EmailAddress", "RemoteServer", "RemotePort", "Username", "Enabled"},
                           {emailAddress, remoteServer, remotePort, username, false});
        account->m_ID = static_cast<int32_t>(m_Database->LastInsertRowID());
        m_Database->Insert("IMAPAccounts", {"AccountID", "Security"}, {account->m_ID, SecurityCode(security)});
        transaction.Commit();
    }
    Debug("Inserting IMAP Account: " + emailAddress + ", " + remoteServer + ":" + std::to_string(remotePort) + ", " +
          username);
    account->m_EmailAddress = emailAddress;
    account->m_RemoteServer = remoteServer;
    account->m_RemotePort = remotePort;
    account->SetLogin(username, {});
    account->m_Enabled = false;
    account->m_IMAPSecurity = security;
    return AppendAccount(std::move(account));
}
