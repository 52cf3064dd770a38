#include "devservice/UServiceDatabase.h"

#include <fcntl.h>
#include <sqlite3.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// Accounts hold the credentials, the standing and the synchronised settings; every other table
// belongs to one account. Version columns hold the account's data version at the record's last
// change, so that a client is sent exactly what changed after the version it already has.
const char* const Schema = R"sql(
CREATE TABLE IF NOT EXISTS Accounts (
    ID INTEGER PRIMARY KEY,
    Username TEXT NOT NULL UNIQUE COLLATE NOCASE,
    PasswordHash TEXT NOT NULL,
    EmailAddress TEXT NOT NULL,
    AdvertiserID TEXT NOT NULL DEFAULT '',
    Status TEXT NOT NULL DEFAULT 'Active',
    Created INTEGER NOT NULL,
    DataVersion INTEGER NOT NULL DEFAULT 0,
    Signature TEXT NOT NULL DEFAULT '',
    BlockedWords TEXT NOT NULL DEFAULT '',
    AdultWords TEXT NOT NULL DEFAULT '',
    UnlockPassword TEXT NOT NULL DEFAULT '',
    LockAccess INTEGER NOT NULL DEFAULT 0,
    SettingsVersion INTEGER NOT NULL DEFAULT 0,
    AddressConfirmed INTEGER NOT NULL DEFAULT 0,
    ConfirmationTokenHash TEXT NOT NULL DEFAULT '',
    ConfirmationSent INTEGER NOT NULL DEFAULT 0);
CREATE TABLE IF NOT EXISTS DomainNames (
    AccountID INTEGER NOT NULL REFERENCES Accounts(ID),
    DomainName TEXT NOT NULL COLLATE NOCASE,
    ApprovalStatus TEXT NOT NULL,
    Notes TEXT NOT NULL,
    Deleted INTEGER NOT NULL,
    Version INTEGER NOT NULL,
    PRIMARY KEY (AccountID, DomainName));
CREATE TABLE IF NOT EXISTS EmailAddresses (
    AccountID INTEGER NOT NULL REFERENCES Accounts(ID),
    EmailAddress TEXT NOT NULL COLLATE NOCASE,
    DisplayName TEXT NOT NULL,
    ApprovalStatus TEXT NOT NULL,
    AuthenticationStatus TEXT NOT NULL,
    Notes TEXT NOT NULL,
    Deleted INTEGER NOT NULL,
    Version INTEGER NOT NULL,
    LastChallenged INTEGER NOT NULL DEFAULT 0,
    PRIMARY KEY (AccountID, EmailAddress));
CREATE TABLE IF NOT EXISTS Challenges (
    TokenHash TEXT PRIMARY KEY,
    AccountID INTEGER NOT NULL REFERENCES Accounts(ID),
    EmailAddress TEXT NOT NULL COLLATE NOCASE,
    DisplayName TEXT NOT NULL,
    Subject TEXT NOT NULL,
    Received TEXT NOT NULL,
    Created INTEGER NOT NULL,
    Used INTEGER NOT NULL DEFAULT 0);
CREATE INDEX IF NOT EXISTS ChallengesBySender ON Challenges (AccountID, EmailAddress);
CREATE TABLE IF NOT EXISTS RequestMessages (
    MessageId TEXT PRIMARY KEY,
    AccountID INTEGER NOT NULL REFERENCES Accounts(ID),
    EmailAddress TEXT NOT NULL COLLATE NOCASE,
    Created INTEGER NOT NULL);
CREATE TABLE IF NOT EXISTS ImportNotices (
    AccountID INTEGER NOT NULL REFERENCES Accounts(ID),
    EmailAddress TEXT NOT NULL COLLATE NOCASE,
    Sent INTEGER NOT NULL,
    PRIMARY KEY (AccountID, EmailAddress));
CREATE TABLE IF NOT EXISTS WaitingChallenges (
    AccountID INTEGER NOT NULL REFERENCES Accounts(ID),
    EmailAddress TEXT NOT NULL COLLATE NOCASE,
    DisplayName TEXT NOT NULL,
    ToEmailAddress TEXT NOT NULL,
    ToDisplayName TEXT NOT NULL,
    Subject TEXT NOT NULL,
    Received TEXT NOT NULL,
    Queued INTEGER NOT NULL,
    PRIMARY KEY (AccountID, EmailAddress));
CREATE TABLE IF NOT EXISTS SentMail (
    AccountID INTEGER NOT NULL,
    Recipient TEXT NOT NULL COLLATE NOCASE,
    Kind TEXT NOT NULL,
    Sent INTEGER NOT NULL);
CREATE INDEX IF NOT EXISTS SentMailByRecipient ON SentMail (Recipient, Sent);
CREATE INDEX IF NOT EXISTS SentMailByAccount ON SentMail (AccountID, Kind, Sent);
)sql";

// Columns added after the first release; a database made before lacks them. Its accounts start
// unconfirmed: their owners receive a confirmation link at the next synchronisation.
const char* const AddedAccountColumns[][2] = {
    {"AddressConfirmed", "INTEGER NOT NULL DEFAULT 0"},
    {"ConfirmationTokenHash", "TEXT NOT NULL DEFAULT ''"},
    {"ConfirmationSent", "INTEGER NOT NULL DEFAULT 0"},
};

