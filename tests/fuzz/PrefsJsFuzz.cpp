// Thunderbird preference files as found on disk, hand-edited or damaged: parsing never fails
// uncontrolled, a file that parses keeps every statement it had through an edit of another one,
// and what an edit writes reads back as the value given.

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "clients/UPrefsJs.h"
#include "tests/fuzz/FuzzCheck.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    const TPrefsParseResult parsed = ParsePrefs(text);
    FUZZ_CHECK(parsed.Ok == parsed.Error.empty());
    // A NUL byte anywhere makes the file damaged; no value read can hold one.
    FUZZ_CHECK(!parsed.Ok || text.find('\0') == std::string_view::npos);
    if (!parsed.Ok) {
        FUZZ_CHECK(parsed.Statements.empty());
        return 0;
    }
    for (const TPrefStatement& statement : parsed.Statements) {
        FUZZ_CHECK(statement.Begin < statement.End && statement.End <= text.size());
        FUZZ_CHECK(text[statement.End - 1] == ';');
        // Each statement is a file of its own, and its value formatted anew reads back the same.
        const TPrefsParseResult alone = ParsePrefs(text.substr(statement.Begin, statement.End - statement.Begin));
        FUZZ_CHECK(alone.Ok && alone.Statements.size() == 1 && alone.Statements[0].Value == statement.Value);
        const TPrefsParseResult formatted = ParsePrefs(FormatUserPref(statement.Name, statement.Value));
        FUZZ_CHECK(formatted.Ok && formatted.Statements.size() == 1);
        FUZZ_CHECK(formatted.Statements[0].Name == statement.Name && formatted.Statements[0].Value == statement.Value);
    }

    // Editing one preference leaves the others as they were and reads back as written.
    std::optional<TPrefsDocument> document = TPrefsDocument::Parse(text);
    FUZZ_CHECK(document.has_value());
    const std::string name = parsed.Statements.empty() ? std::string("mail.server.server1.port")
                                                       : parsed.Statements[size % parsed.Statements.size()].Name;
    const TPrefValue value = TPrefValue::FromString("127.1 \"\\\n\xc3\xbc");
    document->Set(name, value);
    const TPrefsParseResult edited = ParsePrefs(document->Text());
    FUZZ_CHECK(edited.Ok);
    FUZZ_CHECK(document->Find(name) != nullptr && *document->Find(name) == value);
    size_t others = 0;
    for (const TPrefStatement& statement : parsed.Statements)
        others += statement.Name != name ? 1 : 0;
    size_t othersAfter = 0;
    for (const TPrefStatement& statement : edited.Statements)
        othersAfter += statement.Name != name ? 1 : 0;
    FUZZ_CHECK(others == othersAfter);

    document->Remove(name);
    FUZZ_CHECK(ParsePrefs(document->Text()).Ok);
    FUZZ_CHECK(!document->Has(name));
    FUZZ_CHECK(document->Statements().size() == others);
    return 0;
}
