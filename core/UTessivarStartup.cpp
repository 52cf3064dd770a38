// Start-up of the model: cleaning the database and loading every record into memory.

#include "base/LDates.h"
#include "core/USQLite.h"
#include "core/UTessivarAccount.h"
#include "core/UTessivarBusinessLogic.h"
#include "core/UTessivarDomainName.h"
#include "core/UTessivarEmail.h"
#include "core/UTessivarEmailAddress.h"

#include <cstdint>
#include <string_view>
#include <unordered_set>
#include <utility>
#include <vector>

namespace {
// Column positions of a result (a result set or a streamed row), looked up once instead of once per
// cell.
template <class TResult> class TColumns {
public:
    explicit TColumns(const TResult& result) : m_Result(result) {}
    unsigned operator[](const char* name) const { return static_cast<unsigned>(m_Result.FieldIndex(name, true)); }
    // -1 when the table has no such column.
    int Optional(const char* name) const { return m_Result.FieldIndex(name); }

private:
    const TResult& m_Result;
};

const std::string& Text(const TSQLiteResultSet& result, unsigned column) {
    return result.Value(result.Cursor(), column);
}

// Hands every row of the table to `handleRow` as the engine reads it, in the order of a plain scan
// of the table (ID order), after `findColumns` has looked up the column positions. Rows are not
// copied into a result first: a table of 100,000 emails is read with the memory of one row.
template <class TFindColumns, class THandleRow>
void ReadTable(TSQLite& database, const char* table, TFindColumns&& findColumns, THandleRow&& handleRow) {
    bool found = false;
    database.QueryRows(std::string("SELECT * FROM ") + table, [&](const TSQLiteRow& row) {
        if (!found) {
            findColumns(TColumns(row));
            found = true;
        }
        handleRow(row);
    });
}

// The stored date-time text as local time: what TSQLiteResultSet::AsDateTime gives, without asking
// for the zone again for every row when the text carries the local standard offset.
TDateTime StoredDateTime(std::string_view text, int32_t localOffset) {
    if (text.empty())
        return 0;
    const TZDateTime value = TextToDateTime(text);
    return value.Offset == localOffset ? value.Value : LocalDateTime(value);
}
} // namespace

void TTessivarBusinessLogic::Startup() {
    CheckThread();
    TUpdateScope<TTessivarBusinessLogic> scope(*this);
    // The load reads every email row anyway: it finds the rows without UIDL and the rows the cleanup
    // removes, and gives the cleanup the references it needs, instead of scans of their own.
    AddEmailUIDLColumn();
    AddLogItem("Cleanup started...", 0);
    RemoveDomainlessSenders();
    TLoadFindings findings;
    Load(&findings);
    const TUIDLHolders removed = RemoveBrokenAndDeletedEmails(findings.Removable);
    if (!findings.WithoutUIDL.empty())
        FillEmailUIDLs(findings.WithoutUIDL, removed);
    m_EmailUIDLColumn = true;
    RemoveUnusedSendersAndDomainNames();
    AddLogItem("Cleanup complete.", 0);
    ProtectAccounts();
    if (!SetupRequired())
        Synchronize(true);
}

// Loading assigns the values and writes nothing back.
void TTessivarBusinessLogic::LoadConfiguration() {
    TSQLiteResultSet result;
    if (m_Database->Query("SELECT * FROM Configuration", &result) < 1)
        return;
    m_AdultWords = SplitWords(result.AsString("AdultWords"));
    m_BlockedWords = SplitWords(result.AsString("BlockedWords"));
    m_LockAccess = result.AsBoolean("LockAccess");
    m_UnlockPassword = result.AsString("UnlockPassword");
    m_Signature = result.AsString("Signature");
    m_DataVersion = result.AsInteger("DataVersion");
    m_Modified = result.AsBoolean("Modified");
    m_Username = result.AsString("Username");
    m_Password = result.AsString("Password");
    m_SettingsSyncID = 0;
}

void TTessivarBusinessLogic::LoadAccounts() {
    TSQLiteResultSet result;
    if (m_Database->Query("SELECT * FROM Accounts", &result) < 1)
        return;
    const TColumns columns(result);
    const unsigned id = columns["ID"], emailAddress = columns["EmailAddress"], remoteServer = columns["RemoteServer"],
                   remotePort = columns["RemotePort"], username = columns["Username"], enabled = columns["Enabled"];
    for (; !result.Eof(); result.Next()) {
        auto account = std::make_unique<TTessivarAccount>(*this);
        account->m_ID = result.AsInteger(id);
        account->m_EmailAddress = Text(result, emailAddress);
        account->m_RemoteServer = Text(result, remoteServer);
        account->m_RemotePort = result.AsInteger(remotePort);
        account->SetLogin(Text(result, username), {});
        account->m_Enabled = result.AsBoolean(enabled);
        AppendAccount(std::move(account));
    }
    LoadIMAPAccounts();
}

void TTessivarBusinessLogic::LoadDomainNames() {
    unsigned approvalStatus = 0, id = 0, deleted = 0, domainName = 0, notes = 0, modified = 0;
    ReadTable(
        *m_Database, "DomainNames",
        [&](const TColumns<TSQLiteRow>& columns) {
            approvalStatus = columns["ApprovalStatus"], id = columns["ID"], deleted = columns["Deleted"],
            domainName = columns["DomainName"], notes = columns["Notes"], modified = columns["Modified"];
        },
        [&](const TSQLiteRow& row) {
            auto record = std::make_unique<TTessivarDomainName>(*this);
            record->m_ApprovalStatus = CodeToApprovalStatus(row.Text(approvalStatus));
            record->m_ID = row.AsInteger(id);
            record->m_Deleted = row.AsBoolean(deleted);
            record->m_DomainName = row.Text(domainName);
            record->m_Notes = row.Text(notes);
            record->m_Modified = row.AsBoolean(modified);
            AppendDomainName(std::move(record));
        });
}

