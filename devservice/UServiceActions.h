#pragma once
// The actions of the service endpoint: Synchronize, AccountAvailability, AccountCreate,
// AccountSetPassword and VerifyAuthenticationRequest. Each reads its argument element and fills
// action + "Result"; a failure is an "ErrorMessages" entry with Code, Message and Description,
// never an exception.
// Thread contract: Handle may run on several server threads at once; the store serialises.

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

class TServiceMailer;
class TServiceStore;
class TXMLNode;

// The program version the service offers; equal to the program's own, so no new-version prompt.
inline constexpr const char* ServiceSoftwareVersion = "01.02.0000";

struct TServiceReply {
    int Status = 200;
    std::string Body;
};

class TServiceActions {
public:
    // Neither the store nor the mailer is owned; the clock gives seconds since 1970.
    TServiceActions(TServiceStore& store, TServiceMailer& mailer, std::function<int64_t()> clock);

    // A POST body → the answer envelope, or a SOAP fault (status 500) for text that is no request
    // of a known action.
    TServiceReply Handle(std::string_view body);

private:
    void Synchronize(const TXMLNode& argument, TXMLNode& result);
    void AccountAvailability(const TXMLNode& argument, TXMLNode& result);
    void AccountCreate(const TXMLNode& argument, TXMLNode& result);
    void AccountSetPassword(const TXMLNode& argument, TXMLNode& result);
    // Whether the service sent an authentication request with the argument's "MessageId": answers
    // "Genuine", and for a genuine one "Sender", "Recipient" and "SentByAccount".
    void VerifyAuthenticationRequest(const TXMLNode& argument, TXMLNode& result);

    TServiceStore& m_Store;
    TServiceMailer& m_Mailer;
    const std::function<int64_t()> m_Clock;
};

// Password storage with libsodium's memory-hard hash; HashPassword raises Exception when the machine
// lacks the memory for it.
std::string HashPassword(std::string_view password);
bool VerifyPassword(const std::string& hash, std::string_view password);
