#include "mail/UIMAPResponse.h"

#include <array>

#include "base/LStrings.h"
#include "base/LUnicode.h"

namespace {

bool IsStatusWord(std::string_view word) {
    for (const char* status : {"OK", "NO", "BAD", "BYE", "PREAUTH"})
        if (SameText(word, status))
            return true;
    return false;
}

bool IsDigit(char c) {
    return c >= '0' && c <= '9';
}

// The line without its line end.
std::string_view WithoutLineEnd(std::string_view line) {
    while (!line.empty() && (line.back() == '\n' || line.back() == '\r'))
        line.remove_suffix(1);
    return line;
}

// The size of the literal a line announces at its end ("... {123}" or "{123+}"), outside quoted
// strings; nullopt when it announces none.
std::optional<std::size_t> AnnouncedLiteral(std::string_view line) {
    line = WithoutLineEnd(line);
    if (line.empty() || line.back() != '}')
        return std::nullopt;
    bool quoted = false;
    std::size_t open = std::string_view::npos;
    for (std::size_t i = 0; i < line.size(); ++i) {
        const char c = line[i];
        if (quoted) {
            if (c == '\\')
                ++i;
            else if (c == '"')
                quoted = false;
        } else if (c == '"') {
            quoted = true;
        } else if (c == '{') {
            open = i;
        }
    }
    if (quoted || open == std::string_view::npos)
        return std::nullopt;
    std::string_view digits = line.substr(open + 1, line.size() - open - 2);
    if (!digits.empty() && digits.back() == '+')
        digits.remove_suffix(1);
    if (digits.empty() || digits.size() > 12)
        return digits.empty() ? std::nullopt : std::optional<std::size_t>(SIZE_MAX);
    std::size_t size = 0;
    for (const char c : digits) {
        if (!IsDigit(c))
            return std::nullopt;
        size = size * 10 + static_cast<std::size_t>(c - '0');
    }
    return size;
}

// The first line of a response says whether literals may follow: status responses and
// continuation requests carry free text, in which "{5}" is just text.
bool CarriesFreeText(std::string_view line) {
    if (line.starts_with("+"))
        return true;
    const std::size_t first = line.find(' ');
    if (first == std::string_view::npos)
        return false;
    std::string_view rest = line.substr(first + 1);
    const std::size_t end = rest.find_first_of(" \r\n[");
    return IsStatusWord(rest.substr(0, end));
}

EIMAPException Malformed(const std::string& what) {
    return EIMAPException("Malformed IMAP response: " + what + ".");
}

// Reads the parts of one response.
class TResponseReader {
public:
    explicit TResponseReader(std::string_view text) : m_Text(text) {}

    bool AtLineEnd() const { return m_At >= m_Text.size() || m_Text[m_At] == '\r' || m_Text[m_At] == '\n'; }
    char Peek() const { return m_At < m_Text.size() ? m_Text[m_At] : '\0'; }

    void SkipSpaces() {
        while (m_At < m_Text.size() && m_Text[m_At] == ' ')
            ++m_At;
    }

    // Characters up to the next blank or line end.
    std::string_view Word() {
        const std::size_t start = m_At;
        while (!AtLineEnd() && m_Text[m_At] != ' ')
            ++m_At;
        return m_Text.substr(start, m_At - start);
    }

    // The rest of the current line.
    std::string_view RestOfLine() {
        const std::size_t start = m_At;
        while (!AtLineEnd())
            ++m_At;
        return m_Text.substr(start, m_At - start);
    }

    // "[NAME text]" at the cursor, brackets inside quotes or parentheses included.
    void ResponseCode(std::string& code, std::string& codeText) {
        ++m_At; // '['
        const std::size_t start = m_At;
        bool quoted = false;
        while (!AtLineEnd()) {
            const char c = m_Text[m_At];
            if (quoted && c == '\\')
                ++m_At;
            else if (c == '"')
                quoted = !quoted;
            else if (!quoted && c == ']')
                break;
            ++m_At;
        }
        if (AtLineEnd())
            throw Malformed("unterminated response code");
        const std::string_view inside = m_Text.substr(start, m_At - start);
        ++m_At; // ']'
        const std::size_t blank = inside.find(' ');
        code = UpperCase(inside.substr(0, blank));
        codeText = blank == std::string_view::npos ? std::string() : std::string(inside.substr(blank + 1));
    }

