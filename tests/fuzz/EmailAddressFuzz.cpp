// Fuzz target: address parsing and the user/domain split. The only permitted failure is an
// unreadable address; splitting never fails.

#include <cstddef>
#include <cstdint>
#include <string_view>

#include "mail/UMessageHeaders.h"
#include "tests/fuzz/FuzzCheck.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    try {
        const TEmailAddress address = ParseEmailAddress(text);
        FUZZ_CHECK(address.Address.size() <= size && address.Name.size() <= size);
    } catch (const EEmailAddressException&) {
    }
    try {
        ParseEmailAddressList(text);
    } catch (const EEmailAddressException&) {
    }
    // The first mailbox is a piece of the list as written, nothing added or decoded.
    FUZZ_CHECK(text.find(FirstMailboxText(text)) != std::string_view::npos);
    const TEmailAddressParts parts = Internet::SplitEmailAddress(text);
    FUZZ_CHECK(parts.User.size() + parts.Domain.size() <= size);
    return 0;
}
