#include "core/UIMAPPasswordFile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <vector>

#include "base/LStrings.h"
#include "base/UDebug.h"
#include "base/UException.h"
#include "base/UFileUtils.h"
#include "base/UWindows.h"

namespace {

constexpr const char* FileHeading = "# Tessivar IMAP passwords: address host user password, percent-encoded\n";
// A password file larger than this is not one this program wrote; it is not read.
constexpr off_t MaximumFileSize = 4 * 1024 * 1024;

// Every byte that could break a line into fields or lines is written as %XX.
std::string Encode(const std::string& text) {
    static const char Hex[] = "0123456789ABCDEF";
    std::string encoded;
    for (const char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte <= 0x20 || byte == 0x7f || byte == '%') {
            encoded += '%';
            encoded += Hex[byte >> 4];
            encoded += Hex[byte & 0x0f];
        } else {
            encoded += c;
        }
    }
    return encoded;
}

int HexValue(char c) {
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    return -1;
}

std::optional<std::string> Decode(const std::string& text) {
    std::string decoded;
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] != '%') {
            decoded += text[i];
            continue;
        }
        if (i + 2 >= text.size())
            return std::nullopt;
        const int high = HexValue(text[i + 1]);
        const int low = HexValue(text[i + 2]);
        if (high < 0 || low < 0)
            return std::nullopt;
        decoded += static_cast<char>(high * 16 + low);
        i += 2;
    }
    return decoded;
}

struct TEntry {
    std::string Address, Host, User, Password;
};

// The entry of a line; nullopt for a comment or a line this program did not write.
std::optional<TEntry> ParseLine(const std::string& line) {
    if (line.empty() || line[0] == '#')
        return std::nullopt;
    std::vector<std::string> fields;
    size_t start = 0;
    while (start <= line.size()) {
        const size_t end = line.find(' ', start);
        fields.push_back(line.substr(start, end == std::string::npos ? std::string::npos : end - start));
        if (end == std::string::npos)
            break;
        start = end + 1;
    }
    if (fields.size() != 4)
        return std::nullopt;
    TEntry entry;
    std::string* targets[] = {&entry.Address, &entry.Host, &entry.User, &entry.Password};
    for (size_t i = 0; i < 4; ++i) {
        auto decoded = Decode(fields[i]);
        if (!decoded)
            return std::nullopt;
        *targets[i] = std::move(*decoded);
    }
    return entry;
}

bool Matches(const TEntry& entry, const TIMAPServer& server) {
    return SameText(entry.Address, server.EmailAddress) && SameText(entry.Host, server.Host) &&
           entry.User == server.Username;
}

std::string EntryLine(const TIMAPServer& server, const std::string& password) {
    return Encode(LowerCase(server.EmailAddress)) + " " + Encode(LowerCase(server.Host)) + " " +
           Encode(server.Username) + " " + Encode(password);
}

// The file's lines; none when it is missing. Never follows a symbolic link, and never reads a file
// that is not a regular file of a sane size.
std::vector<std::string> ReadLines(const std::string& path) {
    std::vector<std::string> lines;
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK);
    if (fd < 0) {
        if (errno != ENOENT)
            Debug("The IMAP password file " + path + " cannot be read: " + SystemErrorMessage(errno));
        return lines;
    }
    std::string data;
    struct stat status {};
    if (::fstat(fd, &status) == 0 && S_ISREG(status.st_mode) && status.st_size <= MaximumFileSize) {
        char buffer[8192];
        ssize_t count;
        while ((count = ::read(fd, buffer, sizeof buffer)) > 0 || (count < 0 && errno == EINTR))
            if (count > 0)
                data.append(buffer, static_cast<size_t>(count));
    } else {
        Debug("The IMAP password file " + path + " is not a regular file of a readable size; it is ignored.");
    }
    ::close(fd);
    size_t start = 0;
    while (start < data.size()) {
        size_t end = data.find('\n', start);
        if (end == std::string::npos)
            end = data.size();
        lines.push_back(data.substr(start, end - start));
        start = end + 1;
    }
    return lines;
}

void WriteLines(const std::string& path, const std::vector<std::string>& lines) {
    std::string text = FileHeading;
    for (const std::string& line : lines)
        if (line.rfind("# Tessivar IMAP passwords", 0) != 0)
            text += line + "\n";
    WriteFileDurably(path, text, 0600);
}

} // namespace

TIMAPPasswordFile::TIMAPPasswordFile(std::string path) : m_Path(std::move(path)) {}

std::optional<std::string> TIMAPPasswordFile::Read(const TIMAPServer& server) const {
    for (const std::string& line : ReadLines(m_Path))
        if (auto entry = ParseLine(line); entry && Matches(*entry, server))
            return entry->Password;
    return std::nullopt;
}

void TIMAPPasswordFile::Store(const TIMAPServer& server, const std::string& password) const {
    const size_t slash = m_Path.rfind('/');
    if (slash != std::string::npos && slash > 0) {
        const std::string folder = m_Path.substr(0, slash);
        if (!MakeDirectoryPath(folder, 0700))
            throw Exception("Unable to create the folder of " + m_Path + ".");
        // A folder made by hand keeps no one else's eyes on the file either.
        ::chmod(folder.c_str(), 0700);
    }
    std::vector<std::string> lines;
    for (std::string& line : ReadLines(m_Path))
        if (auto entry = ParseLine(line); !entry || !Matches(*entry, server))
            lines.push_back(std::move(line));
    lines.push_back(EntryLine(server, password));
    WriteLines(m_Path, lines);
}

bool TIMAPPasswordFile::Forget(const TIMAPServer& server) const {
    std::vector<std::string> lines;
    bool found = false;
    for (std::string& line : ReadLines(m_Path)) {
        if (auto entry = ParseLine(line); entry && Matches(*entry, server))
            found = true;
        else
            lines.push_back(std::move(line));
    }
    if (found)
        WriteLines(m_Path, lines);
    return found;
}

std::string IMAPPasswordFileName() {
    return ProgramDirectory() + "secrets/imap-passwords";
}
