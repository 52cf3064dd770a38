#include "mail/UTessivarIncomingMail.h"

#include "base/UDebug.h"
#include "core/UTessivarMailRobots.h"
#include "core/UThreadedCalls.h"
#include "mail/UTessivarPOP3Checker.h"

TParsedMessage ReadIncomingHeaders(const TStringArray& lines) {
    TParsedMessage message;
    try {
        message = ParseMessageHeaders(lines);
    } catch (const EMessageParseException& error) {
        DebugException("TTessivarIncomingMail", error);
        Debug("Reading the message with the headers that could be read.");
        message = ParseMessageHeadersTolerant(lines);
    }
    if (message.MessageId.empty())
        message.MessageId = NewCheckerMessageId();
    return message;
}

// Only our own request returned by a robot is consumed; any other message of a robot (a bounce of
// the user's own mail, say) is mail for the user.
TIncomingMailKind IncomingMailKind(const TParsedMessage& message, const TStringArray& lines) {
    if (IsMailRobotAddress(message.FromAddress) && HoldsAuthenticationRequestMarker(lines))
        return TIncomingMailKind::ReturnedRequest;
    if (SameText(message.Headers.Values("X-Tessivar"), "Self-Authentication-Notification"))
        return TIncomingMailKind::SelfAuthenticationNotice;
    return TIncomingMailKind::Mail;
}

void HandleNotice(TTessivarBusinessLogic& model, TIncomingMailKind kind, const TParsedMessage& message,
                  const TStringArray& lines) {
    if (kind == TIncomingMailKind::SelfAuthenticationNotice) {
        Debug("Self Authentication received from " + message.FromAddress);
        SelfAuthentication(model, message.FromAddress);
    } else if (kind == TIncomingMailKind::ReturnedRequest) {
        // Anybody can write a bounce: it only names the request it returns, and the service says
        // whether this account sent that request, and to whom.
        const std::string recipient = ReturnedRequestRecipient(lines);
        const std::string requestId = ReturnedRequestMessageId(lines);
        Debug("Delivery failure notice received from " + recipient);
        if (requestId.empty()) {
            Debug("The bounce names no authentication request: nothing changes.");
            return;
        }
        Undeliverable(model, recipient, requestId);
    }
}
