#include "clients/UVCard.h"

#include "base/LStrings.h"
#include "base/LUnicode.h"

#include <iconv.h>

#include <cerrno>
#include <optional>

namespace {

// Lines of one text, whatever its line ends (CR LF, LF or CR alone).
std::vector<std::string_view> PhysicalLines(std::string_view text) {
    std::vector<std::string_view> lines;
    size_t start = 0;
    while (start < text.size()) {
        size_t end = text.find_first_of("\r\n", start);
        if (end == std::string_view::npos) {
            lines.push_back(text.substr(start));
            break;
        }
        lines.push_back(text.substr(start, end - start));
        start = end + (text[end] == '\r' && end + 1 < text.size() && text[end + 1] == '\n' ? 2 : 1);
    }
    return lines;
}

bool ContainsNoCase(std::string_view text, std::string_view word) {
    return LowerCase(text).find(LowerCase(word)) != std::string::npos;
}

// The position of the colon that ends the property's name and parameters; a colon inside a quoted
// parameter value (4.0) does not count.
size_t ValueColon(std::string_view line) {
    bool quoted = false;
    for (size_t i = 0; i < line.size(); ++i) {
        if (line[i] == '"')
            quoted = !quoted;
        else if (line[i] == ':' && !quoted)
            return i;
    }
    return std::string_view::npos;
}

// Splits at the separator where it is neither quoted nor escaped with a backslash.
std::vector<std::string> SplitUnescaped(std::string_view text, char separator, bool honourQuotes) {
    std::vector<std::string> parts(1);
    bool quoted = false;
    for (size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        if (c == '\\' && i + 1 < text.size()) {
            parts.back() += c;
            parts.back() += text[++i];
        } else if (honourQuotes && c == '"') {
            quoted = !quoted;
            parts.back() += c;
        } else if (c == separator && !quoted) {
            parts.emplace_back();
        } else {
            parts.back() += c;
        }
    }
    return parts;
}

// The escapes of a text value: \n and \N are line breaks, any other escaped character stands for
// itself.
std::string Unescape(std::string_view text) {
    std::string result;
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '\\' && i + 1 < text.size()) {
            const char next = text[++i];
            result += next == 'n' || next == 'N' ? '\n' : next;
        } else {
            result += text[i];
        }
    }
    return result;
}

// A name as one line: line breaks and tabs become blanks, runs of blanks one, trimmed.
std::string OneLine(std::string_view text) {
    std::string result;
    bool blank = false;
    for (const char c : text) {
        if (static_cast<unsigned char>(c) < 32 || c == ' ') {
            blank = !result.empty();
            continue;
        }
        if (blank)
            result += ' ';
        blank = false;
        result += c;
    }
    return result;
}

std::string DecodeQuotedPrintable(std::string_view text) {
    std::string result;
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '=' && i + 2 < text.size() && HexDigitValue(text[i + 1]) >= 0 && HexDigitValue(text[i + 2]) >= 0) {
            result += static_cast<char>(HexDigitValue(text[i + 1]) * 16 + HexDigitValue(text[i + 2]));
            i += 2;
        } else {
            result += text[i];
        }
    }
    return result;
}

// The bytes converted from the charset to UTF-8; none when the C library does not know the charset
// or the bytes are not text of it.
std::optional<std::string> ConvertCharset(const std::string& bytes, const std::string& charset) {
    iconv_t converter = ::iconv_open("UTF-8", charset.c_str());
    if (converter == reinterpret_cast<iconv_t>(-1))
        return std::nullopt;
    std::string input = bytes;
    std::string output(bytes.size() * 4 + 16, '\0');
    char* in = input.data();
    size_t inLeft = input.size();
    char* out = output.data();
    size_t outLeft = output.size();
    const size_t converted = ::iconv(converter, &in, &inLeft, &out, &outLeft);
    ::iconv_close(converter);
    if (converted == static_cast<size_t>(-1) || inLeft != 0)
        return std::nullopt;
    output.resize(output.size() - outLeft);
    return output;
}

struct TProperty {
    std::string Name; // upper case, without group
    std::string Value;
    bool QuotedPrintable = false;
    bool Base64 = false;
    std::string Charset;
};

TProperty ParseProperty(std::string_view line, size_t colon) {
    TProperty property;
    const std::vector<std::string> header = SplitUnescaped(line.substr(0, colon), ';', true);
    std::string name = header[0];
    if (const size_t dot = name.rfind('.'); dot != std::string::npos)
        name = name.substr(dot + 1);
    property.Name = Trim(name);
    for (char& c : property.Name)
        if (c >= 'a' && c <= 'z')
            c = static_cast<char>(c - 'a' + 'A');
    for (size_t i = 1; i < header.size(); ++i) {
        const std::string& parameter = header[i];
        const size_t equals = parameter.find('=');
        const std::string key = Trim(parameter.substr(0, equals));
        std::string value = equals == std::string::npos ? key : Trim(parameter.substr(equals + 1));
        if (value.size() >= 2 && value.front() == '"' && value.back() == '"')
            value = value.substr(1, value.size() - 2);
        if (equals == std::string::npos || SameText(key, "ENCODING")) {
            if (SameText(value, "QUOTED-PRINTABLE"))
                property.QuotedPrintable = true;
            else if (SameText(value, "BASE64") || SameText(value, "B"))
                property.Base64 = true;
        } else if (SameText(key, "CHARSET")) {
            property.Charset = value;
        }
    }
    property.Value = std::string(line.substr(colon + 1));
    return property;
}

