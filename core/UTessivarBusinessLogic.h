#pragma once
// The model: the database, every record, the configuration, the activity log, the mail program
// accounts and the web service channel. Thread contract: only the thread that constructed it may
// call it; other threads get TTessivarBusinessLogicInvalidThreadException and change nothing.
// Exceptions, marked "any thread": StorePath, and the configuration getters, SetUsername,
// SetPassword and SetupRequired, which skip the check but are meant for the model's thread.
// Workers reach the model through threaded calls.

#include "base/LDates.h"
#include "base/UException.h"
#include "core/UIMAPSettings.h"
#include "core/UTessivarTypes.h"
#include "core/UUpdateBuffer.h"

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <thread>
#include <unordered_map>
#include <unordered_set>
#include <vector>

class IThreadedCallTarget;
class TMailClients;
class TThreadedCallData;
class TSQLite;
class TTessivarAccount;
class TTessivarApprovalRecord;
class TTessivarDeferredRows;
class TTessivarDomainName;
class TTessivarEmail;
class TTessivarEmailAddress;
class TTessivarIMAPMessages;
class TTessivarLogItem;
class TTessivarServer;
class TXMLNode;
class TTessivarServerRequest;

// The program's version, sent with every synchronisation.
extern const char* const SoftwareVersion;
// Where a user whose web account was closed is sent.
extern const char* const SupportAddress;

TESSIVAR_EXCEPTION(TTessivarBusinessLogicException, Exception);
TESSIVAR_EXCEPTION(TTessivarBusinessLogicInvalidThreadException, TTessivarBusinessLogicException);

class TTessivarBusinessLogic {
    friend class TTessivarDeferredRows;

public:
    using TChangeEvent = std::function<void(TTessivarBusinessLogic&)>;
    using TLogItemEvent = std::function<void(TTessivarLogItem&)>;

    // The calling thread becomes the model's thread; opens nothing. The owner window's threaded calls
    // are dispatched to this model until its destructor begins, so one model per target at a time.
    explicit TTessivarBusinessLogic(IThreadedCallTarget& ownerWindow);
    ~TTessivarBusinessLogic();
    TTessivarBusinessLogic(const TTessivarBusinessLogic&) = delete;
    TTessivarBusinessLogic& operator=(const TTessivarBusinessLogic&) = delete;

    // Called once per outermost bracket, when it closes.
    TChangeEvent OnChange;
    // Called with each new activity log item.
    TLogItemEvent OnLogItem;
    // Called when a synchronisation reports the web account terminated or suspended, with the
    // message for the user (title and text), after the rest of the answer was applied. The handler
    // shows it and ends the program.
    std::function<void(TAccountStatus status, const std::string& title, const std::string& text)> OnAccountClosed;
    // Called once per run when the service offers another version of the program, with its text;
    // the handler offers it to the user.
    std::function<void(const std::string& version)> OnNewVersion;
    // Called when the answer of a synchronisation that Synchronize queued has been handled: with true
    // when it was merged, with false when it failed (what it carried stays marked and queued).
    std::function<void(bool merged)> OnSynchronizationDone;

    // Life cycle and brackets.
    void CheckThread() const;
    void BeginUpdate();
    void EndUpdate();
    bool IsUpdating() const;
    // Cleans and loads the database, links the mail program accounts, protects the enabled accounts
    // and starts the first synchronisation when the web account is set up.
    void Startup();
    // What Startup loads, without the cleanup, the screening and the synchronisation: for tools that
    // read or change the configuration while the mail programs stay as they are.
    void Load();
    // Unprotects every account, stops running the workers' threaded calls (for good), and releases
    // the records; writes nothing. The first failure to unprotect an account passes on afterwards.
    void Shutdown();

    // Records, in load order.
    int AccountCount() const;
    TTessivarAccount& Accounts(int index) const;
    int DomainNameCount() const;
    TTessivarDomainName& DomainNames(int index) const;
    int EmailAddressCount() const;
    TTessivarEmailAddress& EmailAddresses(int index) const;
    int EmailCount() const;
    TTessivarEmail& Emails(int index) const;
    int LogItemCount() const;
    // Counts the times record objects were freed (emails, senders, domain names or log items let
    // go of): a holder of record references compares it to know whether they may still be used.
    uint64_t RecordsReleased() const { return m_RecordsReleased; }
    TTessivarLogItem& LogItems(int index) const;

