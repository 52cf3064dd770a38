#include "base/UTraceMask.h"

#include "base/LStrings.h"

const char* const MaskedSecret = "********";

namespace {

const std::string_view SecretSuffix = "password";

bool IsNameCharacter(char c) {
    return c != '>' && c != '/' && c != ' ' && c != '\t' && c != '\r' && c != '\n';
}

} // namespace

bool IsSecretName(std::string_view name) {
    if (name.size() < SecretSuffix.size())
        return false;
    return SameText(name.substr(name.size() - SecretSuffix.size()), SecretSuffix);
}

std::string MaskSecretElements(std::string_view xml) {
    std::string out;
    out.reserve(xml.size());
    size_t at = 0;
    while (at < xml.size()) {
        const size_t open = xml.find('<', at);
        if (open == std::string_view::npos)
            break;
        // The start tag's name, and the end of the tag.
        size_t nameEnd = open + 1;
        while (nameEnd < xml.size() && IsNameCharacter(xml[nameEnd]))
            ++nameEnd;
        const std::string_view name = xml.substr(open + 1, nameEnd - open - 1);
        const size_t close = xml.find('>', nameEnd);
        if (close == std::string_view::npos)
            break;
        out.append(xml.substr(at, close + 1 - at));
        at = close + 1;
        const bool startTag = !name.empty() && name.front() != '/' && name.front() != '?' && name.front() != '!';
        if (!startTag || xml[close - 1] == '/' || !IsSecretName(name))
            continue;
        // The element's text runs to the next tag: nested elements are not secrets' form.
        const size_t next = xml.find('<', at);
        const size_t textEnd = next == std::string_view::npos ? xml.size() : next;
        if (textEnd > at)
            out += MaskedSecret;
        at = textEnd;
    }
    out.append(xml.substr(at));
    return out;
}
