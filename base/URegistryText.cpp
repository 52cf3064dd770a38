#include "base/URegistryText.h"

#include "base/LStrings.h"
#include "base/LUnicode.h"
#include "base/URegistryTree.h"

namespace {

constexpr std::string_view Header = "Windows Registry Editor Version 5.00";
constexpr std::string_view OldHeader = "REGEDIT4";
// Deep keys make long section lines: a short file could otherwise expand to gigabytes.
constexpr size_t MaxKeyPathBytes = 64 * 1024 * 1024;

bool IsBlank(char c) {
    return c == ' ' || c == '\t';
}

std::string_view TrimBlanks(std::string_view text) {
    while (!text.empty() && IsBlank(text.front()))
        text.remove_prefix(1);
    while (!text.empty() && IsBlank(text.back()))
        text.remove_suffix(1);
    return text;
}

char Fold(char c) {
    return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

bool SameFolded(std::string_view a, std::string_view b) {
    if (a.size() != b.size())
        return false;
    for (size_t i = 0; i < a.size(); ++i)
        if (Fold(a[i]) != Fold(b[i]))
            return false;
    return true;
}

bool ConsumePrefix(std::string_view& text, std::string_view prefix) {
    if (text.size() < prefix.size() || !SameFolded(text.substr(0, prefix.size()), prefix))
        return false;
    text.remove_prefix(prefix.size());
    return true;
}

// 1 to maxDigits hex digits, the whole text.
bool ParseHex(std::string_view text, size_t maxDigits, uint32_t& value) {
    if (text.empty() || text.size() > maxDigits)
        return false;
    value = 0;
    for (char c : text) {
        int digit = HexDigitValue(c);
        if (digit < 0)
            return false;
        value = (value << 4) | static_cast<uint32_t>(digit);
    }
    return true;
}

// A quoted string starting at text[pos] == '"'; pos ends after the closing quote.
bool ParseQuoted(std::string_view text, size_t& pos, std::string& out) {
    out.clear();
    ++pos;
    while (pos < text.size()) {
        char c = text[pos];
        if (c == '"') {
            ++pos;
            return true;
        }
        if (c == '\\' && pos + 1 < text.size()) {
            bool known = true;
            switch (text[pos + 1]) {
            case '\\':
                out += '\\';
                break;
            case '"':
                out += '"';
                break;
            case 'n':
                out += '\n';
                break;
            case 'r':
                out += '\r';
                break;
            case '0':
                out += '\0';
                break;
            default:
                known = false; // any other backslash stands for itself
            }
            if (known) {
                pos += 2;
                continue;
            }
        }
        out += c;
        ++pos;
    }
    return false;
}

void AppendEscaped(std::string& out, std::string_view text) {
    out += '"';
    for (char c : text) {
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
        case '\0':
            out += "\\0";
            break;
        default:
            out += c;
        }
    }
    out += '"';
}

const char HexChars[] = "0123456789abcdef";

void AppendHexByte(std::string& out, uint8_t byte) {
    out += HexChars[byte >> 4];
    out += HexChars[byte & 0x0F];
}

void AppendValue(std::string& out, const TRegistryValue& value) {
    size_t lineStart = out.size();
    if (value.Name.empty())
        out += '@';
    else
        AppendEscaped(out, value.Name);
    out += '=';
    if (value.Type == REG_SZ) {
        AppendEscaped(out, value.Text);
    } else if (value.Type == REG_DWORD) {
        out += "dword:";
        for (int shift = 28; shift >= 0; shift -= 4)
            out += HexChars[(value.Number >> shift) & 0x0F];
    } else {
        if (value.Type == REG_BINARY) {
            out += "hex:";
        } else {
            out += "hex(";
            bool started = false;
            for (int shift = 28; shift >= 0; shift -= 4) {
                uint32_t digit = (value.Type >> shift) & 0x0F;
                if (digit || started || shift == 0) {
                    out += HexChars[digit];
                    started = true;
                }
            }
            out += "):";
        }
        // Long data continues on indented lines ending in a backslash, keeping lines near 80 columns.
        for (size_t i = 0; i < value.Bytes.size(); ++i) {
            AppendHexByte(out, value.Bytes[i]);
            if (i + 1 < value.Bytes.size()) {
                out += ',';
                if (out.size() - lineStart > 76) {
                    out += "\\\n  ";
                    lineStart = out.size() - 2;
                }
            }
        }
    }
    out += '\n';
}

void AppendKey(std::string& out, const TRegistryNode& node, const std::string& path) {
    out += '[';
    out += path;
    out += "]\n";
    for (const TRegistryValue& value : node.Values())
        AppendValue(out, value);
    out += '\n';
    for (const auto& [name, sub] : node.SubKeys())
        AppendKey(out, *sub, path + '\\' + name);
}

class TRegistryParser {
public:
    TRegistryParser(std::string_view text, std::string_view rootName) : m_RootName(rootName) {
        m_Result.Root = std::make_unique<TRegistryNode>();
        SplitLines(text);
    }

