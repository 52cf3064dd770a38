#include "core/UTessivarBusinessLogic.h"

#include "base/LStrings.h"
#include "base/UDebug.h"
#include "base/UFileUtils.h"
#include "clients/UTessivarClientDriver.h"
#include "core/USQLite.h"
#include "core/UTessivarAccount.h"
#include "core/UTessivarDeferredRows.h"
#include "core/UTessivarDomainName.h"
#include "core/UTessivarEmail.h"
#include "core/UTessivarEmailAddress.h"
#include "core/UTessivarIMAPMessages.h"
#include "core/UTessivarLogItem.h"
#include "core/UTessivarSchema.h"
#include "service/UTessivarServer.h"

#include <algorithm>
#include <exception>

namespace {
constexpr size_t MaximumLogItems = 200;
} // namespace

TTessivarBusinessLogic::TTessivarBusinessLogic(IThreadedCallTarget& ownerWindow)
    : m_OwnerThread(std::this_thread::get_id()), m_OwnerWindow(ownerWindow), m_Directory(ProgramDirectory()),
      m_Database(std::make_unique<TSQLite>(m_Directory + "Tessivar.db")),
      m_RootUpdate("TTessivarBusinessLogic", [this](TUpdateBuffer&) { RootUpdated(); }),
      m_MailClients(std::make_unique<TMailClients>()) {
    m_Database->CreateIfMissing = true;
    m_Database->OnCreate = CreateTessivarSchema;
    m_Database->AutoOpen = true;
    m_Server = std::make_unique<TTessivarServer>(*this, ChosenServiceHost(UseLocalServices()), ServiceNamespace);
    // What a mail client driver tells the user (an account left as it is, a mail program to restart).
    m_MailClients->OnLogItem = [this](const std::string& details, int kind) { AddLogItem(details, kind); };
    ConnectThreadedCalls();
}

// The accounts go before the emails: destroying an account stops its local server and with it the
// connections whose sessions still refer to emails.
TTessivarBusinessLogic::~TTessivarBusinessLogic() {
    DisconnectThreadedCalls();
    m_AdultWords.clear();
    m_BlockedWords.clear();
    m_Server.reset();
    ClearAccounts();
    m_Emails.clear();
    m_DetachedEmails.clear();
    ClearEmailAddresses();
    ClearDomainNames();
    m_LogItems.clear();
    m_MailClients.reset();
}

void TTessivarBusinessLogic::CheckThread() const {
    if (std::this_thread::get_id() != m_OwnerThread)
        throw TTessivarBusinessLogicInvalidThreadException(
            "Business Logic called from a different thread than that which created it.");
}

void TTessivarBusinessLogic::BeginUpdate() {
    CheckThread();
    if (!m_RootUpdate.IsUpdating()) {
        Debug("Starting a root business logic update.");
        m_UpdateStart = Now();
    }
    m_RootUpdate.BeginUpdate();
}

void TTessivarBusinessLogic::EndUpdate() {
    CheckThread();
    const bool outermost = m_RootUpdate.Count() == 1;
    // Traced also when the change handler fails: the bracket is closed either way.
    const auto traceElapsed = [&] {
        if (outermost && DebugMode())
            Debug("Ended a root business logic update with a total elapsed time of " +
                  FormatDateTime("HH:NN:SS.ZZZ", Now() - m_UpdateStart) + ".");
    };
    try {
        m_RootUpdate.EndUpdate();
    } catch (...) {
        traceElapsed();
        throw;
    }
    traceElapsed();
}

bool TTessivarBusinessLogic::IsUpdating() const {
    return m_RootUpdate.IsUpdating();
}

void TTessivarBusinessLogic::RootUpdated() {
    CheckThread();
    // A change may put held IMAP mail somewhere else (an approved sender, a deleted email).
    if (m_IMAPMessages)
        m_IMAPMessages->ModelChanged();
    if (OnChange)
        OnChange(*this);
}

TTessivarIMAPMessages& TTessivarBusinessLogic::IMAPMessages() {
    CheckThread();
    if (!m_IMAPMessages)
        m_IMAPMessages = std::make_unique<TTessivarIMAPMessages>(*this);
    return *m_IMAPMessages;
}

// Without the cleanup: another run of the program may be storing mail in the same directory.
void TTessivarBusinessLogic::Load() {
    Load(nullptr);
}