// The database and its journal files hold password hashes and live links: owner only, also for a
// file an earlier version created more open. SQLite gives new journal files the database's mode.
void MakeOwnerOnly(const std::string& fileName) {
    if (fileName.empty() || fileName == ":memory:" || fileName.rfind("file:", 0) == 0)
        return;
    const int file = open(fileName.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (file < 0)
        return; // sqlite3_open_v2 reports the reason
    fchmod(file, 0600);
    close(file);
    for (const char* suffix : {"-wal", "-shm", "-journal"})
        chmod((fileName + suffix).c_str(), 0600);
}

} // namespace

// ---- Statements ------------------------------------------------------------------------------

TServiceStatement::TServiceStatement(TServiceDatabase& database, std::string_view sql) : m_Database(database) {
    if (sqlite3_prepare_v2(database.Handle(), sql.data(), static_cast<int>(sql.size()), &m_Statement, nullptr) !=
        SQLITE_OK)
        database.Fail("Preparing a statement");
}

TServiceStatement::~TServiceStatement() {
    sqlite3_finalize(m_Statement);
}

TServiceStatement& TServiceStatement::Bind(int index, std::string_view text) {
    if (sqlite3_bind_text64(m_Statement, index, text.data(), text.size(), SQLITE_TRANSIENT, SQLITE_UTF8) != SQLITE_OK)
        m_Database.Fail("Binding a parameter");
    return *this;
}

TServiceStatement& TServiceStatement::Bind(int index, int64_t value) {
    if (sqlite3_bind_int64(m_Statement, index, value) != SQLITE_OK)
        m_Database.Fail("Binding a parameter");
    return *this;
}

bool TServiceStatement::Step() {
    const int result = sqlite3_step(m_Statement);
    if (result == SQLITE_ROW)
        return true;
    if (result == SQLITE_DONE)
        return false;
    m_Database.Fail("Running a statement");
}

void TServiceStatement::Execute() {
    while (Step()) {
    }
}

std::string TServiceStatement::Text(int column) const {
    const auto* text = reinterpret_cast<const char*>(sqlite3_column_text(m_Statement, column));
    if (text == nullptr)
        return {};
    return std::string(text, static_cast<size_t>(sqlite3_column_bytes(m_Statement, column)));
}

int64_t TServiceStatement::Integer(int column) const {
    return sqlite3_column_int64(m_Statement, column);
}

// ---- Database --------------------------------------------------------------------------------

TServiceDatabase::TServiceDatabase(const std::string& fileName) {
    MakeOwnerOnly(fileName);
    if (sqlite3_open_v2(fileName.c_str(), &m_Handle, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE, nullptr) !=
        SQLITE_OK) {
        const std::string message = m_Handle ? sqlite3_errmsg(m_Handle) : "out of memory";
        sqlite3_close(m_Handle);
        m_Handle = nullptr;
        throw ServiceDatabaseException("Cannot open the database \"" + fileName + "\": " + message);
    }
    try {
        sqlite3_busy_timeout(m_Handle, 5000);
        Exec("PRAGMA journal_mode=WAL");
        Exec("PRAGMA foreign_keys=ON");
        Exec(Schema);
        for (const auto& [column, definition] : AddedAccountColumns)
            if (!HasColumn("Accounts", column))
                Exec(("ALTER TABLE Accounts ADD COLUMN " + std::string(column) + " " + definition).c_str());
    } catch (...) {
        sqlite3_close(m_Handle);
        throw;
    }
}

TServiceDatabase::~TServiceDatabase() {
    sqlite3_close(m_Handle);
}

void TServiceDatabase::Exec(const char* sql) {
    if (sqlite3_exec(m_Handle, sql, nullptr, nullptr, nullptr) != SQLITE_OK)
        Fail("Running a statement");
}

bool TServiceDatabase::HasColumn(const char* table, const char* column) {
    TServiceStatement info(*this, "SELECT COUNT(*) FROM pragma_table_info(?) WHERE name=?");
    info.Bind(1, table).Bind(2, column);
    return info.Step() && info.Integer(0) > 0;
}

int64_t TServiceDatabase::LastInsertRowID() const {
    return sqlite3_last_insert_rowid(m_Handle);
}

int TServiceDatabase::Changes() const {
    return sqlite3_changes(m_Handle);
}

void TServiceDatabase::Fail(std::string_view context) const {
    throw ServiceDatabaseException(std::string(context) + " failed: " + sqlite3_errmsg(m_Handle));
}

// ---- Transactions ----------------------------------------------------------------------------

TServiceTransaction::TServiceTransaction(TServiceDatabase& database) : m_Database(database) {
    m_Database.Exec("BEGIN IMMEDIATE");
}

TServiceTransaction::~TServiceTransaction() {
    if (!m_Done)
        sqlite3_exec(m_Database.Handle(), "ROLLBACK", nullptr, nullptr, nullptr);
}

void TServiceTransaction::Commit() {
    m_Database.Exec("COMMIT");
    m_Done = true;
}
