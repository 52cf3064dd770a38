#include "clients/UThunderbirdWatcher.h"

#include "base/UDebug.h"
#include "base/UException.h"
#include "base/UWindows.h"
#include "clients/UThunderbirdProfileFiles.h"
#include "clients/UThunderbirdProfileLock.h"
#include "clients/UThunderbirdProfiles.h"
#include "clients/UThunderbirdRedirect.h"
#include "clients/UThunderbirdRedirectRecord.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <exception>
#include <thread>
#include <vector>

const char* const ThunderbirdWatchCommand = "--thunderbird-restore-watch";

namespace {

bool SomethingWaits(const std::string& profileDirectory) {
    const std::optional<TThunderbirdRedirectRecord> record = LoadRedirectRecord(profileDirectory);
    return record && !record->Pending.empty();
}

// The executable to start: the configured one, else this very program.
std::string WatcherProgram() {
    if (const char* configured = std::getenv("TESSIVAR_THUNDERBIRD_WATCHER"))
        return configured;
    std::string path(4096, '\0');
    const ssize_t length = ::readlink("/proc/self/exe", path.data(), path.size());
    if (length <= 0 || static_cast<size_t>(length) >= path.size())
        return "";
    path.resize(static_cast<size_t>(length));
    return path;
}

// In the forked child: only calls that are safe after a fork of a process with threads.
[[noreturn]] void ExecDetached(const char* program, char* const* argv, int devNull, long maxDescriptors) {
    if (::setsid() < 0)
        ::_exit(1);
    const pid_t grandchild = ::fork();
    if (grandchild != 0)
        ::_exit(grandchild < 0 ? 1 : 0); // the watcher is nobody's child: no zombie, no terminal
    ::dup2(devNull, 0);
    ::dup2(devNull, 1);
    ::dup2(devNull, 2);
    // No listening socket, database or lock of this process may live on in the watcher.
    if (::syscall(SYS_close_range, 3U, ~0U, 0U) != 0)
        for (long fd = 3; fd < maxDescriptors; ++fd)
            ::close(static_cast<int>(fd));
    if (::chdir("/") != 0)
        ::_exit(1);
    ::umask(077);
    sigset_t none;
    ::sigemptyset(&none);
    ::sigprocmask(SIG_SETMASK, &none, nullptr);
    for (const int signal : {SIGHUP, SIGINT, SIGTERM, SIGPIPE})
        ::signal(signal, SIG_DFL);
    ::execv(program, argv);
    ::_exit(127);
}

} // namespace

bool ThunderbirdHasReadUserFile(const std::string& profileDirectory) {
    if (!ProfileInUse(profileDirectory))
        return true;
    const int64_t written = FileModificationTime(profileDirectory + "/user.js");
    return written != 0 && ProfileLockTime(profileDirectory) > written;
}

TWatchResult WatchProfile(const std::string& profileDirectory) {
    if (!SomethingWaits(profileDirectory))
        return TWatchResult::Done;
    if (!ThunderbirdHasReadUserFile(profileDirectory))
        return TWatchResult::Waiting;
    // Looked at again under the lock: a run may have changed the record, Thunderbird may have started.
    const TProfileLock lock(profileDirectory);
    if (!SomethingWaits(profileDirectory))
        return TWatchResult::Done;
    if (!ThunderbirdHasReadUserFile(profileDirectory))
        return TWatchResult::Waiting;
    TProfilePrefs files(profileDirectory);
    std::string error;
    if (!files.Load(error)) {
        // Left for the next run, which tells the user; user.js still holds the real values.
        Debug("Thunderbird's settings could not be read (" + error + "); left for the next start");
        return TWatchResult::Done;
    }
    TProfileRedirect profile(files);
    profile.Taken();
    // The backup stays prefs.js as it was before the run that redirected.
    profile.Save(false);
    Debug("Gave back the settings Thunderbird had waiting in " + files.UserPath());
    return TWatchResult::Restored;
}

int RunThunderbirdWatcher(const std::string& profileDirectory, std::chrono::milliseconds interval) {
    try {
        for (;;) {
            if (WatchProfile(profileDirectory) != TWatchResult::Waiting)
                return 0;
            std::this_thread::sleep_for(interval);
        }
    } catch (const std::exception& e) {
        DebugException("TThunderbirdWatcher", e);
        return 1;
    }
}

bool StartThunderbirdWatcher(const std::string& profileDirectory) {
    std::string program = WatcherProgram();
    if (program.empty())
        return false;
    std::string command = ThunderbirdWatchCommand;
    std::string directory = profileDirectory;
    std::vector<char*> argv = {program.data(), command.data(), directory.data(), nullptr};
    const int devNull = ::open("/dev/null", O_RDWR | O_CLOEXEC);
    if (devNull < 0)
        return false;
    const long maxDescriptors = ::sysconf(_SC_OPEN_MAX) > 0 ? ::sysconf(_SC_OPEN_MAX) : 1024;
    const pid_t child = ::fork();
    if (child == 0)
        ExecDetached(program.c_str(), argv.data(), devNull, maxDescriptors);
    ::close(devNull);
    if (child < 0) {
        Debug("No watcher for " + profileDirectory + ": " + SystemErrorMessage(errno));
        return false;
    }
    int status = 0;
    while (::waitpid(child, &status, 0) < 0 && errno == EINTR) {
    }
    const bool started = WIFEXITED(status) && WEXITSTATUS(status) == 0;
    Debug(std::string(started ? "Started" : "Could not start") + " a watcher for " + profileDirectory);
    return started;
}
