// Synchronisation with the web service: one "Synchronize" request carries the credentials, the
// local changes and the queue of senders to challenge; its answer is merged into the model.
//
// The marks. Domain names and senders carry PendingSyncID, the settings SettingsSyncID and the
// authorisation rows their SyncID: 0 when nothing is pending, -1 when changed or queued since last
// sent, else the RequestID of the request that carried them last. An answer applies the server's
// values only to items whose mark is 0 or its own request, and acknowledges only what still bears
// its request's mark: whatever changed while the request was under way is kept and sent again.

#include "base/LStrings.h"
#include "base/UDebug.h"
#include "core/USQLite.h"
#include "core/USQLiteTransaction.h"
#include "core/UTessivarBusinessLogic.h"
#include "core/UTessivarDeferredRows.h"
#include "core/UTessivarDomainName.h"
#include "core/UTessivarEmailAddress.h"
#include "service/UTessivarServer.h"
#include "service/UXML.h"

#include <algorithm>

const char* const SoftwareVersion = "01.02.0000";
const char* const SupportAddress = "support@tessivar.com";

namespace {

// The version text of a service that has nothing to offer.
const char* const NoSoftwareVersion = "00.00.0000";

// The children of `parent` named `name`, in order; none when the parent is missing.
std::vector<TXMLNode*> Entries(const TXMLNode* parent, std::string_view name) {
    std::vector<TXMLNode*> entries;
    if (parent == nullptr)
        return entries;
    for (int i = 0; i < parent->Children().Count(); ++i)
        if (TXMLNode& child = parent->Children().Items(i); child.Name() == name)
            entries.push_back(&child);
    return entries;
}

bool HasChildren(const TXMLNode* node) {
    return node != nullptr && node->Children().Count() > 0;
}

// A status entry names a sender only by a whole address, user@domain: anything else would create a
// record that no mail can ever come from (or the one that every message without a sender shares).
bool IsWholeAddress(const std::string& address) {
    const size_t at = address.find('@');
    return at != std::string::npos && at > 0 && at + 1 < address.size();
}

// Moves the setup wizard's progress display, when the request has one.
class TProgress {
public:
    explicit TProgress(IRequestProgress* display) : m_Display(display) {}
    void Begin(int total) {
        m_Total = total;
        m_Done = 0;
        if (m_Display)
            m_Display->SetProgress(0, m_Total);
    }
    void Step() {
        m_Done = std::min(m_Done + 1, m_Total);
        if (m_Display)
            m_Display->SetProgress(m_Done, m_Total);
    }

private:
    IRequestProgress* const m_Display;
    int m_Total = 0;
    int m_Done = 0;
};

} // namespace

// ---- Building the request ----------------------------------------------------------------------

