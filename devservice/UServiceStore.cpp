#include "devservice/UServiceStore.h"

#include <sodium.h>

#include "base/LStrings.h"
#include "core/UTessivarMailRobots.h"
#include "devservice/URequestMessages.h"
#include "devservice/UServiceDatabase.h"
#include "devservice/UServiceLimits.h"
#include "devservice/UServiceMail.h"
#include "devservice/UWebSite.h"

namespace {

const char* const AuthenticatedStatus = "Authenticated";

std::string Hex(const unsigned char* bytes, size_t size) {
    std::string text(size * 2 + 1, '\0');
    sodium_bin2hex(text.data(), text.size(), bytes, size);
    text.pop_back();
    return text;
}

bool IsToken(std::string_view token) {
    if (token.size() != 64)
        return false;
    for (const char c : token)
        if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f')))
            return false;
    return true;
}

TServiceAccount ReadAccount(TServiceStatement& statement) {
    TServiceAccount account;
    account.ID = statement.Integer(0);
    account.Username = statement.Text(1);
    account.PasswordHash = statement.Text(2);
    account.EmailAddress = statement.Text(3);
    account.Status = statement.Text(4);
    account.DataVersion = statement.Integer(5);
    account.AddressConfirmed = statement.Integer(6) != 0;
    return account;
}

int64_t CurrentDataVersion(TServiceDatabase& database, int64_t accountID) {
    TServiceStatement select(database, "SELECT DataVersion FROM Accounts WHERE ID=?");
    select.Bind(1, accountID);
    return select.Step() ? select.Integer(0) : 0;
}

// ---- Storing what the program sent --------------------------------------------------------------

// Each returns true when the stored data changed or differs from what the program sent, so that
// the record goes back to the program with the new data version.

bool StoreSettings(TServiceDatabase& database, int64_t accountID, const TAccountSettings& settings, int64_t version) {
    TServiceStatement update(database, "UPDATE Accounts SET Signature=?, BlockedWords=?, AdultWords=?, "
                                       "UnlockPassword=?, LockAccess=?, SettingsVersion=? WHERE ID=? AND NOT "
                                       "(Signature=? AND BlockedWords=? AND AdultWords=? AND UnlockPassword=? AND "
                                       "LockAccess=? AND SettingsVersion>0)");
    update.Bind(1, settings.Signature).Bind(2, settings.BlockedWords).Bind(3, settings.AdultWords);
    update.Bind(4, settings.UnlockPassword).Bind(5, int64_t{settings.LockAccess}).Bind(6, version).Bind(7, accountID);
    update.Bind(8, settings.Signature).Bind(9, settings.BlockedWords).Bind(10, settings.AdultWords);
    update.Bind(11, settings.UnlockPassword).Bind(12, int64_t{settings.LockAccess});
    update.Execute();
    return database.Changes() > 0;
}

bool StoreDomainName(TServiceDatabase& database, int64_t accountID, const TDomainNameStatus& domain, int64_t version) {
    TServiceStatement upsert(database,
                             "INSERT INTO DomainNames (AccountID, DomainName, ApprovalStatus, Notes, Deleted, Version) "
                             "VALUES (?, ?, ?, ?, ?, ?) ON CONFLICT (AccountID, DomainName) DO UPDATE SET "
                             "ApprovalStatus=excluded.ApprovalStatus, Notes=excluded.Notes, Deleted=excluded.Deleted, "
                             "Version=excluded.Version WHERE NOT (ApprovalStatus=excluded.ApprovalStatus AND "
                             "Notes=excluded.Notes AND Deleted=excluded.Deleted)");
    upsert.Bind(1, accountID).Bind(2, domain.DomainName).Bind(3, domain.ApprovalStatus).Bind(4, domain.Notes);
    upsert.Bind(5, int64_t{domain.Deleted}).Bind(6, version);
    upsert.Execute();
    return database.Changes() > 0;
}

// Authentication happens here, at the service: a sender it authenticated stays Authenticated
// whatever status a program that has not heard of it yet sends, and goes back with the answer.
bool StoreEmailAddress(TServiceDatabase& database, int64_t accountID, const TEmailAddressStatus& sender,
                       int64_t version) {
    TServiceStatement select(database,
                             "SELECT AuthenticationStatus FROM EmailAddresses WHERE AccountID=? AND EmailAddress=?");
    select.Bind(1, accountID).Bind(2, sender.EmailAddress);
    const bool keepAuthenticated = select.Step() && select.Text(0) == AuthenticatedStatus;
    const std::string authentication = keepAuthenticated ? AuthenticatedStatus : sender.AuthenticationStatus;
    TServiceStatement upsert(
        database, "INSERT INTO EmailAddresses (AccountID, EmailAddress, DisplayName, ApprovalStatus, "
                  "AuthenticationStatus, Notes, Deleted, Version) VALUES (?, ?, ?, ?, ?, ?, ?, ?) "
                  "ON CONFLICT (AccountID, EmailAddress) DO UPDATE SET DisplayName=excluded.DisplayName, "
                  "ApprovalStatus=excluded.ApprovalStatus, AuthenticationStatus=excluded.AuthenticationStatus, "
                  "Notes=excluded.Notes, Deleted=excluded.Deleted, Version=excluded.Version WHERE NOT "
                  "(DisplayName=excluded.DisplayName AND ApprovalStatus=excluded.ApprovalStatus AND "
                  "AuthenticationStatus=excluded.AuthenticationStatus AND Notes=excluded.Notes AND "
                  "Deleted=excluded.Deleted)");
    upsert.Bind(1, accountID).Bind(2, sender.EmailAddress).Bind(3, sender.DisplayName).Bind(4, sender.ApprovalStatus);
    upsert.Bind(5, authentication).Bind(6, sender.Notes).Bind(7, int64_t{sender.Deleted}).Bind(8, version);
    upsert.Execute();
    bool changed = database.Changes() > 0;
    if (!changed && authentication != sender.AuthenticationStatus) {
        TServiceStatement bump(database, "UPDATE EmailAddresses SET Version=? WHERE AccountID=? AND EmailAddress=?");
        bump.Bind(1, version).Bind(2, accountID).Bind(3, sender.EmailAddress);
        bump.Execute();
        changed = true;
    }
    return changed;
}

// A challenge for the sender of one queued message, unless the sender is not a mailbox, is
// authenticated, approved or blocked already, or was challenged within the interval. The sender's
// record is created Pending when the program did not send one.
std::optional<TChallenge> ChooseChallenge(TServiceDatabase& database, const TServiceAccount& account,
                                          const TAuthorizationRequest& request, int64_t version, int64_t now,
                                          bool& changed) {
    if (!IsMailbox(request.FromEmailAddress) || IsNeverChallenged(database, account.ID, request.FromEmailAddress))
        return std::nullopt;
    TServiceStatement select(database, "SELECT ApprovalStatus, AuthenticationStatus, LastChallenged FROM "
                                       "EmailAddresses WHERE AccountID=? AND EmailAddress=?");
    select.Bind(1, account.ID).Bind(2, request.FromEmailAddress);
    if (select.Step()) {
        if (select.Text(0) != "Undefined" || select.Text(1) == AuthenticatedStatus)
            return std::nullopt;
        const int64_t last = select.Integer(2);
        if (last > 0 && now - last < ChallengeIntervalSeconds)
            return std::nullopt;
    } else {
        TServiceStatement insert(database, "INSERT INTO EmailAddresses (AccountID, EmailAddress, DisplayName, "
                                           "ApprovalStatus, AuthenticationStatus, Notes, Deleted, Version) "
                                           "VALUES (?, ?, ?, 'Undefined', 'Pending', '', 0, ?)");
        insert.Bind(1, account.ID).Bind(2, request.FromEmailAddress).Bind(3, request.FromDisplayName).Bind(4, version);
        insert.Execute();
        changed = true;
    }
    TChallenge challenge{account.ID, NewToken(), account.EmailAddress, request, NewRequestMessageId()};
    RecordRequestMessage(database, challenge.MessageId, account.ID, request.FromEmailAddress, now);
    TServiceStatement mark(database, "UPDATE EmailAddresses SET LastChallenged=? WHERE AccountID=? AND EmailAddress=?");
    mark.Bind(1, now).Bind(2, account.ID).Bind(3, request.FromEmailAddress);
    mark.Execute();
    TServiceStatement insert(database, "INSERT INTO Challenges (TokenHash, AccountID, EmailAddress, DisplayName, "
                                       "Subject, Received, Created) VALUES (?, ?, ?, ?, ?, ?, ?)");
    insert.Bind(1, TokenHash(challenge.Token)).Bind(2, account.ID).Bind(3, request.FromEmailAddress);
    insert.Bind(4, request.FromDisplayName).Bind(5, request.Subject).Bind(6, request.Received).Bind(7, now);
    insert.Execute();
    return challenge;
}

// A sender the program imported from the user's address book is noticed once per account: the
// first time the account sends it so, the notice is queued (Sent=0) until the account may send.
void QueueImportNotice(TServiceDatabase& database, const TServiceAccount& account, const TEmailAddressStatus& sender) {
    if (sender.AuthenticationStatus != "Imported" || sender.Deleted || !IsMailbox(sender.EmailAddress) ||
        IsRobotMailbox(sender.EmailAddress))
        return;
    TServiceStatement insert(database, "INSERT INTO ImportNotices (AccountID, EmailAddress, Sent) VALUES (?, ?, 0) "
                                       "ON CONFLICT DO NOTHING");
    insert.Bind(1, account.ID).Bind(2, sender.EmailAddress);
    insert.Execute();
}

// The sender of a queued message waits here until the account may send and the daily caps allow;
// one entry per sender, the first message named.
void QueueChallenge(TServiceDatabase& database, int64_t accountID, const TAuthorizationRequest& request, int64_t now) {
    if (!IsMailbox(request.FromEmailAddress))
        return;
    TServiceStatement count(database, "SELECT COUNT(*) FROM WaitingChallenges WHERE AccountID=?");
    count.Bind(1, accountID);
    if (count.Step() && count.Integer(0) >= MaxWaitingChallengesPerAccount)
        return;
    TServiceStatement insert(database,
                             "INSERT INTO WaitingChallenges (AccountID, EmailAddress, DisplayName, ToEmailAddress, "
                             "ToDisplayName, Subject, Received, Queued) VALUES (?, ?, ?, ?, ?, ?, ?, ?) "
                             "ON CONFLICT DO NOTHING");
    insert.Bind(1, accountID).Bind(2, request.FromEmailAddress).Bind(3, request.FromDisplayName);
    insert.Bind(4, request.ToEmailAddress).Bind(5, request.ToDisplayName).Bind(6, request.Subject);
    insert.Bind(7, request.Received).Bind(8, now);
    insert.Execute();
}

// An account sends mail only in good standing and once its owner confirmed its address.
bool AccountCanSend(TServiceDatabase& database, int64_t accountID) {
    TServiceStatement select(database, "SELECT Status, AddressConfirmed FROM Accounts WHERE ID=?");
    select.Bind(1, accountID);
    if (!select.Step())
        return false;
    TServiceAccount account;
    account.Status = select.Text(0);
    return account.IsActive() && select.Integer(1) != 0;
}

int64_t SentWithinADay(TServiceDatabase& database, const char* sql, const std::string& key, int64_t now,
                       std::optional<int64_t> accountID = std::nullopt) {
    TServiceStatement select(database, sql);
    select.Bind(1, key).Bind(2, now - SecondsPerDay);
    if (accountID)
        select.Bind(3, *accountID);
    return select.Step() ? select.Integer(0) : 0;
}

bool RecipientMayReceive(TServiceDatabase& database, const std::string& recipient, int64_t now) {
    return SentWithinADay(database, "SELECT COUNT(*) FROM SentMail WHERE Recipient=? AND Sent>?", recipient, now) <
           MaxMailsPerRecipientPerDay;
}

int64_t AccountSentToday(TServiceDatabase& database, int64_t accountID, const char* kind, int64_t now) {
    return SentWithinADay(database, "SELECT COUNT(*) FROM SentMail WHERE Kind=? AND Sent>? AND AccountID=?", kind,
                          now, accountID);
}

void RecordSent(TServiceDatabase& database, int64_t accountID, const std::string& recipient, const char* kind,
                int64_t now) {
    TServiceStatement insert(database, "INSERT INTO SentMail (AccountID, Recipient, Kind, Sent) VALUES (?, ?, ?, ?)");
    insert.Bind(1, accountID).Bind(2, recipient).Bind(3, kind).Bind(4, now);
    insert.Execute();
}

const char* const ChallengeKind = "Challenge";
const char* const ImportNoticeKind = "ImportNotice";
const char* const ConfirmationKind = "Confirmation";

// Takes what waits for an account that may send, within the daily caps: import notices first,
// then challenges in the order they were queued. What the caps hold back waits for a later
// synchronisation; a sender who no longer needs a challenge is dropped.
void ReleaseWaitingMail(TServiceDatabase& database, const TServiceAccount& account, int64_t version, int64_t now,
                        bool& changed, TSyncAnswer& answer) {
    if (!AccountCanSend(database, account.ID))
        return;
    // Read first, then changed: a table is not written while a statement walks it.
    std::vector<std::pair<std::string, std::string>> notices;
    TServiceStatement selectNotices(database, "SELECT i.EmailAddress, COALESCE(e.DisplayName, '') FROM ImportNotices "
                                              "i LEFT JOIN EmailAddresses e ON e.AccountID=i.AccountID AND "
                                              "e.EmailAddress=i.EmailAddress WHERE i.AccountID=? AND i.Sent=0 "
                                              "ORDER BY i.rowid");
    selectNotices.Bind(1, account.ID);
    while (selectNotices.Step())
        notices.emplace_back(selectNotices.Text(0), selectNotices.Text(1));
    int64_t noticesSent = AccountSentToday(database, account.ID, ImportNoticeKind, now);
    for (const auto& [recipient, displayName] : notices) {
        if (noticesSent >= MaxImportNoticesPerAccountPerDay)
            break;
        if (!RecipientMayReceive(database, recipient, now))
            continue;
        TServiceStatement sent(database, "UPDATE ImportNotices SET Sent=? WHERE AccountID=? AND EmailAddress=?");
        sent.Bind(1, now).Bind(2, account.ID).Bind(3, recipient);
        sent.Execute();
        RecordSent(database, account.ID, recipient, ImportNoticeKind, now);
        answer.ImportNotices.push_back({account.ID, account.EmailAddress, recipient, displayName});
        ++noticesSent;
    }

    std::vector<TAuthorizationRequest> waiting;
    TServiceStatement selectWaiting(database, "SELECT EmailAddress, DisplayName, ToEmailAddress, ToDisplayName, "
                                              "Subject, Received FROM WaitingChallenges WHERE AccountID=? "
                                              "ORDER BY Queued, rowid");
    selectWaiting.Bind(1, account.ID);
    while (selectWaiting.Step())
        waiting.push_back({selectWaiting.Text(0), selectWaiting.Text(1), selectWaiting.Text(2), selectWaiting.Text(3),
                           selectWaiting.Text(4), selectWaiting.Text(5)});
    int64_t challengesSent = AccountSentToday(database, account.ID, ChallengeKind, now);
    for (const TAuthorizationRequest& request : waiting) {
        if (challengesSent >= MaxChallengesPerAccountPerDay)
            break;
        if (!RecipientMayReceive(database, request.FromEmailAddress, now))
            continue;
        TServiceStatement remove(database, "DELETE FROM WaitingChallenges WHERE AccountID=? AND EmailAddress=?");
        remove.Bind(1, account.ID).Bind(2, request.FromEmailAddress);
        remove.Execute();
        if (auto chosen = ChooseChallenge(database, account, request, version, now, changed)) {
            RecordSent(database, account.ID, request.FromEmailAddress, ChallengeKind, now);
            answer.Challenges.push_back(std::move(*chosen));
            ++challengesSent;
        }
    }
    TServiceStatement prune(database, "DELETE FROM SentMail WHERE Sent<=?");
    prune.Bind(1, now - 2 * SecondsPerDay);
    prune.Execute();
}

int Count(TServiceDatabase& database, const char* sql, int64_t accountID, const char* status) {
    TServiceStatement select(database, sql);
    select.Bind(1, accountID).Bind(2, status);
    return select.Step() ? static_cast<int>(select.Integer(0)) : 0;
}

void CollectChanges(TServiceDatabase& database, int64_t accountID, int64_t since, TSyncAnswer& answer) {
    TServiceStatement settings(database, "SELECT Signature, BlockedWords, AdultWords, UnlockPassword, LockAccess "
                                         "FROM Accounts WHERE ID=? AND SettingsVersion>?");
    settings.Bind(1, accountID).Bind(2, since);
    if (settings.Step())
        answer.Settings = TAccountSettings{settings.Text(0), settings.Text(1), settings.Text(2), settings.Text(3),
                                           settings.Integer(4) != 0};
    TServiceStatement domains(database, "SELECT DomainName, ApprovalStatus, Notes, Deleted FROM DomainNames "
                                        "WHERE AccountID=? AND Version>? ORDER BY Version, rowid");
    domains.Bind(1, accountID).Bind(2, since);
    while (domains.Step())
        answer.DomainNames.push_back({domains.Text(0), domains.Text(1), domains.Text(2), domains.Integer(3) != 0});
    TServiceStatement senders(database, "SELECT EmailAddress, DisplayName, ApprovalStatus, AuthenticationStatus, "
                                        "Notes, Deleted FROM EmailAddresses WHERE AccountID=? AND Version>? "
                                        "ORDER BY Version, rowid");
    senders.Bind(1, accountID).Bind(2, since);
    while (senders.Step())
        answer.EmailAddresses.push_back({senders.Text(0), senders.Text(1), senders.Text(2), senders.Text(3),
                                         senders.Text(4), senders.Integer(5) != 0});
}

} // namespace