    // First domain name equal to the name without regard to letter case, deleted ones included.
    TTessivarDomainName* FindDomainName(const std::string& name) const;
    // First sender whose address equals the address without regard to letter case, deleted ones
    // included; an address without "@" is the domain of a sender with an empty user name.
    TTessivarEmailAddress* FindEmailAddress(const std::string& address) const;
    TTessivarAccount* FindAccountByID(int32_t id) const;
    // Raise TTessivarBusinessLogicException when no record has the ID.
    TTessivarDomainName& FindDomainNameByID(int32_t id) const;
    TTessivarEmailAddress& FindEmailAddressByID(int32_t id) const;

    // Finds the account with these values (texts without regard to letter case) or creates it,
    // disabled.
    TTessivarAccount& AddAccount(const std::string& emailAddress, const std::string& username,
                                 const std::string& remoteServer, int32_t remotePort);
    // Finds the IMAP account with these values or creates it, disabled (UTessivarIMAPAccounts.cpp).
    // A POP3 account with the same address, server and user name is not reused.
    TTessivarAccount& AddIMAPAccount(const std::string& emailAddress, const std::string& username,
                                     const std::string& remoteServer, int32_t remotePort, TIMAPSecurity security);
    // Appends an activity log item (kind 0 information, 1 error); keeps the newest 200.
    TTessivarLogItem& AddLogItem(const std::string& details, int32_t kind);
    // The message store directory, created when missing. Any thread.
    std::string StorePath() const;

    // Classification (UTessivarClassification.cpp).
    // Finds the domain name (reviving a deleted one) or creates it with the status of its nearest
    // parent domain that has one.
    TTessivarDomainName& AddDomainName(const std::string& name);
    // Finds the sender (reviving a deleted one as Undefined and Pending) or creates it.
    TTessivarEmailAddress& AddEmailAddress(const std::string& address, const std::string& displayName);
    // Stores and classifies one message in one transaction. The rows and the message file are
    // complete whenever the program stops, and durable against a crash of the system after the next
    // FlushStore. A non-empty remoteID (the real server's unique id of the message) is remembered
    // for the account in the same transaction, and so is whatever `alsoStore` writes (it runs after
    // the email's row is saved, before the commit). On failure nothing of it stays, in the database,
    // the store or the lists, and it passes on. Never queued for authentication: a sender whose
    // domain name is approved (its mail is delivered), a robot mailbox, automatic or list mail; the
    // activity log says once per sender and run why a held message was not challenged.
    TTessivarEmail& InsertEmail(TTessivarAccount& account, const std::string& messageId,
                                const std::vector<std::string>& lines, TDateTime received, const std::string& subject,
                                const std::string& fromAddress, const std::string& fromDisplayName,
                                const std::string& toAddress, const std::string& toDisplayName,
                                const std::string& remoteID = {},
                                const std::function<void(const TTessivarEmail&)>& alsoStore = {});
    // Where the messages of the IMAP accounts are on their servers (core/UTessivarIMAPMessages.h);
    // its tables are created at the first call.
    TTessivarIMAPMessages& IMAPMessages();

    // Messages taken off the real servers (UTessivarRetrievedMessages.cpp). A real server removes
    // the messages deleted in a session only when the session ends with QUIT, so the server's id of
    // each stored message is remembered until that QUIT is confirmed: a pass that was cut short
    // never stores a message twice.
    // The account's remembered ids whose stored copy is sound. An id whose message file was lost
    // (a crash of the system before the flush) is forgotten, so that the message is stored again;
    // one whose email the user has meanwhile deleted counts as sound.
    std::vector<std::string> RetrievedMessageIDs(const TTessivarAccount& account);
    // After a confirmed QUIT: forgets the account's ids, except those in `keep` (still on the server).
    void ForgetRetrievedMessages(const TTessivarAccount& account, const std::vector<std::string>& keep);
    // Makes everything InsertEmail stored durable: the message files, then the store directory's
    // entries, then the database. Raises on failure; the files stay listed for the next flush.
    void FlushStore();
    // The hash of the last login the account's real server accepted (UTessivarAccountLogins.cpp;
    // see core/UAccountLoginHash.h); empty when none is kept. Remembering an empty hash forgets it.
    std::string AcceptedLoginHash(const TTessivarAccount& account);
    void RememberAcceptedLogin(const TTessivarAccount& account, const std::string& hash);
    // A self-authentication notice from this address arrived. Only a hint, since anybody can write
    // one: it synchronises at once, and only the service's answer authenticates the sender. While
    // such a synchronisation is under way, further notices ask for one more after it.
    void SelfAuthentication(const std::string& address);
    // Blocks every sender with this address: the service confirmed that our authentication request
    // to it came back undeliverable.
    void Undeliverable(const std::string& address);
    // A mail robot returned one of our authentication requests (to `address`, says the bounce) with
    // the request's message id. Only when the service confirms that this account sent a request
    // with that id is its recipient blocked (UTessivarRequestVerification.cpp); without an id,
    // nothing changes.
    void ReturnedAuthenticationRequest(const std::string& address, const std::string& requestMessageId);

