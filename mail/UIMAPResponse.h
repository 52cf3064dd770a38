#pragma once
// The IMAP server's side of the conversation as text: cutting the byte stream into whole responses
// (lines with the literals they announce), and reading a response into its parts. Nothing here
// touches a socket. Memory stays bounded whatever the server sends: a literal larger than
// IMAPMaximumMessageSize, response text longer than IMAPMaximumLineLength, lists nested deeper than
// IMAPMaximumNesting or a response of more than IMAPMaximumValues values raise EIMAPException, and
// nothing is allocated for what the server only announces.
// Thread contract: an assembler is used by one thread at a time; the functions are pure.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "mail/UIMAPMailbox.h"

// The text of one response outside its literals (a SEARCH answer of a large folder is one line).
inline constexpr std::size_t IMAPMaximumLineLength = 8 * 1024 * 1024;
inline constexpr int IMAPMaximumNesting = 16;
inline constexpr std::size_t IMAPMaximumValues = 100000;

// Cuts received bytes into whole responses. A response is returned as it came, line ends and
// literals included, so that its parts can be read by ParseIMAPResponse.
class TIMAPResponseAssembler {
public:
    void Append(std::string_view bytes);
    // Moves the next whole response into `response`; false while it is incomplete. Raises
    // EIMAPException when the server exceeds a limit; the stream is then out of step for good.
    bool Next(std::string& response);
    // Bytes were received that no Next has handed out yet.
    bool HasPending() const { return m_Start < m_Buffer.size(); }

private:
    std::string m_Buffer;
    std::size_t m_Start = 0;    // where the response being assembled begins
    std::size_t m_Scanned = 0;  // bytes of it already known to belong to it
    std::size_t m_Searched = 0; // bytes known to hold no line end after m_Scanned
    std::size_t m_TextSize = 0; // its bytes outside literals so far
    bool m_FirstLine = true;    // m_Scanned is still within its first line
    bool m_NoLiterals = false;  // a status response or a continuation request: its text is free text
    std::size_t m_LiteralLeft = 0; // bytes of an announced literal still to come
};

// One value of a response: an atom (numbers and NIL's neighbours included), a string (quoted or
// literal), NIL, or a parenthesised list. Atoms keep bracketed parts whole: "BODY[HEADER]",
// "BODY[]<0>", "\\Seen".
struct TIMAPValue {
    enum class TKind { Atom, String, Nil, List };
    TKind Kind = TKind::Nil;
    std::string Text;                // atom or string
    std::vector<TIMAPValue> Items;   // list

    bool IsAtom(std::string_view name) const; // an atom of that name, without regard to case
    // The text of an atom or a string; empty for NIL and lists.
    const std::string& AsText() const { return Text; }
    // An atom that is a number of 32 bits; nullopt for anything else.
    std::optional<uint32_t> AsNumber() const;
};

struct TIMAPResponse {
    enum class TKind { Tagged, Untagged, Continuation };
    TKind Kind = TKind::Untagged;
    std::string Tag;     // tagged responses
    // Status responses (OK, NO, BAD, BYE, PREAUTH), upper case; empty for data responses.
    std::string Status;
    std::string Code;     // the response code's name, upper case: "UIDVALIDITY"; empty when none
    std::string CodeText; // what follows the name inside the brackets: "3857529045"
    std::string Text;     // the human-readable text (continuations: all that follows "+ ")
    // Data responses: "* 5 EXISTS" has Number 5 and Name "EXISTS"; "* LIST ..." Name "LIST".
    std::optional<uint32_t> Number;
    std::string Name;     // upper case
    std::vector<TIMAPValue> Values; // what follows the name, for the responses read here
    std::vector<uint32_t> Numbers;  // SEARCH: the numbers found
};

// Reads one whole response as TIMAPResponseAssembler returns it. The values of CAPABILITY, LIST,
// LSUB, FLAGS, FETCH (the items inside its parentheses), ESEARCH, NAMESPACE and STATUS are read,
// SEARCH into Numbers (anything after the numbers is ignored); other data responses keep no values
// (they are skipped). Raises EIMAPException for a response
// that breaks the grammar.
TIMAPResponse ParseIMAPResponse(std::string_view response);

// A status response as the server wrote it, for messages: "NO [TRYCREATE] No such mailbox".
std::string IMAPStatusText(const TIMAPResponse& response);

// The numbers of a sequence set such as "1:3,7,9:8" (ranges in either order), appended in order;
// raises EIMAPException when it is malformed or names more than `limit` numbers in all.
void AppendSequenceSet(std::string_view set, std::vector<uint32_t>& numbers, std::size_t limit);

// The value of a list of name-value pairs such as a FETCH response's: the item after `name`;
// nullptr when absent.
const TIMAPValue* FindItem(const std::vector<TIMAPValue>& pairs, std::string_view name);

// Mailbox names travel in modified UTF-7 (RFC 3501 5.1.3). Decoding is lenient: a malformed
// name comes back as it stands.
std::string EncodeMailboxName(std::string_view utf8);
std::string DecodeMailboxName(std::string_view name);

// A command argument as a quoted string; nullopt when the text needs a literal (8-bit, CR, LF,
// NUL or too long for a quoted string).
std::optional<std::string> QuotedIMAPString(std::string_view text);