void TTessivarBusinessLogic::Synchronize(bool forced) {
    CheckThread();
    if (SetupRequired())
        return;
    m_SynchronizationRequired = false;
    std::unique_ptr<TTessivarServerRequest> request =
        m_Server->CreateRequest("Synchronize", [this](TTessivarServerRequest& done) {
            const bool merged = ApplySynchronization(done);
            if (OnSynchronizationDone)
                OnSynchronizationDone(merged);
        });
    const int32_t id = request->RequestID();
    TXMLNode& argument = request->ArgumentNode();
    argument.Child("Username").SetText(m_Username);
    argument.Child("Password").SetText(m_Password);
    argument.Child("SoftwareVersion").SetText(SoftwareVersion);
    argument.Child("ClientDataVersion").SetAsInteger(m_DataVersion);

    if (m_Modified) {
        TXMLNode& settings = argument.Child("AccountSettings");
        settings.Child("Signature").SetText(m_Signature);
        settings.Child("BlockedWords").SetText(BlockedWords());
        settings.Child("AdultWords").SetText(AdultWords());
        settings.Child("UnlockPassword").SetText(m_UnlockPassword);
        settings.Child("LockAccess").SetAsBoolean(m_LockAccess);
        m_SettingsSyncID = id;
    }

    TXMLNode* domainNames = nullptr;
    for (const auto& domainName : m_DomainNames) {
        if (!domainName->m_Modified)
            continue;
        domainName->m_PendingSyncID = id;
        if (domainNames == nullptr)
            domainNames = &argument.Child("DomainNameStatuses");
        TXMLNode& status = domainNames->Children().Add("DomainNameStatus");
        status.Child("DomainName").SetText(domainName->DomainName());
        status.Child("ApprovalStatus").SetText(ApprovalStatusText(domainName->ApprovalStatus()));
        status.Child("Notes").SetText(domainName->Notes());
        status.Child("Deleted").SetAsBoolean(domainName->Deleted());
    }

    TXMLNode* senders = nullptr;
    for (const auto& sender : m_EmailAddresses) {
        if (!sender->m_Modified)
            continue;
        sender->m_PendingSyncID = id;
        if (senders == nullptr)
            senders = &argument.Child("EmailAddressStatuses");
        TXMLNode& status = senders->Children().Add("EmailAddressStatus");
        status.Child("EmailAddress").SetText(sender->EmailAddress());
        status.Child("DisplayName").SetText(sender->DisplayName());
        status.Child("ApprovalStatus").SetText(ApprovalStatusText(sender->ApprovalStatus()));
        status.Child("AuthenticationStatus").SetText(AuthenticationStatusText(sender->AuthenticationStatus()));
        status.Child("Notes").SetText(sender->Notes());
        status.Child("Deleted").SetAsBoolean(sender->Deleted());
    }

    // Every queued row goes out with this request; rows queued from now on keep -1 and survive the
    // answer's delete.
    m_Database->Update("EmailAddressesRequiringAuthorization", {"SyncID"}, "", {id});
    TSQLiteResultSet rows;
    m_Database->Query("SELECT * FROM EmailAddressesRequiringAuthorization WHERE SyncID=" + std::to_string(id), &rows);
    TXMLNode* queue = nullptr;
    for (; !rows.Eof(); rows.Next()) {
        if (queue == nullptr)
            queue = &argument.Child("EmailAddressesRequiringAuthorization");
        TXMLNode& row = queue->Children().Add("EmailAddressRequiringAuthorization");
        for (const char* column : {"FromEmailAddress", "FromDisplayName", "ToEmailAddress", "ToDisplayName", "Subject"})
            row.Child(column).SetText(rows.AsString(column));
        row.Child("Received").SetAsDateTime(rows.AsDateTime("Received"));
    }

    if (!forced && domainNames == nullptr && senders == nullptr && queue == nullptr &&
        !HasChildren(argument.Children().Find("AccountSettings"))) {
        Debug("Synchronization not needed: nothing to send.");
        return;
    }
    AddLogItem("Synchronizing with server...", 0);
    m_LastSynchronizeID = id;
    m_Server->Enqueue(std::move(request));
}

// ---- Applying the answer -----------------------------------------------------------------------

struct TTessivarBusinessLogic::TSynchronizationSnapshot {
    struct TRecordState {
        TApprovalStatus ApprovalStatus;
        bool Deleted;
        std::string Notes;
        bool Modified;
        int32_t PendingSyncID;
    };
    struct TSenderState {
        TRecordState Record;
        TAuthenticationStatus AuthenticationStatus;
        std::string DisplayName;
    };

    std::vector<TRecordState> DomainNames{};
    std::vector<TSenderState> Senders{};
    std::vector<std::string> AdultWords;
    std::vector<std::string> BlockedWords;
    bool LockAccess;
    std::string UnlockPassword;
    std::string Signature;
    bool Modified;
    bool SynchronizationRequired;
    int32_t SettingsSyncID;
    int32_t DataVersion;
    TAccountStatus AccountStatus;
};

TTessivarBusinessLogic::TSynchronizationSnapshot TTessivarBusinessLogic::TakeSnapshot() const {
    TSynchronizationSnapshot snapshot{.AdultWords = m_AdultWords,
                                      .BlockedWords = m_BlockedWords,
                                      .LockAccess = m_LockAccess,
                                      .UnlockPassword = m_UnlockPassword,
                                      .Signature = m_Signature,
                                      .Modified = m_Modified,
                                      .SynchronizationRequired = m_SynchronizationRequired,
                                      .SettingsSyncID = m_SettingsSyncID,
                                      .DataVersion = m_DataVersion,
                                      .AccountStatus = m_AccountStatus};
    const auto state = [](const TTessivarApprovalRecord& record) {
        return TSynchronizationSnapshot::TRecordState{record.m_ApprovalStatus, record.m_Deleted, record.m_Notes,
                                                      record.m_Modified, record.m_PendingSyncID};
    };
    snapshot.DomainNames.reserve(m_DomainNames.size());
    for (const auto& domainName : m_DomainNames)
        snapshot.DomainNames.push_back(state(*domainName));
    snapshot.Senders.reserve(m_EmailAddresses.size());
    for (const auto& sender : m_EmailAddresses)
        snapshot.Senders.push_back({state(*sender), sender->m_AuthenticationStatus, sender->m_DisplayName});
    return snapshot;
}