// `findings` (when given) receives the emails whose rows have no UIDL yet, and the rows the start-up
// cleanup removes instead of loading them.
void TTessivarBusinessLogic::Load(TLoadFindings* findings) {
    CheckThread();
    TUpdateScope<TTessivarBusinessLogic> scope(*this);
    LoadConfiguration();
    LoadAccounts();
    LoadMailClientAccounts();
    LoadDomainNames();
    LoadEmailAddresses();
    LoadEmails(findings);
}

// Every account is unprotected even when one fails; the local servers serve the session releases of
// their connections while they stop. Then the workers' calls are refused before any record goes: a
// mailbox checker still running (the accounts and their checkers go last) must not have its message
// stored against emptied lists, where its sender would be created a second time. Such a checker's
// message stays on the real server for the next start. The first failure passes on at the end.
void TTessivarBusinessLogic::Shutdown() {
    CheckThread();
    std::exception_ptr failure;
    for (const auto& account : m_Accounts) {
        try {
            account->Unprotect();
        } catch (...) {
            if (!failure)
                failure = std::current_exception();
        }
    }
    m_ShutDown = true;
    DisconnectThreadedCalls();
    // No pass can store anything more; what the last ones stored becomes durable before the end.
    try {
        FlushStore();
    } catch (const std::exception& error) {
        DebugException("TTessivarBusinessLogic", error);
    }
    ClearEmails();
    ClearEmailAddresses();
    ClearDomainNames();
    ClearAccounts();
    if (failure)
        std::rethrow_exception(failure);
}

// ---- Records -------------------------------------------------------------------------------------

int TTessivarBusinessLogic::AccountCount() const {
    CheckThread();
    return static_cast<int>(m_Accounts.size());
}

TTessivarAccount& TTessivarBusinessLogic::Accounts(int index) const {
    CheckThread();
    return *m_Accounts.at(index);
}

int TTessivarBusinessLogic::DomainNameCount() const {
    CheckThread();
    return static_cast<int>(m_DomainNames.size());
}

TTessivarDomainName& TTessivarBusinessLogic::DomainNames(int index) const {
    CheckThread();
    return *m_DomainNames.at(index);
}

int TTessivarBusinessLogic::EmailAddressCount() const {
    CheckThread();
    return static_cast<int>(m_EmailAddresses.size());
}

TTessivarEmailAddress& TTessivarBusinessLogic::EmailAddresses(int index) const {
    CheckThread();
    return *m_EmailAddresses.at(index);
}

int TTessivarBusinessLogic::EmailCount() const {
    CheckThread();
    return static_cast<int>(m_Emails.size());
}

TTessivarEmail& TTessivarBusinessLogic::Emails(int index) const {
    CheckThread();
    return *m_Emails.at(index);
}

int TTessivarBusinessLogic::LogItemCount() const {
    CheckThread();
    return static_cast<int>(m_LogItems.size());
}

TTessivarLogItem& TTessivarBusinessLogic::LogItems(int index) const {
    CheckThread();
    return *m_LogItems.at(index);
}

namespace {
// Lookup keys of the name indexes: the texts with A-Z folded, as SameText compares them.
std::string AddressKey(std::string_view user, std::string_view domain) {
    std::string key = LowerCase(user);
    key += '@';
    key += LowerCase(domain);
    return key;
}

std::string AddressKey(const TTessivarEmailAddress& sender) {
    const TTessivarDomainName* domain = sender.DomainName();
    return AddressKey(sender.Username(), domain ? std::string_view(domain->DomainName()) : PlaceholderDomainName);
}
} // namespace

TTessivarDomainName* TTessivarBusinessLogic::FindDomainName(const std::string& name) const {
    CheckThread();
    const auto found = m_DomainNamesByName.find(LowerCase(name));
    return found == m_DomainNamesByName.end() ? nullptr : found->second;
}

TTessivarEmailAddress* TTessivarBusinessLogic::FindEmailAddressByParts(std::string_view user,
                                                                       std::string_view domain) const {
    const auto found = m_EmailAddressesByAddress.find(AddressKey(user, domain));
    return found == m_EmailAddressesByAddress.end() ? nullptr : found->second;
}

TTessivarAccount* TTessivarBusinessLogic::FindAccountByID(int32_t id) const {
    CheckThread();
    for (const auto& account : m_Accounts)
        if (account->ID() == id)
            return account.get();
    return nullptr;
}

// The indexes hold the first record of each ID in list order, which is what a scan of the list
// would find.
TTessivarDomainName& TTessivarBusinessLogic::FindDomainNameByID(int32_t id) const {
    CheckThread();
    const auto found = m_DomainNamesByID.find(id);
    if (found == m_DomainNamesByID.end())
        throw TTessivarBusinessLogicException("No domain name exists with an ID of " + std::to_string(id) + ".");
    return *found->second;
}

