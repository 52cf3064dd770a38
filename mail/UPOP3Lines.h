#pragma once
// The text side of POP3: assembling lines from received chunks, recognising commands, reading reply
// status lines and byte-stuffing multi-line bodies. Pure functions of text, no sockets. The free
// functions may be called from any thread; a TLineAssembler belongs to one thread at a time.

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "base/LStrings.h"
#include "base/UException.h"

// Protocol failures of both the POP3 server engine and the POP3 client.
TESSIVAR_EXCEPTION(EPOP3Exception, Exception);
// A received line longer than POP3MaxLineLength ("Max line length exceeded.").
TESSIVAR_EXCEPTION(EPOP3LineTooLong, EPOP3Exception);

// Longest command or status line accepted, not counting its line end. Lines of a message body are
// bounded by the message size limit of the client instead (UPOP3Client.h).
constexpr std::size_t POP3MaxLineLength = 16384;

// Splits received bytes into lines. A line ends at LF; one CR right before the LF is removed.
class TLineAssembler {
public:
    void Append(std::string_view chunk);
    // Moves the next complete line into `line` and returns true; false while no complete line is
    // buffered. A line longer than MaxLineLength raises EPOP3LineTooLong "Max line length exceeded."
    // once; the rest of that line is then dropped as it arrives, so later calls continue with the
    // line after it.
    bool Next(std::string& line);
    // True when bytes of an unfinished line are buffered (or an overlong line is being dropped).
    bool HasPartialLine() const;
    // The limit applied to the lines handed out from now on (POP3MaxLineLength at first).
    void SetMaxLineLength(std::size_t length) { m_MaxLineLength = length; }
    std::size_t MaxLineLength() const { return m_MaxLineLength; }

private:
    void Compact();

    std::size_t m_MaxLineLength = POP3MaxLineLength;
    std::string m_Buffer;
    std::size_t m_Start = 0;    // first byte not yet handed out
    std::size_t m_Scanned = 0;  // bytes from m_Start already known to hold no LF
    bool m_Dropping = false;    // inside an overlong line, dropping up to its LF
};

// The commands of the server, in the order a line is matched against them.
enum class TPOP3CommandKind { Unknown, USER, PASS, LIST, RETR, DELE, UIDL, STAT, TOP, NOOP, APOP, RSET, QUIT };

// The command word as written on the wire ("LIST"); empty for Unknown.
std::string_view POP3CommandWord(TPOP3CommandKind kind);
// A command matches when the whole line is its word, or the line starts with its word followed by
// one blank; letter case is ignored.
TPOP3CommandKind MatchPOP3Command(std::string_view line);
// The line after the command word and one blank; empty when the line is only the word.
std::string POP3ParameterText(std::string_view line, TPOP3CommandKind kind);
// The parameter text cut at blanks; runs of blanks separate like one.
TStringArray SplitPOP3Parameters(std::string_view parameterText);
// The trimmed text as a message number; -1 when it is empty or not an integer.
int32_t POP3NumberOrDefault(std::string_view text);

// A reply status line as read by the client.
struct TPOP3Reply {
    bool Success = false;
    std::string Text;  // the line from its fifth character on
};
// Status is the first four characters, trimmed: "+OK" or "-ERR", letter case ignored. Anything else
// raises EPOP3Exception "Unrecognized POP3 Response Header:" LF and the line in double quotes.
TPOP3Reply ParsePOP3Reply(std::string_view line);

// Multi-line bodies: a line beginning with "." is sent with one more "." in front; the body ends
// with a line that is exactly ".".
std::string StuffPOP3Line(std::string_view line);
bool IsPOP3Terminator(std::string_view line);
std::string UnstuffPOP3Line(std::string_view line);