    TRegistryParseResult Run() {
        bool headerChecked = false;
        for (m_Index = 0; m_Index < m_Lines.size(); ++m_Index) {
            std::string_view line = TrimBlanks(m_Lines[m_Index]);
            if (line.empty() || line.front() == ';')
                continue;
            if (!headerChecked) {
                headerChecked = true;
                if (line == Header || line == OldHeader)
                    continue;
                Problem("missing header \"" + std::string(Header) + "\"");
            }
            if (line.front() == '[')
                Section(line);
            else if (line.front() == '"' || line.front() == '@')
                Value(line);
            else
                Problem("neither a section nor a value");
        }
        return std::move(m_Result);
    }

private:
    void SplitLines(std::string_view text) {
        size_t start = 0;
        while (start <= text.size()) {
            size_t end = text.find('\n', start);
            std::string_view line =
                text.substr(start, end == std::string_view::npos ? std::string_view::npos : end - start);
            if (!line.empty() && line.back() == '\r')
                line.remove_suffix(1);
            m_Lines.push_back(line);
            if (end == std::string_view::npos)
                break;
            start = end + 1;
        }
    }

    void Problem(const std::string& reason) {
        m_Result.Problems.push_back("line " + std::to_string(m_Index + 1) + ": " + reason);
    }

    void Section(std::string_view line) {
        m_Current = nullptr;
        m_SkipValues = true;
        if (line.back() != ']') {
            Problem("section header without closing bracket");
            return;
        }
        std::string_view inner = line.substr(1, line.size() - 2);
        bool deletion = !inner.empty() && inner.front() == '-';
        if (deletion)
            inner.remove_prefix(1);
        size_t slash = inner.find('\\');
        std::string_view rootPart = inner.substr(0, slash);
        std::string_view rest = slash == std::string_view::npos ? std::string_view() : inner.substr(slash);
        if (!SameFolded(rootPart, m_RootName)) {
            Problem("section of another root");
            return;
        }
        std::vector<std::string> names;
        if (!SplitRegistryPath(rest, names)) {
            Problem("invalid key path");
            return;
        }
        if (deletion) {
            if (names.empty()) {
                Problem("the root cannot be deleted");
                return;
            }
            std::string last = std::move(names.back());
            names.pop_back();
            if (TRegistryNode* parent = m_Result.Root->Find(names))
                parent->RemoveSubKey(last);
            return; // values below a deletion are ignored
        }
        TRegistryNode* node = m_Result.Root.get();
        size_t pathBytes = m_RootName.size();
        for (const std::string& name : names) {
            pathBytes += 1 + name.size();
            TRegistryNode* next = node->FindSubKey(name);
            if (!next) {
                if (m_KeyPathBytes + pathBytes > MaxKeyPathBytes) {
                    Problem("too many keys");
                    return;
                }
                m_KeyPathBytes += pathBytes;
                next = &node->AddSubKey(name);
            }
            node = next;
        }
        m_Current = node;
        m_SkipValues = false;
    }

    // Hex data: the rest of the line plus following lines while the data ends in a backslash.
    std::string HexData(std::string_view data) {
        std::string collected(TrimBlanks(data));
        while (!collected.empty() && collected.back() == '\\' && m_Index + 1 < m_Lines.size()) {
            collected.pop_back();
            collected += TrimBlanks(m_Lines[++m_Index]);
        }
        return collected;
    }

    bool ParseBytes(std::string_view list, std::vector<uint8_t>& bytes) {
        list = TrimBlanks(list);
        if (list.empty())
            return true;
        size_t start = 0;
        while (true) {
            size_t comma = list.find(',', start);
            std::string_view item = TrimBlanks(
                list.substr(start, comma == std::string_view::npos ? std::string_view::npos : comma - start));
            uint32_t byte = 0;
            bool last = comma == std::string_view::npos;
            if (item.empty() && last && !bytes.empty())
                return true; // a trailing comma
            if (!ParseHex(item, 2, byte))
                return false;
            bytes.push_back(static_cast<uint8_t>(byte));
            if (last)
                return true;
            start = comma + 1;
        }
    }

