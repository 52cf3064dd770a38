#include "base/LUnicode.h"

namespace {

void AppendUtf16(std::vector<uint8_t>& out, uint32_t c) {
    auto unit = [&](uint32_t u) {
        out.push_back(static_cast<uint8_t>(u & 0xFF));
        out.push_back(static_cast<uint8_t>(u >> 8));
    };
    if (c < 0x10000) {
        unit(c);
    } else {
        c -= 0x10000;
        unit(0xD800 | (c >> 10));
        unit(0xDC00 | (c & 0x3FF));
    }
}

// Decodes one UTF-8 sequence at text[i]; returns its length, or 0 when it is not valid (overlong
// forms, surrogates and values beyond U+10FFFF are not valid).
size_t DecodeUtf8(std::string_view text, size_t i, uint32_t& c) {
    auto byte = [&](size_t k) { return static_cast<unsigned char>(text[k]); };
    unsigned char b = byte(i);
    size_t length;
    uint32_t minimum;
    if (b < 0x80) {
        c = b;
        return 1;
    } else if ((b & 0xE0) == 0xC0) {
        length = 2, minimum = 0x80, c = b & 0x1F;
    } else if ((b & 0xF0) == 0xE0) {
        length = 3, minimum = 0x800, c = b & 0x0F;
    } else if ((b & 0xF8) == 0xF0) {
        length = 4, minimum = 0x10000, c = b & 0x07;
    } else {
        return 0;
    }
    if (i + length > text.size())
        return 0;
    for (size_t k = 1; k < length; ++k) {
        if ((byte(i + k) & 0xC0) != 0x80)
            return 0;
        c = (c << 6) | (byte(i + k) & 0x3F);
    }
    if (c < minimum || c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF))
        return 0;
    return length;
}

} // namespace

void AppendUtf8(std::string& out, uint32_t c) {
    if (c < 0x80) {
        out += static_cast<char>(c);
    } else if (c < 0x800) {
        out += static_cast<char>(0xC0 | (c >> 6));
        out += static_cast<char>(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
        out += static_cast<char>(0xE0 | (c >> 12));
        out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (c & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | (c >> 18));
        out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (c & 0x3F));
    }
}

std::string Utf16LeToText(const uint8_t* data, size_t size) {
    std::string out;
    out.reserve(size / 2);
    size_t units = size / 2;
    auto unit = [&](size_t k) { return static_cast<uint32_t>(data[2 * k] | (data[2 * k + 1] << 8)); };
    for (size_t k = 0; k < units; ++k) {
        uint32_t c = unit(k);
        if (c >= 0xD800 && c <= 0xDBFF && k + 1 < units && unit(k + 1) >= 0xDC00 && unit(k + 1) <= 0xDFFF) {
            c = 0x10000 + ((c - 0xD800) << 10) + (unit(k + 1) - 0xDC00);
            ++k;
        } else if (c >= 0xD800 && c <= 0xDFFF) {
            c = 0xFFFD;
        }
        AppendUtf8(out, c);
    }
    return out;
}

std::vector<uint8_t> TextToUtf16Le(std::string_view text) {
    std::vector<uint8_t> out;
    out.reserve(text.size() * 2);
    for (size_t i = 0; i < text.size();) {
        uint32_t c = 0;
        size_t length = DecodeUtf8(text, i, c);
        if (length == 0) {
            c = static_cast<unsigned char>(text[i]);
            length = 1;
        }
        AppendUtf16(out, c);
        i += length;
    }
    return out;
}

std::string TextToUtf8(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    for (size_t i = 0; i < text.size();) {
        uint32_t c = 0;
        const size_t length = DecodeUtf8(text, i, c);
        if (length == 0) {
            AppendUtf8(out, static_cast<unsigned char>(text[i]));
            ++i;
        } else {
            out.append(text.substr(i, length));
            i += length;
        }
    }
    return out;
}
