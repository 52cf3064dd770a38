#include "devservice/UServiceMail.h"

#include <ctime>
#include <sodium.h>

#include "base/LDates.h"
#include "core/UTessivarClassification.h"
#include "devservice/UServiceLog.h"
#include "devservice/UServiceStore.h"

namespace {

// Bounds of the client's texts inside a message, well under the 998 characters of a mail line.
const size_t SubjectBytes = 400;
const size_t DisplayNameBytes = 120;
// Raw bytes per encoded word: 45 bytes make 60 base64 characters, within the 75 of a word.
const size_t EncodedWordBytes = 45;
// Notices carry their own id domain, so that they are never taken for a returning request.
const char* const NoticeIdDomain = "services.tessivar.com";

bool IsASCII(std::string_view text) {
    for (const unsigned char c : text)
        if (c >= 0x80)
            return false;
    return true;
}

// The length of the longest prefix of at most `limit` bytes that does not split a UTF-8 sequence.
size_t CharacterBoundary(std::string_view text, size_t limit) {
    if (text.size() <= limit)
        return text.size();
    size_t end = limit;
    while (end > 0 && (static_cast<unsigned char>(text[end]) & 0xC0) == 0x80)
        --end;
    return end;
}

std::string Base64(std::string_view bytes) {
    std::string text(sodium_base64_ENCODED_LEN(bytes.size(), sodium_base64_VARIANT_ORIGINAL), '\0');
    sodium_bin2base64(text.data(), text.size(), reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size(),
                      sodium_base64_VARIANT_ORIGINAL);
    text.resize(text.size() - 1);
    return text;
}

// "Name" <address>, or the bare address without a name.
std::string Mailbox(std::string_view displayName, std::string_view address) {
    std::string name = HeaderText(displayName, DisplayNameBytes);
    while (!name.empty() && name.back() == ' ')
        name.pop_back();
    if (name.empty())
        return std::string(address);
    if (IsASCII(displayName)) {
        std::string quoted = "\"";
        for (const char c : name) {
            if (c == '"' || c == '\\')
                quoted += '\\';
            quoted += c;
        }
        name = quoted + "\"";
    }
    return name + " <" + std::string(address) + ">";
}

std::string RandomID(std::string_view domain) {
    unsigned char bytes[16];
    randombytes_buf(bytes, sizeof bytes);
    char hex[sizeof bytes * 2 + 1];
    sodium_bin2hex(hex, sizeof hex, bytes, sizeof bytes);
    return "<" + std::string(hex) + "@" + std::string(domain) + ">";
}

// Body text: control characters other than tabs become blanks, so a line stays one line.
std::string BodyText(std::string_view text, size_t maxBytes) {
    std::string clean(text.substr(0, CharacterBoundary(text, maxBytes)));
    for (char& c : clean)
        if ((static_cast<unsigned char>(c) < 0x20 && c != '\t') || c == 0x7f)
            c = ' ';
    return clean;
}

std::string Headers(const std::vector<std::pair<std::string, std::string>>& headers) {
    std::string text;
    for (const auto& [name, value] : headers)
        text += name + ": " + value + "\r\n";
    return text;
}

const char* const MIMEHeaders = "MIME-Version: 1.0\r\nContent-Type: text/plain; charset=utf-8\r\n"
                                "Content-Transfer-Encoding: 8bit\r\n";

} // namespace

bool IsMailbox(std::string_view address) {
    if (address.empty() || address.size() > 254)
        return false;
    const size_t at = address.find('@');
    if (at == 0 || at == std::string_view::npos || at + 1 == address.size() ||
        address.find('@', at + 1) != std::string_view::npos)
        return false;
    for (const unsigned char c : address)
        if (c <= ' ' || c >= 0x7f || c == '<' || c == '>' || c == '"' || c == ',' || c == ';' || c == '\\' ||
            c == '(' || c == ')')
            return false;
    return true;
}

std::string HeaderText(std::string_view text, size_t maxBytes) {
    std::string clean(text.substr(0, CharacterBoundary(text, maxBytes)));
    for (char& c : clean)
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f)
            c = ' ';
    if (IsASCII(clean))
        return clean;
    std::string encoded;
    std::string_view rest = clean;
    while (!rest.empty()) {
        size_t size = CharacterBoundary(rest, EncodedWordBytes);
        if (size == 0) // a stray continuation byte run longer than a word
            size = std::min(rest.size(), EncodedWordBytes);
        if (!encoded.empty())
            encoded += "\r\n ";
        encoded += "=?UTF-8?B?" + Base64(rest.substr(0, size)) + "?=";
        rest.remove_prefix(size);
    }
    return encoded;
}

std::string ReadableDate(std::string_view text) {
    const TZDateTime value = TextToDateTime(text);
    const int32_t offset = value.Offset < 0 ? -value.Offset : value.Offset;
    char zone[16];
    std::snprintf(zone, sizeof zone, " %c%02d:%02d", value.Offset < 0 ? '-' : '+', offset / 60 % 100, offset % 60);
    return FormatDateTime("yyyy-mm-dd hh:nn", value.Value) + zone;
}