    // Values separated by blanks up to the end of the response.
    std::vector<TIMAPValue> ValuesToEnd() {
        std::vector<TIMAPValue> values;
        for (;;) {
            SkipSpaces();
            if (AtLineEnd())
                return values;
            values.push_back(Value(0));
        }
    }

    TIMAPValue Value(int depth) {
        if (++m_Values > IMAPMaximumValues)
            throw EIMAPException("IMAP response has too many values.");
        TIMAPValue value;
        const char c = Peek();
        if (c == '(') {
            if (depth >= IMAPMaximumNesting)
                throw EIMAPException("IMAP response is nested too deeply.");
            ++m_At;
            value.Kind = TIMAPValue::TKind::List;
            for (;;) {
                SkipSpaces();
                if (Peek() == ')') {
                    ++m_At;
                    return value;
                }
                if (AtLineEnd())
                    throw Malformed("unterminated list");
                value.Items.push_back(Value(depth + 1));
            }
        }
        if (c == '"') {
            value.Kind = TIMAPValue::TKind::String;
            value.Text = Quoted();
            return value;
        }
        if (c == '{') {
            value.Kind = TIMAPValue::TKind::String;
            value.Text = Literal();
            return value;
        }
        value.Kind = TIMAPValue::TKind::Atom;
        value.Text = Atom();
        if (value.Text.empty())
            throw Malformed(std::string("unexpected character '") + c + "'");
        if (SameText(value.Text, "NIL"))
            value.Kind = TIMAPValue::TKind::Nil;
        return value;
    }

private:
    std::string Quoted() {
        ++m_At; // '"'
        std::string text;
        for (;;) {
            if (AtLineEnd())
                throw Malformed("unterminated quoted string");
            char c = m_Text[m_At++];
            if (c == '"')
                return text;
            if (c == '\\') {
                if (AtLineEnd())
                    throw Malformed("unterminated quoted string");
                c = m_Text[m_At++];
            }
            text.push_back(c);
        }
    }

    std::string Literal() {
        ++m_At; // '{'
        std::size_t size = 0;
        int digits = 0;
        while (IsDigit(Peek())) {
            if (++digits > 12)
                throw Malformed("literal too large");
            size = size * 10 + static_cast<std::size_t>(Peek() - '0');
            ++m_At;
        }
        if (Peek() == '+')
            ++m_At;
        if (digits == 0 || Peek() != '}')
            throw Malformed("bad literal");
        ++m_At;
        if (Peek() == '\r')
            ++m_At;
        if (Peek() != '\n')
            throw Malformed("literal not at the end of a line");
        ++m_At;
        if (size > m_Text.size() - m_At)
            throw Malformed("literal cut short");
        std::string text(m_Text.substr(m_At, size));
        m_At += size;
        return text;
    }

    // An atom; a bracketed part ("BODY[HEADER.FIELDS (DATE)]") is kept whole with its blanks.
    std::string Atom() {
        const std::size_t start = m_At;
        int brackets = 0;
        while (!AtLineEnd()) {
            const char c = m_Text[m_At];
            if (c == '[')
                ++brackets;
            else if (c == ']' && brackets > 0)
                --brackets;
            else if (brackets == 0 && (c == ' ' || c == '(' || c == ')' || c == '"' || c == '{'))
                break;
            ++m_At;
        }
        return std::string(m_Text.substr(start, m_At - start));
    }

