// Word-filter lists typed by the user: tidying never fails, and tidying a tidied list with the
// filters' separator changes nothing. The first byte picks the separator.

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "base/LStrings.h"
#include "tests/fuzz/FuzzCheck.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const std::string_view separators[] = {",", ";", " ", ", ", "", "\n", "ab", ",,"};
    if (size == 0) {
        FUZZ_CHECK(NormalizeList("", ",").empty());
        return 0;
    }
    const std::string_view separator = separators[data[0] % (sizeof separators / sizeof separators[0])];
    const std::string_view text(reinterpret_cast<const char*>(data) + 1, size - 1);
    const std::string once = NormalizeList(text, separator);
    FUZZ_CHECK(once.find('\r') == std::string::npos);
    if (separator == ",") {
        FUZZ_CHECK(NormalizeList(once, separator) == once);
        FUZZ_CHECK(once.find('\n') == std::string::npos);
    }
    return 0;
}
