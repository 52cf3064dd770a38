#pragma once
// Reading the header block of a raw internet message: header lookup with unfolding, encoded-word
// decoding, address parsing and date reading. Free functions without state and value types;
// callable from any thread. Input is untrusted mail: malformed text never crashes or hangs, and
// the only failures are the exceptions declared here.

#include <string>
#include <string_view>
#include <vector>

#include "base/LDates.h"
#include "base/LStrings.h"
#include "base/UException.h"

// Any failure to read a message's headers.
TESSIVAR_EXCEPTION(EMessageParseException, Exception);
// An address that cannot be parsed ("@ Outside address").
TESSIVAR_EXCEPTION(EEmailAddressException, EMessageParseException);
// An encoded word that cannot be decoded (a "Q" escape without two hex digits).
TESSIVAR_EXCEPTION(EHeaderDecodeException, EMessageParseException);

// The raw header lines of one message, exactly as received (without line ends), continuation
// lines included.
class TMessageHeaderList {
public:
    TMessageHeaderList() = default;
    explicit TMessageHeaderList(TStringArray lines) : m_Lines(std::move(lines)) {}

    void Add(std::string line) { m_Lines.push_back(std::move(line)); }
    void Clear() { m_Lines.clear(); }
    int Count() const { return static_cast<int>(m_Lines.size()); }
    const TStringArray& Lines() const { return m_Lines; }

    // The unfolded, trimmed value of the first header whose name (the text before the line's
    // first ":", not trimmed) equals name ignoring letter case; empty when there is none. NUL bytes
    // are dropped: no text read from a message may hold one (the database refuses them).
    std::string Values(std::string_view name) const;

private:
    TStringArray m_Lines;
};

// What the mailbox checker needs of one message.
struct TParsedMessage {
    TMessageHeaderList Headers;
    std::string MessageId;   // not decoded; empty when absent
    std::string FromAddress; // address of the first mailbox of "From", as written
    std::string FromName;    // its display name, decoded
    std::string Subject;     // decoded
    TDateTime Date = 0;      // local time; see InternetDateToLocal
};

// One parsed address.
struct TEmailAddress {
    std::string Address;
    std::string Name;
};

// The two halves of an address.
struct TEmailAddressParts {
    std::string User;
    std::string Domain;
};

// Reads the header block of a message given as lines without line ends (dot-unstuffed). Addresses
// are read from the text as written and only display names are decoded, so that an encoded name
// holding a comma, "<" or "@" cannot change an address. Fails with EMessageParseException when an
// address header cannot be parsed or when "Subject" or a display name of "From", "To" or "Cc"
// cannot be decoded.
TParsedMessage ParseMessageHeaders(const TStringArray& lines);
// The same fields for a message whose headers ParseMessageHeaders refuses, so that such a message
// can still be stored and shown instead of staying on the real server for ever: a text that cannot
// be decoded is kept as it stands (without NUL bytes), an unreadable first mailbox of "From" gives
// the text inside its last <...> (or the whole mailbox) as the address and no name, and the other
// address headers are not read. Never fails.
TParsedMessage ParseMessageHeadersTolerant(const TStringArray& lines);

// One address in any of the forms addr, name <addr>, "quoted name" <addr> and addr (comment).
// Fails with EEmailAddressException "@ Outside address" when an "@" follows a closed <address>.
TEmailAddress ParseEmailAddress(std::string_view text);
// A comma separated address list; commas inside quotes, comments and angle brackets do not
// separate. Empty entries are skipped. Fails like ParseEmailAddress on any entry.
std::vector<TEmailAddress> ParseEmailAddressList(std::string_view text);
// The first mailbox of an address list, as written (encoded words not decoded): the first entry
// that holds an address, where entries are cut at the commas outside quotes, comments and angle
// brackets, and a group's name ("Team:") and closing ";" are dropped. Entries without an address
// just before a bracketed address are kept as its display name (Doe, John <j@x.com> written
// without quotes). Without any address the first entry; an empty list gives an empty text.
std::string FirstMailboxText(std::string_view text);

// Decodes the encoded words (=?charset?encoding?text?=) of charsets beginning with "ISO" or
// "WINDOWS"; ISO-2022-JP text becomes Shift-JIS. Every NUL byte is removed from the result. Fails
// with EHeaderDecodeException on a "Q" escape not followed by two hex digits.
std::string DecodeHeaderText(std::string_view text);

// An internet message date in local standard time. Never fails: an empty or unreadable date gives
// the zero date-time moved by the local offset from UTC.
TDateTime InternetDateToLocal(std::string_view text);

// Class functions for internet addresses.
class Internet {
public:
    Internet() = delete;

    // User and domain of an address, written bare or as name <addr>. The user is the text before
    // the first "@", the domain the text after it, both trimmed; a text without "@" is all user
    // and has an empty domain.
    static TEmailAddressParts SplitEmailAddress(std::string_view text);
};
