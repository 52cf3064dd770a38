// Restore records as found in a profile, cut short by a crash or edited by hand: reading never fails
// uncontrolled, and a record that reads is written back to the very same text.

#include <cstddef>
#include <cstdint>
#include <string>

#include "clients/UThunderbirdRedirectRecord.h"
#include "tests/fuzz/FuzzCheck.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size);
    const std::optional<TThunderbirdRedirectRecord> record = ParseRedirectRecord(text);
    if (!record)
        return 0;
    const std::string written = FormatRedirectRecord(*record);
    const std::optional<TThunderbirdRedirectRecord> again = ParseRedirectRecord(written);
    FUZZ_CHECK(again.has_value() && *again == *record);
    FUZZ_CHECK(FormatRedirectRecord(*again) == written);
    return 0;
}
