#include "base/LStrings.h"

#include <algorithm>
#include <cctype>
#include <charconv>
#include <clocale>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <limits>
#include <system_error>

#include "base/UDebug.h"

namespace {

char LowerChar(char c) {
    return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}
char UpperChar(char c) {
    return c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c;
}
bool IsBlankOrControl(char c) {
    return static_cast<unsigned char>(c) <= ' ';
}

// Case-insensitive comparison by the C library's current character classification (the locale's
// notion of letter case for single bytes). Compares the whole text, NUL bytes included.
int LocaleCompareText(std::string_view a, std::string_view b) {
    const size_t n = std::min(a.size(), b.size());
    for (size_t i = 0; i < n; ++i) {
        const int x = std::tolower(static_cast<unsigned char>(a[i]));
        const int y = std::tolower(static_cast<unsigned char>(b[i]));
        if (x != y) {
            return x < y ? -1 : 1;
        }
    }
    return a.size() == b.size() ? 0 : (a.size() < b.size() ? -1 : 1);
}

size_t ClampCount(int n) {
    return n <= 0 ? 0 : static_cast<size_t>(n);
}

} // namespace

std::string LowerCase(std::string_view text) {
    std::string result(text);
    std::transform(result.begin(), result.end(), result.begin(), LowerChar);
    return result;
}

std::string UpperCase(std::string_view text) {
    std::string result(text);
    std::transform(result.begin(), result.end(), result.begin(), UpperChar);
    return result;
}

bool SameText(std::string_view a, std::string_view b) {
    return a.size() == b.size() &&
           std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) { return LowerChar(x) == LowerChar(y); });
}

std::string Trim(std::string_view text) {
    return TrimRight(TrimLeft(text));
}

std::string TrimLeft(std::string_view text) {
    size_t i = 0;
    while (i < text.size() && IsBlankOrControl(text[i])) {
        ++i;
    }
    return std::string(text.substr(i));
}

std::string TrimRight(std::string_view text) {
    size_t n = text.size();
    while (n > 0 && IsBlankOrControl(text[n - 1])) {
        --n;
    }
    return std::string(text.substr(0, n));
}

TStringArray SplitText(std::string_view text, std::string_view separator) {
    TStringArray result;
    if (separator.empty()) {
        result.emplace_back(text);
        return result;
    }
    size_t start = 0;
    for (;;) {
        const size_t found = text.find(separator, start);
        if (found == std::string_view::npos) {
            result.emplace_back(text.substr(start));
            return result;
        }
        result.emplace_back(text.substr(start, found - start));
        start = found + separator.size();
    }
}

std::string JoinText(const TStringArray& items, std::string_view separator) {
    std::string result;
    for (size_t i = 0; i < items.size(); ++i) {
        if (i > 0) {
            result += separator;
        }
        result += items[i];
    }
    return result;
}

bool TryStrToInt(std::string_view text, int32_t& value) {
    if (!text.empty() && text.front() == '+') {
        text.remove_prefix(1);
        if (!text.empty() && text.front() == '-') {
            return false;
        }
    }
    if (text.empty()) {
        return false;
    }
    int32_t result = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), result, 10);
    if (error != std::errc() || end != text.data() + text.size()) {
        return false;
    }
    value = result;
    return true;
}

int32_t StrToIntDef(std::string_view text, int32_t fallback) {
    int32_t value = 0;
    return TryStrToInt(text, value) ? value : fallback;
}

std::string IntToHex(uint32_t value, int digits) {
    char buffer[16];
    std::snprintf(buffer, sizeof buffer, "%0*X", std::clamp(digits, 0, 8), value);
    return buffer;
}

bool TryStrToFloat(std::string_view text, double& value) {
    // The grammar: [sign] digits [. digits] [e|E [sign] digits], with at least one digit before or
    // after the point; no blanks, no grouping, no "inf" or "nan". The decimal separator is always
    // ".", whatever the locale.
    size_t i = 0;
    const size_t n = text.size();
    const auto digitsFrom = [&](size_t& at) {
        const size_t start = at;
        while (at < n && text[at] >= '0' && text[at] <= '9') {
            ++at;
        }
        return at - start;
    };
    if (i < n && (text[i] == '+' || text[i] == '-')) {
        ++i;
    }
    size_t mantissaDigits = digitsFrom(i);
    if (i < n && text[i] == '.') {
        ++i;
        mantissaDigits += digitsFrom(i);
    }
    if (mantissaDigits == 0) {
        return false;
    }
    if (i < n && (text[i] == 'e' || text[i] == 'E')) {
        ++i;
        if (i < n && (text[i] == '+' || text[i] == '-')) {
            ++i;
        }
        if (digitsFrom(i) == 0) {
            return false;
        }
    }
    if (i != n) {
        return false;
    }
    // from_chars rejects a leading "+"; the grammar has been checked above.
    const char* begin = text.data();
    if (text.front() == '+') {
        ++begin;
    }
    double result = 0;
    const auto [end, error] = std::from_chars(begin, text.data() + n, result, std::chars_format::general);
    if (error == std::errc::result_out_of_range) {
        // Too large is no number; too small is zero (or the nearest subnormal), as strtod has it.
        static const locale_t cLocale = newlocale(LC_ALL_MASK, "C", nullptr);
        if (cLocale == nullptr) {
            return false;
        }
        const std::string copy(text);
        result = strtod_l(copy.c_str(), nullptr, cLocale);
    } else if (error != std::errc() || end != text.data() + n) {
        return false;
    }
    if (!std::isfinite(result)) {
        return false;
    }
    value = result;
    return true;
}

