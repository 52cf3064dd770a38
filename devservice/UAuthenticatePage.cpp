#include "devservice/UAuthenticatePage.h"

#include "devservice/UServiceMail.h"

namespace {

std::string Document(std::string_view title, const std::string& body) {
    return "<!DOCTYPE html>\n<html><head><meta charset=\"utf-8\"><title>" + HTMLEscape(title) +
           "</title></head>\n<body>\n<h1>" + HTMLEscape(title) + "</h1>\n" + body + "</body></html>\n";
}

// One plain message for every token that cannot be used, and nothing about whose it was.
TPage Refusal(TTokenState state) {
    switch (state) {
    case TTokenState::Used:
        return {410, Document("Link already used", "<p>This link has already been used.</p>\n")};
    case TTokenState::Expired:
        return {410, Document("Link expired", "<p>This link has expired.</p>\n")};
    default:
        return {404, Document("Unknown link", "<p>This link is not valid.</p>\n")};
    }
}

} // namespace

std::string HTMLEscape(std::string_view text) {
    std::string escaped;
    escaped.reserve(text.size());
    for (const char c : text) {
        switch (c) {
        case '&':
            escaped += "&amp;";
            break;
        case '<':
            escaped += "&lt;";
            break;
        case '>':
            escaped += "&gt;";
            break;
        case '"':
            escaped += "&quot;";
            break;
        case '\'':
            escaped += "&#39;";
            break;
        default:
            escaped += c;
        }
    }
    return escaped;
}

TPage AuthenticationRequestPage(const TChallengeView& challenge, std::string_view token) {
    if (challenge.State != TTokenState::Valid)
        return Refusal(challenge.State);
    const std::string body =
        "<p>" + HTMLEscape(challenge.AccountEmailAddress) + " screens mail from senders it does not know yet.</p>\n" +
        "<p>Please confirm that you, " + HTMLEscape(challenge.SenderEmailAddress) +
        ", sent this message:</p>\n<table>\n<tr><th>Subject</th><td>" + HTMLEscape(challenge.Subject) +
        "</td></tr>\n<tr><th>Date</th><td>" + HTMLEscape(ReadableDate(challenge.Received)) + "</td></tr>\n</table>\n" +
        "<form method=\"post\" action=\"/authenticate.aspx\">\n<input type=\"hidden\" name=\"token\" value=\"" +
        HTMLEscape(token) + "\">\n<button type=\"submit\">I sent this message</button>\n</form>\n";
    return {200, Document("Confirm your message", body)};
}

TPage AuthenticationDonePage(const TChallengeView& challenge) {
    if (challenge.State != TTokenState::Valid)
        return Refusal(challenge.State);
    return {200, Document("Thank you", "<p>Your mail to " + HTMLEscape(challenge.AccountEmailAddress) +
                                           " will now be delivered.</p>\n")};
}

TPage AddressConfirmationPage(const TConfirmationView& confirmation, std::string_view token) {
    if (confirmation.State != TTokenState::Valid)
        return Refusal(confirmation.State);
    const std::string body =
        "<p>Please confirm that " + HTMLEscape(confirmation.EmailAddress) +
        " is your address. Tessivar then sends mail in its name: the requests that ask unknown senders to "
        "confirm their messages.</p>\n"
        "<form method=\"post\" action=\"/confirm.aspx\">\n<input type=\"hidden\" name=\"token\" value=\"" +
        HTMLEscape(token) + "\">\n<button type=\"submit\">This is my address</button>\n</form>\n";
    return {200, Document("Confirm your address", body)};
}

TPage AddressConfirmedPage(const TConfirmationView& confirmation) {
    if (confirmation.State != TTokenState::Valid)
        return Refusal(confirmation.State);
    return {200, Document("Address confirmed", "<p>Thank you. " + HTMLEscape(confirmation.EmailAddress) +
                                                   " is confirmed; Tessivar now asks unknown senders to "
                                                   "confirm their messages.</p>\n")};
}