    void Value(std::string_view line) {
        size_t startLine = m_Index;
        std::string name;
        size_t pos = 0;
        if (line.front() == '@') {
            pos = 1;
        } else if (!ParseQuoted(line, pos, name)) {
            Problem("value name without closing quote");
            return;
        }
        std::string_view rest = TrimBlanks(line.substr(pos));
        if (rest.empty() || rest.front() != '=') {
            Problem("value without \"=\"");
            return;
        }
        rest = TrimBlanks(rest.substr(1));

        TRegistryValue value;
        value.Name = std::move(name);
        bool deletion = false;
        std::string reason;
        if (!rest.empty() && rest.front() == '"') {
            size_t end = 0;
            value.Type = REG_SZ;
            if (!ParseQuoted(rest, end, value.Text))
                reason = "string without closing quote";
            else if (!TrimBlanks(rest.substr(end)).empty())
                reason = "text after the closing quote";
        } else if (rest == "-") {
            deletion = true;
        } else if (ConsumePrefix(rest, "dword:")) {
            value.Type = REG_DWORD;
            if (!ParseHex(TrimBlanks(rest), 8, value.Number))
                reason = "invalid dword";
        } else if (ConsumePrefix(rest, "hex")) {
            value.Type = REG_BINARY;
            if (!rest.empty() && rest.front() == '(') {
                size_t close = rest.find(')');
                if (close == std::string_view::npos || !ParseHex(rest.substr(1, close - 1), 8, value.Type))
                    reason = "invalid value type";
                else
                    rest.remove_prefix(close + 1);
            }
            if (reason.empty() && (rest.empty() || rest.front() != ':'))
                reason = "hex data without \":\"";
            if (reason.empty()) {
                std::string data = HexData(rest.substr(1));
                if (!ParseBytes(data, value.Bytes))
                    reason = "invalid hex data";
                else
                    NormalizeHexValue(value, reason);
            }
        } else {
            reason = "unknown value data";
        }

        if (value.Name.size() > RegistryMaxValueNameLength)
            reason = "value name too long";
        if (!reason.empty()) {
            ProblemAt(startLine, reason);
            return;
        }
        if (!m_Current) {
            if (!m_SkipValues)
                ProblemAt(startLine, "value outside a section");
            return;
        }
        if (deletion)
            m_Current->RemoveValue(value.Name);
        else
            m_Current->SetValue(std::move(value));
    }

    // Strings and dwords written in hex form become ordinary strings and dwords.
    static void NormalizeHexValue(TRegistryValue& value, std::string& reason) {
        if (value.Type == REG_SZ) {
            std::string text = Utf16LeToText(value.Bytes.data(), value.Bytes.size());
            value.Text = text.substr(0, text.find('\0'));
            value.Bytes.clear();
        } else if (value.Type == REG_DWORD) {
            if (value.Bytes.size() != 4) {
                reason = "dword data not four bytes long";
                return;
            }
            value.Number = value.Bytes[0] | (value.Bytes[1] << 8) | (value.Bytes[2] << 16) |
                           (static_cast<uint32_t>(value.Bytes[3]) << 24);
            value.Bytes.clear();
        }
    }

    void ProblemAt(size_t line, const std::string& reason) {
        m_Result.Problems.push_back("line " + std::to_string(line + 1) + ": " + reason);
    }

    std::string_view m_RootName;
    // Every key is written with its full path: the sum of the paths bounds what a file can grow to.
    size_t m_KeyPathBytes = 0;
    std::vector<std::string_view> m_Lines;
    size_t m_Index = 0;
    TRegistryNode* m_Current = nullptr;
    // After a section that was not valid or a deletion: its values are dropped without a report each.
    bool m_SkipValues = false;
    TRegistryParseResult m_Result;
};

} // namespace

TRegistryParseResult ParseRegistryText(std::string_view text, std::string_view rootName) {
    std::string decoded;
    if (text.size() >= 2 && static_cast<unsigned char>(text[0]) == 0xFF &&
        static_cast<unsigned char>(text[1]) == 0xFE) {
        decoded = Utf16LeToText(reinterpret_cast<const uint8_t*>(text.data()) + 2, text.size() - 2);
        text = decoded;
    } else if (text.size() >= 3 && text.substr(0, 3) == "\xEF\xBB\xBF") {
        text.remove_prefix(3);
    }
    return TRegistryParser(text, rootName).Run();
}

std::string FormatRegistryText(const TRegistryNode& root, std::string_view rootName) {
    std::string out(Header);
    out += "\n\n";
    std::string rootPath(rootName);
    if (!root.Values().empty()) {
        out += '[' + rootPath + "]\n";
        for (const TRegistryValue& value : root.Values())
            AppendValue(out, value);
        out += '\n';
    }
    for (const auto& [name, sub] : root.SubKeys())
        AppendKey(out, *sub, rootPath + '\\' + name);
    return out;
}
