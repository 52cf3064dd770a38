// Threaded calls: the worker-side functions that wrap each call in its data object, and the model's
// dispatcher that runs them on the model's thread.

#include "core/UThreadedCalls.h"

#include "base/UDebug.h"
#include "core/UTessivarAccount.h"
#include "core/UTessivarBusinessLogic.h"
#include "core/UThreadedCallData.h"
#include "mail/UTessivarAccountSession.h"
#include "service/UTessivarServer.h"
#include "service/UXML.h"

#include <atomic>

// ---- Data objects ----------------------------------------------------------------------------

namespace {
std::atomic<int> LiveInsertLogItemData{0};
} // namespace

TThreadedInsertLogItemData::TThreadedInsertLogItemData(int32_t kind, std::string details)
    : Kind(kind), Details(std::move(details)) {
    DebugList({"Creating threaded insert log item data. ", LiveInsertLogItemData.fetch_add(1), " instances current."});
}

TThreadedInsertLogItemData::~TThreadedInsertLogItemData() {
    DebugList({"Destroyed threaded insert log item data. ", LiveInsertLogItemData.fetch_sub(1) - 1,
               " instances now current."});
}

int TThreadedInsertLogItemData::LiveCount() {
    return LiveInsertLogItemData.load();
}

// Out of line: the session's type is complete only here.
TThreadedCreateAccountSessionData::TThreadedCreateAccountSessionData(TTessivarAccount& account) : Account(account) {}
TThreadedCreateAccountSessionData::~TThreadedCreateAccountSessionData() = default;

TThreadedReleaseAccountSessionData::TThreadedReleaseAccountSessionData(
    std::unique_ptr<TTessivarAccountSession> session)
    : Session(std::move(session)) {}
TThreadedReleaseAccountSessionData::~TThreadedReleaseAccountSessionData() = default;

// ---- The model's side ------------------------------------------------------------------------

// The dispatcher refers to this model; it is replaced by an empty one before the destructor frees
// anything, so that no call (not even one sent while the destructor stops the local servers and
// waits for their connections) reaches a model that is going away. The target then answers sends
// with false.
void TTessivarBusinessLogic::ConnectThreadedCalls() {
    m_OwnerWindow.SetDispatcher([this](TThreadedCallData& data) { DispatchThreadedCall(data); });
}

void TTessivarBusinessLogic::DisconnectThreadedCalls() noexcept {
    try {
        m_OwnerWindow.SetDispatcher({});
    } catch (const std::exception& error) {
        DebugException("TTessivarBusinessLogic", error);
    }
}

void TTessivarBusinessLogic::DispatchThreadedCall(TThreadedCallData& data) {
    CheckThread();
    // A target that hands calls straight to the model still reaches this after Shutdown; the
    // records are gone, so the call is dropped (a send then returns without a result).
    if (m_ShutDown) {
        Debug("Dropped a threaded call: the model has shut down.");
        return;
    }
    Debug("Performing threaded call.");
    if (auto* logItem = dynamic_cast<TThreadedInsertLogItemData*>(&data)) {
        AddLogItem(logItem->Details, logItem->Kind);
    } else if (auto* insert = dynamic_cast<TThreadedInsertEmailData*>(&data)) {
        insert->Email = &InsertEmail(insert->Account, insert->MessageID, insert->Lines, insert->Received,
                                     insert->Subject, insert->FromAddress, insert->FromDisplayName, insert->ToAddress,
                                     insert->ToDisplayName, insert->RemoteID);
    } else if (auto* retrieved = dynamic_cast<TThreadedRetrievedMessageIDsData*>(&data)) {
        retrieved->IDs = RetrievedMessageIDs(retrieved->Account);
        retrieved->Done = true;
    } else if (auto* forget = dynamic_cast<TThreadedForgetRetrievedMessagesData*>(&data)) {
        ForgetRetrievedMessages(forget->Account, forget->Keep);
    } else if (auto* loginHash = dynamic_cast<TThreadedAcceptedLoginHashData*>(&data)) {
        loginHash->Hash = AcceptedLoginHash(loginHash->Account);
        loginHash->Done = true;
    } else if (auto* remember = dynamic_cast<TThreadedRememberAcceptedLoginData*>(&data)) {
        RememberAcceptedLogin(remember->Account, remember->Hash);
        remember->Done = true;
    } else if (auto* flush = dynamic_cast<TThreadedFlushStoreData*>(&data)) {
        FlushStore();
        flush->Flushed = true;
    } else if (auto* create = dynamic_cast<TThreadedCreateAccountSessionData*>(&data)) {
        create->Session = create->Account.CreateSession();
    } else if (auto* release = dynamic_cast<TThreadedReleaseAccountSessionData*>(&data)) {
        if (release->Session) {
            TTessivarAccount& account = release->Session->Account();
            account.ReleaseSession(std::move(release->Session));
        }
    }
    // Answers of the web service: the target frees the request afterwards, also when its handler
    // fails.
    else if (auto* request = dynamic_cast<TTessivarServerRequest*>(&data)) {
        if (DebugMode()) // an answer can be large: its text is made only for the trace
            Debug("RESPONSE: " + request->Action() + "\r\n" + request->ResultNode().FormatXML(1, 1));
        if (request->OnComplete())
            request->OnComplete()(*request);
    } else if (auto* selfAuthentication = dynamic_cast<TThreadedSelfAuthenticationData*>(&data)) {
        SelfAuthentication(selfAuthentication->Address);
    } else if (auto* undeliverable = dynamic_cast<TThreadedUndeliverableData*>(&data)) {
        ReturnedAuthenticationRequest(undeliverable->Address, undeliverable->RequestMessageId);
    } else if (auto* task = dynamic_cast<TThreadedModelTaskData*>(&data)) {
        try {
            task->Task(*this);
            task->Done = true;
        } catch (const std::exception& error) {
            DebugException("TTessivarBusinessLogic", error);
            task->Failure = error.what();
        }
    } else {
        throw TTessivarBusinessLogicException("Invalid data in threaded call.");
    }
}

