// Fuzz target: encoded-word decoding. The only permitted failure is a bad "Q" escape; a decoded
// text never holds a NUL byte.

#include <cstddef>
#include <cstdint>
#include <string_view>

#include "mail/UMessageHeaders.h"
#include "tests/fuzz/FuzzCheck.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    try {
        FUZZ_CHECK(DecodeHeaderText(text).find('\0') == std::string::npos);
    } catch (const EHeaderDecodeException&) {
    }
    return 0;
}
