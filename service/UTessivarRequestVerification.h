#pragma once
// The service's word on mail that claims to come from it. Headers that say "X-Tessivar" are hints
// anybody can write; what releases or blocks a sender is the service's answer:
// - a self-authentication notice starts a synchronisation at once, whose answer carries the
//   sender's authentication when the sender really authenticated;
// - an authentication request that arrives (another user's challenge to this user), and one of our
//   own returned by a mail robot, are checked with the action "VerifyAuthenticationRequest": the
//   program sends its credentials and the request's message id (nothing else of the message), and
//   the service answers whether it sent a request with that id, from which address, to which
//   recipient, and whether this account sent it.
// The operations are members of TTessivarBusinessLogic (SelfAuthentication,
// ReturnedAuthenticationRequest, VerifyAuthenticationRequest), implemented in
// UTessivarRequestVerification.cpp. Thread contract: the model's thread only.

#include <string>
#include <string_view>

class TTessivarServerRequest;

inline constexpr const char* VerifyAuthenticationRequestAction = "VerifyAuthenticationRequest";

// What the service said of one message id.
struct TRequestVerification {
    bool Genuine = false;       // the service sent a request with this id, and not too long ago
    bool SentByAccount = false; // ... and the asking account sent it
    std::string Sender;         // the address the request came from
    std::string Recipient;      // the address it was sent to
};

// The answer of a "VerifyAuthenticationRequest" request; not genuine when it failed or holds error
// entries.
TRequestVerification ReadRequestVerification(TTessivarServerRequest& request);

// The id inside angle brackets, without them and without surrounding blanks: "<x@y>" gives "x@y".
std::string BareMessageId(std::string_view messageId);
