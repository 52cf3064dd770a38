#pragma once
// The mail the service sends: the authentication request that asks an unknown sender to confirm
// a message, and the notice that tells the user's own mailbox that the sender did. Messages are
// composed here as text with CR LF lines; TMailTransport carries them to an SMTP relay or into an
// outbox folder of .eml files.
// Thread contract: composing is a pure function; a transport and the mailer may be used by several
// threads at once.

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "base/UException.h"
#include "devservice/UServiceRecords.h"

TESSIVAR_EXCEPTION(MailTransportException, Exception);

struct TOutgoingMail {
    std::string EnvelopeFrom;
    std::string EnvelopeTo;
    // The whole message: header lines, an empty line and the body, every line ended by CR LF.
    std::string Text;
};

// The link a challenged sender follows: base URL + "/authenticate.aspx?token=" + token.
std::string AuthenticationLink(std::string_view baseURL, std::string_view token);
// From the account's address to the sender, with "X-Tessivar: Authentication-Request" and a
// Message-Id in the program's authentication-request marker domain.
TOutgoingMail AuthenticationRequestMail(const TChallenge& challenge, std::string_view baseURL, int64_t now);
// From the sender's address to the account's, with "X-Tessivar: Self-Authentication-Notification".
TOutgoingMail SelfAuthenticationNotice(const TChallengeView& challenge, int64_t now);

// From the account's address to a sender imported from the user's address book: the one notice
// that the sender was approved (the help page importEmail.html shows it).
TOutgoingMail ImportNoticeMail(const TImportNotice& notice, int64_t now);

// The link that confirms an account's address: base URL + "/confirm.aspx?token=" + token.
std::string AddressConfirmationLink(std::string_view baseURL, std::string_view token);
// From the account's address to itself, marked as automatic: the link the owner follows before
// the service sends any mail from the address.
TOutgoingMail AddressConfirmationMail(const TAddressConfirmation& confirmation, std::string_view baseURL,
                                      int64_t now);

// The program's date-time text as a sender reads it: "2026-12-07 10:15 +01:00".
std::string ReadableDate(std::string_view text);

// Header-safe text: control characters become blanks, the text is cut to `maxBytes` on a
// character boundary, and text beyond ASCII becomes folded UTF-8 encoded words.
std::string HeaderText(std::string_view text, size_t maxBytes);
// An address mail can be sent to and written into a header: local@domain, printable ASCII without
// blanks, angle brackets, quotes, parentheses, commas, semicolons or backslashes, at most 254
// characters.
bool IsMailbox(std::string_view address);
// "Tue, 08 Dec 2026 17:00:00 +0000"
std::string MailDate(int64_t unixTime);

class TMailTransport {
public:
    virtual ~TMailTransport() = default;
    // MailTransportException when the message was not accepted.
    virtual void Send(const TOutgoingMail& mail) = 0;
};

// Writes each message as a new .eml file into the folder, creating it when needed.
std::unique_ptr<TMailTransport> NewOutboxTransport(std::string folder);
// Sends each message through the relay, e.g. "smtp://mail.example.net:25" (user:password@ in the
// URL logs in; TLS is used when the relay offers it, and always for "smtps://").
std::unique_ptr<TMailTransport> NewSMTPTransport(std::string relayURL);

// Sends the service's mail and keeps the store in step when sending fails.
class TServiceMailer {
public:
    // Neither the transport nor the store is owned.
    TServiceMailer(TMailTransport& transport, std::string baseURL, std::function<int64_t()> clock);

    // A challenge that cannot be sent is withdrawn, so the next synchronisation tries again.
    void SendChallenges(class TServiceStore& store, const std::vector<TChallenge>& challenges);
    // A notice that cannot be sent is withdrawn, so that a later synchronisation may try again.
    void SendImportNotices(class TServiceStore& store, const std::vector<TImportNotice>& notices);
    // A link that cannot be sent is withdrawn, so that the next synchronisation sends a new one.
    void SendAddressConfirmation(class TServiceStore& store, const TAddressConfirmation& confirmation);
    // A failure is logged; the authentication itself stands and reaches the program by
    // synchronisation.
    void SendNotice(const TChallengeView& challenge);
    const std::string& BaseURL() const { return m_BaseURL; }

private:
    TMailTransport& m_Transport;
    const std::string m_BaseURL;
    const std::function<int64_t()> m_Clock;
};
