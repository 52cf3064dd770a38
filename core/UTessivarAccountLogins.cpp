// The hash of the last login each account's real server accepted, kept in a table of its own so
// that a database made by an earlier version opens unchanged: the table is added at first use.

#include "core/UTessivarBusinessLogic.h"

#include "core/USQLite.h"
#include "core/UTessivarAccount.h"

namespace {

// The hash column ends in "Password", so the trace masks it like every password column.
const char* const AccountLoginsTable =
    "CREATE TABLE IF NOT EXISTS AccountLogins(        AccountID INTEGER PRIMARY KEY,        HashedPassword VARCHAR);";

std::string AccountCondition(const TTessivarAccount& account) {
    return "AccountID = " + std::to_string(account.ID());
}

} // namespace

void TTessivarBusinessLogic::CreateAccountLoginsTable() {
    if (m_AccountLoginsTable)
        return;
    m_Database->Execute(AccountLoginsTable);
    m_AccountLoginsTable = true;
}

std::string TTessivarBusinessLogic::AcceptedLoginHash(const TTessivarAccount& account) {
    CheckThread();
    CreateAccountLoginsTable();
    TSQLiteResultSet rows;
    if (m_Database->Query("SELECT HashedPassword FROM AccountLogins WHERE " + AccountCondition(account), &rows) < 1)
        return {};
    return rows.AsString("HashedPassword");
}

void TTessivarBusinessLogic::RememberAcceptedLogin(const TTessivarAccount& account, const std::string& hash) {
    CheckThread();
    CreateAccountLoginsTable();
    TSQLiteLock lock(*m_Database);
    m_Database->Delete("AccountLogins", AccountCondition(account));
    if (!hash.empty())
        m_Database->Insert("AccountLogins", {"AccountID", "HashedPassword"}, {account.ID(), hash});
}
