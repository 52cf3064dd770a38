// Start-up of the model: cleaning the database and loading every record into memory.

#include "base/LDates.h"
#include "core/USQLite.h"
#include "core/UTessivarAccount.h"
#include "core/UTessivarBusinessLogic.h"
#include "core/UTessivarDomainName.h"
#include "core/UTessivarEmail.h"
#include "core/UTessivarEmailAddress.h"

#include <charconv>
#include <cstdint>

namespace {
// Rows per query while loading a large table: only one slice is held as text at a time.
constexpr int SliceRows = 4096;

// Column positions of a result, looked up once per slice instead of once per cell.
class TColumns {
public:
    explicit TColumns(const TSQLiteResultSet& result) : m_Result(result) {}
    unsigned operator[](const char* name) const { return static_cast<unsigned>(m_Result.FieldIndex(name, true)); }

private:
    const TSQLiteResultSet& m_Result;
};

const std::string& Text(const TSQLiteResultSet& result, unsigned column) {
    return result.Value(result.Cursor(), column);
}

// Hands every row of the table to the handler, a slice at a time, in ID order: the order of a plain
// scan of the table.
template <class THandler> void ReadTable(TSQLite& database, const std::string& table, THandler&& handleSlice) {
    std::string after;
    for (;;) {
        TSQLiteResultSet slice;
        const int rows = database.Query(
            "SELECT * FROM " + table + after + " ORDER BY ID LIMIT " + std::to_string(SliceRows), &slice);
        if (rows < 1)
            return;
        const std::string& lastID = slice.Value(static_cast<unsigned>(rows - 1), TColumns(slice)["ID"]);
        int64_t last = 0;
        const auto [end, error] = std::from_chars(lastID.data(), lastID.data() + lastID.size(), last);
        if (error != std::errc() || end != lastID.data() + lastID.size())
            throw TTessivarBusinessLogicException("Invalid ID \"" + lastID + "\" in table " + table + ".");
        handleSlice(slice);
        if (rows < SliceRows)
            return;
        after = " WHERE ID > " + std::to_string(last);
    }
}

// The stored date-time text as local time: what TSQLiteResultSet::AsDateTime gives, without asking
// for the zone again for every row when the text carries the local standard offset.
TDateTime StoredDateTime(const std::string& text, int32_t localOffset) {
    if (text.empty())
        return 0;
    const TZDateTime value = TextToDateTime(text);
    return value.Offset == localOffset ? value.Value : LocalDateTime(value);
}
} // namespace

void TTessivarBusinessLogic::Startup() {
    CheckThread();
    TUpdateScope<TTessivarBusinessLogic> scope(*this);
    CreateEmailUIDLColumn();
    Cleanup();
    Load();
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
}

void TTessivarBusinessLogic::LoadDomainNames() {
    ReadTable(*m_Database, "DomainNames", [this](TSQLiteResultSet& result) {
        const TColumns columns(result);
        const unsigned approvalStatus = columns["ApprovalStatus"], id = columns["ID"], deleted = columns["Deleted"],
                       domainName = columns["DomainName"], notes = columns["Notes"], modified = columns["Modified"];
        for (; !result.Eof(); result.Next()) {
            auto record = std::make_unique<TTessivarDomainName>(*this);
            record->m_ApprovalStatus = CodeToApprovalStatus(Text(result, approvalStatus));
            record->m_ID = result.AsInteger(id);
            record->m_Deleted = result.AsBoolean(deleted);
            record->m_DomainName = Text(result, domainName);
            record->m_Notes = Text(result, notes);
            record->m_Modified = result.AsBoolean(modified);
            AppendDomainName(std::move(record));
        }
    });
}

void TTessivarBusinessLogic::LoadEmailAddresses() {
    ReadTable(*m_Database, "EmailAddresses", [this](TSQLiteResultSet& result) {
        const TColumns columns(result);
        const unsigned approvalStatus = columns["ApprovalStatus"],
                       authenticationStatus = columns["AuthenticationStatus"], deleted = columns["Deleted"],
                       displayName = columns["DisplayName"], domainNameID = columns["DomainNameID"], id = columns["ID"],
                       notes = columns["Notes"], modified = columns["Modified"], username = columns["Username"];
        for (; !result.Eof(); result.Next()) {
            auto record = std::make_unique<TTessivarEmailAddress>(*this);
            record->m_ApprovalStatus = CodeToApprovalStatus(Text(result, approvalStatus));
            record->m_AuthenticationStatus = CodeToAuthenticationStatus(Text(result, authenticationStatus));
            record->m_Deleted = result.AsBoolean(deleted);
            record->m_DisplayName = Text(result, displayName);
            record->m_DomainName = &FindDomainNameByID(result.AsInteger(domainNameID));
            record->m_ID = result.AsInteger(id);
            record->m_Notes = Text(result, notes);
            record->m_Modified = result.AsBoolean(modified);
            record->m_Username = Text(result, username);
            AppendEmailAddress(std::move(record));
        }
    });
}

void TTessivarBusinessLogic::LoadEmails() {
    const int32_t localOffset = LocalStandardOffset();
    ReadTable(*m_Database, "Emails", [this, localOffset](TSQLiteResultSet& result) {
        const TColumns columns(result);
        const unsigned id = columns["ID"], accountID = columns["AccountID"], adultBlocked = columns["AdultBlocked"],
                       approvalStatus = columns["ApprovalStatus"], deleted = columns["Deleted"],
                       fromEmailAddressID = columns["FromEmailAddressID"], fromDisplayName = columns["FromDisplayName"],
                       messageID = columns["MessageID"], received = columns["Received"], subject = columns["Subject"],
                       wordBlocked = columns["WordBlocked"];
        // Missing in a database that only the start-up adds it to (a tool that loads without it).
        const int uidl = result.FieldIndex("UIDL");
        for (; !result.Eof(); result.Next()) {
            auto record = std::make_unique<TTessivarEmail>(*this);
            record->m_ID = result.AsInteger(id);
            record->m_Account = FindAccountByID(result.AsInteger(accountID));
            record->m_AdultBlocked = result.AsBoolean(adultBlocked);
            record->m_ApprovalStatus = CodeToApprovalStatus(Text(result, approvalStatus));
            record->m_Deleted = result.AsBoolean(deleted);
            record->m_FromEmailAddress = &FindEmailAddressByID(result.AsInteger(fromEmailAddressID));
            record->m_FromDisplayName = Text(result, fromDisplayName);
            record->m_MessageID = Text(result, messageID);
            if (uidl >= 0)
                record->m_UIDL = Text(result, static_cast<unsigned>(uidl));
            record->m_Received = StoredDateTime(Text(result, received), localOffset);
            record->m_Subject = Text(result, subject);
            record->m_WordBlocked = result.AsBoolean(wordBlocked);
            AppendEmail(std::move(record));
        }
    });
}
