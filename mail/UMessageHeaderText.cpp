// Decoding of encoded words in header text (DecodeHeaderText of UMessageHeaders).

#include <cstdint>

#include "base/LStrings.h"
#include "mail/UMessageHeaders.h"

namespace {

bool StartsWithNoCase(std::string_view text, std::string_view prefix) {
    return text.size() >= prefix.size() && SameText(text.substr(0, prefix.size()), prefix);
}

// "_" is a blank, "=" and two hex digits a byte, everything else is itself. An "=" with fewer
// than two characters left is copied as it stands.
std::string DecodeQ(std::string_view text) {
    std::string bytes;
    bytes.reserve(text.size());
    for (size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        if (c == '_') {
            bytes += ' ';
        } else if (c == '=' && i + 2 < text.size()) {
            const int high = HexDigitValue(text[i + 1]);
            const int low = HexDigitValue(text[i + 2]);
            if (high < 0 || low < 0)
                throw EHeaderDecodeException("Invalid encoded character \"" + std::string(text.substr(i, 3)) + "\"");
            bytes += static_cast<char>(high * 16 + low);
            i += 2;
        } else {
            bytes += c;
        }
    }
    return bytes;
}

int Base64Digit(char c) {
    if (c >= 'A' && c <= 'Z')
        return c - 'A';
    if (c >= 'a' && c <= 'z')
        return c - 'a' + 26;
    if (c >= '0' && c <= '9')
        return c - '0' + 52;
    if (c == '+')
        return 62;
    if (c == '/')
        return 63;
    return 0; // a character outside the alphabet counts as zero bits
}

// Four characters at a time; a shorter remainder is dropped. An "=" ends the group it stands in.
std::string DecodeBase64(std::string_view text) {
    std::string bytes;
    bytes.reserve(text.size() / 4 * 3);
    for (size_t i = 0; i + 4 <= text.size(); i += 4) {
        std::string_view group = text.substr(i, 4);
        size_t digits = group.find('=');
        if (digits == std::string_view::npos)
            digits = 4;
        uint32_t bits = 0;
        for (size_t k = 0; k < 4; ++k)
            bits = (bits << 6) | static_cast<uint32_t>(k < digits ? Base64Digit(group[k]) : 0);
        const size_t count = digits >= 2 ? digits - 1 : 0;
        for (size_t k = 0; k < count; ++k)
            bytes += static_cast<char>((bits >> (16 - 8 * k)) & 0xFF);
    }
    return bytes;
}

bool IsJisByte(char c) {
    const auto byte = static_cast<unsigned char>(c);
    return byte >= 0x21 && byte <= 0x7E;
}

// ISO-2022-JP to Shift-JIS: the escape sequences are dropped, and between ESC "$B" (or ESC "$@")
// and ESC "(B" (or ESC "(J") each pair of JIS X 0208 bytes becomes its Shift-JIS pair.
std::string JisToShiftJis(std::string_view jis) {
    std::string sjis;
    sjis.reserve(jis.size());
    bool doubleByte = false;
    size_t i = 0;
    while (i < jis.size()) {
        if (jis[i] == '\x1B' && i + 2 < jis.size()) {
            const std::string_view sequence = jis.substr(i + 1, 2);
            if (sequence == "$B" || sequence == "$@") {
                doubleByte = true;
                i += 3;
                continue;
            }
            if (sequence == "(B" || sequence == "(J") {
                doubleByte = false;
                i += 3;
                continue;
            }
        }
        if (doubleByte && i + 1 < jis.size() && IsJisByte(jis[i]) && IsJisByte(jis[i + 1])) {
            const auto j1 = static_cast<unsigned char>(jis[i]);
            const auto j2 = static_cast<unsigned char>(jis[i + 1]);
            unsigned s1 = ((j1 - 0x21u) >> 1) + 0x81u;
            if (s1 > 0x9F)
                s1 += 0x40;
            unsigned s2;
            if (j1 & 1) {
                s2 = j2 + 0x1Fu;
                if (s2 >= 0x7F)
                    ++s2;
            } else {
                s2 = j2 + 0x7Eu;
            }
            sjis += static_cast<char>(s1);
            sjis += static_cast<char>(s2);
            i += 2;
            continue;
        }
        sjis += jis[i];
        ++i;
    }
    return sjis;
}

// The charset without an RFC 2231 language suffix ("ISO-2022-JP*ja").
std::string_view CharsetName(std::string_view charset) {
    return charset.substr(0, charset.find('*'));
}

std::string DecodeWord(std::string_view charset, std::string_view encoding, std::string_view encoded) {
    std::string bytes = (encoding == "Q" || encoding == "q") ? DecodeQ(encoded) : DecodeBase64(encoded);
    if (SameText(CharsetName(charset), "ISO-2022-JP"))
        bytes = JisToShiftJis(bytes);
    return bytes;
}

} // namespace

std::string DecodeHeaderText(std::string_view text) {
    std::string result;
    result.reserve(text.size());
    size_t pos = 0;
    while (pos < text.size()) {
        const size_t start = text.find("=?", pos);
        if (start == std::string_view::npos) {
            result.append(text.substr(pos));
            break;
        }
        result.append(text.substr(pos, start - pos));
        const size_t charsetEnd = text.find('?', start + 2);
        const size_t encodingEnd = charsetEnd == std::string_view::npos ? charsetEnd : text.find('?', charsetEnd + 1);
        const size_t wordEnd = encodingEnd == std::string_view::npos ? encodingEnd : text.find("?=", encodingEnd + 1);
        if (wordEnd == std::string_view::npos) {
            // An incomplete word stays as it is. Every later "=?" would search the same tail for
            // its separators and fail as well, so the rest of the text is copied at once.
            result.append(text.substr(start));
            break;
        }
        const std::string_view charset = text.substr(start + 2, charsetEnd - start - 2);
        if (StartsWithNoCase(charset, "ISO") || StartsWithNoCase(charset, "WINDOWS")) {
            result += DecodeWord(charset, text.substr(charsetEnd + 1, encodingEnd - charsetEnd - 1),
                                 text.substr(encodingEnd + 1, wordEnd - encodingEnd - 1));
        } else {
            result.append(text.substr(start, wordEnd + 2 - start));
        }
        pos = wordEnd + 2;
    }
    std::erase(result, '\0');
    return result;
}
