#include "clients/UThunderbirdProfileLock.h"

#include "base/UDebug.h"
#include "base/UException.h"
#include "base/UWindows.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>
#include <thread>

TProfileLock::TProfileLock(const std::string& directory, std::chrono::milliseconds timeout) {
    m_Fd = ::open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (m_Fd < 0)
        throw Exception(directory + ": " + SystemErrorMessage(errno));
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
        if (::flock(m_Fd, LOCK_EX | LOCK_NB) == 0)
            return;
        const int error = errno;
        if (error == EINTR)
            continue;
        if (error != EWOULDBLOCK) {
            Debug("No lock on " + directory + " (" + SystemErrorMessage(error) + "); its files are changed without");
            return;
        }
        if (std::chrono::steady_clock::now() >= deadline) {
            ::close(m_Fd);
            throw Exception(directory + ": another Tessivar process is changing this Thunderbird profile");
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
}

TProfileLock::~TProfileLock() {
    ::close(m_Fd); // the lock ends with its open file
}
