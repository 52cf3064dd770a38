// Date-time text from service messages and the database: reading never fails, and whatever it
// reads is written as a text that reads back to itself.

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "base/LDates.h"
#include "tests/fuzz/FuzzCheck.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    const TZDateTime read = TextToDateTime(text);
    FUZZ_CHECK(std::isfinite(read.Value));
    FUZZ_CHECK(read.Offset > -24 * 60 && read.Offset < 24 * 60);
    FUZZ_CHECK(std::isfinite(LocalDateTime(read)));

    const std::string written = DateTimeToText(read);
    FUZZ_CHECK(written.size() == 33);
    FUZZ_CHECK(DateTimeToText(TextToDateTime(written)) == written);
    return 0;
}