TTessivarEmailAddress& TTessivarBusinessLogic::FindEmailAddressByID(int32_t id) const {
    CheckThread();
    const auto found = m_EmailAddressesByID.find(id);
    if (found == m_EmailAddressesByID.end())
        throw TTessivarBusinessLogicException("No email address exists with an ID of " + std::to_string(id) + ".");
    return *found->second;
}

TTessivarAccount& TTessivarBusinessLogic::AppendAccount(std::unique_ptr<TTessivarAccount> account) {
    m_Accounts.push_back(std::move(account));
    return *m_Accounts.back();
}

TTessivarDomainName& TTessivarBusinessLogic::AppendDomainName(std::unique_ptr<TTessivarDomainName> domainName) {
    m_DomainNamesByID.try_emplace(domainName->ID(), domainName.get());
    m_DomainNamesByName.try_emplace(LowerCase(domainName->DomainName()), domainName.get());
    m_DomainNames.push_back(std::move(domainName));
    return *m_DomainNames.back();
}

TTessivarEmailAddress& TTessivarBusinessLogic::AppendEmailAddress(std::unique_ptr<TTessivarEmailAddress> emailAddress) {
    m_EmailAddressesByID.try_emplace(emailAddress->ID(), emailAddress.get());
    m_EmailAddressesByAddress.try_emplace(AddressKey(*emailAddress), emailAddress.get());
    m_EmailAddresses.push_back(std::move(emailAddress));
    return *m_EmailAddresses.back();
}

// An index entry goes only when it names the record removed: an earlier record of the same ID or
// name keeps its own.
template <class TMap, class TKey, class TRecord> static void Unindex(TMap& index, const TKey& key, TRecord* record) {
    const auto indexed = index.find(key);
    if (indexed != index.end() && indexed->second == record)
        index.erase(indexed);
}

void TTessivarBusinessLogic::CreateRow(TTessivarApprovalRecord& record) {
    if (m_DeferredRows)
        m_DeferredRows->AddNew(record);
    else
        record.InsertRow();
}

void TTessivarBusinessLogic::RemoveLastDomainName() noexcept {
    TTessivarDomainName* last = m_DomainNames.back().get();
    if (m_DeferredRows)
        m_DeferredRows->Forget(*last);
    Unindex(m_DomainNamesByID, last->ID(), last);
    Unindex(m_DomainNamesByName, LowerCase(last->DomainName()), last);
    m_DomainNames.pop_back();
}

void TTessivarBusinessLogic::RemoveLastEmailAddress() noexcept {
    TTessivarEmailAddress* last = m_EmailAddresses.back().get();
    if (m_DeferredRows)
        m_DeferredRows->Forget(*last);
    Unindex(m_EmailAddressesByID, last->ID(), last);
    Unindex(m_EmailAddressesByAddress, AddressKey(*last), last);
    m_EmailAddresses.pop_back();
}

// The lists keep their order; the indexes are built again as the appends built them, so that a
// record of the same name that follows a dropped one is found by that name.
void TTessivarBusinessLogic::DropRecords(const std::unordered_set<int32_t>& senderIDs,
                                         const std::unordered_set<int32_t>& domainNameIDs) {
    if (!senderIDs.empty()) {
        ++m_RecordsReleased;
        std::vector<std::unique_ptr<TTessivarEmailAddress>> senders;
        senders.swap(m_EmailAddresses);
        m_EmailAddressesByID.clear();
        m_EmailAddressesByAddress.clear();
        for (auto& sender : senders)
            if (!senderIDs.contains(sender->ID()))
                AppendEmailAddress(std::move(sender));
    }
    if (!domainNameIDs.empty()) {
        ++m_RecordsReleased;
        std::vector<std::unique_ptr<TTessivarDomainName>> domainNames;
        domainNames.swap(m_DomainNames);
        m_DomainNamesByID.clear();
        m_DomainNamesByName.clear();
        for (auto& domainName : domainNames)
            if (!domainNameIDs.contains(domainName->ID()))
                AppendDomainName(std::move(domainName));
    }
}

TTessivarEmail& TTessivarBusinessLogic::AppendEmail(std::unique_ptr<TTessivarEmail> email) {
    m_Emails.push_back(std::move(email));
    return *m_Emails.back();
}

