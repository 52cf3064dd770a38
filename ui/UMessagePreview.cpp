#include "ui/UMessagePreview.h"

#include "base/LUnicode.h"
#include "ui/UHtmlText.h"

#include <gmime/gmime.h>

#include <algorithm>
#include <cctype>
#include <fstream>
#include <memory>
#include <mutex>

namespace {

// Nesting deeper than this (multiparts within multiparts, messages within messages) is not read:
// the parser goes down it by recursion, and mail has no need of more.
constexpr int MaximumNesting = 32;

void EnsureGMime() {
    static std::once_flag once;
    std::call_once(once, [] { g_mime_init(); });
}

struct TGObjectRelease {
    void operator()(void* object) const {
        if (object)
            g_object_unref(object);
    }
};
template <class T> using TGObject = std::unique_ptr<T, TGObjectRelease>;

struct TGFree {
    void operator()(char* text) const { g_free(text); }
};
using TGString = std::unique_ptr<char, TGFree>;

std::string Text(const char* text) {
    return text ? TextToUtf8(text) : std::string();
}

// The bytes up to where the nesting would exceed MaximumNesting: every level needs a boundary or
// an embedded message, so counting those (letter case ignored) bounds it.
size_t NestingBound(std::string_view bytes) {
    int seen = 0;
    for (size_t at = 0; at + 8 <= bytes.size(); ++at) {
        const char c = static_cast<char>(std::tolower(static_cast<unsigned char>(bytes[at])));
        if (c != 'b' && c != 'm')
            continue;
        const std::string_view word = c == 'b' ? "boundary" : "message/";
        bool match = true;
        for (size_t i = 1; i < word.size() && match; ++i)
            match = std::tolower(static_cast<unsigned char>(bytes[at + i])) == word[i];
        if (match && ++seen > MaximumNesting)
            return at;
    }
    return bytes.size();
}

std::string AddressList(InternetAddressList* list) {
    if (!list || internet_address_list_length(list) == 0)
        return {};
    return Text(TGString(internet_address_list_to_string(list, nullptr, FALSE)).get());
}

std::string DecodedHeader(GMimeObject* object, const char* name) {
    const char* raw = g_mime_object_get_header(object, name);
    if (!raw)
        return {};
    TGString decoded(g_mime_utils_header_decode_text(nullptr, raw));
    return Text(decoded ? decoded.get() : raw);
}

// At most `wanted` bytes of the part's text, decoded from its transfer encoding and converted from
// its charset to UTF-8 as far as GMime knows the charset; `more` tells whether the text goes on.
// Only what is returned is decoded, so a huge part costs no more than a small one.
std::string DecodedText(GMimePart* part, size_t wanted, bool& more) {
    more = false;
    GMimeDataWrapper* content = g_mime_part_get_content(part);
    GMimeStream* raw = content ? g_mime_data_wrapper_get_stream(content) : nullptr;
    if (!raw || g_mime_stream_reset(raw) < 0)
        return {};
    TGObject<GMimeStream> filtered(g_mime_stream_filter_new(raw));
    const GMimeContentEncoding encoding = g_mime_data_wrapper_get_encoding(content);
    if (encoding == GMIME_CONTENT_ENCODING_BASE64 || encoding == GMIME_CONTENT_ENCODING_QUOTEDPRINTABLE ||
        encoding == GMIME_CONTENT_ENCODING_UUENCODE) {
        TGObject<GMimeFilter> decoder(g_mime_filter_basic_new(encoding, FALSE));
        if (decoder)
            g_mime_stream_filter_add(GMIME_STREAM_FILTER(filtered.get()), decoder.get());
    }
    const char* charset = g_mime_object_get_content_type_parameter(GMIME_OBJECT(part), "charset");
    if (charset && g_ascii_strcasecmp(charset, "utf-8") != 0 && g_ascii_strcasecmp(charset, "us-ascii") != 0) {
        // None for a charset iconv does not know: the text is then taken as it is (see Text).
        TGObject<GMimeFilter> converter(g_mime_filter_charset_new(charset, "UTF-8"));
        if (converter)
            g_mime_stream_filter_add(GMIME_STREAM_FILTER(filtered.get()), converter.get());
    }
    std::string text;
    char buffer[64 * 1024];
    while (text.size() < wanted) {
        const ssize_t read = g_mime_stream_read(filtered.get(), buffer, sizeof buffer);
        if (read <= 0)
            return text;
        text.append(buffer, static_cast<size_t>(read));
    }
    more = true;
    text.resize(wanted);
    return text;
}

// Line breaks as the preview shows them: CR LF and lone CR become LF.
std::string WithLineFeeds(std::string text) {
    size_t to = 0;
    for (size_t from = 0; from < text.size(); ++from) {
        if (text[from] == '\r') {
            text[to++] = '\n';
            if (from + 1 < text.size() && text[from + 1] == '\n')
                ++from;
        } else {
            text[to++] = text[from];
        }
    }
    text.resize(to);
    return text;
}

// HTML read for the preview: its text is sparser than the HTML, so more of it is read.
constexpr size_t HtmlReadLimit = 4 * PreviewTextLimit;

class TPreviewBuilder {
public:
    TPreviewBuilder(TMessagePreview& preview, size_t bytesRead, int64_t totalSize)
        : m_Preview(preview), m_BytesRead(static_cast<int64_t>(bytesRead)), m_TotalSize(totalSize) {}

