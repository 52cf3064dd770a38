#include "app/UPasswordInput.h"

#include <termios.h>
#include <unistd.h>

#include <cerrno>

#include "app/UConsole.h"

namespace {

// Echo off for the life of the object.
class TNoEcho {
public:
    TNoEcho() {
        if (::tcgetattr(STDIN_FILENO, &m_Saved) != 0)
            return;
        termios quiet = m_Saved;
        quiet.c_lflag &= ~static_cast<tcflag_t>(ECHO);
        quiet.c_lflag |= ECHONL;
        m_Changed = ::tcsetattr(STDIN_FILENO, TCSAFLUSH, &quiet) == 0;
    }
    ~TNoEcho() {
        if (m_Changed)
            ::tcsetattr(STDIN_FILENO, TCSAFLUSH, &m_Saved);
    }
    TNoEcho(const TNoEcho&) = delete;
    TNoEcho& operator=(const TNoEcho&) = delete;

private:
    termios m_Saved{};
    bool m_Changed = false;
};

// One line, byte by byte so that nothing after it is taken from the input; a signal (read ends
// with EINTR, as the quit signals are caught without restarting) ends it without a result.
std::optional<std::string> ReadLine(size_t maximumLength) {
    std::string line;
    for (;;) {
        char c = 0;
        const ssize_t count = ::read(STDIN_FILENO, &c, 1);
        if (count < 0)
            return std::nullopt;
        if (count == 0) {
            if (line.empty())
                return std::nullopt;
            break;
        }
        if (c == '\n')
            break;
        if (line.size() == maximumLength + 1)
            return std::nullopt;
        line += c;
    }
    if (!line.empty() && line.back() == '\r')
        line.pop_back();
    if (line.size() > maximumLength)
        return std::nullopt;
    return line;
}

} // namespace

std::optional<std::string> ReadPassword(const std::string& prompt, size_t maximumLength) {
    if (!::isatty(STDIN_FILENO))
        return ReadLine(maximumLength);
    [[maybe_unused]] const ssize_t shown = ::write(STDERR_FILENO, prompt.data(), prompt.size());
    const TNoEcho noEcho;
    return ReadLine(maximumLength);
}