bool IsPlainAddress(const std::string& address) {
    const size_t at = address.find('@');
    if (at == 0 || at == std::string::npos || at + 1 >= address.size() || address.size() > 254)
        return false;
    for (const char c : address)
        if (static_cast<unsigned char>(c) <= 32 || c == '<' || c == '>' || c == '"' || c == ',' || c == ';')
            return false;
    return address.find('@', at + 1) == std::string::npos;
}

// What one card says, gathered while its lines are read.
struct TCard {
    std::string FormattedName;
    std::string Name;
    std::string Organisation;
    std::vector<std::string> Addresses;

    std::string DisplayName(const std::string& address) const {
        if (!FormattedName.empty())
            return FormattedName;
        if (!Name.empty())
            return Name;
        if (!Organisation.empty())
            return Organisation;
        return address;
    }

    void Take(const TProperty& property) {
        if (property.Base64)
            return;
        const std::string value = DecodeVCardValue(property.Value, property.QuotedPrintable, property.Charset);
        if (property.Name == "FN") {
            FormattedName = OneLine(Unescape(value));
        } else if (property.Name == "N") {
            // Family; Given; Additional; Prefixes; Suffixes: shown as given name then family name.
            const std::vector<std::string> parts = SplitUnescaped(value, ';', false);
            std::string joined;
            for (const size_t index : {size_t{1}, size_t{0}})
                if (index < parts.size())
                    joined += " " + Unescape(parts[index]);
            Name = OneLine(joined);
        } else if (property.Name == "ORG") {
            Organisation = OneLine(Unescape(SplitUnescaped(value, ';', false)[0]));
        } else if (property.Name == "EMAIL") {
            std::string address = Trim(Unescape(value));
            if (address.size() > 7 && SameText(address.substr(0, 7), "mailto:"))
                address = Trim(address.substr(7));
            if (IsPlainAddress(address))
                Addresses.push_back(address);
        }
    }
};

} // namespace

std::string DecodeVCardValue(std::string_view value, bool quotedPrintable, const std::string& charset) {
    const std::string bytes = quotedPrintable ? DecodeQuotedPrintable(value) : std::string(value);
    if (!charset.empty() && !SameText(charset, "UTF-8") && !SameText(charset, "UTF8"))
        if (std::optional<std::string> converted = ConvertCharset(bytes, charset))
            return *converted;
    return TextToUtf8(bytes);
}

std::vector<TContact> ParseVCards(std::string_view text) {
    if (text.size() >= 3 && text.substr(0, 3) == "\xEF\xBB\xBF")
        text.remove_prefix(3);
    const std::vector<std::string_view> lines = PhysicalLines(text);
    std::vector<TContact> contacts;
    std::optional<TCard> card;
    int depth = 0;
    bool version21 = false;
    for (size_t index = 0; index < lines.size();) {
        // One logical line: the physical line, its folded continuations and, for a quoted-printable
        // value, the lines after its soft line breaks.
        std::string line(lines[index++]);
        const bool quotedPrintable = ContainsNoCase(line.substr(0, ValueColon(line)), "QUOTED-PRINTABLE");
        while (index < lines.size()) {
            const std::string_view next = lines[index];
            if (!next.empty() && (next[0] == ' ' || next[0] == '\t')) {
                // 2.1 folds before a blank that belongs to the value; later versions add one.
                line += version21 ? next : next.substr(1);
            } else if (quotedPrintable && !line.empty() && line.back() == '=') {
                line.pop_back();
                line += next;
            } else {
                break;
            }
            ++index;
        }
        const size_t colon = ValueColon(line);
        if (colon == std::string::npos) {
            // Outside a card only blank lines may stand; inside one, data lines of a 2.1 binary
            // value (which never hold a colon) are passed over.
            if (depth == 0 && !Trim(line).empty())
                throw EVCardException("Text outside of a vCard: " + std::string(Trim(line).substr(0, 40)));
            continue;
        }
        const TProperty property = ParseProperty(line, colon);
        const std::string value = Trim(property.Value);
        if (property.Name == "BEGIN" && SameText(value, "VCARD")) {
            if (depth++ == 0) {
                card.emplace();
                version21 = false;
            }
            continue;
        }
        if (property.Name == "END" && SameText(value, "VCARD")) {
            if (depth == 0)
                throw EVCardException("A vCard ends that never began.");
            if (--depth == 0) {
                for (const std::string& address : card->Addresses)
                    contacts.push_back({card->DisplayName(address), address});
                card.reset();
            }
            continue;
        }
        if (depth == 0)
            throw EVCardException("Text outside of a vCard: " + line.substr(0, 40));
        // Cards inside a card (a 2.1 agent) are not contacts of the address book.
        if (depth > 1)
            continue;
        if (property.Name == "VERSION")
            version21 = value == "2.1";
        else
            card->Take(property);
    }
    if (depth != 0)
        throw EVCardException("A vCard does not end.");
    return contacts;
}