    void Walk(GMimeObject* object, int depth) {
        if (!object || depth > MaximumNesting)
            return;
        if (GMIME_IS_MULTIPART(object)) {
            GMimeMultipart* multipart = GMIME_MULTIPART(object);
            for (int i = 0, count = g_mime_multipart_get_count(multipart); i < count; ++i)
                Walk(g_mime_multipart_get_part(multipart, i), depth + 1);
        } else if (GMIME_IS_MESSAGE_PART(object)) {
            GMimeMessage* inner = g_mime_message_part_get_message(GMIME_MESSAGE_PART(object));
            std::string name = inner ? Text(g_mime_message_get_subject(inner)) : std::string();
            m_Preview.Attachments.push_back({name.empty() ? "Attached message" : name + ".eml", WrittenSize(object)});
        } else if (GMIME_IS_PART(object)) {
            Part(GMIME_PART(object));
        }
    }

    void Finish() {
        GMimePart* chosen = m_Plain ? m_Plain : m_Html;
        if (!chosen)
            return;
        bool more = false, cut = false;
        if (chosen == m_Plain) {
            // One byte more than is kept shows whether the text goes on.
            const std::string utf8 = TextToUtf8(DecodedText(chosen, PreviewTextLimit + 1, more));
            m_Preview.Text = WithLineFeeds(Bounded(utf8, cut));
        } else {
            const std::string utf8 = TextToUtf8(DecodedText(chosen, HtmlReadLimit, more));
            m_Preview.Text = HtmlToText(utf8, PreviewTextLimit, &cut);
            m_Preview.FromHtml = true;
        }
        m_Preview.TextCut = m_Preview.TextCut || more || cut || CutByRead(chosen);
    }

private:
    void Part(GMimePart* part) {
        GMimeContentType* type = g_mime_object_get_content_type(GMIME_OBJECT(part));
        const char* fileName = g_mime_part_get_filename(part);
        const bool attachment = g_mime_part_is_attachment(part) || fileName;
        if (!attachment && GMIME_IS_TEXT_PART(part)) {
            if (!m_Plain && g_mime_content_type_is_type(type, "text", "plain")) {
                m_Plain = part;
                return;
            }
            if (!m_Html && g_mime_content_type_is_type(type, "text", "html")) {
                m_Html = part;
                return;
            }
        }
        std::string name = Text(fileName);
        if (name.empty() && type)
            name = Text(TGString(g_mime_content_type_get_mime_type(type)).get());
        m_Preview.Attachments.push_back({name, ContentSize(part)});
    }