// An email offered by a live session stays in memory, outside the model, until that session is
// released: the connection thread still reads its file. Its references are cut because the records
// they point to may go away with it.
void TTessivarBusinessLogic::ClearEmails() {
    ++m_RecordsReleased;
    for (auto& email : m_Emails) {
        if (email->InSession()) {
            email->m_Detached = true;
            email->m_Account = nullptr;
            email->m_FromEmailAddress = nullptr;
            m_DetachedEmails.push_back(std::move(email));
        }
    }
    m_Emails.clear();
}

void TTessivarBusinessLogic::PurgeDetachedEmails() {
    CheckThread();
    std::erase_if(m_DetachedEmails, [](const std::unique_ptr<TTessivarEmail>& email) { return !email->InSession(); });
}

void TTessivarBusinessLogic::ClearEmailAddresses() {
    ++m_RecordsReleased;
    m_EmailAddressesByID.clear();
    m_EmailAddressesByAddress.clear();
    m_EmailAddresses.clear();
}

void TTessivarBusinessLogic::ClearDomainNames() {
    ++m_RecordsReleased;
    m_DomainNamesByID.clear();
    m_DomainNamesByName.clear();
    m_DomainNames.clear();
}

void TTessivarBusinessLogic::ClearAccounts() {
    m_Accounts.clear();
}

TTessivarAccount& TTessivarBusinessLogic::AddAccount(const std::string& emailAddress, const std::string& username,
                                                     const std::string& remoteServer, int32_t remotePort) {
    CheckThread();
    for (const auto& account : m_Accounts)
        if (!account->IsIMAP() && SameText(account->EmailAddress(), emailAddress) && SameText(account->Username(), username) &&
            SameText(account->RemoteServer(), remoteServer) && account->RemotePort() == remotePort)
            return *account;

    auto account = std::make_unique<TTessivarAccount>(*this);
    {
        // The row is written when this bracket closes, with the ID found or given below.
        TUpdateScope<TTessivarRecord> scope(*account);
        account->m_EmailAddress = emailAddress;
        account->m_RemoteServer = remoteServer;
        account->m_RemotePort = remotePort;
        account->SetLogin(username, {});
        account->m_Enabled = false;
        const std::string values =
            emailAddress + ", " + remoteServer + ":" + std::to_string(remotePort) + ", " + username;
        try {
            account->m_ID = m_Database->SingletonQuery(
                "SELECT ID FROM Accounts WHERE EmailAddress=" + QuotedSQL(emailAddress) +
                " AND RemoteServer=" + QuotedSQL(remoteServer) + " AND RemotePort=" + std::to_string(remotePort) +
                " AND Username=" + QuotedSQL(username) +
                (m_IMAPAccountsTable ? " AND ID NOT IN (SELECT AccountID FROM IMAPAccounts)" : ""));
            Debug("Found Account: " + values);
        } catch (const SQLiteSingletonException&) {
            Debug("Inserting Account: " + values);
            m_Database->Insert("Accounts", {"EmailAddress", "RemoteServer", "RemotePort", "Username", "Enabled"},
                               {emailAddress, remoteServer, remotePort, username, false});
            account->m_ID = static_cast<int32_t>(m_Database->LastInsertRowID());
        }
    }
    return AppendAccount(std::move(account));
}

TTessivarLogItem& TTessivarBusinessLogic::AddLogItem(const std::string& details, int32_t kind) {
    CheckThread();
    TUpdateScope<TTessivarBusinessLogic> scope(*this);
    m_LogItems.push_back(std::make_unique<TTessivarLogItem>(*this, kind, details));
    TTessivarLogItem& item = *m_LogItems.back();
    if (m_LogItems.size() > MaximumLogItems) {
        m_LogItems.erase(m_LogItems.begin(), m_LogItems.end() - MaximumLogItems);
        ++m_RecordsReleased;
    }
    if (OnLogItem)
        OnLogItem(item);
    return item;
}

std::string TTessivarBusinessLogic::StorePath() const {
    std::string path = m_Directory + "store/";
    MakeDirectoryPath(path);
    return path;
}

// ---- Accounts ------------------------------------------------------------------------------------

