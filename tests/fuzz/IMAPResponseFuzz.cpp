// What an IMAP server (or anyone in its place) sends, as the network may deliver it: the assembler
// hands out the bytes unchanged and in order, cut the same way however the reads fall, and each
// response parses to its parts or raises EIMAPException, nothing else. Mailbox names survive the
// way to modified UTF-7 and back, and sequence sets keep to their limit.

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "base/LUnicode.h"
#include "mail/UIMAPResponse.h"
#include "tests/fuzz/FuzzCheck.h"

namespace {

// The responses of the stream fed `step` bytes at a time; stops at the first limit exceeded.
std::vector<std::string> Responses(std::string_view stream, std::size_t step, bool& failed) {
    TIMAPResponseAssembler assembler;
    std::vector<std::string> responses;
    failed = false;
    try {
        for (std::size_t at = 0; at < stream.size(); at += step) {
            assembler.Append(stream.substr(at, step));
            std::string response;
            while (assembler.Next(response))
                responses.push_back(response);
        }
    } catch (const EIMAPException&) {
        failed = true;
    }
    return responses;
}

void Inspect(const std::vector<TIMAPValue>& values) {
    for (const TIMAPValue& value : values) {
        (void)value.AsNumber();
        (void)value.IsAtom("UID");
        Inspect(value.Items);
    }
    (void)FindItem(values, "BODY[]");
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);

    bool failedWhole = false;
    const std::vector<std::string> whole = Responses(text, text.size() + 1, failedWhole);
    std::string joined;
    for (const std::string& response : whole)
        joined += response;
    FUZZ_CHECK(text.starts_with(joined));
    if (size > 0) {
        bool failedInPieces = false;
        const std::size_t step = 1 + data[0] % 7;
        const std::vector<std::string> pieces = Responses(text, step, failedInPieces);
        FUZZ_CHECK(failedInPieces == failedWhole);
        FUZZ_CHECK(pieces == whole);
    }
    for (const std::string& response : whole) {
        try {
            const TIMAPResponse parsed = ParseIMAPResponse(response);
            Inspect(parsed.Values);
        } catch (const EIMAPException&) {
        }
    }

    if (size < 4096) {
        const std::string encoded = EncodeMailboxName(text);
        for (const char c : encoded)
            FUZZ_CHECK(c >= 0x20 && c <= 0x7E);
        FUZZ_CHECK(DecodeMailboxName(encoded) == TextToUtf8(text));
        (void)DecodeMailboxName(text);
        std::vector<uint32_t> numbers;
        try {
            AppendSequenceSet(text, numbers, 1000);
            FUZZ_CHECK(numbers.size() <= 1000);
        } catch (const EIMAPException&) {
        }
    }
    return 0;
}
