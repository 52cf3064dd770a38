#include "base/UWindows.h"

#include <sys/random.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <mutex>

#include "base/LStrings.h"
#include "base/UException.h"

namespace {

struct TCommandLine {
    std::mutex Lock;
    bool Loaded = false;                // Guarded by Lock.
    std::vector<std::string> Arguments; // Guarded by Lock; program name excluded.
};

TCommandLine& CommandLine() {
    static TCommandLine commandLine;
    return commandLine;
}

// The process's own arguments, without the program name.
std::vector<std::string> ReadOwnArguments() {
    std::ifstream file("/proc/self/cmdline", std::ios::binary);
    const std::string all((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
    std::vector<std::string> arguments;
    size_t start = 0;
    while (start < all.size()) {
        size_t end = all.find('\0', start);
        if (end == std::string::npos) {
            end = all.size();
        }
        arguments.emplace_back(all, start, end - start);
        start = end + 1;
    }
    if (!arguments.empty()) {
        arguments.erase(arguments.begin());
    }
    return arguments;
}

} // namespace

void SetCommandLine(std::vector<std::string> arguments) {
    TCommandLine& commandLine = CommandLine();
    std::lock_guard lock(commandLine.Lock);
    commandLine.Arguments = std::move(arguments);
    commandLine.Loaded = true;
}

void SetCommandLine(int argc, char** argv) {
    std::vector<std::string> arguments;
    for (int i = 1; i < argc; ++i) {
        arguments.emplace_back(argv[i] ? argv[i] : "");
    }
    SetCommandLine(std::move(arguments));
}

bool HasParam(std::string_view word) {
    TCommandLine& commandLine = CommandLine();
    std::lock_guard lock(commandLine.Lock);
    if (!commandLine.Loaded) {
        commandLine.Arguments = ReadOwnArguments();
        commandLine.Loaded = true;
    }
    for (const std::string& argument : commandLine.Arguments) {
        if (SameText(argument, word)) {
            return true;
        }
    }
    return false;
}

std::string SystemErrorMessage(int code) {
    // strerrordesc_np knows which codes have a text at all; strerror_r gives it in the user's language.
    std::string text;
    if (strerrordesc_np(code) != nullptr) {
        char buffer[256];
        text = strerror_r(code, buffer, sizeof buffer);
    }
    if (text.empty()) {
        text = "Error message formating error.";
    }
    return text + " [" + std::to_string(code) + "]";
}

std::string LastErrorMessage() {
    return SystemErrorMessage(errno);
}

std::string NewGUID() {
    unsigned char bytes[16];
    size_t filled = 0;
    while (filled < sizeof bytes) {
        const ssize_t got = getrandom(bytes + filled, sizeof bytes - filled, 0);
        if (got < 0) {
            if (errno == EINTR) {
                continue;
            }
            throw Exception(LastErrorMessage());
        }
        filled += static_cast<size_t>(got);
    }
    bytes[6] = static_cast<unsigned char>((bytes[6] & 0x0F) | 0x40); // version 4: random
    bytes[8] = static_cast<unsigned char>((bytes[8] & 0x3F) | 0x80); // variant 1 (RFC 4122)
    static const char digits[] = "0123456789abcdef";
    std::string text;
    text.reserve(36);
    for (size_t i = 0; i < sizeof bytes; ++i) {
        if (i == 4 || i == 6 || i == 8 || i == 10) {
            text += '-';
        }
        text += digits[bytes[i] >> 4];
        text += digits[bytes[i] & 0x0F];
    }
    return text;
}

TRect MovedRect(const TRect& rect, int dx, int dy) {
    return TRect{rect.Left + dx, rect.Top + dy, rect.Right + dx, rect.Bottom + dy};
}
