#include "tests/support/DovecotProcess.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <pwd.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <thread>

extern char** environ;

namespace DovecotProcess {

namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

constexpr auto StartWaitTime = 15s;

std::string DovecotProgram() {
    return fs::exists("/usr/sbin/dovecot") ? "/usr/sbin/dovecot" : "dovecot";
}

} // namespace

std::string ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

void WriteFile(const std::string& path, const std::string& text) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << text;
    if (!out.flush())
        throw std::runtime_error("cannot write " + path);
}

int FreeLoopbackPort() {
    const int socket = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    int port = 0;
    if (socket >= 0 && bind(socket, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 &&
        getsockname(socket, reinterpret_cast<sockaddr*>(&address), &length) == 0)
        port = ntohs(address.sin_port);
    if (socket >= 0)
        ::close(socket);
    if (port == 0)
        throw std::runtime_error("no free loopback port");
    return port;
}

bool PortAccepts(int port) {
    const int socket = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (socket < 0)
        return false;
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<uint16_t>(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    const bool connected = connect(socket, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
    ::close(socket);
    return connected;
}

void ChownToDovecot(const std::string& path) {
    const passwd* user = getpwnam("dovecot");
    if (!user || ::chown(path.c_str(), user->pw_uid, user->pw_gid) != 0)
        throw std::runtime_error("cannot give " + path + " to the dovecot user");
}

std::string MakeDirectory(const std::string& prefix) {
    std::string pattern = (fs::temp_directory_path() / (prefix + ".XXXXXX")).string();
    if (!mkdtemp(pattern.data()))
        throw std::runtime_error("cannot create a temporary directory");
    try {
        // Dovecot's unprivileged processes must reach the mail folders below this directory.
        fs::permissions(pattern, fs::perms(0755));
        fs::create_directories(fs::path(pattern) / "run");
        fs::create_directories(fs::path(pattern) / "mail");
        ChownToDovecot((fs::path(pattern) / "mail").string());
    } catch (...) {
        std::error_code ignored;
        fs::remove_all(pattern, ignored);
        throw;
    }
    return pattern;
}

pid_t Start(const std::string& config, const std::string& outputPath, const std::vector<int>& ports) {
    // Foreground (-F), so that the master process is our child and can be waited for.
    const std::string program = DovecotProgram();
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, outputPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    posix_spawn_file_actions_adddup2(&actions, STDOUT_FILENO, STDERR_FILENO);
    char* arguments[] = {const_cast<char*>(program.c_str()), const_cast<char*>("-F"), const_cast<char*>("-c"),
                         const_cast<char*>(config.c_str()), nullptr};
    // A process group of its own, so that the master and every process it starts stop together.
    posix_spawnattr_t attributes;
    posix_spawnattr_init(&attributes);
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETPGROUP);
    posix_spawnattr_setpgroup(&attributes, 0);
    pid_t process = -1;
    const int rc = posix_spawnp(&process, program.c_str(), &actions, &attributes, arguments, environ);
    posix_spawnattr_destroy(&attributes);
    posix_spawn_file_actions_destroy(&actions);
    if (rc != 0)
        throw std::runtime_error("cannot run " + program);

    const auto deadline = std::chrono::steady_clock::now() + StartWaitTime;
    while (std::chrono::steady_clock::now() < deadline) {
        int status = 0;
        if (waitpid(process, &status, WNOHANG) == process)
            return -1;
        bool listening = true;
        for (const int port : ports)
            listening = listening && PortAccepts(port);
        if (listening)
            return process;
        std::this_thread::sleep_for(10ms);
    }
    Stop(process);
    WriteFile(outputPath, ReadFile(outputPath) + "\nthe ports never accepted connections\n");
    return -1;
}

void Stop(pid_t& process) {
    if (process <= 0)
        return;
    // A throw-away server keeps nothing worth an orderly shutdown, which takes Dovecot a second:
    // its whole process group (the group's id is the master's) ends at once.
    kill(-process, SIGKILL);
    int status = 0;
    waitpid(process, &status, 0);
    process = -1;
}

std::string Run(const std::string& command) {
    FILE* pipe = popen((command + " 2>&1").c_str(), "r");
    if (!pipe)
        throw std::runtime_error("cannot run " + command);
    std::string output;
    char buffer[4096];
    while (const std::size_t read = fread(buffer, 1, sizeof buffer, pipe))
        output.append(buffer, read);
    if (pclose(pipe) != 0)
        throw std::runtime_error(command + " failed: " + output);
    return output;
}

} // namespace DovecotProcess