std::string NewToken() {
    unsigned char bytes[32];
    randombytes_buf(bytes, sizeof bytes);
    return Hex(bytes, sizeof bytes);
}

std::string TokenHash(std::string_view token) {
    if (!IsToken(token))
        return {};
    unsigned char hash[crypto_generichash_BYTES];
    crypto_generichash(hash, sizeof hash, reinterpret_cast<const unsigned char*>(token.data()), token.size(), nullptr,
                       0);
    return Hex(hash, sizeof hash);
}

// ---- The store ---------------------------------------------------------------------------------

TServiceStore::TServiceStore(const std::string& fileName) : m_Database(std::make_unique<TServiceDatabase>(fileName)) {}

TServiceStore::~TServiceStore() = default;

std::optional<TServiceAccount> TServiceStore::FindAccount(std::string_view username) {
    std::lock_guard lock(m_Lock);
    TServiceStatement select(*m_Database, "SELECT ID, Username, PasswordHash, EmailAddress, Status, DataVersion, "
                                          "AddressConfirmed FROM Accounts WHERE Username=?");
    select.Bind(1, username);
    if (!select.Step())
        return std::nullopt;
    return ReadAccount(select);
}

bool TServiceStore::CreateAccount(const std::string& username, const std::string& passwordHash,
                                  const std::string& emailAddress, const std::string& advertiserID, int64_t now) {
    std::lock_guard lock(m_Lock);
    TServiceStatement insert(*m_Database, "INSERT INTO Accounts (Username, PasswordHash, EmailAddress, AdvertiserID, "
                                          "Status, Created) VALUES (?, ?, ?, ?, ?, ?) ON CONFLICT DO NOTHING");
    insert.Bind(1, username).Bind(2, passwordHash).Bind(3, emailAddress).Bind(4, advertiserID);
    insert.Bind(5, ActiveAccountStatus).Bind(6, now);
    insert.Execute();
    return m_Database->Changes() > 0;
}

