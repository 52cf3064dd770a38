#pragma once
// The actions of the service endpoint: Synchronize, AccountAvailability, AccountCreate,
// AccountSetPassword and VerifyAuthenticationRequest. Each reads its argument element and fills
// action + "Result"; a failure is an "ErrorMessages" entry with Code, Message and Description,
// never an exception.
// Thread contract: Handle may run on several server threads at once; the store serialises.

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

#include "devservice/UAttemptThrottle.h"
#include "devservice/UServiceRecords.h"

class TServiceMailer;
class TServiceStore;
class TXMLNode;

// The program version the service offers; equal to the program's own, so no new-version prompt.
inline constexpr const char* ServiceSoftwareVersion = "01.02.0000";

struct TServiceReply {
    int Status = 200;
    std::string Body;
};

// The outcome of a sign-in with a user name and a password.
struct TSignIn {
    enum class TState { Accepted, UnknownAccount, WrongPassword, Throttled };
    TState State = TState::UnknownAccount;
    std::optional<TServiceAccount> Account;
};

class TServiceActions {
public:
    // Neither the store nor the mailer is owned; the clock gives seconds since 1970.
    TServiceActions(TServiceStore& store, TServiceMailer& mailer, std::function<int64_t()> clock);

    // A POST body from the client address → the answer envelope, or a SOAP fault (status 500)
    // for text that is no request of a known action.
    TServiceReply Handle(std::string_view body, const std::string& client = {});

    // Checks the password of an account, unless the client address or the account made too many
    // wrong attempts lately; a wrong one counts against both.
    TSignIn SignIn(std::string_view username, std::string_view password, const std::string& client);

private:
    void Synchronize(const TXMLNode& argument, TXMLNode& result, const std::string& client);
    void AccountAvailability(const TXMLNode& argument, TXMLNode& result, const std::string& client);
    void AccountCreate(const TXMLNode& argument, TXMLNode& result, const std::string& client);
    void AccountSetPassword(const TXMLNode& argument, TXMLNode& result, const std::string& client);
    // Mails a new confirmation link to an account whose address is not confirmed yet.
    void ConfirmAddress(const TServiceAccount& account, bool force);
    // Whether the service sent an authentication request with the argument's "MessageId": answers
    // "Genuine", and for a genuine one "Sender", "Recipient" and "SentByAccount".
    void VerifyAuthenticationRequest(const TXMLNode& argument, TXMLNode& result, const std::string& client);

    TServiceStore& m_Store;
    TServiceMailer& m_Mailer;
    const std::function<int64_t()> m_Clock;
    TAttemptThrottle m_AccountCreates;
    TAttemptThrottle m_AddressFailures;
    TAttemptThrottle m_AccountFailures;
};

// Password storage with libsodium's memory-hard hash; HashPassword raises Exception when the machine
// lacks the memory for it. At most MaxConcurrentPasswordHashes run at once; others wait.
std::string HashPassword(std::string_view password);
bool VerifyPassword(const std::string& hash, std::string_view password);