    // The decoded size, estimated from the encoded one: base64 carries 57 bytes in a line of 76
    // characters and its line break.
    int64_t ContentSize(GMimePart* part) const {
        GMimeDataWrapper* content = g_mime_part_get_content(part);
        GMimeStream* stream = content ? g_mime_data_wrapper_get_stream(content) : nullptr;
        if (!stream)
            return 0;
        int64_t encoded = g_mime_stream_length(stream);
        // A part cut by the read limit reaches to the end of the whole message.
        if (m_TotalSize > m_BytesRead && stream->bound_end >= m_BytesRead)
            encoded = m_TotalSize - stream->bound_start;
        encoded = std::max<int64_t>(encoded, 0);
        return g_mime_part_get_content_encoding(part) == GMIME_CONTENT_ENCODING_BASE64 ? encoded * 57 / 78 : encoded;
    }

    bool CutByRead(GMimePart* part) const {
        GMimeDataWrapper* content = g_mime_part_get_content(part);
        GMimeStream* stream = content ? g_mime_data_wrapper_get_stream(content) : nullptr;
        return stream && m_TotalSize > m_BytesRead && stream->bound_end >= m_BytesRead;
    }

    static int64_t WrittenSize(GMimeObject* object) {
        TGObject<GMimeStream> null(g_mime_stream_null_new());
        const ssize_t written = g_mime_object_write_to_stream(object, nullptr, null.get());
        return std::max<int64_t>(written, 0);
    }

    static std::string Bounded(const std::string& text, bool& cut) {
        if (text.size() <= PreviewTextLimit)
            return text;
        size_t size = PreviewTextLimit;
        while (size > 0 && (static_cast<unsigned char>(text[size]) & 0xC0) == 0x80)
            --size;
        cut = true;
        return text.substr(0, size);
    }

    TMessagePreview& m_Preview;
    int64_t m_BytesRead;
    int64_t m_TotalSize;
    GMimePart* m_Plain = nullptr;
    GMimePart* m_Html = nullptr;
};

} // namespace

TMessagePreview PreviewMessage(std::string_view bytes, int64_t totalSize) {
    EnsureGMime();
    TMessagePreview preview;
    if (totalSize < 0)
        totalSize = static_cast<int64_t>(bytes.size());
    const size_t bound = NestingBound(bytes);
    if (bound < bytes.size()) {
        bytes = bytes.substr(0, bound);
        preview.TextCut = true;
    }
    TGObject<GMimeStream> stream(g_mime_stream_mem_new_with_buffer(bytes.data(), bytes.size()));
    TGObject<GMimeParser> parser(g_mime_parser_new_with_stream(stream.get()));
    g_mime_parser_set_format(parser.get(), GMIME_FORMAT_MESSAGE);
    g_mime_parser_set_persist_stream(parser.get(), TRUE);
    TGObject<GMimeMessage> message(g_mime_parser_construct_message(parser.get(), nullptr));
    if (!message)
        return preview;
    GMimeObject* object = GMIME_OBJECT(message.get());
    preview.From = AddressList(g_mime_message_get_from(message.get()));
    preview.To = AddressList(g_mime_message_get_to(message.get()));
    preview.Date = DecodedHeader(object, "Date");
    preview.Subject = Text(g_mime_message_get_subject(message.get()));
    TPreviewBuilder builder(preview, bytes.size(), totalSize);
    builder.Walk(g_mime_message_get_mime_part(message.get()), 0);
    builder.Finish();
    return preview;
}

TMessagePreview PreviewMessageFile(const std::string& fileName) {
    std::ifstream file(fileName, std::ios::binary);
    if (!file)
        throw EMessagePreview("The message file " + fileName + " could not be opened.");
    file.seekg(0, std::ios::end);
    const std::streamoff size = file.tellg();
    if (size < 0)
        throw EMessagePreview("The message file " + fileName + " could not be read.");
    file.seekg(0, std::ios::beg);
    std::string bytes(static_cast<size_t>(std::min<std::streamoff>(size, PreviewReadLimit)), '\0');
    if (!file.read(bytes.data(), static_cast<std::streamsize>(bytes.size())))
        throw EMessagePreview("The message file " + fileName + " could not be read.");
    return PreviewMessage(bytes, size);
}
