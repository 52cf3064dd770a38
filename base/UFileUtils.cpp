#include "base/UFileUtils.h"

#include <dirent.h>
#include <fcntl.h>
#include <pwd.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdint>
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

// The suffix of a temporary name: ".tmp" + writer's process id + "-" + counter + "-" + random number.
constexpr std::string_view TemporarySuffix = ".tmp";

// Parses the decimal digits of text[at...] up to the delimiter (or the end when it is NUL); false
// when there are none or something else is there. Moves at past the delimiter.
bool ReadNumber(std::string_view text, size_t& at, char delimiter, unsigned long long& value) {
    const size_t start = at;
    value = 0;
    while (at < text.size() && text[at] >= '0' && text[at] <= '9') {
        if (at - start >= 18) {
            return false; // longer than any number TemporaryFileName writes
        }
        value = value * 10 + static_cast<unsigned>(text[at] - '0');
        ++at;
    }
    if (at == start) {
        return false;
    }
    if (delimiter == '\0') {
        return at == text.size();
    }
    if (at >= text.size() || text[at] != delimiter) {
        return false;
    }
    ++at;
    return true;
}

// The process id in a temporary name, or 0 when the name is not one.
pid_t TemporaryWriter(std::string_view name) {
    const size_t suffix = name.rfind(TemporarySuffix);
    if (suffix == std::string_view::npos || suffix == 0) {
        return 0;
    }
    size_t at = suffix + TemporarySuffix.size();
    unsigned long long pid = 0, counter = 0, random = 0;
    if (!ReadNumber(name, at, '-', pid) || !ReadNumber(name, at, '-', counter) || !ReadNumber(name, at, '\0', random) ||
        pid == 0 || pid > static_cast<unsigned long long>(INT32_MAX)) {
        return 0;
    }
    return static_cast<pid_t>(pid);
}

// Another process with this id is running: its write may still be under way.
bool OtherProcessRuns(pid_t pid) {
    return pid != ::getpid() && (::kill(pid, 0) == 0 || errno == EPERM);
}

} // namespace

std::string TemporaryFileName(const std::string& path) {
    static std::atomic<unsigned> counter{0};
    thread_local std::mt19937 random{std::random_device{}()};
    return path + std::string(TemporarySuffix) + std::to_string(::getpid()) + "-" + std::to_string(counter++) + "-" +
           std::to_string(random() % 1000000);
}

int RemoveStrandedTemporaryFiles(const std::string& directory) {
    std::string checked;
    if (directory.empty() || !ToPath(directory, checked)) {
        return 0;
    }
    DIR* dir = ::opendir(checked.c_str());
    if (!dir) {
        return 0;
    }
    const std::string prefix = checked.back() == '/' ? checked : checked + "/";
    int removed = 0;
    while (const dirent* entry = ::readdir(dir)) {
        const std::string_view name = entry->d_name;
        const pid_t writer = TemporaryWriter(name);
        if (writer == 0 || OtherProcessRuns(writer)) {
            continue;
        }
        const std::string path = prefix + std::string(name);
        struct stat info {};
        // Only files: a directory of that name was not left by an interrupted write.
        if (::lstat(path.c_str(), &info) == 0 && S_ISREG(info.st_mode) && ::unlink(path.c_str()) == 0) {
            ++removed;
        }
    }
    ::closedir(dir);
    return removed;
}

bool IsDirectory(std::string_view path) {
    std::string name;
    struct stat info {};
    return !path.empty() && ToPath(path, name) && ::stat(name.c_str(), &info) == 0 && S_ISDIR(info.st_mode);
}

bool MakeDirectoryPath(std::string_view path, unsigned mode) {
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
    if (slash != std::string_view::npos && !MakeDirectoryPath(path.substr(0, slash + 1), mode)) {
        return false;
    }
    if (::mkdir(name.c_str(), static_cast<mode_t>(mode)) == 0) {
        // The umask may have taken bits away, never added any: the directory was never wider than
        // mode, and now it is exactly that.
        return ::chmod(name.c_str(), static_cast<mode_t>(mode)) == 0;
    }
    // Somebody else may create it at the same moment; what counts is that it exists afterwards.
    return errno == EEXIST && IsDirectory(path);
}

namespace {

// Without a trailing "/" (the root stays "/").
std::string WithoutTrailingSlash(std::string_view path) {
    while (path.size() > 1 && path.back() == '/')
        path.remove_suffix(1);
    return std::string(path);
}

std::string WithTrailingSlash(std::string path) {
    if (path.empty() || path.back() != '/')
        path += '/';
    return path;
}

// The directory holding the running executable, with a trailing "/"; "./" when it cannot be read.
std::string ExecutableDirectory() {
    std::string buffer(4096, '\0');
    const ssize_t length = ::readlink("/proc/self/exe", buffer.data(), buffer.size());
    if (length <= 0 || static_cast<size_t>(length) >= buffer.size())
        return "./";
    buffer.resize(static_cast<size_t>(length));
    return buffer.substr(0, buffer.rfind('/') + 1);
}

// The directory programs are installed into, resolved as the kernel reports the executable's path
// (a symbolic link in the prefix would otherwise hide a match); empty when the build names none.
std::string InstalledProgramDirectory() {
#ifdef TESSIVAR_INSTALLED_BINDIR
    std::string resolved(PATH_MAX, '\0');
    if (::realpath(TESSIVAR_INSTALLED_BINDIR, resolved.data()) != nullptr)
        return WithTrailingSlash(resolved.c_str());
#endif
    return {};
}

// An environment variable naming a directory, when it is an absolute path: the XDG base directory
// rules ignore relative values.
std::string AbsoluteDirectoryVariable(const char* name) {
    const std::string value = EnvironmentText(name);
    return !value.empty() && value.front() == '/' ? WithoutTrailingSlash(value) : std::string();
}

} // namespace