bool TTessivarBusinessLogic::ApplySynchronization(TTessivarServerRequest& request) {
    CheckThread();
    TXMLNode& result = request.ResultNode();
    bool merged = false;
    if (result.Children().Count() == 0 || request.Failed()) {
        AddLogItem("Server synchronization failed.", 1);
    } else {
        {
            TUpdateScope<TTessivarBusinessLogic> scope(*this);
            const TSynchronizationSnapshot snapshot = TakeSnapshot();
            try {
                // Every row of the answer becomes durable at once, with one flush at the commit, and
                // each row is written once, however many steps of the merge change its record.
                TSQLiteTransaction transaction(*m_Database);
                TTessivarDeferredRows rows(*this);
                MergeSynchronization(request, result);
                rows.Write();
                transaction.Commit();
                merged = true;
            } catch (const std::exception& error) {
                // The rows were rolled back; the records follow them, so that the next answer finds
                // (and stores) what this one could not.
                DebugException("TTessivarBusinessLogic", error);
                RestoreSnapshot(snapshot);
            }
        }
        AddLogItem(merged ? "Server synchronization complete." : "Server synchronization failed.", merged ? 0 : 1);
        if (merged && (m_AccountStatus == TAccountStatus::Terminated || m_AccountStatus == TAccountStatus::Suspended)) {
            const bool terminated = m_AccountStatus == TAccountStatus::Terminated;
            const std::string title = terminated ? "Tessivar Account Terminated!" : "Tessivar Account Suspended!";
            const std::string text = std::string("Your account has been ") + (terminated ? "terminated" : "suspended") +
                                     ". Please contact " + SupportAddress + " for more information.";
            Debug(title + " " + text);
            if (OnAccountClosed)
                OnAccountClosed(m_AccountStatus, title, text);
        }
    }

    // Offered once per run, after a failed answer as well.
    const TXMLNode* version = result.Children().Find("SoftwareVersion");
    if (!m_NewVersionShown && version != nullptr && !version->Text().empty() &&
        !SameText(version->Text(), SoftwareVersion) && !SameText(version->Text(), NoSoftwareVersion)) {
        m_NewVersionShown = true;
        Debug("The service offers version " + version->Text() + ".");
        if (OnNewVersion)
            OnNewVersion(version->Text());
    }
    NoticeSynchronizationAnswered(request.RequestID(), merged);
    return merged;
}

void TTessivarBusinessLogic::MergeSynchronization(TTessivarServerRequest& request, TXMLNode& result) {
    const int32_t id = request.RequestID();
    m_DataVersion = result.Child("DataVersion").AsInteger();
    m_Database->Update("Configuration", {"DataVersion"}, "", {m_DataVersion});
    m_AccountStatus = TextToAccountStatus(result.Child("AccountStatus").Text());

    ApplyAccountSettings(request, result);

    const std::vector<TXMLNode*> domainStatuses =
        Entries(result.Children().Find("DomainNameStatuses"), "DomainNameStatus");
    const std::vector<TXMLNode*> senderStatuses =
        Entries(result.Children().Find("EmailAddressStatuses"), "EmailAddressStatus");
    TProgress progress(request.ProgressBar());
    progress.Begin(static_cast<int>(domainStatuses.size() + senderStatuses.size() + m_DomainNames.size() +
                                    m_EmailAddresses.size()));
    const auto acknowledge = [](TTessivarApprovalRecord& record) {
        record.m_PendingSyncID = 0;
        record.m_Modified = false;
        record.StoreRow();
    };

    for (TXMLNode* status : domainStatuses) {
        const std::string& name = status->Child("DomainName").Text();
        if (name.empty()) {
            Debug("Ignored a domain name status without a domain name.");
        } else {
            TTessivarDomainName& domainName = AddDomainName(name);
            if (domainName.m_PendingSyncID == 0 || domainName.m_PendingSyncID == id) {
                {
                    TUpdateScope<TTessivarRecord> scope(domainName);
                    domainName.SetNotes(status->Child("Notes").Text());
                    domainName.SetApprovalStatus(TextToApprovalStatus(status->Child("ApprovalStatus").Text()));
                    domainName.SetDeleted(status->Child("Deleted").AsBoolean());
                }
                acknowledge(domainName);
            }
        }
        progress.Step();
    }

    for (TXMLNode* status : senderStatuses) {
        const std::string& address = status->Child("EmailAddress").Text();
        if (!IsWholeAddress(address)) {
            Debug("Ignored a sender status without a whole address: \"" + address + "\".");
        } else {
            TTessivarEmailAddress& sender = AddEmailAddress(address, status->Child("DisplayName").Text());
            if (sender.m_PendingSyncID == 0 || sender.m_PendingSyncID == id) {
                {
                    TUpdateScope<TTessivarRecord> scope(sender);
                    sender.SetApprovalStatus(TextToApprovalStatus(status->Child("ApprovalStatus").Text()));
                    sender.SetAuthenticationStatus(
                        TextToAuthenticationStatus(status->Child("AuthenticationStatus").Text()));
                    sender.SetNotes(status->Child("Notes").Text());
                    sender.SetDeleted(status->Child("Deleted").AsBoolean());
                }
                acknowledge(sender);
            }
        }
        progress.Step();
    }

    // What this request carried and nobody changed since is acknowledged, mentioned or not.
    for (const auto& domainName : m_DomainNames) {
        if (domainName->m_PendingSyncID == id)
            acknowledge(*domainName);
        progress.Step();
    }
    for (const auto& sender : m_EmailAddresses) {
        if (sender->m_PendingSyncID == id)
            acknowledge(*sender);
        progress.Step();
    }
    m_Database->Execute("DELETE FROM EmailAddressesRequiringAuthorization WHERE SyncID=" + std::to_string(id));
}

