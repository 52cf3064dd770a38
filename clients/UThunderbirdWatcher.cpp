#include "clients/UThunderbirdWatcher.h"

#include "base/UChildProcess.h"
#include "base/UDebug.h"
#include "base/UException.h"
#include "base/UFileUtils.h"
#include "base/UWindows.h"
#include "clients/UThunderbirdProfileFiles.h"
#include "clients/UThunderbirdProfileLock.h"
#include "clients/UThunderbirdProfiles.h"
#include "clients/UThunderbirdRedirect.h"
#include "clients/UThunderbirdRedirectRecord.h"

#include <signal.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <optional>
#include <string_view>
#include <thread>
#include <vector>

const char* const ThunderbirdWatchCommand = "--thunderbird-restore-watch";

namespace {

bool SomethingWaits(const std::string& profileDirectory) {
    const std::optional<TThunderbirdRedirectRecord> record = LoadRedirectRecord(profileDirectory);
    return record && !record->Pending.empty();
}

// The name one watcher of a profile holds, so that a second one ends at once: an abstract socket
// address of this user and the profile, which leaves no file behind and ends with its process.
class TWatcherName {
public:
    explicit TWatcherName(const std::string& profileDirectory) {
        uint64_t hash = 14695981039346656037ULL; // FNV-1a: the same in every build of the program
        for (const unsigned char c : profileDirectory)
            hash = (hash ^ c) * 1099511628211ULL;
        char name[80];
        std::snprintf(name, sizeof name, "tessivar-thunderbird-watch/%u/%016llx", static_cast<unsigned>(::getuid()),
                      static_cast<unsigned long long>(hash));
        m_Name = name;
    }
    ~TWatcherName() { Release(); }
    TWatcherName(const TWatcherName&) = delete;
    TWatcherName& operator=(const TWatcherName&) = delete;

    // True when this process holds the name now.
    bool Take() {
        if (m_Fd >= 0)
            return true;
        m_Fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (m_Fd < 0)
            return true; // no sockets: watching twice is only wasteful
        sockaddr_un address = {};
        address.sun_family = AF_UNIX;
        std::memcpy(address.sun_path + 1, m_Name.data(), m_Name.size());
        const auto length = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + 1 + m_Name.size());
        if (::bind(m_Fd, reinterpret_cast<const sockaddr*>(&address), length) == 0)
            return true;
        const bool taken = errno == EADDRINUSE;
        Release();
        return !taken;
    }
    void Release() {
        if (m_Fd >= 0)
            ::close(m_Fd);
        m_Fd = -1;
    }

private:
    std::string m_Name;
    int m_Fd = -1;
};

// The executable to start: the configured one, else this very program.
std::string WatcherProgram() {
    if (const char* configured = std::getenv("TESSIVAR_THUNDERBIRD_WATCHER"))
        return configured;
    std::string path(4096, '\0');
    const ssize_t length = ::readlink("/proc/self/exe", path.data(), path.size());
    if (length <= 0 || static_cast<size_t>(length) >= path.size())
        return "";
    path.resize(static_cast<size_t>(length));
    // The program replaced by an update while it ran: the new one at the same place.
    constexpr std::string_view Deleted = " (deleted)";
    if (path.ends_with(Deleted))
        path.resize(path.size() - Deleted.size());
    return path;
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

int RunThunderbirdWatcher(const std::string& profileDirectory, const TWatchTimes& times,
                          const volatile std::sig_atomic_t* ending) {
    try {
        TWatcherName name(profileDirectory);
        if (!name.Take())
            return 0; // another watcher waits for the same Thunderbird
        std::optional<std::chrono::steady_clock::time_point> deadline;
        for (;;) {
            if (WatchProfile(profileDirectory) != TWatchResult::Waiting) {
                // A stop may have left servers waiting just now, its watcher ending on finding the
                // name taken: one more look without the name, and the watching goes on if need be.
                name.Release();
                if (WatchProfile(profileDirectory) != TWatchResult::Waiting || !name.Take())
                    return 0;
            }
            if (ending && *ending && !deadline)
                deadline = std::chrono::steady_clock::now() + times.EndingGrace;
            if (deadline && std::chrono::steady_clock::now() >= *deadline) {
                Debug("Told to end while Thunderbird still holds " + profileDirectory);
                return 0;
            }
            std::this_thread::sleep_for(deadline ? times.EndingInterval : times.Interval);
        }
    } catch (const std::exception& e) {
        DebugException("TThunderbirdWatcher", e);
        return 1;
    }
}

namespace {

volatile std::sig_atomic_t g_Ending = 0;

extern "C" void OnEndSignal(int) {
    g_Ending = 1;
}

} // namespace

int ThunderbirdWatcherMain(const std::string& profileDirectory) {
    struct sigaction action = {};
    action.sa_handler = OnEndSignal;
    ::sigemptyset(&action.sa_mask);
    for (const int signal : {SIGTERM, SIGINT, SIGHUP})
        ::sigaction(signal, &action, nullptr);
    return RunThunderbirdWatcher(profileDirectory, TWatchTimes(), &g_Ending);
}

bool StartThunderbirdWatcher(const std::string& profileDirectory) {
    const std::string program = WatcherProgram();
    if (program.empty())
        return false;
    const std::vector<std::string> watcher = {program, ThunderbirdWatchCommand, profileDirectory};
    // A service of the user's service manager ends with every process it started: there the watcher
    // is a service of its own, which outlives this one.
    if (!EnvironmentText("INVOCATION_ID").empty()) {
        if (const std::string systemdRun = FindInPath("systemd-run"); !systemdRun.empty()) {
            std::vector<std::string> command = {systemdRun, "--user", "--quiet", "--collect", "--"};
            command.insert(command.end(), watcher.begin(), watcher.end());
            if (RunChild(command, false, std::chrono::seconds(10))) {
                Debug("Started a watcher service for " + profileDirectory);
                return true;
            }
            Debug("systemd-run could not start a watcher for " + profileDirectory + "; starting it directly");
        }
    }
    const bool started = RunChild(watcher, true, std::chrono::seconds(10));
    Debug(std::string(started ? "Started" : "Could not start") + " a watcher for " + profileDirectory);
    return started;
}
