#include "base/UChildProcess.h"

#include "base/UDebug.h"
#include "base/UFileUtils.h"
#include "base/UWindows.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <thread>

std::string FindInPath(const char* name) {
    const std::string path = EnvironmentText("PATH");
    size_t begin = 0;
    while (begin <= path.size()) {
        const size_t end = std::min(path.find(':', begin), path.size());
        const std::string candidate = path.substr(begin, end - begin) + "/" + name;
        if (end > begin && ::access(candidate.c_str(), X_OK) == 0)
            return candidate;
        begin = end + 1;
    }
    return "";
}

namespace {

// The arguments as execv takes them; valid while the strings live.
std::vector<char*> ArgumentVector(std::vector<std::string>& arguments) {
    std::vector<char*> argv;
    for (std::string& argument : arguments)
        argv.push_back(argument.data());
    argv.push_back(nullptr);
    return argv;
}

// In the forked child: only calls that are safe after a fork of a process with threads.
[[noreturn]] void ExecChild(const std::vector<char*>& argv, int devNull, long maxDescriptors) {
    ::dup2(devNull, 0);
    ::dup2(devNull, 1);
    ::dup2(devNull, 2);
    if (::syscall(SYS_close_range, 3U, ~0U, 0U) != 0)
        for (long fd = 3; fd < maxDescriptors; ++fd)
            ::close(static_cast<int>(fd));
    if (::chdir("/") != 0)
        ::_exit(126);
    ::umask(077);
    sigset_t none;
    ::sigemptyset(&none);
    ::sigprocmask(SIG_SETMASK, &none, nullptr);
    for (const int signal : {SIGHUP, SIGINT, SIGTERM, SIGPIPE})
        ::signal(signal, SIG_DFL);
    ::execv(argv[0], argv.data());
    ::_exit(127);
}

} // namespace

bool RunChild(std::vector<std::string> arguments, bool detach, std::chrono::milliseconds timeout) {
    const std::vector<char*> argv = ArgumentVector(arguments);
    const int devNull = ::open("/dev/null", O_RDWR | O_CLOEXEC);
    if (devNull < 0)
        return false;
    const long maxDescriptors = ::sysconf(_SC_OPEN_MAX) > 0 ? ::sysconf(_SC_OPEN_MAX) : 1024;
    const pid_t child = ::fork();
    if (child == 0) {
        if (detach) {
            if (::setsid() < 0)
                ::_exit(1);
            if (const pid_t grandchild = ::fork(); grandchild != 0)
                ::_exit(grandchild < 0 ? 1 : 0);
        }
        ExecChild(argv, devNull, maxDescriptors);
    }
    const int forkError = errno;
    ::close(devNull);
    if (child < 0) {
        Debug("Could not start " + arguments[0] + ": " + SystemErrorMessage(forkError));
        return false;
    }
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    int status = 0;
    for (;;) {
        const pid_t done = ::waitpid(child, &status, WNOHANG);
        if (done == child)
            return WIFEXITED(status) && WEXITSTATUS(status) == 0;
        if (done < 0 && errno != EINTR)
            return false;
        if (std::chrono::steady_clock::now() >= deadline) {
            ::kill(child, SIGKILL);
            while (::waitpid(child, &status, 0) < 0 && errno == EINTR) {
            }
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
}
