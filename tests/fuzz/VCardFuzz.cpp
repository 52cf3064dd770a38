// Fuzz target: reading contacts out of vCard text. The only permitted failure is a damaged text;
// every contact read has a one-line UTF-8 name and an address of the form local@domain.

#include <cstddef>
#include <cstdint>
#include <string_view>

#include "base/LUnicode.h"
#include "clients/UVCard.h"
#include "tests/fuzz/FuzzCheck.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    try {
        for (const TContact& contact : ParseVCards(text)) {
            FUZZ_CHECK(!contact.DisplayName.empty());
            FUZZ_CHECK(TextToUtf8(contact.DisplayName) == contact.DisplayName);
            for (const char c : contact.DisplayName)
                FUZZ_CHECK(static_cast<unsigned char>(c) >= 32);
            const size_t at = contact.EmailAddress.find('@');
            FUZZ_CHECK(at != std::string::npos && at > 0 && at + 1 < contact.EmailAddress.size());
            FUZZ_CHECK(contact.EmailAddress.size() <= 254);
            for (const char c : contact.EmailAddress)
                FUZZ_CHECK(static_cast<unsigned char>(c) > 32);
        }
    } catch (const EVCardException&) {
    }
    // Decoding a value never fails and always gives UTF-8.
    const std::string decoded = DecodeVCardValue(text, true, "ISO-8859-1");
    FUZZ_CHECK(TextToUtf8(decoded) == decoded);
    return 0;
}