    // Runs one threaded call (UThreadedCalls.cpp); raises TTessivarBusinessLogicException "Invalid
    // data in threaded call." for data of an unknown class.
    void DispatchThreadedCall(TThreadedCallData& data);

    // Accounts.
    void LoadMailClientAccounts();
    void ProtectAccounts();
    void UnprotectAccounts();

    // Configuration. Getters: any thread.
    std::string AdultWords() const;
    std::string BlockedWords() const;
    const std::vector<std::string>& AdultWordList() const { return m_AdultWords; }
    const std::vector<std::string>& BlockedWordList() const { return m_BlockedWords; }
    bool LockAccess() const { return m_LockAccess; }
    const std::string& UnlockPassword() const { return m_UnlockPassword; }
    const std::string& Signature() const { return m_Signature; }
    const std::string& Username() const { return m_Username; }
    const std::string& Password() const { return m_Password; }
    int32_t DataVersion() const { return m_DataVersion; }
    bool Modified() const { return m_Modified; }
    int32_t SettingsSyncID() const { return m_SettingsSyncID; }
    bool SynchronizationRequired() const { return m_SynchronizationRequired; }
    TAccountStatus AccountStatus() const { return m_AccountStatus; }
    bool NewVersionShown() const { return m_NewVersionShown; }
    // Word lists from text: items separated by ",", trimmed, empty ones dropped, order kept.
    void SetAdultWords(const std::string& text);
    void SetBlockedWords(const std::string& text);
    void SetUnlockPassword(const std::string& value);
    void SetSignature(const std::string& value);
    void SetLockAccess(bool value);
    // Marks the settings changed and writes them.
    void SaveConfiguration();
    // Write only their own column; no bracket, no synchronisation mark. Any thread.
    void SetUsername(const std::string& value);
    void SetPassword(const std::string& value);
    // No web account stored yet. Any thread.
    bool SetupRequired() const;
    void SetSynchronizationRequired(bool value);
    // Synchronisation (UTessivarSynchronization.cpp). Synchronize queues one "Synchronize" request
    // with the credentials, the local changes and the authorisation queue (without `forced`, a
    // request carrying none of those is not sent); nothing while SetupRequired.
    void Synchronize(bool forced);
    // The answer of a "Synchronize" request: merged into the model in one bracket and one database
    // transaction. A failure to store it leaves the model and the database as they were. True when
    // the answer was merged.
    bool ApplySynchronization(TTessivarServerRequest& request);
    // Asks the service whether the stored email, which calls itself an authentication request with
    // this message id, is one it sent to this account's address from the email's sender; approves
    // the email once when it is (UTessivarRequestVerification.cpp).
    void VerifyAuthenticationRequest(const TTessivarEmail& email, const std::string& messageId);
    // Stores the account's Enabled flag without protecting or unprotecting it: for tools that set
    // the program up while it is not screening.
    void StoreAccountEnabled(TTessivarAccount& account, bool value);

    // Maintenance.
    // Throws away all mail, senders and domain names; accounts and the authorization queue stay.
    void ResetData();