void TServiceStore::SetPasswordHash(int64_t accountID, const std::string& passwordHash) {
    std::lock_guard lock(m_Lock);
    TServiceStatement update(*m_Database, "UPDATE Accounts SET PasswordHash=? WHERE ID=?");
    update.Bind(1, passwordHash).Bind(2, accountID);
    update.Execute();
}

void TServiceStore::SetAccountStatus(int64_t accountID, const std::string& status) {
    std::lock_guard lock(m_Lock);
    TServiceStatement update(*m_Database, "UPDATE Accounts SET Status=? WHERE ID=?");
    update.Bind(1, status).Bind(2, accountID);
    update.Execute();
}

TSyncAnswer TServiceStore::Synchronize(const TServiceAccount& account, const TSyncUpload& upload, int64_t clientVersion,
                                       int64_t now, bool challenge) {
    std::lock_guard lock(m_Lock);
    TServiceTransaction transaction(*m_Database);
    int64_t version = CurrentDataVersion(*m_Database, account.ID);
    const int64_t next = version + 1;
    bool changed = false;
    if (upload.Settings)
        changed |= StoreSettings(*m_Database, account.ID, *upload.Settings, next);
    for (const TDomainNameStatus& domain : upload.DomainNames)
        changed |= StoreDomainName(*m_Database, account.ID, domain, next);
    for (const TEmailAddressStatus& sender : upload.EmailAddresses)
        changed |= StoreEmailAddress(*m_Database, account.ID, sender, next);

    // Nothing the program queued is lost while the account may not send: it waits here.
    TSyncAnswer answer;
    for (const TEmailAddressStatus& sender : upload.EmailAddresses)
        QueueImportNotice(*m_Database, account, sender);
    // The account's own address is never asked to confirm: the service's own mail to it (the
    // confirmation link) would come back as a request to the owner.
    for (const TAuthorizationRequest& request : upload.Authorizations)
        if (!SameText(request.FromEmailAddress, account.EmailAddress))
            QueueChallenge(*m_Database, account.ID, request, now);
    if (challenge)
        ReleaseWaitingMail(*m_Database, account, next, now, changed, answer);
    if (changed) {
        TServiceStatement update(*m_Database, "UPDATE Accounts SET DataVersion=? WHERE ID=?");
        update.Bind(1, next).Bind(2, account.ID);
        update.Execute();
        version = next;
    }
    answer.DataVersion = version;
    answer.AccountStatus = account.Status;
    CollectChanges(*m_Database, account.ID, clientVersion < 0 || clientVersion > version ? 0 : clientVersion, answer);
    transaction.Commit();
    return answer;
}

