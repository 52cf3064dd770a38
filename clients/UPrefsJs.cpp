#include "clients/UPrefsJs.h"

#include "base/LStrings.h"
#include "base/LUnicode.h"

#include <limits>
#include <utility>

TPrefValue TPrefValue::FromString(std::string text) {
    TPrefValue value;
    value.Kind = TPrefKind::String;
    value.Text = std::move(text);
    return value;
}

TPrefValue TPrefValue::FromInteger(int32_t integer) {
    TPrefValue value;
    value.Kind = TPrefKind::Integer;
    value.Integer = integer;
    return value;
}

TPrefValue TPrefValue::FromBoolean(bool boolean) {
    TPrefValue value;
    value.Kind = TPrefKind::Boolean;
    value.Boolean = boolean;
    return value;
}

namespace {

struct TParseError {
    std::string Message;
};

bool IsIdentifierChar(char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_';
}

// Recursive descent over the statements; every failure is a TParseError naming the line.
class TPrefsParser {
public:
    explicit TPrefsParser(std::string_view text) : m_Text(text) {}

    std::vector<TPrefStatement> Run() {
        std::vector<TPrefStatement> statements;
        // A NUL byte (a zero-filled block left by a crash, say) makes the file damaged wherever it
        // stands: nothing of it may be taken as a value or written back.
        if (const size_t nul = m_Text.find('\0'); nul != std::string_view::npos) {
            m_Pos = nul;
            Fail("NUL character");
        }
        if (m_Text.substr(0, 3) == "\xEF\xBB\xBF")
            m_Pos = 3;
        for (SkipTrivia(); m_Pos < m_Text.size(); SkipTrivia())
            statements.push_back(Statement());
        return statements;
    }

private:
    [[noreturn]] void Fail(const std::string& what) const {
        size_t line = 1;
        for (size_t i = 0; i < m_Pos && i < m_Text.size(); ++i)
            line += m_Text[i] == '\n' ? 1 : 0;
        throw TParseError{what + " in line " + std::to_string(line)};
    }

    bool AtEnd() const { return m_Pos >= m_Text.size(); }
    char Peek(size_t ahead = 0) const { return m_Pos + ahead < m_Text.size() ? m_Text[m_Pos + ahead] : '\0'; }

    void SkipTrivia() {
        while (!AtEnd()) {
            const char c = Peek();
            if (c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '\f' || c == '\v') {
                ++m_Pos;
            } else if (c == '#' || (c == '/' && Peek(1) == '/')) {
                while (!AtEnd() && Peek() != '\n')
                    ++m_Pos;
            } else if (c == '/' && Peek(1) == '*') {
                const size_t close = m_Text.find("*/", m_Pos + 2);
                if (close == std::string_view::npos)
                    Fail("unterminated comment");
                m_Pos = close + 2;
            } else {
                return;
            }
        }
    }

    void Expect(char c) {
        const size_t before = m_Pos;
        SkipTrivia();
        if (Peek() != c || AtEnd()) {
            m_Pos = before; // the line where the statement stopped, not where the next text begins
            Fail(std::string("expected '") + c + "'");
        }
        ++m_Pos;
    }

    std::string Identifier() {
        const size_t start = m_Pos;
        while (!AtEnd() && IsIdentifierChar(Peek()))
            ++m_Pos;
        return std::string(m_Text.substr(start, m_Pos - start));
    }

    TPrefStatement Statement() {
        TPrefStatement statement;
        statement.Begin = m_Pos;
        statement.Function = Identifier();
        if (statement.Function != "user_pref" && statement.Function != "pref" && statement.Function != "sticky_pref")
            Fail("expected a preference statement");
        Expect('(');
        SkipTrivia();
        if (Peek() != '"' && Peek() != '\'')
            Fail("expected a preference name");
        statement.Name = QuotedString();
        Expect(',');
        SkipTrivia();
        statement.Value = Value();
        SkipTrivia();
        while (statement.Function == "pref" && Peek() == ',') {
            ++m_Pos;
            SkipTrivia();
            const std::string attribute = Identifier();
            if (attribute != "locked" && attribute != "sticky")
                Fail("expected an attribute");
            SkipTrivia();
        }
        Expect(')');
        Expect(';');
        statement.End = m_Pos;
        return statement;
    }