    // Owned parts, for the records and the later layers.
    TSQLite& Database() const { return *m_Database; }
    IThreadedCallTarget& OwnerWindow() const { return m_OwnerWindow; }
    TTessivarServer& Server() const { return *m_Server; }
    TMailClients& MailClients() const { return *m_MailClients; }
    // Frees the emails that left the model while a session still offered them, once none does.
    void PurgeDetachedEmails();
    // The batch of rows open on the model, or none (UTessivarDeferredRows.h).
    TTessivarDeferredRows* DeferredRows() const { return m_DeferredRows; }

private:
    // Threaded calls reach the model from the constructor's end to the destructor's start.
    void ConnectThreadedCalls();
    void DisconnectThreadedCalls() noexcept;
    // The sizes of the lists and the states of the records an InsertEmail may change, to put them
    // back when its transaction is rolled back (UTessivarClassification.cpp).
    struct TRecordsMark;
    TRecordsMark MarkRecords(const std::string& fromAddress) const;
    void RestoreRecords(const TRecordsMark& mark) noexcept;

    // Appending keeps the indexes in step; new records must be appended through these, and removed
    // (the last one of its list at a time, after a rollback) through the Remove functions.
    // The first sender of user@domain (A-Z folded); a sender without domain record is found by the
    // placeholder domain.
    TTessivarEmailAddress* FindEmailAddressByParts(std::string_view user, std::string_view domain) const;
    // Stores the row of a new domain name or sender and gives the record its ID; while a batch of
    // rows is open, the batch gives the ID and stores the row later.
    void CreateRow(TTessivarApprovalRecord& record);
    void RemoveLastDomainName() noexcept;
    void RemoveLastEmailAddress() noexcept;
    TTessivarAccount& AppendAccount(std::unique_ptr<TTessivarAccount> account);
    TTessivarDomainName& AppendDomainName(std::unique_ptr<TTessivarDomainName> domainName);
    TTessivarEmailAddress& AppendEmailAddress(std::unique_ptr<TTessivarEmailAddress> emailAddress);
    TTessivarEmail& AppendEmail(std::unique_ptr<TTessivarEmail> email);
    // Drops loaded senders and domain names (with nothing referring to them) by their IDs.
    void DropRecords(const std::unordered_set<int32_t>& senderIDs, const std::unordered_set<int32_t>& domainNameIDs);
    // Empties the lists; emails still in a session are kept apart until their session ends.
    void ClearEmails();
    void ClearEmailAddresses();
    void ClearDomainNames();
    void ClearAccounts();

    // Word list text: every "," separates items, which are trimmed; empty items are dropped.
    static std::vector<std::string> SplitWords(const std::string& text);
    void LoadConfiguration();
    void LoadAccounts();
    void LoadDomainNames();
    void LoadEmailAddresses();
    struct TLoadFindings;
    void LoadEmails(TLoadFindings* findings = nullptr);
    void Load(TLoadFindings* findings);
    void RootUpdated();
    // Steps of ApplySynchronization; the snapshot puts the records and the settings back after a
    // failed one.
    struct TSynchronizationSnapshot;
    TSynchronizationSnapshot TakeSnapshot() const;
    void MergeSynchronization(TTessivarServerRequest& request, TXMLNode& result);
    void ApplyAccountSettings(TTessivarServerRequest& request, TXMLNode& result);
    void RestoreSnapshot(const TSynchronizationSnapshot& snapshot) noexcept;
    // At start: removes the store's unfinished message files and makes it owner-only.
    void RestrictStore(const std::string& store);

    // Constant after construction.
    const std::thread::id m_OwnerThread;
    IThreadedCallTarget& m_OwnerWindow;
    const std::string m_Directory;

    // Owned; used on the model's thread only.
    std::unique_ptr<TSQLite> m_Database;
    TUpdateBuffer m_RootUpdate;
    TDateTime m_UpdateStart = 0;
    std::unique_ptr<TMailClients> m_MailClients;
    std::vector<std::unique_ptr<TTessivarAccount>> m_Accounts;
    std::vector<std::unique_ptr<TTessivarDomainName>> m_DomainNames;
    std::vector<std::unique_ptr<TTessivarEmailAddress>> m_EmailAddresses;
    std::vector<std::unique_ptr<TTessivarEmail>> m_Emails;
    std::vector<std::unique_ptr<TTessivarEmail>> m_DetachedEmails;
    std::vector<std::unique_ptr<TTessivarLogItem>> m_LogItems;
    uint64_t m_RecordsReleased = 0;
    std::unordered_map<int32_t, TTessivarDomainName*> m_DomainNamesByID;
    std::unordered_map<int32_t, TTessivarEmailAddress*> m_EmailAddressesByID;
    // The first record of each name, and of each address (user + "@" + domain), with A-Z folded.
    std::unordered_map<std::string, TTessivarDomainName*> m_DomainNamesByName;
    std::unordered_map<std::string, TTessivarEmailAddress*> m_EmailAddressesByAddress;
    std::unique_ptr<TTessivarServer> m_Server;
    TTessivarDeferredRows* m_DeferredRows = nullptr; // owned by whoever opened it