void TTessivarBusinessLogic::LoadEmailAddresses() {
    unsigned approvalStatus = 0, authenticationStatus = 0, deleted = 0, displayName = 0, domainNameID = 0, id = 0,
             notes = 0, modified = 0, username = 0;
    ReadTable(
        *m_Database, "EmailAddresses",
        [&](const TColumns<TSQLiteRow>& columns) {
            approvalStatus = columns["ApprovalStatus"], authenticationStatus = columns["AuthenticationStatus"],
            deleted = columns["Deleted"], displayName = columns["DisplayName"], domainNameID = columns["DomainNameID"],
            id = columns["ID"], notes = columns["Notes"], modified = columns["Modified"],
            username = columns["Username"];
        },
        [&](const TSQLiteRow& row) {
            auto record = std::make_unique<TTessivarEmailAddress>(*this);
            record->m_ApprovalStatus = CodeToApprovalStatus(row.Text(approvalStatus));
            record->m_AuthenticationStatus = CodeToAuthenticationStatus(row.Text(authenticationStatus));
            record->m_Deleted = row.AsBoolean(deleted);
            record->m_DisplayName = row.Text(displayName);
            record->m_DomainName = &FindDomainNameByID(row.AsInteger(domainNameID));
            record->m_ID = row.AsInteger(id);
            record->m_Notes = row.Text(notes);
            record->m_Modified = row.AsBoolean(modified);
            record->m_Username = row.Text(username);
            AppendEmailAddress(std::move(record));
        });
}

void TTessivarBusinessLogic::LoadEmails(TLoadFindings* findings) {
    const int32_t localOffset = LocalStandardOffset();
    // A deleted email of an IMAP account stays until its message is in the server's trash.
    std::unordered_set<int32_t> awaitingTrash;
    if (findings && m_Database->Query("SELECT name FROM sqlite_master WHERE type='table' AND name='IMAPMessages'") > 0)
        m_Database->QueryRows("SELECT EmailID FROM IMAPMessages",
                              [&](const TSQLiteRow& row) { awaitingTrash.insert(row.AsInteger(0)); });
    unsigned id = 0, accountID = 0, adultBlocked = 0, approvalStatus = 0, deleted = 0, fromEmailAddressID = 0,
             fromDisplayName = 0, messageID = 0, received = 0, subject = 0, wordBlocked = 0;
    // Missing in a database that only the start-up adds it to (a tool that loads without it).
    int uidl = -1;
    const auto uidlText = [&uidl](const TSQLiteRow& row) {
        return uidl >= 0 ? row.Text(static_cast<unsigned>(uidl)) : std::string_view();
    };
    ReadTable(
        *m_Database, "Emails",
        [&](const TColumns<TSQLiteRow>& columns) {
            id = columns["ID"], accountID = columns["AccountID"], adultBlocked = columns["AdultBlocked"],
            approvalStatus = columns["ApprovalStatus"], deleted = columns["Deleted"],
            fromEmailAddressID = columns["FromEmailAddressID"], fromDisplayName = columns["FromDisplayName"],
            messageID = columns["MessageID"], received = columns["Received"], subject = columns["Subject"],
            wordBlocked = columns["WordBlocked"];
            uidl = columns.Optional("UIDL");
        },
        [&](const TSQLiteRow& row) {
            const int32_t rowID = row.AsInteger(id);
            // The senders are every row of their table, so a reference that no loaded sender has
            // leads nowhere (a NULL, a damaged text or a removed row).
            const auto sender = m_EmailAddressesByID.find(row.AsInteger(fromEmailAddressID));
            if (findings) {
                const bool withoutSender = row.Text(fromEmailAddressID).empty() || sender == m_EmailAddressesByID.end();
                if (withoutSender || (row.AsBoolean(deleted) && !awaitingTrash.contains(rowID))) {
                    findings->Removable.push_back({rowID, withoutSender, std::string(row.Text(accountID)),
                                                   std::string(row.Text(messageID)), std::string(uidlText(row))});
                    return;
                }
            }
            auto record = std::make_unique<TTessivarEmail>(*this);
            record->m_ID = rowID;
            record->m_Account = FindAccountByID(row.AsInteger(accountID));
            record->m_AdultBlocked = row.AsBoolean(adultBlocked);
            record->m_ApprovalStatus = CodeToApprovalStatus(row.Text(approvalStatus));
            record->m_Deleted = row.AsBoolean(deleted);
            record->m_FromEmailAddress = sender != m_EmailAddressesByID.end()
                                             ? sender->second
                                             : &FindEmailAddressByID(row.AsInteger(fromEmailAddressID));
            record->SetTexts(row.Text(fromDisplayName), row.Text(messageID), uidlText(row), row.Text(subject));
            record->m_Received = StoredDateTime(row.Text(received), localOffset);
            record->m_WordBlocked = row.AsBoolean(wordBlocked);
            if (findings && record->UIDL().empty())
                findings->WithoutUIDL.push_back({record->m_ID, std::string(row.Text(accountID)), {}, record.get()});
            AppendEmail(std::move(record));
        });
}
