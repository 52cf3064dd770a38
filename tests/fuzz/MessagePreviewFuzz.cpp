// Fuzz target: what the message preview reads of raw message bytes. Any bytes give a preview (no
// exception, no crash), its texts are valid UTF-8, and the text stays within its bound.

#include <cstddef>
#include <cstdint>
#include <string_view>

#include "base/LUnicode.h"
#include "tests/fuzz/FuzzCheck.h"
#include "ui/UHtmlText.h"
#include "ui/UMessagePreview.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string_view bytes(reinterpret_cast<const char*>(data), size);
    const TMessagePreview preview = PreviewMessage(bytes);
    FUZZ_CHECK(preview.Text.size() <= PreviewTextLimit);
    for (const std::string* text : {&preview.From, &preview.To, &preview.Date, &preview.Subject, &preview.Text})
        FUZZ_CHECK(TextToUtf8(*text) == *text);
    for (const TMessageAttachment& attachment : preview.Attachments)
        FUZZ_CHECK(attachment.Size >= 0 && TextToUtf8(attachment.Name) == attachment.Name);
    // The HTML reduction on its own, with a small bound, over the same bytes taken as UTF-8.
    const std::string html = HtmlToText(TextToUtf8(bytes), 64);
    FUZZ_CHECK(html.size() <= 64 && TextToUtf8(html) == html);
    return 0;
}
