#include "devservice/UHTTPRequestHead.h"

#include <charconv>
#include <vector>

#include "base/LStrings.h"
#include "devservice/UServiceLimits.h"

namespace {

TRequestHead Refuse(int status) {
    TRequestHead head;
    head.State = TRequestHead::TState::Refused;
    head.Status = status;
    return head;
}

// The methods whose body the HTTP library reads.
bool CarriesBody(std::string_view method) {
    for (const char* name : {"POST", "PUT", "PATCH", "DELETE", "PRI"})
        if (method == name)
            return true;
    return false;
}

// A Content-Length value: digits only, as the body bound allows.
bool ReadLength(std::string_view text, size_t& length) {
    if (text.empty() || text.size() > 20)
        return false;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), length);
    return error == std::errc() && end == text.data() + text.size();
}

} // namespace

TRequestHead InspectRequestHead(std::string_view received) {
    const size_t end = received.find("\r\n\r\n");
    if (end == std::string_view::npos) {
        if (received.size() > MaxRequestHeadBytes)
            return Refuse(431);
        // A head that already holds too many lines need not be waited for.
        size_t lines = 0;
        for (const char c : received)
            lines += c == '\n';
        return lines > MaxRequestHeaderLines + 1 ? Refuse(431) : TRequestHead{};
    }
    if (end + 4 > MaxRequestHeadBytes)
        return Refuse(431);

    std::vector<std::string_view> lines;
    for (size_t start = 0; start < end + 2;) {
        const size_t next = received.find("\r\n", start);
        lines.push_back(received.substr(start, next - start));
        start = next + 2;
    }
    if (lines.size() > MaxRequestHeaderLines + 1)
        return Refuse(431);
    const std::string_view requestLine = lines[0];
    const std::string_view method = requestLine.substr(0, requestLine.find(' '));

    TRequestHead head;
    head.State = TRequestHead::TState::Complete;
    head.HeadBytes = end + 4;
    bool hasLength = false;
    head.Head.reserve(head.HeadBytes);
    head.Head.append(requestLine).append("\r\n");
    for (size_t i = 1; i < lines.size(); ++i) {
        const std::string_view line = lines[i];
        const size_t colon = line.find(':');
        const std::string_view name = line.substr(0, colon);
        const std::string value = colon == std::string_view::npos ? std::string() : Trim(line.substr(colon + 1));
        if (SameText(name, "Transfer-Encoding"))
            return Refuse(411);
        if (SameText(name, "Content-Length")) {
            size_t length = 0;
            if (!ReadLength(value, length) || (hasLength && length != head.BodyBytes))
                return Refuse(400);
            if (length > MaxRequestBodyBytes)
                return Refuse(413);
            head.BodyBytes = length;
            hasLength = true;
        }
        if (SameText(name, "Expect")) {
            head.ExpectsContinue = SameText(value, "100-continue");
            continue;
        }
        head.Head.append(line).append("\r\n");
    }
    if (!hasLength && CarriesBody(method))
        return Refuse(411);
    head.Head += "\r\n";
    return head;
}

std::string RefusalResponse(int status) {
    const char* reason = "Bad Request";
    switch (status) {
    case 408:
        reason = "Request Timeout";
        break;
    case 411:
        reason = "Length Required";
        break;
    case 413:
        reason = "Payload Too Large";
        break;
    case 431:
        reason = "Request Header Fields Too Large";
        break;
    case 503:
        reason = "Service Unavailable";
        break;
    }
    return "HTTP/1.1 " + std::to_string(status) + " " + reason +
           "\r\nConnection: close\r\nContent-Length: 0\r\n" + (status == 503 ? "Retry-After: 10\r\n" : "") + "\r\n";
}
