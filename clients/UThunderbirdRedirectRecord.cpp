#include "clients/UThunderbirdRedirectRecord.h"

#include "base/LStrings.h"
#include "base/UDebug.h"
#include "base/UException.h"
#include "base/UFileUtils.h"
#include "base/UWindows.h"

#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <fstream>
#include <sstream>
#include <string_view>
#include <vector>

// The file is a header line and a list of fields, each "name length:bytes\n", so that any text
// (a prefs.js with NUL-free bytes of every kind, a server key with blanks) goes in and out as is.
// A redirected server's field holds its parts as fields of their own.

namespace {

constexpr std::string_view Header = "Tessivar Thunderbird restore record 1\n";

void AppendField(std::string& out, std::string_view name, std::string_view value) {
    out.append(name).append(" ").append(std::to_string(value.size())).append(":").append(value).append("\n");
}

// Reads fields one after another; any fault makes the whole text unreadable.
class TFieldReader {
public:
    explicit TFieldReader(std::string_view text) : m_Text(text) {}
    bool AtEnd() const { return m_Pos >= m_Text.size(); }
    bool Next(std::string& name, std::string& value) {
        const size_t blank = m_Text.find(' ', m_Pos);
        const size_t colon = m_Text.find(':', m_Pos);
        if (blank == std::string_view::npos || colon == std::string_view::npos || blank > colon)
            return false;
        size_t length = 0;
        const char* first = m_Text.data() + blank + 1;
        const char* last = m_Text.data() + colon;
        const auto [end, error] = std::from_chars(first, last, length);
        if (error != std::errc() || end != last || first == last || length > m_Text.size() - colon - 1)
            return false;
        const size_t close = colon + 1 + length;
        if (close >= m_Text.size() || m_Text[close] != '\n')
            return false;
        name = std::string(m_Text.substr(m_Pos, blank - m_Pos));
        value = std::string(m_Text.substr(colon + 1, length));
        m_Pos = close + 1;
        return true;
    }

private:
    std::string_view m_Text;
    size_t m_Pos = 0;
};

template <class T> bool ParseNumber(const std::string& text, T& number) {
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), number);
    return error == std::errc() && end == text.data() + text.size() && !text.empty();
}

std::string FormatServer(const std::string& key, const TThunderbirdRedirectedServer& server) {
    std::string out;
    AppendField(out, "key", key);
    AppendField(out, "host", server.Host);
    AppendField(out, "port", std::to_string(server.Port));
    AppendField(out, "time", std::to_string(server.Time));
    AppendField(out, "real-host", server.Real.Host);
    AppendField(out, "real-port", std::to_string(server.Real.Port));
    AppendField(out, "real-socketType", std::to_string(server.Real.SocketType));
    AppendField(out, "real-authMethod", std::to_string(server.Real.AuthMethod));
    return out;
}

bool ParseServer(const std::string& text, std::string& key, TThunderbirdRedirectedServer& server) {
    TFieldReader reader(text);
    std::string name, value;
    int parts = 0;
    while (!reader.AtEnd()) {
        if (!reader.Next(name, value))
            return false;
        bool ok = true;
        if (name == "key")
            key = value;
        else if (name == "host")
            server.Host = value;
        else if (name == "port")
            ok = ParseNumber(value, server.Port);
        else if (name == "time")
            ok = ParseNumber(value, server.Time);
        else if (name == "real-host")
            server.Real.Host = value;
        else if (name == "real-port")
            ok = ParseNumber(value, server.Real.Port);
        else if (name == "real-socketType")
            ok = ParseNumber(value, server.Real.SocketType);
        else if (name == "real-authMethod")
            ok = ParseNumber(value, server.Real.AuthMethod);
        else
            ok = false;
        if (!ok)
            return false;
        ++parts;
    }
    return parts == 8 && !key.empty();
}

} // namespace

std::string RedirectRecordPath(const std::string& profileDirectory) {
    return profileDirectory + "/prefs.js.tessivar-restore";
}

std::string FormatRedirectRecord(const TThunderbirdRedirectRecord& record) {
    std::string out(Header);
    AppendField(out, "original-prefs", record.OriginalPrefs);
    if (record.OriginalUser)
        AppendField(out, "original-user", *record.OriginalUser);
    AppendField(out, "written-prefs", record.WrittenPrefs);
    if (record.WrittenUser)
        AppendField(out, "written-user", *record.WrittenUser);
    for (const auto& [key, server] : record.Redirected)
        AppendField(out, "redirected", FormatServer(key, server));
    for (const auto& [key, server] : record.Pending)
        AppendField(out, "pending-server", FormatServer(key, server));
    return out;
}

std::optional<TThunderbirdRedirectRecord> ParseRedirectRecord(const std::string& text) {
    if (text.compare(0, Header.size(), Header) != 0)
        return std::nullopt;
    TFieldReader reader(std::string_view(text).substr(Header.size()));
    TThunderbirdRedirectRecord record;
    bool originalPrefs = false, writtenPrefs = false;
    std::string name, value;
    while (!reader.AtEnd()) {
        if (!reader.Next(name, value))
            return std::nullopt;
        if (name == "original-prefs") {
            record.OriginalPrefs = value;
            originalPrefs = true;
        } else if (name == "original-user") {
            record.OriginalUser = value;
        } else if (name == "written-prefs") {
            record.WrittenPrefs = value;
            writtenPrefs = true;
        } else if (name == "written-user") {
            record.WrittenUser = value;
        } else if (name == "redirected") {
            std::string key;
            TThunderbirdRedirectedServer server;
            if (!ParseServer(value, key, server))
                return std::nullopt;
            record.Redirected[key] = server;
        } else if (name == "pending-server") {
            std::string key;
            TThunderbirdRedirectedServer server;
            if (!ParseServer(value, key, server))
                return std::nullopt;
            record.Pending[key] = server;
        } else if (name == "pending") {
            record.Pending.try_emplace(value); // written by an older version
        } else {
            return std::nullopt;
        }
    }
    if (!originalPrefs || !writtenPrefs)
        return std::nullopt;
    return record;
}

std::optional<TThunderbirdRedirectRecord> LoadRedirectRecord(const std::string& profileDirectory) {
    const std::string path = RedirectRecordPath(profileDirectory);
    std::ifstream file(path, std::ios::binary);
    if (!file)
        return std::nullopt;
    std::ostringstream text;
    text << file.rdbuf();
    std::optional<TThunderbirdRedirectRecord> record = ParseRedirectRecord(text.str());
    if (!record)
        Debug("Not a restore record this program can read: " + path);
    return record;
}

void SaveRedirectRecord(const std::string& profileDirectory, const TThunderbirdRedirectRecord& record) {
    const std::string path = RedirectRecordPath(profileDirectory);
    if (!record.Empty()) {
        WriteFileDurably(path, FormatRedirectRecord(record), 0600);
        return;
    }
    if (::unlink(path.c_str()) != 0 && errno != ENOENT)
        throw Exception(path + ": " + SystemErrorMessage(errno));
}
