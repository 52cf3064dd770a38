// Fuzz target: date reading never fails and always gives a finite value.

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "mail/UMessageHeaders.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    if (!std::isfinite(InternetDateToLocal(text)))
        __builtin_trap();
    return 0;
}