void TTessivarBusinessLogic::LoadMailClientAccounts() {
    CheckThread();
    Debug("LOADING MAIL ACCOUNTS:");
    // Discovery frees what an earlier one found; the links to those accounts go first.
    for (const auto& account : m_Accounts)
        account->m_MailClientAccounts.clear();
    m_MailClients->Discover();
    for (int i = 0; i < m_MailClients->AccountCount(); ++i) {
        TMailClientAccount& clientAccount = m_MailClients->Accounts(i);
        const std::string clientName = clientAccount.Client ? clientAccount.Client->Name : std::string();
        Debug("Client: " + clientName + ", Account: " + clientAccount.AccountName);
        // Damaged settings (a NUL byte from a zero-filled block, say) must not stop the start: the
        // database refuses such a text, so the account is left out and the user told.
        const auto damaged = [](const std::string& text) { return text.find('\0') != std::string::npos; };
        if (damaged(clientAccount.EmailAddress) || damaged(clientAccount.UserName) ||
            damaged(clientAccount.RemoteServer)) {
            AddLogItem("An account of " + clientName + " is left out: its settings hold a NUL character (" +
                           ReplaceAll(clientAccount.KeyPath, std::string_view("\0", 1), "\\0") + ").",
                       1);
            continue;
        }
        AddAccount(clientAccount.EmailAddress, clientAccount.UserName, clientAccount.RemoteServer,
                   clientAccount.RemotePort)
            .AddMailClientAccount(clientAccount);
    }
}

void TTessivarBusinessLogic::StoreAccountEnabled(TTessivarAccount& account, bool value) {
    CheckThread();
    if (account.m_Enabled == value)
        return;
    TUpdateScope<TTessivarRecord> scope(account);
    account.m_Enabled = value;
}

void TTessivarBusinessLogic::ProtectAccounts() {
    CheckThread();
    for (const auto& account : m_Accounts)
        account->Protect();
}

void TTessivarBusinessLogic::UnprotectAccounts() {
    CheckThread();
    for (const auto& account : m_Accounts)
        account->Unprotect();
}

// ---- Configuration -------------------------------------------------------------------------------

std::vector<std::string> TTessivarBusinessLogic::SplitWords(const std::string& text) {
    std::vector<std::string> words;
    // Line breaks separate items as well as commas do.
    const std::string lines = ReplaceAll(ReplaceAll(text, ",", "\n"), "\r", "\n");
    for (const std::string& line : SplitText(lines, "\n")) {
        std::string word = Trim(line);
        if (!word.empty())
            words.push_back(std::move(word));
    }
    return words;
}

std::string TTessivarBusinessLogic::AdultWords() const {
    return JoinText(m_AdultWords, ", ");
}

std::string TTessivarBusinessLogic::BlockedWords() const {
    return JoinText(m_BlockedWords, ", ");
}

void TTessivarBusinessLogic::SetAdultWords(const std::string& text) {
    CheckThread();
    if (text == AdultWords())
        return;
    m_AdultWords = SplitWords(text);
    SaveConfiguration();
}

void TTessivarBusinessLogic::SetBlockedWords(const std::string& text) {
    CheckThread();
    if (text == BlockedWords())
        return;
    m_BlockedWords = SplitWords(text);
    SaveConfiguration();
}

void TTessivarBusinessLogic::SetUnlockPassword(const std::string& value) {
    CheckThread();
    if (value == m_UnlockPassword)
        return;
    m_UnlockPassword = value;
    SaveConfiguration();
}

void TTessivarBusinessLogic::SetSignature(const std::string& value) {
    CheckThread();
    if (value == m_Signature)
        return;
    m_Signature = value;
    SaveConfiguration();
}

void TTessivarBusinessLogic::SetLockAccess(bool value) {
    CheckThread();
    if (value == m_LockAccess)
        return;
    m_LockAccess = value;
    SaveConfiguration();
}

void TTessivarBusinessLogic::SaveConfiguration() {
    TUpdateScope<TTessivarBusinessLogic> scope(*this);
    m_Modified = true;
    m_SettingsSyncID = -1;
    m_Database->Update("Configuration",
                       {"Signature", "BlockedWords", "AdultWords", "UnlockPassword", "LockAccess", "Modified"}, "",
                       {m_Signature, BlockedWords(), AdultWords(), m_UnlockPassword, m_LockAccess, m_Modified});
    m_SynchronizationRequired = true;
}

void TTessivarBusinessLogic::SetUsername(const std::string& value) {
    if (value == m_Username)
        return;
    m_Username = value;
    m_Database->Update("Configuration", {"Username"}, "", {m_Username});
}

void TTessivarBusinessLogic::SetPassword(const std::string& value) {
    if (value == m_Password)
        return;
    m_Password = value;
    m_Database->Update("Configuration", {"Password"}, "", {m_Password});
}

bool TTessivarBusinessLogic::SetupRequired() const {
    return m_Username.empty() || m_Password.empty();
}

void TTessivarBusinessLogic::SetSynchronizationRequired(bool value) {
    CheckThread();
    m_SynchronizationRequired = value;
}
