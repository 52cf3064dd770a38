// The text helpers on arbitrary text: the input is split into a text and a pattern at a position
// given by the first byte; each helper keeps its basic promise.

#include <charconv>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "base/LStrings.h"
#include "tests/fuzz/FuzzCheck.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) {
        return 0;
    }
    const std::string_view all(reinterpret_cast<const char*>(data) + 1, size - 1);
    const size_t cut = std::min<size_t>(data[0] % 16, all.size());
    const std::string_view pattern = all.substr(0, cut);
    const std::string_view text = all.substr(cut);

    if (!pattern.empty()) {
        FUZZ_CHECK(JoinText(SplitText(text, pattern), pattern) == text);
        FUZZ_CHECK(ReplaceAll(text, pattern, pattern) == text);
        FUZZ_CHECK(ReplaceAll(text, pattern, "").find(pattern) == std::string::npos ||
                   pattern.size() > 1); // removing can join pieces into a new occurrence
        FUZZ_CHECK(ContainsAnyOf(std::string(text) + std::string(pattern), {std::string(pattern)}));
    }
    FUZZ_CHECK(SameText(LowerCase(text), UpperCase(text)));

    const std::string trimmed = Trim(text);
    FUZZ_CHECK(trimmed.empty() ||
               (static_cast<unsigned char>(trimmed.front()) > ' ' && static_cast<unsigned char>(trimmed.back()) > ' '));

    const int index = static_cast<int>(data[0]) - 8;
    const int count = static_cast<int>(cut) - 4;
    FUZZ_CHECK(MidText(text, index, count).size() <= (count < 0 ? text.size() : static_cast<size_t>(count)));
    FUZZ_CHECK(LeftText(text, count) + TextFrom(text, count + 1) == text || count < 0);
    FUZZ_CHECK(RightText(text, count).size() == std::min(text.size(), static_cast<size_t>(count < 0 ? 0 : count)));

    double number = 0;
    if (TryStrToFloat(text, number)) {
        FUZZ_CHECK(std::isfinite(number));
        FUZZ_CHECK(IsFloat(text));
        char buffer[64];
        const auto written = std::to_chars(buffer, buffer + sizeof buffer, number);
        double again = 0;
        FUZZ_CHECK(TryStrToFloat(std::string_view(buffer, static_cast<size_t>(written.ptr - buffer)), again));
        FUZZ_CHECK(again == number);
    }
    int32_t integer = 0;
    if (TryStrToInt(text, integer)) {
        int32_t again = 0;
        FUZZ_CHECK(TryStrToInt(std::to_string(integer), again) && again == integer);
        FUZZ_CHECK(IsFloat(text));
    }
    if (TextToBool(text)) {
        FUZZ_CHECK(text.size() == 3 || text.size() == 4);
    }
    return 0;
}
