// Fuzz target: date reading never fails and always gives a finite value.

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "mail/UMessageHeaders.h"
#include "tests/fuzz/FuzzCheck.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    FUZZ_CHECK(std::isfinite(InternetDateToLocal(text)));
    return 0;
}