// The sender waits again, so that the next synchronisation tries anew without the program's help.
void TServiceStore::WithdrawChallenge(const TChallenge& challenge) {
    std::lock_guard lock(m_Lock);
    TServiceTransaction transaction(*m_Database);
    TServiceStatement remove(*m_Database, "DELETE FROM Challenges WHERE TokenHash=?");
    remove.Bind(1, TokenHash(challenge.Token));
    remove.Execute();
    ForgetRequestMessage(*m_Database, challenge.MessageId);
    TServiceStatement reset(*m_Database,
                            "UPDATE EmailAddresses SET LastChallenged=0 WHERE AccountID=? AND EmailAddress=?");
    reset.Bind(1, challenge.AccountID).Bind(2, challenge.Request.FromEmailAddress);
    reset.Execute();
    QueueChallenge(*m_Database, challenge.AccountID, challenge.Request, 0);
    transaction.Commit();
}

void TServiceStore::WithdrawImportNotice(const TImportNotice& notice) {
    std::lock_guard lock(m_Lock);
    TServiceStatement unsent(*m_Database, "UPDATE ImportNotices SET Sent=0 WHERE AccountID=? AND EmailAddress=?");
    unsent.Bind(1, notice.AccountID).Bind(2, notice.SenderEmailAddress);
    unsent.Execute();
}

