#pragma once
// What a message taken off a real mailbox is, before it is stored: mail for the user, or one of the
// notices the program consumes itself (our authentication request returned by a mail robot, a
// self-authentication notice of the web service). Shared by the POP3 checker and the IMAP
// screener, so that both screen alike. Any thread; notices reach the model through posted calls.

#include "base/LStrings.h"
#include "mail/UMessageHeaders.h"

class TTessivarBusinessLogic;

enum class TIncomingMailKind {
    Mail,
    // Our authentication request returned by a mail robot.
    ReturnedRequest,
    // The web service's hint that a sender authenticated.
    SelfAuthenticationNotice,
};

// The headers of the message, read with what can be read when they cannot be read in full: such a
// message would otherwise fail at every pass and stay out of the user's sight for ever. The made-up
// id (NewCheckerMessageId) stands in for a missing Message-Id.
TParsedMessage ReadIncomingHeaders(const TStringArray& lines);
TIncomingMailKind IncomingMailKind(const TParsedMessage& message, const TStringArray& lines);
// Tells the model about a notice (nothing for mail): a returned request names its recipient and
// request id, which the service confirms before anything is blocked; a self-authentication notice
// only starts a synchronisation. The notice itself is never stored.
void HandleNotice(TTessivarBusinessLogic& model, TIncomingMailKind kind, const TParsedMessage& message,
                  const TStringArray& lines);