    std::string_view m_Text;
    std::size_t m_At = 0;
    std::size_t m_Values = 0;
};

// The numbers of a SEARCH answer, up to anything that is not a number (a MODSEQ list).
std::vector<uint32_t> SearchNumbers(TResponseReader& reader) {
    std::vector<uint32_t> numbers;
    for (;;) {
        reader.SkipSpaces();
        if (reader.AtLineEnd() || !IsDigit(reader.Peek()))
            return numbers;
        TIMAPValue value;
        value.Kind = TIMAPValue::TKind::Atom;
        value.Text = std::string(reader.Word());
        const std::optional<uint32_t> number = value.AsNumber();
        if (!number)
            throw Malformed("bad number in SEARCH");
        numbers.push_back(*number);
    }
}

bool ReadsValues(const std::string& name) {
    for (const char* known : {"CAPABILITY", "LIST", "LSUB", "FLAGS", "ESEARCH", "NAMESPACE", "STATUS", "ENABLED"})
        if (name == known)
            return true;
    return false;
}

} // namespace

void TIMAPResponseAssembler::Append(std::string_view bytes) {
    if (m_Start > 0 && m_Start == m_Buffer.size()) {
        m_Buffer.clear();
        m_Scanned -= m_Start;
        m_Searched = m_Searched > m_Start ? m_Searched - m_Start : 0;
        m_Start = 0;
    } else if (m_Start >= 64 * 1024 && m_Start * 2 >= m_Buffer.size()) {
        m_Buffer.erase(0, m_Start);
        m_Scanned -= m_Start;
        m_Searched = m_Searched > m_Start ? m_Searched - m_Start : 0;
        m_Start = 0;
    }
    m_Buffer.append(bytes);
}

bool TIMAPResponseAssembler::Next(std::string& response) {
    for (;;) {
        if (m_LiteralLeft > 0) {
            const std::size_t take = std::min(m_LiteralLeft, m_Buffer.size() - m_Scanned);
            m_Scanned += take;
            m_LiteralLeft -= take;
            if (m_LiteralLeft > 0)
                return false;
        }
        const std::size_t end = m_Buffer.find('\n', std::max(m_Scanned, m_Searched));
        if (end == std::string::npos) {
            m_Searched = m_Buffer.size();
            if (m_TextSize + (m_Buffer.size() - m_Scanned) > IMAPMaximumLineLength)
                throw EIMAPException("IMAP response line too long.");
            return false;
        }
        const std::string_view line(m_Buffer.data() + m_Scanned, end + 1 - m_Scanned);
        m_TextSize += line.size();
        if (m_TextSize > IMAPMaximumLineLength)
            throw EIMAPException("IMAP response line too long.");
        if (m_FirstLine) {
            m_NoLiterals = CarriesFreeText(line);
            m_FirstLine = false;
        }
        m_Scanned = end + 1;
        const std::optional<std::size_t> literal = m_NoLiterals ? std::nullopt : AnnouncedLiteral(line);
        if (literal) {
            if (*literal > IMAPMaximumMessageSize)
                throw EIMAPException("IMAP literal too large: " +
                                     (*literal == SIZE_MAX ? std::string("over 12 digits") : std::to_string(*literal)) +
                                     " bytes.");
            m_LiteralLeft = *literal;
            continue;
        }
        if (m_Start == 0 && m_Scanned == m_Buffer.size()) {
            // The usual case, and the one of a large message: the buffer is the response.
            response = std::move(m_Buffer);
            m_Buffer = std::string();
            m_Scanned = m_Searched = 0;
        } else {
            response.assign(m_Buffer, m_Start, m_Scanned - m_Start);
            m_Start = m_Scanned;
            // What a large response leaves behind is not kept at its size.
            if (m_Buffer.capacity() > 1024 * 1024 && m_Buffer.size() - m_Start < 64 * 1024) {
                m_Buffer.erase(0, m_Start);
                m_Buffer.shrink_to_fit();
                m_Searched = m_Searched > m_Start ? m_Searched - m_Start : 0;
                m_Scanned = 0;
                m_Start = 0;
            }
        }
        m_TextSize = 0;
        m_FirstLine = true;
        m_NoLiterals = false;
        return true;
    }
}