TProgramFolders ChooseProgramFolders(std::string_view executableDirectory, std::string_view installedDirectory) {
    TProgramFolders folders;
    if (const std::string home = EnvironmentText("TESSIVAR_HOME"); !home.empty()) {
        folders.Data = folders.Settings = WithTrailingSlash(home);
    } else if (!installedDirectory.empty() && !executableDirectory.empty() &&
               WithoutTrailingSlash(executableDirectory) == WithoutTrailingSlash(installedDirectory)) {
        folders.Data = DataHomeDirectory() + "/tessivar/";
        folders.Settings = ConfigDirectory() + "/tessivar/";
        folders.PerUser = true;
    } else {
        folders.Data = folders.Settings = WithTrailingSlash(executableDirectory.empty() ? std::string("./")
                                                                                        : std::string(executableDirectory));
    }
    return folders;
}

std::string ProgramDirectory() {
    const TProgramFolders folders = ChooseProgramFolders(ExecutableDirectory(), InstalledProgramDirectory());
    // The per-user folder is the program's own and may not exist yet (a first start); a folder the
    // user named or the build folder is used as it is, and a wrong one makes the start fail.
    if (folders.PerUser)
        MakeDirectoryPath(folders.Data);
    return folders.Data;
}

std::string SettingsDirectory() {
    return ChooseProgramFolders(ExecutableDirectory(), InstalledProgramDirectory()).Settings;
}

namespace {

// Writes under a temporary name in the same directory, then renames over path; with `durable` the
// data is flushed before the rename and the directory after it.
void WriteFileWhole(const std::string& path, std::string_view data, unsigned mode, bool durable) {
    std::string checked;
    if (path.empty() || !ToPath(path, checked)) {
        RaiseSystemError(EINVAL);
    }
    std::string temporary;
    int fd = -1;
    for (int attempt = 0; fd < 0; ++attempt) {
        temporary = TemporaryFileName(path);
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
    if ((durable && ::fsync(file.Get()) != 0) || file.Close() != 0) {
        failWith(errno);
    }
    if (::rename(temporary.c_str(), path.c_str()) != 0) {
        failWith(errno);
    }
    if (durable) {
        // Flush the directory so that the rename itself survives a crash.
        const size_t slash = path.rfind('/');
        FlushDirectory(slash == std::string::npos ? "." : (slash == 0 ? "/" : path.substr(0, slash)));
    }
}

} // namespace

void WriteFileDurably(const std::string& path, std::string_view data, unsigned mode) {
    WriteFileWhole(path, data, mode, true);
}

void WriteFileAtomically(const std::string& path, std::string_view data, unsigned mode) {
    WriteFileWhole(path, data, mode, false);
}

void FlushFile(const std::string& path) {
    std::string checked;
    if (!ToPath(path, checked)) {
        RaiseSystemError(EINVAL);
    }
    TFileDescriptor file(::open(checked.c_str(), O_RDONLY | O_CLOEXEC));
    if (file.Get() < 0 || ::fsync(file.Get()) != 0) {
        RaiseSystemError(errno);
    }
}

void FlushDirectory(const std::string& directory) {
    std::string checked;
    if (!ToPath(directory, checked)) {
        RaiseSystemError(EINVAL);
    }
    TFileDescriptor dir(::open(checked.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (dir.Get() < 0) {
        RaiseSystemError(errno);
    }
    // Some file systems cannot flush a directory (EINVAL); its entries are then as durable as it gets.
    if (::fsync(dir.Get()) != 0 && errno != EINVAL) {
        RaiseSystemError(errno);
    }
}

void FlushFileSystem(const std::string& directory) {
    std::string checked;
    if (!ToPath(directory, checked)) {
        RaiseSystemError(EINVAL);
    }
    TFileDescriptor dir(::open(checked.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (dir.Get() < 0 || ::syncfs(dir.Get()) != 0) {
        RaiseSystemError(errno);
    }
}

std::string EnvironmentText(const char* name) {
    const char* value = std::getenv(name);
    return value ? std::string(value) : std::string();
}

std::string HomeDirectory() {
    std::string home = EnvironmentText("HOME");
    if (!home.empty())
        return home;
    if (const passwd* entry = getpwuid(getuid()); entry && entry->pw_dir)
        return entry->pw_dir;
    return ".";
}

std::string ConfigDirectory() {
    const std::string config = AbsoluteDirectoryVariable("XDG_CONFIG_HOME");
    return !config.empty() ? config : WithoutTrailingSlash(HomeDirectory() + "/.config");
}

std::string DataHomeDirectory() {
    const std::string data = AbsoluteDirectoryVariable("XDG_DATA_HOME");
    return !data.empty() ? data : WithoutTrailingSlash(HomeDirectory() + "/.local/share");
}