// ---- Address confirmation ---------------------------------------------------------------------

std::optional<TAddressConfirmation> TServiceStore::StartAddressConfirmation(int64_t accountID, int64_t now,
                                                                            bool force) {
    std::lock_guard lock(m_Lock);
    TServiceTransaction transaction(*m_Database);
    TServiceStatement select(*m_Database,
                             "SELECT EmailAddress, AddressConfirmed, ConfirmationSent FROM Accounts WHERE ID=?");
    select.Bind(1, accountID);
    if (!select.Step() || select.Integer(1) != 0)
        return std::nullopt;
    const std::string address = select.Text(0);
    const int64_t lastSent = select.Integer(2);
    if (!force && lastSent > 0 && now - lastSent < ConfirmationResendSeconds)
        return std::nullopt;
    if (!RecipientMayReceive(*m_Database, address, now))
        return std::nullopt;
    TAddressConfirmation confirmation{accountID, address, NewToken()};
    TServiceStatement update(*m_Database,
                             "UPDATE Accounts SET ConfirmationTokenHash=?, ConfirmationSent=? WHERE ID=?");
    update.Bind(1, TokenHash(confirmation.Token)).Bind(2, now).Bind(3, accountID);
    update.Execute();
    RecordSent(*m_Database, accountID, address, ConfirmationKind, now);
    transaction.Commit();
    return confirmation;
}

