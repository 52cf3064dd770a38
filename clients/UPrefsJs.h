#pragma once
// The preference files of a Thunderbird profile (prefs.js, user.js): a parser of their statements
// and an editor that changes single preferences while keeping every other byte of the file. Pure
// functions of text; callable from any thread.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

enum class TPrefKind { String, Integer, Boolean };

struct TPrefValue {
    TPrefKind Kind = TPrefKind::String;
    std::string Text; // String: the text after escapes are resolved (UTF-8)
    int32_t Integer = 0;
    bool Boolean = false;

    static TPrefValue FromString(std::string text);
    static TPrefValue FromInteger(int32_t value);
    static TPrefValue FromBoolean(bool value);
    bool operator==(const TPrefValue&) const = default;
};

// One statement: user_pref("name", value); (or pref / sticky_pref, with their attributes).
struct TPrefStatement {
    std::string Function;
    std::string Name;
    TPrefValue Value;
    size_t Begin = 0; // offset of the function name
    size_t End = 0;   // offset just after the closing ';'
};

struct TPrefsParseResult {
    bool Ok = false;
    std::string Error; // what was wrong, with the line number; empty when Ok
    std::vector<TPrefStatement> Statements;
};

// Parses the whole file. Comments (//, #, /* */), blanks and a leading UTF-8 byte order mark are
// allowed between statements; strings take \\ \" \' \n \r \t \xHH \uHHHH escapes. Anything else,
// an integer outside 32 bits, an unterminated string or comment, or a NUL byte anywhere (raw, or
// escaped in a string) makes the file unreadable.
TPrefsParseResult ParsePrefs(std::string_view text);

// The value as the mail program writes it: strings double-quoted with \\, \", \n and \r escaped.
std::string FormatPrefValue(const TPrefValue& value);
// A whole user_pref statement, without a line end.
std::string FormatUserPref(std::string_view name, const TPrefValue& value);

// A parsed preference file that can be changed one preference at a time; the text of every
// statement not changed stays byte for byte. Build only from a file that parsed.
class TPrefsDocument {
public:
    TPrefsDocument() = default;
    // Nothing when the text does not parse; error then says why.
    static std::optional<TPrefsDocument> Parse(std::string_view text, std::string* error = nullptr);

    // The value of the last statement of that name (a later statement overrides an earlier one).
    const TPrefValue* Find(std::string_view name) const;
    std::optional<std::string> String(std::string_view name) const;
    std::optional<int32_t> Integer(std::string_view name) const;
    bool Has(std::string_view name) const { return Find(name) != nullptr; }
    const std::vector<TPrefStatement>& Statements() const { return m_Statements; }

    // Gives the preference the value: the last statement of that name is rewritten (only when its
    // value differs), or a user_pref line is added at the end of the file.
    void Set(std::string_view name, const TPrefValue& value);
    // Removes every statement of that name, with its line when nothing else is on it.
    void Remove(std::string_view name);

    const std::string& Text() const { return m_Text; }

private:
    void Reparse();

    std::string m_Text;
    std::vector<TPrefStatement> m_Statements;
};
