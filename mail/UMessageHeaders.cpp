#include "mail/UMessageHeaders.h"

namespace {

bool IsBlank(char c) {
    return c == ' ' || c == '\t';
}

// The non-empty trimmed pieces joined by single blanks: the value of a header folded over
// several lines. Linear in the total length, however many continuation lines there are.
void AppendUnfolded(std::string& value, std::string_view piece) {
    std::string kept(piece);
    std::erase(kept, '\0');
    std::string trimmed = Trim(kept);
    if (trimmed.empty())
        return;
    if (!value.empty())
        value += ' ';
    value += trimmed;
}

} // namespace

// TMessageHeaderList

std::string TMessageHeaderList::Values(std::string_view name) const {
    for (size_t i = 0; i < m_Lines.size(); ++i) {
        const std::string& line = m_Lines[i];
        const size_t colon = line.find(':');
        if (colon == std::string::npos) {
            // A line without ":" has an empty name.
            if (!name.empty())
                continue;
        } else if (!SameText(std::string_view(line).substr(0, colon), name)) {
            continue;
        }
        std::string value;
        if (colon != std::string::npos)
            AppendUnfolded(value, std::string_view(line).substr(colon + 1));
        for (size_t next = i + 1; next < m_Lines.size(); ++next) {
            const std::string& continuation = m_Lines[next];
            if (continuation.empty() || !IsBlank(continuation[0]))
                break;
            AppendUnfolded(value, continuation);
        }
        return value;
    }
    return {};
}

// ParseMessageHeaders

namespace {

// The lines up to the first empty line or the first line that is exactly ".".
TMessageHeaderList HeaderBlock(const TStringArray& lines) {
    TMessageHeaderList headers;
    for (const std::string& line : lines) {
        if (line.empty() || line == ".")
            break;
        headers.Add(line);
    }
    return headers;
}

// The fields of the header block. decode reads header text; readSender reads the first mailbox
// of the raw "From" value, decoding its display name with decode.
template <class TDecode, class TReadSender>
TParsedMessage ReadFields(const TStringArray& lines, TDecode decode, TReadSender readSender) {
    TParsedMessage message;
    message.Headers = HeaderBlock(lines);
    const TMessageHeaderList& headers = message.Headers;
    message.MessageId = headers.Values("Message-Id");
    message.Subject = decode(headers.Values("Subject"));
    TEmailAddress from = readSender(headers.Values("From"), decode);
    message.FromAddress = std::move(from.Address);
    message.FromName = std::move(from.Name);
    message.Date = InternetDateToLocal(headers.Values("Date"));
    return message;
}

std::string DecodeOrKeep(std::string_view text) {
    try {
        return DecodeHeaderText(text);
    } catch (const EMessageParseException&) {
        std::string kept(text);
        std::erase(kept, '\0');
        return kept;
    }
}

// Encoded words belong in the display name only; the address stays as written.
template <class TDecode> TEmailAddress DecodeName(TEmailAddress address, TDecode decode) {
    address.Name = Trim(decode(address.Name));
    return address;
}

// Every mailbox of a list, for a header that must be readable as a whole.
void CheckAddressList(std::string_view text) {
    for (const TEmailAddress& address : ParseEmailAddressList(text))
        DecodeHeaderText(address.Name);
}

template <class TDecode> TEmailAddress ReadSender(const std::string& from, TDecode decode) {
    return DecodeName(ParseEmailAddress(FirstMailboxText(from)), decode);
}

template <class TDecode> TEmailAddress ReadSenderOrFallback(const std::string& from, TDecode decode) {
    const std::string mailbox = FirstMailboxText(from);
    try {
        return DecodeName(ParseEmailAddress(mailbox), decode);
    } catch (const EMessageParseException&) {
    }
    const std::size_t open = mailbox.rfind('<');
    const std::size_t close = open == std::string::npos ? std::string::npos : mailbox.find('>', open);
    if (close != std::string::npos)
        return {Trim(std::string_view(mailbox).substr(open + 1, close - open - 1)), {}};
    return {Trim(mailbox), {}};
}

} // namespace

TParsedMessage ParseMessageHeaders(const TStringArray& lines) {
    const auto decode = [](std::string_view text) { return DecodeHeaderText(text); };
    TParsedMessage message = ReadFields(lines, decode, ReadSender<decltype(decode)>);
    const TMessageHeaderList& headers = message.Headers;

    // The other mailboxes of "From" and the other address headers are not used, but a message
    // whose addresses cannot be read is refused as a whole, as one with an unreadable sender.
    CheckAddressList(headers.Values("From"));
    ParseEmailAddressList(headers.Values("Sender"));
    CheckAddressList(headers.Values("To"));
    CheckAddressList(headers.Values("Cc"));
    ParseEmailAddressList(headers.Values("Reply-To"));
    std::string receiptTo = headers.Values("Disposition-Notification-To");
    if (receiptTo.empty())
        receiptTo = headers.Values("Return-Receipt-To");
    ParseEmailAddressList(receiptTo);
    return message;
}

TParsedMessage ParseMessageHeadersTolerant(const TStringArray& lines) {
    return ReadFields(lines, DecodeOrKeep, ReadSenderOrFallback<decltype(&DecodeOrKeep)>);
}

// Internet

TEmailAddressParts Internet::SplitEmailAddress(std::string_view text) {
    std::string address(text);
    if (text.find('<') != std::string_view::npos) {
        try {
            address = ParseEmailAddress(text).Address;
        } catch (const EMessageParseException&) {
            // Not a readable address: split the text as it stands.
        }
    }
    TEmailAddressParts parts;
    const size_t at = address.find('@');
    if (at == std::string::npos) {
        parts.User = Trim(address);
    } else {
        parts.User = Trim(std::string_view(address).substr(0, at));
        parts.Domain = Trim(std::string_view(address).substr(at + 1));
    }
    return parts;
}