void TServiceStore::WithdrawAddressConfirmation(const TAddressConfirmation& confirmation) {
    std::lock_guard lock(m_Lock);
    TServiceStatement reset(*m_Database, "UPDATE Accounts SET ConfirmationSent=0 WHERE ID=? AND "
                                         "ConfirmationTokenHash=?");
    reset.Bind(1, confirmation.AccountID).Bind(2, TokenHash(confirmation.Token));
    reset.Execute();
}

TConfirmationView TServiceStore::LookUpConfirmation(std::string_view tokenHash, int64_t now) {
    TConfirmationView view;
    if (tokenHash.empty())
        return view;
    TServiceStatement select(*m_Database, "SELECT ID, Username, EmailAddress, ConfirmationSent FROM Accounts WHERE "
                                          "ConfirmationTokenHash=? AND AddressConfirmed=0");
    select.Bind(1, tokenHash);
    if (!select.Step())
        return view;
    view.AccountID = select.Integer(0);
    view.Username = select.Text(1);
    view.EmailAddress = select.Text(2);
    view.State =
        now - select.Integer(3) >= ConfirmationLifetimeSeconds ? TTokenState::Expired : TTokenState::Valid;
    return view;
}

TConfirmationView TServiceStore::FindAddressConfirmation(std::string_view token, int64_t now) {
    std::lock_guard lock(m_Lock);
    return LookUpConfirmation(TokenHash(token), now);
}

