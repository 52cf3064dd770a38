#pragma once
// The find field's matching: a case-insensitive substring test over the program's texts (UTF-8),
// cheap enough to run over 100,000 rows at every keystroke. Letters are folded as A-Z and the
// capitals of Latin-1 (U+00C0 to U+00DE but for the multiplication sign) to their small forms; other
// characters match only as written. No Qt: any thread.

#include <string>
#include <string_view>

// The text with its letters folded as described above.
std::string FoldForFilter(std::string_view text);

// A folded needle, matched against texts folded on the fly.
class TFilterMatcher {
public:
    explicit TFilterMatcher(std::string_view needle) : m_Needle(FoldForFilter(needle)) {}
    bool Empty() const { return m_Needle.empty(); }
    // The needle occurs in the text (an empty needle in every text). `scratch` is working space,
    // kept by the caller so that a long run of matches allocates once.
    bool Matches(std::string_view text, std::string& scratch) const;
    const std::string& Needle() const { return m_Needle; }

private:
    std::string m_Needle;
};
