#include "base/UAutostart.h"

#include <cerrno>
#include <cstdlib>
#include <pwd.h>
#include <unistd.h>

#include "base/UException.h"
#include "base/UFileUtils.h"
#include "base/UWindows.h"

namespace {

// Characters after which an Exec argument must be quoted.
constexpr std::string_view ReservedExecCharacters = " \t\n\"'\\><~|&;$*?#()`";
// Characters that need a backslash inside a quoted Exec argument.
constexpr std::string_view QuotedExecEscapes = "\"`$\\";

// The escapes of a desktop entry string value; a raw line break would end the value.
std::string EscapedStringValue(std::string_view text) {
    std::string result;
    for (char c : text) {
        switch (c) {
        case '\\':
            result += "\\\\";
            break;
        case '\n':
            result += "\\n";
            break;
        case '\r':
            result += "\\r";
            break;
        case '\t':
            result += "\\t";
            break;
        default:
            result += c;
        }
    }
    return result;
}

} // namespace

std::string ProgramFileName() {
    std::string buffer(4096, '\0');
    const ssize_t length = ::readlink("/proc/self/exe", buffer.data(), buffer.size());
    if (length <= 0 || static_cast<size_t>(length) >= buffer.size())
        return {};
    buffer.resize(static_cast<size_t>(length));
    // A program file replaced while it runs (a rebuild) is reported with this suffix; the new file
    // at the old place is the one to start next time.
    constexpr std::string_view deleted = " (deleted)";
    if (buffer.ends_with(deleted) && ::access(buffer.c_str(), F_OK) != 0)
        buffer.resize(buffer.size() - deleted.size());
    return buffer;
}

std::string DesktopExecArgument(std::string_view argument) {
    std::string text;
    const bool quote = argument.empty() || argument.find_first_of(ReservedExecCharacters) != std::string_view::npos;
    if (quote)
        text += '"';
    for (char c : argument) {
        if (c == '%')
            text += '%';
        else if (quote && QuotedExecEscapes.find(c) != std::string_view::npos)
            text += '\\';
        text += c;
    }
    if (quote)
        text += '"';
    return EscapedStringValue(text);
}

std::string AutostartEntryText(std::string_view programFile) {
    return "[Desktop Entry]\n"
           "Type=Application\n"
           "Name=Tessivar\n"
           "Comment=Mail screening: starts Tessivar in the notification area when you log on\n"
           "Exec=" +
           DesktopExecArgument(programFile) +
           "\n"
           "Icon=tessivar\n"
           "Terminal=false\n";
}

std::string AutostartEntryFileName() {
    return ConfigDirectory() + "/autostart/tessivar.desktop";
}

void RegisterAutostart() {
    const std::string program = ProgramFileName();
    if (program.empty())
        throw Exception("Unable to find the program file for the autostart entry");
    const std::string file = AutostartEntryFileName();
    if (!MakeDirectoryPath(file.substr(0, file.rfind('/'))))
        throw Exception("Unable to create directory for " + file + ": " + LastErrorMessage());
    WriteFileAtomically(file, AutostartEntryText(program), 0644);
}

bool UnregisterAutostart() {
    const std::string file = AutostartEntryFileName();
    if (::unlink(file.c_str()) == 0)
        return true;
    if (errno == ENOENT)
        return false;
    throw Exception("Unable to remove " + file + ": " + LastErrorMessage());
}
