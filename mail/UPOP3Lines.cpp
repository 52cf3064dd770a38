#include "mail/UPOP3Lines.h"

#include <array>

namespace {

constexpr std::array<TPOP3CommandKind, 12> CommandOrder = {
    TPOP3CommandKind::USER, TPOP3CommandKind::PASS, TPOP3CommandKind::LIST, TPOP3CommandKind::RETR,
    TPOP3CommandKind::DELE, TPOP3CommandKind::UIDL, TPOP3CommandKind::STAT, TPOP3CommandKind::TOP,
    TPOP3CommandKind::NOOP, TPOP3CommandKind::APOP, TPOP3CommandKind::RSET, TPOP3CommandKind::QUIT};

bool LineHasCommand(std::string_view line, std::string_view word) {
    if (line.size() < word.size() || !SameText(line.substr(0, word.size()), word))
        return false;
    return line.size() == word.size() || line[word.size()] == ' ';
}

}  // namespace

void TLineAssembler::Append(std::string_view chunk) {
    Compact();
    m_Buffer.append(chunk);
}

bool TLineAssembler::Next(std::string& line) {
    for (;;) {
        const std::size_t end = m_Buffer.find('\n', m_Start + m_Scanned);
        if (m_Dropping) {
            if (end == std::string::npos) {
                m_Start = m_Buffer.size();
                m_Scanned = 0;
                return false;
            }
            m_Start = end + 1;
            m_Scanned = 0;
            m_Dropping = false;
            continue;
        }
        if (end == std::string::npos) {
            const std::size_t pending = m_Buffer.size() - m_Start;
            // One byte more than the limit may still be the CR of a line that is just long enough.
            const bool tooLong = pending > m_MaxLineLength + 1 ||
                                 (pending == m_MaxLineLength + 1 && m_Buffer.back() != '\r');
            if (tooLong) {
                m_Start = m_Buffer.size();
                m_Scanned = 0;
                m_Dropping = true;
                throw EPOP3LineTooLong("Max line length exceeded.");
            }
            m_Scanned = pending;
            return false;
        }
        std::size_t length = end - m_Start;
        if (length > 0 && m_Buffer[end - 1] == '\r')
            --length;
        if (length > m_MaxLineLength) {
            m_Start = end + 1;
            m_Scanned = 0;
            throw EPOP3LineTooLong("Max line length exceeded.");
        }
        line.assign(m_Buffer, m_Start, length);
        m_Start = end + 1;
        m_Scanned = 0;
        return true;
    }
}

bool TLineAssembler::HasPartialLine() const {
    return m_Dropping || m_Start < m_Buffer.size();
}

void TLineAssembler::Compact() {
    // Drop consumed bytes once they make up most of the buffer, so appends stay amortised linear.
    if (m_Start > 0 && m_Start * 2 >= m_Buffer.size()) {
        m_Buffer.erase(0, m_Start);
        m_Start = 0;
    }
}

std::string_view POP3CommandWord(TPOP3CommandKind kind) {
    switch (kind) {
    case TPOP3CommandKind::USER: return "USER";
    case TPOP3CommandKind::PASS: return "PASS";
    case TPOP3CommandKind::LIST: return "LIST";
    case TPOP3CommandKind::RETR: return "RETR";
    case TPOP3CommandKind::DELE: return "DELE";
    case TPOP3CommandKind::UIDL: return "UIDL";
    case TPOP3CommandKind::STAT: return "STAT";
    case TPOP3CommandKind::TOP: return "TOP";
    case TPOP3CommandKind::NOOP: return "NOOP";
    case TPOP3CommandKind::APOP: return "APOP";
    case TPOP3CommandKind::RSET: return "RSET";
    case TPOP3CommandKind::QUIT: return "QUIT";
    case TPOP3CommandKind::Unknown: break;
    }
    return {};
}

TPOP3CommandKind MatchPOP3Command(std::string_view line) {
    for (TPOP3CommandKind kind : CommandOrder) {
        if (LineHasCommand(line, POP3CommandWord(kind)))
            return kind;
    }
    return TPOP3CommandKind::Unknown;
}

std::string POP3ParameterText(std::string_view line, TPOP3CommandKind kind) {
    const std::size_t skip = POP3CommandWord(kind).size() + 1;
    return line.size() > skip ? std::string(line.substr(skip)) : std::string();
}

TStringArray SplitPOP3Parameters(std::string_view parameterText) {
    TStringArray result;
    std::size_t position = 0;
    while (position < parameterText.size()) {
        const std::size_t start = parameterText.find_first_not_of(' ', position);
        if (start == std::string_view::npos)
            break;
        std::size_t end = parameterText.find(' ', start);
        if (end == std::string_view::npos)
            end = parameterText.size();
        result.emplace_back(parameterText.substr(start, end - start));
        position = end;
    }
    return result;
}

int32_t POP3NumberOrDefault(std::string_view text) {
    int32_t value = -1;
    return TryStrToInt(Trim(text), value) ? value : -1;
}

TPOP3Reply ParsePOP3Reply(std::string_view line) {
    const std::string status = Trim(line.substr(0, 4));
    TPOP3Reply reply;
    if (SameText(status, "+OK"))
        reply.Success = true;
    else if (!SameText(status, "-ERR"))
        throw EPOP3Exception("Unrecognized POP3 Response Header:\n\"" + std::string(line) + "\"");
    if (line.size() > 4)
        reply.Text.assign(line.substr(4));
    return reply;
}

std::string StuffPOP3Line(std::string_view line) {
    if (!line.empty() && line.front() == '.')
        return "." + std::string(line);
    return std::string(line);
}

bool IsPOP3Terminator(std::string_view line) {
    return line == ".";
}

std::string UnstuffPOP3Line(std::string_view line) {
    if (line.starts_with(".."))
        return std::string(line.substr(1));
    return std::string(line);
}
