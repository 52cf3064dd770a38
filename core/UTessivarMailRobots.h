#pragma once
// Mail that is never answered with an authentication request. Two kinds:
// - mail robots: bounces and automatic replies come from these addresses. Their messages are
//   searched for our own returned authentication requests (IsMailRobotAddress);
// - senders and messages that an automatic reply must not go to (RFC 3834): robot mailboxes such
//   as no-reply or list addresses, and messages that say they were sent automatically or to a list.
//   Their mail is stored and held like any other; only the challenge is left out, by the program
//   and by the web service alike (both use the list below).
// Callable from any thread.

#include <string>
#include <string_view>

// The sender address of the auto-reply service whose messages are treated like mail robots'.
inline constexpr std::string_view AutoReplySenderAddress = "autoreply@autoresponder.example.net";

// True when the sender is a mail robot: the address begins, ignoring letter case, with
// "postmaster@", "mailer-daemon@" or the auto-reply service's address (tried in that order, each
// test traced).
bool IsMailRobotAddress(std::string_view address);

// True when the local part of the address (the text before its first "@", without a "+detail"
// sub-address) is a robot's, ignoring letter case: noreply, no-reply, donotreply, do-not-reply,
// bounce, bounces, mailer-daemon, postmaster, listserv, majordomo, owner-*, *-request; or when the
// address is the auto-reply service's. This is the one list of robot mailboxes.
bool IsRobotMailbox(std::string_view address);

// The header values of a message that tell automatic and list mail apart.
struct TAutomaticMailHeaders {
    std::string AutoSubmitted;            // "Auto-Submitted"
    std::string Precedence;               // "Precedence"
    std::string ReturnPath;               // "Return-Path"
    bool HasListId = false;               // any "List-Id" header
    bool HasListUnsubscribe = false;      // any "List-Unsubscribe" header
    bool IsAuthenticationRequest = false; // "X-Tessivar: Authentication-Request" (another user's challenge)
};

// Why an automatic reply must not answer the message, as a phrase for the activity log ("the
// message was sent automatically (Auto-Submitted: auto-replied)"); empty when nothing forbids it.
// Auto-Submitted other than "no", Precedence bulk, list or junk, a List-Id or List-Unsubscribe
// header, an empty return path "<>", and an authentication request itself.
std::string AutomaticMailReason(const TAutomaticMailHeaders& headers);
