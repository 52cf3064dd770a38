#pragma once
// The message ids of the authentication requests the service sends, and who it never challenges.
//
// Every request goes out with a Message-Id of 128 random bits in the program's marker domain, and
// the service keeps that id with the account that sent it and the recipient. Nobody can forge one:
// the id is known only to the service and to the mail's recipient, and it names its recipient. A
// program asks about an id with the action "VerifyAuthenticationRequest" (its credentials and the
// id, nothing else of the mail): a request arriving from another user's account is delivered when
// it went to this user; a returned request blocks its recipient only when this account sent it.
//
// Thread contract: functions of a database used under the store's lock, inside its transaction.

#include <cstdint>
#include <string>
#include <string_view>

class TServiceDatabase;

// Ids are verified this long after their request was sent (the life of the request's token).
inline constexpr int64_t RequestMessageLifetimeSeconds = 30 * 24 * 3600;

// "<32 hex digits>@" + the marker domain, without angle brackets.
std::string NewRequestMessageId();
void RecordRequestMessage(TServiceDatabase& database, const std::string& messageId, int64_t accountID,
                          const std::string& recipient, int64_t now);
void ForgetRequestMessage(TServiceDatabase& database, const std::string& messageId);

// Never challenged whatever a program sends: a robot mailbox (the program's one list), and a sender
// whose domain name, or the nearest parent domain with a status, the account approved (its mail
// is delivered).
bool IsNeverChallenged(TServiceDatabase& database, int64_t accountID, std::string_view address);

// What the service knows of one id.
struct TRequestMessage {
    bool Genuine = false;
    int64_t AccountID = 0;
    std::string Sender; // the sending account's address
    std::string Recipient;
};