    TPrefValue Value() {
        const char c = Peek();
        if (AtEnd())
            Fail("expected a value");
        if (c == '"' || c == '\'')
            return TPrefValue::FromString(QuotedString());
        if (c == '-' || c == '+' || (c >= '0' && c <= '9'))
            return TPrefValue::FromInteger(Integer());
        const std::string word = Identifier();
        if (word == "true")
            return TPrefValue::FromBoolean(true);
        if (word == "false")
            return TPrefValue::FromBoolean(false);
        Fail("expected a value");
    }

    int32_t Integer() {
        const bool negative = Peek() == '-';
        if (Peek() == '-' || Peek() == '+')
            ++m_Pos;
        if (Peek() < '0' || Peek() > '9' || AtEnd())
            Fail("expected digits");
        int64_t magnitude = 0;
        while (!AtEnd() && Peek() >= '0' && Peek() <= '9') {
            magnitude = magnitude * 10 + (Peek() - '0');
            if (magnitude > int64_t{std::numeric_limits<int32_t>::max()} + 1)
                Fail("integer too large");
            ++m_Pos;
        }
        if (!negative && magnitude > std::numeric_limits<int32_t>::max())
            Fail("integer too large");
        if (IsIdentifierChar(Peek()))
            Fail("unexpected character after a number");
        return static_cast<int32_t>(negative ? -magnitude : magnitude);
    }

    uint32_t HexCode(int digits) {
        uint32_t code = 0;
        for (int i = 0; i < digits; ++i) {
            const int digit = HexDigitValue(Peek());
            if (digit < 0 || AtEnd())
                Fail("invalid escape");
            code = code * 16 + static_cast<uint32_t>(digit);
            ++m_Pos;
        }
        return code;
    }

    // \u escapes, a surrogate pair taken together.
    uint32_t UnicodeEscape() {
        const uint32_t code = HexCode(4);
        if (code >= 0xDC00 && code <= 0xDFFF)
            Fail("lone low surrogate");
        if (code < 0xD800 || code > 0xDBFF)
            return code;
        if (Peek() != '\\' || Peek(1) != 'u')
            Fail("expected a low surrogate");
        m_Pos += 2;
        const uint32_t low = HexCode(4);
        if (low < 0xDC00 || low > 0xDFFF)
            Fail("expected a low surrogate");
        return 0x10000 + ((code - 0xD800) << 10) + (low - 0xDC00);
    }

    std::string QuotedString() {
        const size_t start = m_Pos;
        const char quote = Peek();
        ++m_Pos;
        std::string text;
        for (;;) {
            if (AtEnd()) {
                m_Pos = start;
                Fail("unterminated string");
            }
            const char c = Peek();
            ++m_Pos;
            if (c == quote)
                return text;
            if (c != '\\') {
                text += c;
                continue;
            }
            if (AtEnd()) {
                m_Pos = start;
                Fail("unterminated string");
            }
            const char escape = Peek();
            ++m_Pos;
            switch (escape) {
            case '"':
            case '\'':
            case '\\':
                text += escape;
                break;
            case 'n':
                text += '\n';
                break;
            case 'r':
                text += '\r';
                break;
            case 't':
                text += '\t';
                break;
            case 'x':
            case 'u': {
                const uint32_t code = escape == 'x' ? HexCode(2) : UnicodeEscape();
                if (code == 0)
                    Fail("escaped NUL");
                AppendUtf8(text, code);
                break;
            }
            default:
                --m_Pos;
                Fail("invalid escape");
            }
        }
    }

    std::string_view m_Text;
    size_t m_Pos = 0;
};

} // namespace

TPrefsParseResult ParsePrefs(std::string_view text) {
    TPrefsParseResult result;
    try {
        result.Statements = TPrefsParser(text).Run();
        result.Ok = true;
    } catch (const TParseError& error) {
        result.Error = error.Message;
        result.Statements.clear();
    }
    return result;
}

std::string FormatPrefValue(const TPrefValue& value) {
    switch (value.Kind) {
    case TPrefKind::Integer:
        return std::to_string(value.Integer);
    case TPrefKind::Boolean:
        return value.Boolean ? "true" : "false";
    case TPrefKind::String:
        break;
    }
    std::string out = "\"";
    for (const char c : value.Text) {
        switch (c) {
        case '\\':
            out += "\\\\";
            break;
        case '"':
            out += "\\\"";
            break;
        case '\n':
            out += "\\n";
            break;
        case '\r':
            out += "\\r";
            break;
        default:
            out += c;
        }
    }
    return out + "\"";
}