bool TIMAPValue::IsAtom(std::string_view name) const {
    return Kind == TKind::Atom && SameText(Text, name);
}

std::optional<uint32_t> TIMAPValue::AsNumber() const {
    if (Kind != TKind::Atom || Text.empty() || Text.size() > 10)
        return std::nullopt;
    uint64_t number = 0;
    for (const char c : Text) {
        if (!IsDigit(c))
            return std::nullopt;
        number = number * 10 + static_cast<uint64_t>(c - '0');
    }
    if (number > UINT32_MAX)
        return std::nullopt;
    return static_cast<uint32_t>(number);
}

TIMAPResponse ParseIMAPResponse(std::string_view text) {
    TIMAPResponse response;
    TResponseReader reader(text);
    if (reader.Peek() == '+') {
        reader.Word();
        reader.SkipSpaces();
        response.Kind = TIMAPResponse::TKind::Continuation;
        response.Text = std::string(reader.RestOfLine());
        return response;
    }
    const std::string_view tag = reader.Word();
    if (tag.empty())
        throw Malformed("no tag");
    if (tag == "*") {
        response.Kind = TIMAPResponse::TKind::Untagged;
    } else {
        response.Kind = TIMAPResponse::TKind::Tagged;
        response.Tag = std::string(tag);
    }
    reader.SkipSpaces();
    std::string word = UpperCase(reader.Word());
    if (IsStatusWord(word)) {
        response.Status = word;
        reader.SkipSpaces();
        if (reader.Peek() == '[') {
            reader.ResponseCode(response.Code, response.CodeText);
            reader.SkipSpaces();
        }
        response.Text = std::string(reader.RestOfLine());
        return response;
    }
    if (response.Kind == TIMAPResponse::TKind::Tagged)
        throw Malformed("tagged response without a status");
    if (word.empty())
        throw Malformed("untagged response without a name");
    if (IsDigit(word[0])) {
        TIMAPValue number;
        number.Kind = TIMAPValue::TKind::Atom;
        number.Text = word;
        response.Number = number.AsNumber();
        if (!response.Number)
            throw Malformed("bad message number");
        reader.SkipSpaces();
        word = UpperCase(reader.Word());
        if (word.empty())
            throw Malformed("numbered response without a name");
    }
    response.Name = word;
    if (response.Number && response.Name == "FETCH") {
        reader.SkipSpaces();
        if (reader.Peek() != '(')
            throw Malformed("FETCH without its list");
        TIMAPValue items = reader.Value(0);
        response.Values = std::move(items.Items);
    } else if (!response.Number && response.Name == "SEARCH") {
        response.Numbers = SearchNumbers(reader);
    } else if (!response.Number && ReadsValues(response.Name)) {
        response.Values = reader.ValuesToEnd();
    }
    return response;
}

std::string IMAPStatusText(const TIMAPResponse& response) {
    std::string text = response.Status;
    if (!response.Code.empty())
        text += " [" + response.Code + (response.CodeText.empty() ? "" : " " + response.CodeText) + "]";
    if (!response.Text.empty())
        text += " " + response.Text;
    return text;
}

void AppendSequenceSet(std::string_view set, std::vector<uint32_t>& numbers, std::size_t limit) {
    const auto number = [](std::string_view text) {
        TIMAPValue value;
        value.Kind = TIMAPValue::TKind::Atom;
        value.Text = std::string(text);
        const std::optional<uint32_t> result = value.AsNumber();
        if (!result || *result == 0)
            throw Malformed("bad sequence set");
        return *result;
    };
    std::size_t count = numbers.size();
    for (const std::string& part : SplitText(set, ",")) {
        const std::size_t colon = part.find(':');
        uint32_t first = number(std::string_view(part).substr(0, colon));
        uint32_t last = colon == std::string::npos ? first : number(std::string_view(part).substr(colon + 1));
        if (first > last)
            std::swap(first, last);
        const uint64_t span = static_cast<uint64_t>(last) - first + 1;
        if (count + span > limit)
            throw EIMAPException("IMAP search result too large.");
        count += span;
        for (uint64_t n = first; n <= last; ++n)
            numbers.push_back(static_cast<uint32_t>(n));
    }
}

