#include "ui/UEmailAddressRule.h"

#include <algorithm>
#include <string_view>

namespace {

const size_t MaxLocalPartLength = 39;
const int MaxLocalPartDigits = 4;
const int MaxDotsAfterAtoms = 3;

bool IsAtomCharacter(char c) {
    if (static_cast<unsigned char>(c) < 32 || c == ' ')
        return false;
    return std::string_view("()<>@,;:\\\".[]").find(c) == std::string_view::npos;
}

bool IsValidLocalPart(std::string_view local) {
    if (local.empty() || local.size() > MaxLocalPartLength)
        return false;
    if (std::count_if(local.begin(), local.end(), [](char c) { return c >= '0' && c <= '9'; }) > MaxLocalPartDigits)
        return false;
    int dotsAfterAtoms = 0;
    size_t i = 0;
    while (true) {
        // One word, then the end or a dot before the next word.
        bool atom = false;
        if (i < local.size() && local[i] == '"') {
            ++i;
            while (i < local.size() && local[i] != '"')
                i += local[i] == '\\' ? 2 : 1;
            if (i >= local.size())
                return false; // never closed (an escape may have taken the last quote)
            ++i;
        } else {
            const size_t start = i;
            while (i < local.size() && IsAtomCharacter(local[i]))
                ++i;
            if (i == start)
                return false; // an empty word: a dot first, two dots, or a character no word may hold
            atom = true;
        }
        if (i == local.size())
            return true;
        if (local[i] != '.')
            return false;
        if (atom && ++dotsAfterAtoms > MaxDotsAfterAtoms)
            return false;
        ++i;
        if (i == local.size())
            return false; // a dot last
    }
}

bool IsValidLabel(std::string_view label) {
    if (label.empty() || label.front() == '-' || label.back() == '-')
        return false;
    return std::all_of(label.begin(), label.end(), [](char c) {
        return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-';
    });
}

bool IsValidDomain(std::string_view domain) {
    if (domain.find('.') == std::string_view::npos)
        return false;
    size_t start = 0;
    while (true) {
        const size_t dot = domain.find('.', start);
        if (!IsValidLabel(domain.substr(start, dot == std::string_view::npos ? std::string_view::npos : dot - start)))
            return false;
        if (dot == std::string_view::npos)
            return true;
        start = dot + 1;
    }
}

} // namespace

bool IsValidEmailAddress(std::string_view text) {
    const size_t at = text.find('@');
    if (at == std::string_view::npos)
        return false;
    return IsValidLocalPart(text.substr(0, at)) && IsValidDomain(text.substr(at + 1));
}
