#pragma once
// The data objects of the threaded calls (see core/UThreadedCalls.h). A worker creates one, fills
// it with copies of its values and hands it to the model's thread; the model's thread runs the call
// and may set the result fields. A posted object belongs to the target from then on; a sent one
// stays with the worker, which reads the result once the send returns. Thread contract: one thread
// at a time: the creating worker, then the model's thread while the call runs, then (sent objects)
// the worker again.

#include "base/LDates.h"
#include "core/UThreadedCallTarget.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

class TTessivarAccount;
class TTessivarBusinessLogic;
class TTessivarAccountSession;
class TTessivarEmail;

// AddLogItem(Details, Kind); the item is dated when the model's thread runs the call. Counts its
// live instances process-wide and traces each creation and destruction with the count.
class TThreadedInsertLogItemData : public TThreadedCallData {
public:
    TThreadedInsertLogItemData(int32_t kind, std::string details);
    ~TThreadedInsertLogItemData() override;
    TThreadedInsertLogItemData(const TThreadedInsertLogItemData&) = delete;
    TThreadedInsertLogItemData& operator=(const TThreadedInsertLogItemData&) = delete;

    // Instances alive in the process; any thread.
    static int LiveCount();

    const int32_t Kind;
    const std::string Details;
};

// InsertEmail with these values; Email is the stored email, set by the call.
class TThreadedInsertEmailData : public TThreadedCallData {
public:
    TThreadedInsertEmailData(TTessivarAccount& account, std::string messageId, std::vector<std::string> lines,
                             TDateTime received, std::string subject, std::string fromAddress,
                             std::string fromDisplayName, std::string toAddress, std::string toDisplayName,
                             std::string remoteID = {})
        : Account(account), MessageID(std::move(messageId)), FromAddress(std::move(fromAddress)),
          FromDisplayName(std::move(fromDisplayName)), ToAddress(std::move(toAddress)),
          ToDisplayName(std::move(toDisplayName)), Subject(std::move(subject)), Received(received),
          Lines(std::move(lines)), RemoteID(std::move(remoteID)) {}

    TTessivarEmail* Email = nullptr;
    TTessivarAccount& Account;
    const std::string MessageID;
    const std::string FromAddress;
    const std::string FromDisplayName;
    const std::string ToAddress;
    const std::string ToDisplayName;
    const std::string Subject;
    const TDateTime Received;
    // The object's own copy of the message lines.
    const std::vector<std::string> Lines;
    // The real server's unique id of the message; empty when the server gives none.
    const std::string RemoteID;
};

// RetrievedMessageIDs(Account); IDs and Done are set by the call.
class TThreadedRetrievedMessageIDsData : public TThreadedCallData {
public:
    explicit TThreadedRetrievedMessageIDsData(const TTessivarAccount& account) : Account(account) {}

    const TTessivarAccount& Account;
    std::vector<std::string> IDs;
    bool Done = false;
};

// ForgetRetrievedMessages(Account, Keep).
class TThreadedForgetRetrievedMessagesData : public TThreadedCallData {
public:
    TThreadedForgetRetrievedMessagesData(const TTessivarAccount& account, std::vector<std::string> keep)
        : Account(account), Keep(std::move(keep)) {}

    const TTessivarAccount& Account;
    const std::vector<std::string> Keep;
};

// AcceptedLoginHash(Account); Hash and Done are set by the call.
class TThreadedAcceptedLoginHashData : public TThreadedCallData {
public:
    explicit TThreadedAcceptedLoginHashData(const TTessivarAccount& account) : Account(account) {}

    const TTessivarAccount& Account;
    std::string Hash;
    bool Done = false;
};

// RememberAcceptedLogin(Account, Hash); Done is set when it succeeded.
class TThreadedRememberAcceptedLoginData : public TThreadedCallData {
public:
    TThreadedRememberAcceptedLoginData(const TTessivarAccount& account, std::string hash)
        : Account(account), Hash(std::move(hash)) {}

    const TTessivarAccount& Account;
    const std::string Hash;
    bool Done = false;
};

// FlushStore(); Flushed is set when it succeeded.
class TThreadedFlushStoreData : public TThreadedCallData {
public:
    bool Flushed = false;
};

// The account's CreateSession; Session is set by the call and then owned by whoever holds the data.
class TThreadedCreateAccountSessionData : public TThreadedCallData {
public:
    explicit TThreadedCreateAccountSessionData(TTessivarAccount& account);
    ~TThreadedCreateAccountSessionData() override;

    TTessivarAccount& Account;
    std::unique_ptr<TTessivarAccountSession> Session;
};

// The session's account's ReleaseSession, which takes the session. When the call does not run, the
// session stays here and is freed with the data.
class TThreadedReleaseAccountSessionData : public TThreadedCallData {
public:
    explicit TThreadedReleaseAccountSessionData(std::unique_ptr<TTessivarAccountSession> session);
    ~TThreadedReleaseAccountSessionData() override;

    std::unique_ptr<TTessivarAccountSession> Session;
};

// SelfAuthentication(Address).
class TThreadedSelfAuthenticationData : public TThreadedCallData {
public:
    explicit TThreadedSelfAuthenticationData(std::string address) : Address(std::move(address)) {}

    const std::string Address;
};

// ReturnedAuthenticationRequest(Address, RequestMessageId).
class TThreadedUndeliverableData : public TThreadedCallData {
public:
    TThreadedUndeliverableData(std::string address, std::string requestMessageId)
        : Address(std::move(address)), RequestMessageId(std::move(requestMessageId)) {}

    const std::string Address;
    const std::string RequestMessageId;
};

// Runs Task on the model's thread; Done is set once it has run without raising, Failure holds the
// text of what it raised. For workers whose calls are particular to them (the IMAP screener), so
// that each needs no data class and no dispatcher branch of its own.
class TThreadedModelTaskData : public TThreadedCallData {
public:
    explicit TThreadedModelTaskData(std::function<void(TTessivarBusinessLogic&)> task) : Task(std::move(task)) {}

    const std::function<void(TTessivarBusinessLogic&)> Task;
    bool Done = false;
    std::string Failure;
};