int IndexOfText(std::string_view text, const TStringArray& list) {
    for (size_t i = 0; i < list.size(); ++i) {
        if (SameText(text, list[i])) {
            return static_cast<int>(i);
        }
    }
    return -1;
}

bool IsFloat(std::string_view text) {
    double value = 0;
    return TryStrToFloat(text, value);
}

std::string LeftText(std::string_view text, int n) {
    return std::string(text.substr(0, ClampCount(n)));
}

std::string RightText(std::string_view text, int n) {
    const size_t count = std::min(ClampCount(n), text.size());
    return std::string(text.substr(text.size() - count));
}

std::string TextFrom(std::string_view text, int index) {
    return MidText(text, index, -1);
}

std::string MidText(std::string_view text, int index, int count) {
    const size_t start = index <= 1 ? 0 : static_cast<size_t>(index) - 1;
    if (start >= text.size()) {
        return {};
    }
    return std::string(text.substr(start, count < 0 ? std::string_view::npos : static_cast<size_t>(count)));
}

std::string RepeatText(std::string_view text, int n) {
    std::string result;
    if (n <= 0 || text.empty()) {
        return result;
    }
    result.reserve(text.size() * static_cast<size_t>(n));
    for (int i = 0; i < n; ++i) {
        result += text;
    }
    return result;
}

std::string ReplaceAll(std::string_view text, std::string_view oldText, std::string_view newText) {
    if (oldText.empty()) {
        return std::string(text);
    }
    std::string result;
    result.reserve(text.size());
    size_t start = 0;
    for (;;) {
        const size_t found = text.find(oldText, start);
        if (found == std::string_view::npos) {
            result += text.substr(start);
            return result;
        }
        result += text.substr(start, found - start);
        result += newText;
        start = found + oldText.size();
    }
}

std::string BoolToText(bool value) {
    return value ? "true" : "false";
}

bool TextToBool(std::string_view text) {
    return SameText(text, "true") || SameText(text, "yes");
}

std::string PadLeft(std::string_view text, char c, int width) {
    const size_t target = ClampCount(width);
    if (text.size() >= target) {
        return std::string(text);
    }
    std::string result(target - text.size(), c);
    result += text;
    return result;
}

std::string NormalizeList(std::string_view text, std::string_view separator) {
    // 1. Line breaks become blanks, separators become line breaks, runs of blanks become one blank.
    std::string flat(text);
    std::replace(flat.begin(), flat.end(), '\r', ' ');
    std::replace(flat.begin(), flat.end(), '\n', ' ');
    if (!separator.empty()) {
        flat = ReplaceAll(flat, separator, "\n");
    }
    std::string collapsed;
    collapsed.reserve(flat.size());
    for (const char c : flat) {
        if (c != ' ' || collapsed.empty() || collapsed.back() != ' ') {
            collapsed += c;
        }
    }

    // 2. Lines, as a text is read line by line: a line break at the very end starts no new line.
    TStringArray lines = SplitText(collapsed, "\n");
    if (lines.size() > 1 && lines.back().empty()) {
        lines.pop_back();
    }
    if (lines.size() == 1) {
        return lines.front();
    }

    // 3. Trimmed, sorted and without repeats, all by the locale's case-insensitive comparison; of
    //    entries that differ only in case, the one given first stays.
    for (std::string& line : lines) {
        line = Trim(line);
    }
    std::stable_sort(lines.begin(), lines.end(),
                     [](const std::string& a, const std::string& b) { return LocaleCompareText(a, b) < 0; });
    std::string result = lines.front();
    for (size_t i = 1; i < lines.size(); ++i) {
        if (LocaleCompareText(lines[i], lines[i - 1]) != 0) {
            result += separator;
            result += ' ';
            result += lines[i];
        }
    }
    return result;
}

bool ContainsAnyOf(std::string_view text, const TStringArray& list) {
    const std::string lowered = LowerCase(text);
    for (const std::string& entry : list) {
        if (!entry.empty() && lowered.find(LowerCase(entry)) != std::string::npos) {
            return true;
        }
    }
    return false;
}

bool StartsWithText(std::string_view prefix, std::string_view text, bool caseSensitive) {
    DebugList({"LOOKING FOR ", prefix, " IN ", text});
    const bool matches =
        caseSensitive ? text.substr(0, prefix.size()) == prefix : SameText(text.substr(0, prefix.size()), prefix);
    if (matches) {
        Debug("MATCHED!");
    }
    return matches;
}

bool StartsWithAnyText(const TStringArray& prefixes, std::string_view text, bool caseSensitive) {
    for (const std::string& prefix : prefixes) {
        if (StartsWithText(prefix, text, caseSensitive)) {
            return true;
        }
    }
    return false;
}

int HexDigitValue(char c) {
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}