    // Configuration.
    std::vector<std::string> m_AdultWords;
    std::vector<std::string> m_BlockedWords;
    bool m_LockAccess = false;
    std::string m_UnlockPassword;
    std::string m_Signature;
    bool m_Modified = false;
    bool m_SynchronizationRequired = false;
    std::string m_Username;
    std::string m_Password;
    int32_t m_SettingsSyncID = 0;
    int32_t m_DataVersion = 0;
    bool m_NewVersionShown = false;
    TAccountStatus m_AccountStatus = TAccountStatus::Undefined;

    // Message files written since the last FlushStore.
    std::vector<std::string> m_UnflushedFiles;
    // The table of remembered server ids exists (it is created on first use).
    bool m_RetrievedMessagesTable = false;
    void CreateRetrievedMessagesTable();
    // Every email row has its local server id (UIDL); the column is added on first use.
    bool m_EmailUIDLColumn = false;
    void CreateEmailUIDLColumn();
    // An email row found without UIDL, with what deciding its id takes; `Email` is its loaded
    // record, if any, which then holds the message id (UTessivarEmailUIDL.cpp).
    struct TEmailWithoutUIDL {
        int32_t ID;
        std::string AccountID;
        std::string MessageID;
        TTessivarEmail* Email;
        std::string_view MessageIDText() const;
    };
    // An email row that the start-up cleanup removes instead of loading: deleted (and not waiting
    // for its IMAP message to reach the trash), or without sender.
    struct TRemovableEmail {
        int32_t ID;
        bool WithoutSender;
        std::string AccountID;
        std::string MessageID;
        std::string UIDL;
    };
    // What the start-up's load finds beside the records it loads.
    struct TLoadFindings {
        std::vector<TEmailWithoutUIDL> WithoutUIDL;
        std::vector<TRemovableEmail> Removable;
    };
    // How many rows hold each (AccountID, message id or UIDL) text.
    using TUIDLHolders = std::map<std::pair<std::string, std::string>, int>;
    void AddEmailUIDLColumn();
    // `removed` counts the ids of the rows the cleanup deleted, which the database no longer shows.
    void FillEmailUIDLs(const std::vector<TEmailWithoutUIDL>& emails, const TUIDLHolders& removed);
    // The start-up cleanup (UTessivarMaintenance.cpp): before the load, senders without domain name
    // go; the load finds the removable emails, which then go with their files (returning what the
    // UIDLs of the rows removed held); after that, the senders and domain names that nothing refers
    // to any more, found in memory.
    void RemoveDomainlessSenders();
    TUIDLHolders RemoveBrokenAndDeletedEmails(const std::vector<TRemovableEmail>& emails);
    void RemoveUnusedSendersAndDomainNames();
    // The table of login hashes exists (it is created on first use).
    bool m_IMAPAccountsTable = false;
    void CreateIMAPAccountsTable();
    // Marks the loaded accounts that are screened over IMAP.
    void LoadIMAPAccounts();
    bool m_AccountLoginsTable = false;
    void CreateAccountLoginsTable();
    // Made at the first use of IMAPMessages.
    std::unique_ptr<TTessivarIMAPMessages> m_IMAPMessages;
    // Shutdown has begun: threaded calls are no longer run.
    bool m_ShutDown = false;

    // Self-authentication notices: the request id of the synchronisation a notice started and not
    // yet answered (0: none), and whether another notice came meanwhile.
    int32_t m_LastSynchronizeID = 0;
    int32_t m_NoticeSynchronizeID = 0;
    bool m_NoticeSynchronizeAgain = false;
    void SynchronizeForNotices();
    void NoticeSynchronizationAnswered(int32_t requestID, bool merged);
    // Senders (address, A-Z folded) whose unchallenged mail the activity log explained in this run.
    std::unordered_set<std::string> m_UnchallengedExplained;
};