std::string MailDate(int64_t unixTime) {
    static const char* const Days[] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
    static const char* const Months[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                         "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
    const std::time_t time = static_cast<std::time_t>(unixTime);
    std::tm utc{};
    gmtime_r(&time, &utc);
    char text[48];
    std::snprintf(text, sizeof text, "%s, %02d %s %04d %02d:%02d:%02d +0000", Days[utc.tm_wday % 7], utc.tm_mday,
                  Months[utc.tm_mon % 12], utc.tm_year + 1900, utc.tm_hour, utc.tm_min, utc.tm_sec);
    return text;
}

std::string AuthenticationLink(std::string_view baseURL, std::string_view token) {
    while (!baseURL.empty() && baseURL.back() == '/')
        baseURL.remove_suffix(1);
    return std::string(baseURL) + "/authenticate.aspx?token=" + std::string(token);
}

TOutgoingMail AuthenticationRequestMail(const TChallenge& challenge, std::string_view baseURL, int64_t now) {
    const TAuthorizationRequest& request = challenge.Request;
    TOutgoingMail mail;
    mail.EnvelopeFrom = challenge.AccountEmailAddress;
    mail.EnvelopeTo = request.FromEmailAddress;
    mail.Text = Headers({
        {"From", challenge.AccountEmailAddress},
        {"To", Mailbox(request.FromDisplayName, request.FromEmailAddress)},
        {"Subject", "Please confirm your message: " + HeaderText(request.Subject, SubjectBytes)},
        {"Date", MailDate(now)},
        {"Message-Id",
         challenge.MessageId.empty() ? RandomID(AuthenticationRequestMarkerDomain) : "<" + challenge.MessageId + ">"},
        {std::string(TessivarHeaderName), std::string(AuthenticationRequestHeaderValue)},
        // An automatic reply (RFC 3834): no screening program or auto-responder answers it again.
        {"Auto-Submitted", "auto-replied"},
    });
    mail.Text += MIMEHeaders;
    mail.Text += "\r\n";
    mail.Text += "Hello,\r\n\r\n"
                 "You receive this mail because a message from your address reached " +
                 challenge.AccountEmailAddress +
                 ", who screens mail from unknown senders; if you did not write to them, you need not do "
                 "anything.\r\n\r\n"
                 "  Subject: " +
                 BodyText(request.Subject, SubjectBytes) +
                 "\r\n"
                 "  Date:    " +
                 ReadableDate(request.Received) +
                 "\r\n\r\n"
                 "If you sent this message and want it delivered, please open the page below and confirm\r\n"
                 "that you sent it. You will need to do this only once.\r\n\r\n" +
                 AuthenticationLink(baseURL, challenge.Token) + "\r\n";
    return mail;
}

TOutgoingMail SelfAuthenticationNotice(const TChallengeView& challenge, int64_t now) {
    TOutgoingMail mail;
    mail.EnvelopeFrom = challenge.AccountEmailAddress;
    mail.EnvelopeTo = challenge.AccountEmailAddress;
    mail.Text = Headers({
        {"From", Mailbox(challenge.SenderDisplayName, challenge.SenderEmailAddress)},
        {"To", challenge.AccountEmailAddress},
        {"Subject", "Sender authenticated: " + challenge.SenderEmailAddress},
        {"Date", MailDate(now)},
        {"Message-Id", RandomID(NoticeIdDomain)},
        {std::string(TessivarHeaderName), std::string(SelfAuthenticationHeaderValue)},
    });
    mail.Text += MIMEHeaders;
    mail.Text += "\r\n";
    mail.Text += challenge.SenderEmailAddress + " confirmed sending you the message \"" +
                 BodyText(challenge.Subject, SubjectBytes) +
                 "\".\r\n"
                 "Mail from this sender is now delivered to you.\r\n";
    return mail;
}

TOutgoingMail ImportNoticeMail(const TImportNotice& notice, int64_t now) {
    TOutgoingMail mail;
    mail.EnvelopeFrom = notice.AccountEmailAddress;
    mail.EnvelopeTo = notice.SenderEmailAddress;
    mail.Text = Headers({
        {"From", notice.AccountEmailAddress},
        {"To", Mailbox(notice.SenderDisplayName, notice.SenderEmailAddress)},
        {"Subject", notice.AccountEmailAddress + " now screens mail with Tessivar"},
        {"Date", MailDate(now)},
        {"Message-Id", RandomID(NoticeIdDomain)},
    });
    mail.Text += MIMEHeaders;
    mail.Text += "\r\n";
    mail.Text += "Hello,\r\n\r\n" + notice.AccountEmailAddress +
                 " now uses Tessivar to keep unwanted mail away, and has\r\n"
                 "added you to the list of approved senders.\r\n\r\n"
                 "Your mail will keep arriving as before: you do not need to do anything.\r\n"
                 "Senders who are not approved are asked once to confirm that they sent\r\n"
                 "their message; you will not be asked.\r\n\r\n"
                 "This notice is sent only once.\r\n";
    return mail;
}

std::string AddressConfirmationLink(std::string_view baseURL, std::string_view token) {
    while (!baseURL.empty() && baseURL.back() == '/')
        baseURL.remove_suffix(1);
    return std::string(baseURL) + "/confirm.aspx?token=" + std::string(token);
}

TOutgoingMail AddressConfirmationMail(const TAddressConfirmation& confirmation, std::string_view baseURL,
                                      int64_t now) {
    TOutgoingMail mail;
    mail.EnvelopeFrom = confirmation.EmailAddress;
    mail.EnvelopeTo = confirmation.EmailAddress;
    mail.Text = Headers({
        {"From", confirmation.EmailAddress},
        {"To", confirmation.EmailAddress},
        {"Subject", "Please confirm your address for Tessivar"},
        {"Date", MailDate(now)},
        {"Message-Id", RandomID(NoticeIdDomain)},
        {"Auto-Submitted", "auto-generated"},
    });
    mail.Text += MIMEHeaders;
    mail.Text += "\r\n";
    mail.Text += "Hello,\r\n\r\n"
                 "A Tessivar account was created for " +
                 confirmation.EmailAddress +
                 ". Before Tessivar sends any mail in\r\n"
                 "this address's name, such as the requests that ask unknown senders to confirm their\r\n"
                 "messages, please confirm that the address is yours on the page below:\r\n\r\n" +
                 AddressConfirmationLink(baseURL, confirmation.Token) +
                 "\r\n\r\n"
                 "If you did not create this account, you need not do anything: no mail will be sent in\r\n"
                 "your name.\r\n";
    return mail;
}

// ---- The mailer --------------------------------------------------------------------------------

TServiceMailer::TServiceMailer(TMailTransport& transport, std::string baseURL, std::function<int64_t()> clock)
    : m_Transport(transport), m_BaseURL(std::move(baseURL)), m_Clock(std::move(clock)) {}

void TServiceMailer::SendChallenges(TServiceStore& store, const std::vector<TChallenge>& challenges) {
    for (const TChallenge& challenge : challenges) {
        try {
            m_Transport.Send(AuthenticationRequestMail(challenge, m_BaseURL, m_Clock()));
            ServiceLog("Authentication request sent to " + challenge.Request.FromEmailAddress + " for " +
                       challenge.AccountEmailAddress + ".");
        } catch (const std::exception& error) {
            ServiceLog("Could not send the authentication request to " + challenge.Request.FromEmailAddress + ": " +
                       error.what());
            try {
                store.WithdrawChallenge(challenge);
            } catch (const std::exception& withdrawal) {
                ServiceLog(std::string("Could not withdraw the challenge: ") + withdrawal.what());
            }
        }
    }
}

void TServiceMailer::SendImportNotices(TServiceStore& store, const std::vector<TImportNotice>& notices) {
    for (const TImportNotice& notice : notices) {
        try {
            m_Transport.Send(ImportNoticeMail(notice, m_Clock()));
            ServiceLog("Import notice sent to " + notice.SenderEmailAddress + " for " + notice.AccountEmailAddress +
                       ".");
        } catch (const std::exception& error) {
            ServiceLog("Could not send the import notice to " + notice.SenderEmailAddress + ": " + error.what());
            try {
                store.WithdrawImportNotice(notice);
            } catch (const std::exception& withdrawal) {
                ServiceLog(std::string("Could not withdraw the import notice: ") + withdrawal.what());
            }
        }
    }
}

void TServiceMailer::SendAddressConfirmation(TServiceStore& store, const TAddressConfirmation& confirmation) {
    try {
        m_Transport.Send(AddressConfirmationMail(confirmation, m_BaseURL, m_Clock()));
        ServiceLog("Address confirmation sent to " + confirmation.EmailAddress + ".");
    } catch (const std::exception& error) {
        ServiceLog("Could not send the address confirmation to " + confirmation.EmailAddress + ": " + error.what());
        try {
            store.WithdrawAddressConfirmation(confirmation);
        } catch (const std::exception& withdrawal) {
            ServiceLog(std::string("Could not withdraw the address confirmation: ") + withdrawal.what());
        }
    }
}

void TServiceMailer::SendNotice(const TChallengeView& challenge) {
    try {
        m_Transport.Send(SelfAuthenticationNotice(challenge, m_Clock()));
        ServiceLog("Self-authentication notice sent to " + challenge.AccountEmailAddress + " for " +
                   challenge.SenderEmailAddress + ".");
    } catch (const std::exception& error) {
        ServiceLog("Could not send the self-authentication notice to " + challenge.AccountEmailAddress + ": " +
                   error.what());
    }
}
