// Fuzz target: the text form of name/value lists and MIME header lists. The first byte chooses
// the list class and line separator. The only permitted failure is a line without separator; a
// text that was read writes back a text that reads back to itself.

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "base/UCommonClasses.h"
#include "mail/UMIME.h"
#include "tests/fuzz/FuzzCheck.h"

namespace {

std::unique_ptr<TNameValueList> NewList(uint8_t choice) {
    std::unique_ptr<TNameValueList> list;
    switch (choice % 3) {
    case 0:
        list = std::make_unique<TNameValueList>();
        break;
    case 1:
        list = std::make_unique<TNameValuesList>();
        break;
    default:
        list = std::make_unique<TMIMEHeaderList>();
        break;
    }
    if (choice & 0x10)
        list->SetLineSeparator("\n");
    return list;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0)
        return 0;
    const std::string_view text(reinterpret_cast<const char*>(data + 1), size - 1);
    std::unique_ptr<TNameValueList> list = NewList(data[0]);
    try {
        list->SetAsString(text);
    } catch (const NameValueException&) {
        return 0;
    }
    const std::string written = list->AsString();
    std::unique_ptr<TNameValueList> again = NewList(data[0]);
    again->SetAsString(written);
    FUZZ_CHECK(again->Count() == list->Count());
    FUZZ_CHECK(again->AsString() == written);
    return 0;
}