// The server's settings replace the local ones unless they were changed after this request was
// built; settings the request carried are acknowledged under the same condition.
void TTessivarBusinessLogic::ApplyAccountSettings(TTessivarServerRequest& request, TXMLNode& result) {
    const int32_t id = request.RequestID();
    const bool unchangedSince = m_SettingsSyncID == 0 || m_SettingsSyncID == id;
    TXMLNode* settings = result.Children().Find("AccountSettings");
    if (HasChildren(settings) && unchangedSince) {
        SetSignature(settings->Child("Signature").Text());
        SetAdultWords(settings->Child("AdultWords").Text());
        SetBlockedWords(settings->Child("BlockedWords").Text());
        SetLockAccess(settings->Child("LockAccess").AsBoolean());
        SetUnlockPassword(settings->Child("UnlockPassword").Text());
    } else if (!(HasChildren(request.ArgumentNode().Children().Find("AccountSettings")) && unchangedSince)) {
        return;
    }
    m_Database->Update("Configuration", {"Modified"}, "", {false});
    m_Modified = false;
    m_SettingsSyncID = 0;
}

// Records created by the failed merge are the last of their lists; senders go first, as they refer
// to domain names.
void TTessivarBusinessLogic::RestoreSnapshot(const TSynchronizationSnapshot& snapshot) noexcept {
    while (m_EmailAddresses.size() > snapshot.Senders.size())
        RemoveLastEmailAddress();
    while (m_DomainNames.size() > snapshot.DomainNames.size())
        RemoveLastDomainName();
    const auto restore = [](TTessivarApprovalRecord& record, const TSynchronizationSnapshot::TRecordState& state) {
        record.m_ApprovalStatus = state.ApprovalStatus;
        record.m_Deleted = state.Deleted;
        record.m_Notes = state.Notes;
        record.m_Modified = state.Modified;
        record.m_PendingSyncID = state.PendingSyncID;
    };
    for (size_t i = 0; i < m_DomainNames.size(); ++i)
        restore(*m_DomainNames[i], snapshot.DomainNames[i]);
    for (size_t i = 0; i < m_EmailAddresses.size(); ++i) {
        TTessivarEmailAddress& sender = *m_EmailAddresses[i];
        restore(sender, snapshot.Senders[i].Record);
        sender.m_AuthenticationStatus = snapshot.Senders[i].AuthenticationStatus;
        sender.m_DisplayName = snapshot.Senders[i].DisplayName;
    }
    m_AdultWords = snapshot.AdultWords;
    m_BlockedWords = snapshot.BlockedWords;
    m_LockAccess = snapshot.LockAccess;
    m_UnlockPassword = snapshot.UnlockPassword;
    m_Signature = snapshot.Signature;
    m_Modified = snapshot.Modified;
    m_SynchronizationRequired = snapshot.SynchronizationRequired;
    m_SettingsSyncID = snapshot.SettingsSyncID;
    m_DataVersion = snapshot.DataVersion;
    m_AccountStatus = snapshot.AccountStatus;
}