TConfirmationView TServiceStore::ConfirmAddress(std::string_view token, int64_t now) {
    std::lock_guard lock(m_Lock);
    TServiceTransaction transaction(*m_Database);
    TConfirmationView view = LookUpConfirmation(TokenHash(token), now);
    if (view.State != TTokenState::Valid)
        return view;
    TServiceStatement confirm(*m_Database,
                              "UPDATE Accounts SET AddressConfirmed=1, ConfirmationTokenHash='' WHERE ID=?");
    confirm.Bind(1, view.AccountID);
    confirm.Execute();
    ReleaseAfterConfirmation(view, now);
    transaction.Commit();
    return view;
}

bool TServiceStore::ConfirmAddressOf(std::string_view username, TConfirmationView& view) {
    std::lock_guard lock(m_Lock);
    TServiceTransaction transaction(*m_Database);
    TServiceStatement select(*m_Database, "SELECT ID, Username, EmailAddress FROM Accounts WHERE Username=?");
    select.Bind(1, username);
    if (!select.Step())
        return false;
    view.AccountID = select.Integer(0);
    view.Username = select.Text(1);
    view.EmailAddress = select.Text(2);
    view.State = TTokenState::Valid;
    TServiceStatement confirm(*m_Database,
                              "UPDATE Accounts SET AddressConfirmed=1, ConfirmationTokenHash='' WHERE ID=?");
    confirm.Bind(1, view.AccountID);
    confirm.Execute();
    transaction.Commit();
    return true;
}

// What waited for the confirmation goes out now; senders newly recorded reach the program with a
// new data version.
void TServiceStore::ReleaseAfterConfirmation(TConfirmationView& view, int64_t now) {
    TServiceAccount account;
    account.ID = view.AccountID;
    account.EmailAddress = view.EmailAddress;
    const int64_t next = CurrentDataVersion(*m_Database, account.ID) + 1;
    bool changed = false;
    ReleaseWaitingMail(*m_Database, account, next, now, changed, view.Released);
    if (changed) {
        TServiceStatement update(*m_Database, "UPDATE Accounts SET DataVersion=? WHERE ID=?");
        update.Bind(1, next).Bind(2, account.ID);
        update.Execute();
    }
}

