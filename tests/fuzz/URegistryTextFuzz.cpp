// Registry files as found on disk, hand-edited or damaged: parsing never fails, what is kept can
// always be written and read back without a complaint, and writing it is stable: formatting the
// re-read tree gives the same text again.

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "base/URegistryText.h"
#include "base/URegistryTree.h"
#include "tests/fuzz/FuzzCheck.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    const TRegistryParseResult first = ParseRegistryText(text, "HKEY_CURRENT_USER");
    FUZZ_CHECK(first.Root != nullptr);
    const std::string written = FormatRegistryText(*first.Root, "HKEY_CURRENT_USER");

    const TRegistryParseResult second = ParseRegistryText(written, "HKEY_CURRENT_USER");
    FUZZ_CHECK(second.Problems.empty());
    FUZZ_CHECK(FormatRegistryText(*second.Root, "HKEY_CURRENT_USER") == written);
    // Another root's file never takes this root's keys.
    const TRegistryParseResult other = ParseRegistryText(written, "HKEY_LOCAL_MACHINE");
    FUZZ_CHECK(other.Root->Values().empty() && other.Root->SubKeys().empty());
    return 0;
}