// ---- The workers' side -----------------------------------------------------------------------

void InsertLogItem(TTessivarBusinessLogic& model, const std::string& details, int kind) {
    model.OwnerWindow().Post(std::make_unique<TThreadedInsertLogItemData>(kind, details));
}

TTessivarEmail* InsertEmail(TTessivarBusinessLogic& model, TTessivarAccount& account, const std::string& messageId,
                            const std::vector<std::string>& lines, TDateTime received, const std::string& subject,
                            const std::string& fromAddress, const std::string& fromDisplayName,
                            const std::string& toAddress, const std::string& toDisplayName,
                            const std::string& remoteID) {
    TThreadedInsertEmailData data(account, messageId, lines, received, subject, fromAddress, fromDisplayName,
                                  toAddress, toDisplayName, remoteID);
    if (!model.OwnerWindow().Send(data))
        return nullptr;
    return data.Email;
}

std::optional<std::vector<std::string>> RetrievedMessageIDs(TTessivarBusinessLogic& model,
                                                            const TTessivarAccount& account) {
    TThreadedRetrievedMessageIDsData data(account);
    if (!model.OwnerWindow().Send(data) || !data.Done)
        return std::nullopt;
    return std::move(data.IDs);
}

std::optional<std::string> AcceptedLoginHash(TTessivarBusinessLogic& model, const TTessivarAccount& account) {
    TThreadedAcceptedLoginHashData data(account);
    if (!model.OwnerWindow().Send(data) || !data.Done)
        return std::nullopt;
    return std::move(data.Hash);
}

bool RememberAcceptedLogin(TTessivarBusinessLogic& model, const TTessivarAccount& account, std::string hash) {
    TThreadedRememberAcceptedLoginData data(account, std::move(hash));
    return model.OwnerWindow().Send(data) && data.Done;
}

void ForgetRetrievedMessages(TTessivarBusinessLogic& model, const TTessivarAccount& account,
                             std::vector<std::string> keep) {
    TThreadedForgetRetrievedMessagesData data(account, std::move(keep));
    model.OwnerWindow().Send(data);
}

bool FlushStore(TTessivarBusinessLogic& model) {
    TThreadedFlushStoreData data;
    return model.OwnerWindow().Send(data) && data.Flushed;
}

std::unique_ptr<TTessivarAccountSession> CreateAccountSession(TTessivarBusinessLogic& model,
                                                              TTessivarAccount& account) {
    TThreadedCreateAccountSessionData data(account);
    model.OwnerWindow().Send(data);
    return std::move(data.Session);
}

// When the model's thread does not run the release (it is shutting down), the session is freed
// here instead. That only clears the InSession flags of its emails, which stay alive meanwhile: the
// model stops the local servers, and with them the connections that hold sessions, before it frees
// emails, and keeps the emails of a live session apart when its lists are emptied. The deletions
// the mail program asked for are then not applied; those messages are offered again at the next
// login rather than lost.
void ReleaseAccountSession(TTessivarBusinessLogic& model, std::unique_ptr<TTessivarAccountSession> session) {
    if (!session)
        return;
    TThreadedReleaseAccountSessionData data(std::move(session));
    if (!model.OwnerWindow().Send(data) && data.Session)
        Debug("Released a session without the model: its deletions were not applied.");
}

void SelfAuthentication(TTessivarBusinessLogic& model, const std::string& address) {
    model.OwnerWindow().Post(std::make_unique<TThreadedSelfAuthenticationData>(address));
}

void Undeliverable(TTessivarBusinessLogic& model, const std::string& address, const std::string& requestMessageId) {
    model.OwnerWindow().Post(std::make_unique<TThreadedUndeliverableData>(address, requestMessageId));
}
