#include "base/UFileUtils.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <random>

#include "base/UException.h"
#include "base/UWindows.h"

namespace {

// A path for the C library: empty when it holds a NUL byte, which no file name can.
bool ToPath(std::string_view text, std::string& path) {
    if (text.find('\0') != std::string_view::npos) {
        return false;
    }
    path.assign(text);
    return true;
}

// Closes the descriptor on every exit path.
class TFileDescriptor {
public:
    explicit TFileDescriptor(int fd) : m_FD(fd) {}
    ~TFileDescriptor() {
        if (m_FD >= 0) {
            ::close(m_FD);
        }
    }
    TFileDescriptor(const TFileDescriptor&) = delete;
    TFileDescriptor& operator=(const TFileDescriptor&) = delete;
    int Get() const { return m_FD; }
    // Closes now and reports the result of close itself.
    int Close() {
        const int result = ::close(m_FD);
        m_FD = -1;
        return result;
    }

private:
    int m_FD;
};

[[noreturn]] void RaiseSystemError(int code) {
    throw Exception(SystemErrorMessage(code));
}

std::string TemporaryName(const std::string& path) {
    static std::atomic<unsigned> counter{0};
    thread_local std::mt19937 random{std::random_device{}()};
    return path + ".tmp" + std::to_string(::getpid()) + "-" + std::to_string(counter++) + "-" +
           std::to_string(random() % 1000000);
}

} // namespace

bool IsDirectory(std::string_view path) {
    std::string name;
    struct stat info {};
    return !path.empty() && ToPath(path, name) && ::stat(name.c_str(), &info) == 0 && S_ISDIR(info.st_mode);
}

bool MakeDirectoryPath(std::string_view path) {
    if (path.empty()) {
        throw Exception("Unable to create directory");
    }
    while (!path.empty() && path.back() == '/') {
        path.remove_suffix(1);
    }
    if (path.empty() || IsDirectory(path)) {
        return true; // the root, or already there
    }
    std::string name;
    if (!ToPath(path, name)) {
        return false;
    }
    const size_t slash = path.rfind('/');
    if (slash != std::string_view::npos && !MakeDirectoryPath(path.substr(0, slash + 1))) {
        return false;
    }
    // Somebody else may create it at the same moment; what counts is that it exists afterwards.
    return ::mkdir(name.c_str(), 0777) == 0 || (errno == EEXIST && IsDirectory(path));
}

std::string ProgramDirectory() {
    std::string directory;
    if (const char* home = std::getenv("TESSIVAR_HOME"); home != nullptr && *home != '\0') {
        directory = home;
    } else {
        std::string buffer(4096, '\0');
        const ssize_t length = ::readlink("/proc/self/exe", buffer.data(), buffer.size());
        if (length > 0 && static_cast<size_t>(length) < buffer.size()) {
            buffer.resize(static_cast<size_t>(length));
            directory = buffer.substr(0, buffer.rfind('/') + 1);
        }
        if (directory.empty()) {
            directory = "./";
        }
    }
    if (directory.back() != '/') {
        directory += '/';
    }
    return directory;
}

void WriteFileDurably(const std::string& path, std::string_view data, unsigned mode) {
    std::string checked;
    if (path.empty() || !ToPath(path, checked)) {
        RaiseSystemError(EINVAL);
    }
    std::string temporary;
    int fd = -1;
    for (int attempt = 0; fd < 0; ++attempt) {
        temporary = TemporaryName(path);
        fd = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, static_cast<mode_t>(mode));
        if (fd < 0 && (errno != EEXIST || attempt >= 100)) {
            RaiseSystemError(errno);
        }
    }
    TFileDescriptor file(fd);
    const auto failWith = [&](int code) {
        ::unlink(temporary.c_str());
        RaiseSystemError(code);
    };
    size_t written = 0;
    while (written < data.size()) {
        const ssize_t count = ::write(file.Get(), data.data() + written, data.size() - written);
        if (count < 0) {
            if (errno == EINTR) {
                continue;
            }
            failWith(errno);
        }
        written += static_cast<size_t>(count);
    }
    if (::fsync(file.Get()) != 0 || file.Close() != 0) {
        failWith(errno);
    }
    if (::rename(temporary.c_str(), path.c_str()) != 0) {
        failWith(errno);
    }
    // Flush the directory so that the rename itself survives a crash.
    const size_t slash = path.rfind('/');
    const std::string directory = slash == std::string::npos ? "." : (slash == 0 ? "/" : path.substr(0, slash));
    TFileDescriptor dir(::open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (dir.Get() < 0) {
        RaiseSystemError(errno);
    }
    // Some file systems cannot flush a directory (EINVAL); the rename is then as durable as it gets.
    if (::fsync(dir.Get()) != 0 && errno != EINVAL) {
        RaiseSystemError(errno);
    }
}
