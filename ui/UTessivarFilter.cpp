#include "ui/UTessivarFilter.h"

namespace {

// Appends the text folded to `out` (folding keeps the length).
void AppendFolded(std::string_view text, std::string& out) {
    const size_t size = text.size();
    const size_t start = out.size();
    out.resize(start + size);
    char* to = out.data() + start;
    for (size_t i = 0; i < size; ++i) {
        const auto byte = static_cast<unsigned char>(text[i]);
        if (byte >= 'A' && byte <= 'Z') {
            to[i] = static_cast<char>(byte + ('a' - 'A'));
        } else if (byte == 0xC3 && i + 1 < size) {
            // U+00C0..U+00DE are C3 80..C3 9E; their small forms are 0x20 above. U+00D7 is the
            // multiplication sign, which has none.
            const auto next = static_cast<unsigned char>(text[i + 1]);
            to[i] = static_cast<char>(byte);
            to[i + 1] = static_cast<char>(next >= 0x80 && next <= 0x9E && next != 0x97 ? next + 0x20 : next);
            ++i;
        } else {
            to[i] = static_cast<char>(byte);
        }
    }
}

} // namespace

std::string FoldForFilter(std::string_view text) {
    std::string folded;
    folded.reserve(text.size());
    AppendFolded(text, folded);
    return folded;
}

bool TFilterMatcher::Matches(std::string_view text, std::string& scratch) const {
    if (m_Needle.empty())
        return true;
    if (text.size() < m_Needle.size())
        return false;
    scratch.clear();
    AppendFolded(text, scratch);
    return scratch.find(m_Needle) != std::string::npos;
}