std::string FormatUserPref(std::string_view name, const TPrefValue& value) {
    return "user_pref(" + FormatPrefValue(TPrefValue::FromString(std::string(name))) + ", " + FormatPrefValue(value) +
           ");";
}

std::optional<TPrefsDocument> TPrefsDocument::Parse(std::string_view text, std::string* error) {
    TPrefsParseResult result = ParsePrefs(text);
    if (!result.Ok) {
        if (error)
            *error = result.Error;
        return std::nullopt;
    }
    TPrefsDocument document;
    document.m_Text = std::string(text);
    document.m_Statements = std::move(result.Statements);
    return document;
}

const TPrefValue* TPrefsDocument::Find(std::string_view name) const {
    for (auto it = m_Statements.rbegin(); it != m_Statements.rend(); ++it) {
        if (it->Name == name)
            return &it->Value;
    }
    return nullptr;
}

std::optional<std::string> TPrefsDocument::String(std::string_view name) const {
    const TPrefValue* value = Find(name);
    if (!value || value->Kind != TPrefKind::String)
        return std::nullopt;
    return value->Text;
}

std::optional<int32_t> TPrefsDocument::Integer(std::string_view name) const {
    const TPrefValue* value = Find(name);
    if (!value)
        return std::nullopt;
    if (value->Kind == TPrefKind::Integer)
        return value->Integer;
    // A number kept as a string (written by hand or by an add-on) is still that number.
    if (value->Kind == TPrefKind::String && !value->Text.empty() && value->Text.size() < 11) {
        int64_t number = 0;
        for (const char c : value->Text) {
            if (c < '0' || c > '9')
                return std::nullopt;
            number = number * 10 + (c - '0');
        }
        if (number <= std::numeric_limits<int32_t>::max())
            return static_cast<int32_t>(number);
    }
    return std::nullopt;
}

void TPrefsDocument::Set(std::string_view name, const TPrefValue& value) {
    for (auto it = m_Statements.rbegin(); it != m_Statements.rend(); ++it) {
        if (it->Name != name)
            continue;
        if (it->Value == value)
            return;
        // The statement keeps its function (a pref of user.js stays one); only its value changes.
        const std::string replacement = it->Function + "(" +
                                        FormatPrefValue(TPrefValue::FromString(std::string(name))) + ", " +
                                        FormatPrefValue(value) + ");";
        m_Text.replace(it->Begin, it->End - it->Begin, replacement);
        Reparse();
        return;
    }
    const size_t firstLineEnd = m_Text.find('\n');
    const char* lineEnd = firstLineEnd != std::string::npos && firstLineEnd > 0 && m_Text[firstLineEnd - 1] == '\r'
                              ? "\r\n"
                              : "\n";
    if (!m_Text.empty() && m_Text.back() != '\n')
        m_Text += lineEnd;
    m_Text += FormatUserPref(name, value) + lineEnd;
    Reparse();
}

void TPrefsDocument::Remove(std::string_view name) {
    bool removed = false;
    for (auto it = m_Statements.rbegin(); it != m_Statements.rend(); ++it) {
        if (it->Name != name)
            continue;
        size_t begin = it->Begin;
        size_t end = it->End;
        size_t lineBegin = begin;
        while (lineBegin > 0 && (m_Text[lineBegin - 1] == ' ' || m_Text[lineBegin - 1] == '\t'))
            --lineBegin;
        size_t lineEnd = end;
        while (lineEnd < m_Text.size() && (m_Text[lineEnd] == ' ' || m_Text[lineEnd] == '\t' || m_Text[lineEnd] == '\r'))
            ++lineEnd;
        const bool ownLine = (lineBegin == 0 || m_Text[lineBegin - 1] == '\n') &&
                             (lineEnd == m_Text.size() || m_Text[lineEnd] == '\n');
        if (ownLine) {
            begin = lineBegin;
            end = lineEnd < m_Text.size() ? lineEnd + 1 : lineEnd;
        }
        // Statements are removed from the last to the first, so earlier offsets stay valid.
        m_Text.erase(begin, end - begin);
        removed = true;
    }
    if (removed)
        Reparse();
}

void TPrefsDocument::Reparse() {
    // Every edit writes well-formed statements between whole statements, so the text still parses.
    m_Statements = ParsePrefs(m_Text).Statements;
}
