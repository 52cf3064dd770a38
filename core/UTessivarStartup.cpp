// Start-up of the model: cleaning the database and loading every record into memory.

#include "core/USQLite.h"
#include "core/UTessivarAccount.h"
#include "core/UTessivarBusinessLogic.h"
#include "core/UTessivarDomainName.h"
#include "core/UTessivarEmail.h"
#include "core/UTessivarEmailAddress.h"

namespace {
// Column positions of a result, looked up once per query instead of once per cell.
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
} // namespace

void TTessivarBusinessLogic::Startup() {
    CheckThread();
    TUpdateScope<TTessivarBusinessLogic> scope(*this);
    Cleanup();
    LoadConfiguration();
    LoadAccounts();
    LoadMailClientAccounts();
    LoadDomainNames();
    LoadEmailAddresses();
    LoadEmails();
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
    TSQLiteResultSet result;
    if (m_Database->Query("SELECT * FROM DomainNames", &result) < 1)
        return;
    const TColumns columns(result);
    const unsigned approvalStatus = columns["ApprovalStatus"], id = columns["ID"], deleted = columns["Deleted"],
                   domainName = columns["DomainName"], notes = columns["Notes"], modified = columns["Modified"];
    m_DomainNames.reserve(m_DomainNames.size() + static_cast<size_t>(result.RowCount()));
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
}

void TTessivarBusinessLogic::LoadEmailAddresses() {
    TSQLiteResultSet result;
    if (m_Database->Query("SELECT * FROM EmailAddresses", &result) < 1)
        return;
    const TColumns columns(result);
    const unsigned approvalStatus = columns["ApprovalStatus"], authenticationStatus = columns["AuthenticationStatus"],
                   deleted = columns["Deleted"], displayName = columns["DisplayName"],
                   domainNameID = columns["DomainNameID"], id = columns["ID"], notes = columns["Notes"],
                   modified = columns["Modified"], username = columns["Username"];
    m_EmailAddresses.reserve(m_EmailAddresses.size() + static_cast<size_t>(result.RowCount()));
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
}

void TTessivarBusinessLogic::LoadEmails() {
    TSQLiteResultSet result;
    if (m_Database->Query("SELECT * FROM Emails", &result) < 1)
        return;
    const TColumns columns(result);
    const unsigned id = columns["ID"], accountID = columns["AccountID"], adultBlocked = columns["AdultBlocked"],
                   approvalStatus = columns["ApprovalStatus"], deleted = columns["Deleted"],
                   fromEmailAddressID = columns["FromEmailAddressID"], fromDisplayName = columns["FromDisplayName"],
                   messageID = columns["MessageID"], received = columns["Received"], subject = columns["Subject"],
                   wordBlocked = columns["WordBlocked"];
    m_Emails.reserve(m_Emails.size() + static_cast<size_t>(result.RowCount()));
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
        record->m_Received = result.AsDateTime(received);
        record->m_Subject = Text(result, subject);
        record->m_WordBlocked = result.AsBoolean(wordBlocked);
        AppendEmail(std::move(record));
    }
}
