#pragma once
// What the preview shows of a stored message: its headers (From, To, Date, Subject), its text (the
// text/plain part, or else the text/html part reduced to text) and its attachments by name and size.
// Reading is bounded twice: at most the first PreviewReadLimit bytes of the file are parsed, and at
// most PreviewTextLimit bytes of text are kept, so that a message of any size opens at once.
// Transfer encodings, charsets and encoded words are decoded by GMime. Nothing is fetched and
// nothing is run. No Qt; any thread (GMime is set up once, on first use).

#include "base/UException.h"

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

inline constexpr size_t PreviewTextLimit = 256 * 1024;
inline constexpr size_t PreviewReadLimit = 4 * 1024 * 1024;

struct TMessageAttachment {
    std::string Name; // the file name, or the content type when it has none
    int64_t Size = 0; // decoded bytes (estimated from the encoded size for base64)
};

struct TMessagePreview {
    // UTF-8, encoded words decoded.
    std::string From, To, Date, Subject;
    std::string Text;
    bool FromHtml = false;
    // There was more text than is kept, or more message than was read.
    bool TextCut = false;
    std::vector<TMessageAttachment> Attachments;
};

// A message file that cannot be read.
class EMessagePreview : public Exception {
public:
    using Exception::Exception;
    const char* ClassName() const noexcept override { return "EMessagePreview"; }
};

// The preview of raw message bytes; `totalSize` is the size of the whole message when the bytes are
// only its beginning (the part cut there is then sized from the rest). Never raises for any bytes.
TMessagePreview PreviewMessage(std::string_view bytes, int64_t totalSize = -1);
// The preview of a message file. Raises EMessagePreview when it cannot be opened or read.
TMessagePreview PreviewMessageFile(const std::string& fileName);
