#pragma once
// Mail robots: the senders whose messages are bounces and automatic replies. Their mail is stored
// like any other, but they are never asked to authenticate (a challenge to a robot would start a
// mail loop), and their messages are searched for our own returned authentication requests.
// Callable from any thread.

#include <string_view>

// The sender address of the auto-reply service whose messages are treated like mail robots'.
inline constexpr std::string_view AutoReplySenderAddress = "autoreply@autoresponder.example.net";

// True when the sender is a mail robot: the address begins, ignoring letter case, with
// "postmaster@", "mailer-daemon@" or the auto-reply service's address (tried in that order, each
// test traced).
bool IsMailRobotAddress(std::string_view address);