TAccountView TServiceStore::AccountView(const TServiceAccount& account) {
    std::lock_guard lock(m_Lock);
    TAccountView view;
    view.EmailAddress = account.EmailAddress;
    view.Status = account.Status;
    const char* const senders =
        "SELECT COUNT(*) FROM EmailAddresses WHERE AccountID=? AND ApprovalStatus=? AND Deleted=0";
    const char* const domains = "SELECT COUNT(*) FROM DomainNames WHERE AccountID=? AND ApprovalStatus=? AND Deleted=0";
    view.ApprovedSenders = Count(*m_Database, senders, account.ID, "Approved");
    view.BlockedSenders = Count(*m_Database, senders, account.ID, "Blocked");
    view.ApprovedDomainNames = Count(*m_Database, domains, account.ID, "Approved");
    view.BlockedDomainNames = Count(*m_Database, domains, account.ID, "Blocked");
    TServiceStatement settings(*m_Database, "SELECT BlockedWords, AdultWords, LockAccess FROM Accounts WHERE ID=?");
    settings.Bind(1, account.ID);
    if (settings.Step()) {
        view.HasBlockedWords = !settings.Text(0).empty();
        view.HasAdultWords = !settings.Text(1).empty();
        view.LockAccess = settings.Integer(2) != 0;
    }
    return view;
}

TChallengeView TServiceStore::LookUp(std::string_view tokenHash, int64_t now) {
    TChallengeView view;
    if (tokenHash.empty())
        return view;
    TServiceStatement select(*m_Database, "SELECT a.EmailAddress, c.EmailAddress, c.DisplayName, c.Subject, "
                                          "c.Received, c.Created, c.Used FROM Challenges c JOIN Accounts a "
                                          "ON a.ID=c.AccountID WHERE c.TokenHash=?");
    select.Bind(1, tokenHash);
    if (!select.Step())
        return view;
    view.AccountEmailAddress = select.Text(0);
    view.SenderEmailAddress = select.Text(1);
    view.SenderDisplayName = select.Text(2);
    view.Subject = select.Text(3);
    view.Received = select.Text(4);
    if (select.Integer(6) != 0)
        view.State = TTokenState::Used;
    else if (now - select.Integer(5) >= TokenLifetimeSeconds)
        view.State = TTokenState::Expired;
    else
        view.State = TTokenState::Valid;
    return view;
}

TChallengeView TServiceStore::FindChallenge(std::string_view token, int64_t now) {
    std::lock_guard lock(m_Lock);
    return LookUp(TokenHash(token), now);
}

TChallengeView TServiceStore::Authenticate(std::string_view token, int64_t now) {
    std::lock_guard lock(m_Lock);
    TServiceTransaction transaction(*m_Database);
    const std::string hash = TokenHash(token);
    TChallengeView view = LookUp(hash, now);
    if (view.State != TTokenState::Valid)
        return view;
    TServiceStatement owner(*m_Database, "SELECT AccountID FROM Challenges WHERE TokenHash=?");
    owner.Bind(1, hash);
    owner.Step();
    const int64_t accountID = owner.Integer(0);
    const int64_t version = CurrentDataVersion(*m_Database, accountID) + 1;
    TServiceStatement upsert(*m_Database,
                             "INSERT INTO EmailAddresses (AccountID, EmailAddress, DisplayName, ApprovalStatus, "
                             "AuthenticationStatus, Notes, Deleted, Version) VALUES (?, ?, ?, 'Undefined', "
                             "'Authenticated', '', 0, ?) ON CONFLICT (AccountID, EmailAddress) DO UPDATE SET "
                             "AuthenticationStatus='Authenticated', Version=excluded.Version");
    upsert.Bind(1, accountID).Bind(2, view.SenderEmailAddress).Bind(3, view.SenderDisplayName).Bind(4, version);
    upsert.Execute();
    TServiceStatement spend(*m_Database, "UPDATE Challenges SET Used=1 WHERE AccountID=? AND EmailAddress=?");
    spend.Bind(1, accountID).Bind(2, view.SenderEmailAddress);
    spend.Execute();
    TServiceStatement bump(*m_Database, "UPDATE Accounts SET DataVersion=? WHERE ID=?");
    bump.Bind(1, version).Bind(2, accountID);
    bump.Execute();
    transaction.Commit();
    return view;
}