const TIMAPValue* FindItem(const std::vector<TIMAPValue>& pairs, std::string_view name) {
    for (std::size_t i = 0; i + 1 < pairs.size(); i += 2)
        if (pairs[i].IsAtom(name))
            return &pairs[i + 1];
    return nullptr;
}

namespace {

constexpr char MailboxBase64[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+,";

void AppendShiftedRun(std::string& out, const std::vector<uint8_t>& utf16be) {
    out.push_back('&');
    uint32_t bits = 0;
    int count = 0;
    for (const uint8_t byte : utf16be) {
        bits = (bits << 8) | byte;
        count += 8;
        while (count >= 6) {
            count -= 6;
            out.push_back(MailboxBase64[(bits >> count) & 0x3F]);
        }
    }
    if (count > 0)
        out.push_back(MailboxBase64[(bits << (6 - count)) & 0x3F]);
    out.push_back('-');
}

} // namespace

std::string EncodeMailboxName(std::string_view utf8) {
    std::string out;
    std::size_t i = 0;
    while (i < utf8.size()) {
        const unsigned char c = static_cast<unsigned char>(utf8[i]);
        if (c >= 0x20 && c <= 0x7E) {
            out += c == '&' ? std::string("&-") : std::string(1, static_cast<char>(c));
            ++i;
            continue;
        }
        std::size_t end = i;
        while (end < utf8.size() &&
               !(static_cast<unsigned char>(utf8[end]) >= 0x20 && static_cast<unsigned char>(utf8[end]) <= 0x7E))
            ++end;
        std::vector<uint8_t> utf16 = TextToUtf16Le(utf8.substr(i, end - i));
        for (std::size_t b = 0; b + 1 < utf16.size(); b += 2)
            std::swap(utf16[b], utf16[b + 1]);
        AppendShiftedRun(out, utf16);
        i = end;
    }
    return out;
}

std::string DecodeMailboxName(std::string_view name) {
    std::array<int, 256> values;
    values.fill(-1);
    for (int v = 0; v < 64; ++v)
        values[static_cast<unsigned char>(MailboxBase64[v])] = v;
    std::string out;
    std::size_t i = 0;
    while (i < name.size()) {
        if (name[i] != '&') {
            out.push_back(name[i++]);
            continue;
        }
        const std::size_t end = name.find('-', i + 1);
        if (end == std::string_view::npos)
            return std::string(name);
        if (end == i + 1) {
            out.push_back('&');
            i = end + 1;
            continue;
        }
        std::vector<uint8_t> utf16;
        uint32_t bits = 0;
        int count = 0;
        for (std::size_t k = i + 1; k < end; ++k) {
            const int v = values[static_cast<unsigned char>(name[k])];
            if (v < 0)
                return std::string(name);
            bits = (bits << 6) | static_cast<uint32_t>(v);
            count += 6;
            if (count >= 8) {
                count -= 8;
                utf16.push_back(static_cast<uint8_t>((bits >> count) & 0xFF));
            }
        }
        if (utf16.size() % 2 != 0)
            return std::string(name);
        for (std::size_t b = 0; b + 1 < utf16.size(); b += 2)
            std::swap(utf16[b], utf16[b + 1]);
        out += Utf16LeToText(utf16.data(), utf16.size());
        i = end + 1;
    }
    return out;
}

std::optional<std::string> QuotedIMAPString(std::string_view text) {
    if (text.size() > 1024)
        return std::nullopt;
    std::string quoted = "\"";
    for (const char c : text) {
        const unsigned char u = static_cast<unsigned char>(c);
        if (u >= 0x80 || c == '\r' || c == '\n' || c == '\0')
            return std::nullopt;
        if (c == '"' || c == '\\')
            quoted.push_back('\\');
        quoted.push_back(c);
    }
    quoted.push_back('"');
    return quoted;
}
