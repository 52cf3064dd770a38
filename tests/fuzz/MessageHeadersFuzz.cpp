// Fuzz target: reading the headers of a raw message given as lines. The only permitted failures
// are those of message reading; the tolerant reading never fails; no field read holds a NUL byte.

#include <cstddef>
#include <cstdint>
#include <string_view>

#include "mail/UMessageHeaders.h"
#include "tests/fuzz/FuzzCheck.h"

namespace {

// The fields go into database statements, which refuse NUL bytes. The sender's address is read from
// the text as written, so it is never longer than the input.
void CheckStorable(const TParsedMessage& message, size_t size) {
    for (const std::string* field : {&message.MessageId, &message.FromAddress, &message.FromName, &message.Subject})
        FUZZ_CHECK(field->find('\0') == std::string::npos);
    FUZZ_CHECK(message.FromAddress.size() <= size);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    TStringArray lines;
    size_t start = 0;
    while (start <= text.size()) {
        size_t end = text.find('\n', start);
        if (end == std::string_view::npos)
            end = text.size();
        std::string_view line = text.substr(start, end - start);
        if (!line.empty() && line.back() == '\r')
            line.remove_suffix(1);
        lines.emplace_back(line);
        start = end + 1;
    }
    try {
        const TParsedMessage message = ParseMessageHeaders(lines);
        FUZZ_CHECK(message.Headers.Count() <= static_cast<int>(lines.size()));
        CheckStorable(message, size);
        for (const char* name : {"Received", "X-Tessivar", "Content-Type", ""})
            FUZZ_CHECK(message.Headers.Values(name).find('\0') == std::string::npos);
    } catch (const EMessageParseException&) {
    }
    // The tolerant reading never fails, whatever the input.
    const TParsedMessage tolerant = ParseMessageHeadersTolerant(lines);
    FUZZ_CHECK(tolerant.Headers.Count() <= static_cast<int>(lines.size()));
    CheckStorable(tolerant, size);
    return 0;
}
