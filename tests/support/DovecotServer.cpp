#include "tests/support/DovecotServer.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <pwd.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <thread>

extern char** environ;

namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

constexpr int StartAttempts = 10;
constexpr auto StartWaitTime = 15s;
constexpr auto StopWaitTime = 10s;

std::string ReadFile(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

void WriteFile(const fs::path& path, const std::string& text) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << text;
    if (!out.flush())
        throw std::runtime_error("cannot write " + path.string());
}

std::string ReplaceAll(std::string text, const std::string& from, const std::string& to) {
    for (std::size_t at = text.find(from); at != std::string::npos; at = text.find(from, at + to.size()))
        text.replace(at, from.size(), to);
    return text;
}

// A port that was free a moment ago. Another process may take it before Dovecot binds it; the
// caller then tries again with a new one.
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

void ChownToDovecot(const fs::path& path) {
    const passwd* user = getpwnam("dovecot");
    if (!user || ::chown(path.c_str(), user->pw_uid, user->pw_gid) != 0)
        throw std::runtime_error("cannot give " + path.string() + " to the dovecot user");
}

std::string DovecotProgram() {
    return fs::exists("/usr/sbin/dovecot") ? "/usr/sbin/dovecot" : "dovecot";
}

}  // namespace

TDovecotServer::TDovecotServer() {
    Start();
}

TDovecotServer::TDovecotServer(const TDovecotTLS& tls) : m_TLS(tls) {
    Start();
}

std::string TDovecotServer::Log() const {
    return ReadFile(fs::path(m_Directory) / "dovecot.log");
}

void TDovecotServer::Start() {
    std::string pattern = (fs::temp_directory_path() / "tessivar-dovecot.XXXXXX").string();
    if (!mkdtemp(pattern.data()))
        throw std::runtime_error("cannot create a temporary directory");
    m_Directory = pattern;
    try {
        // Dovecot's unprivileged processes must reach the mail folders below this directory.
        fs::permissions(m_Directory, fs::perms(0755));
        fs::create_directories(fs::path(m_Directory) / "run");
        fs::create_directories(fs::path(m_Directory) / "mail");
        ChownToDovecot(fs::path(m_Directory) / "mail");
        WriteFile(fs::path(m_Directory) / "users", "");
        std::string failure;
        for (int attempt = 0; attempt < StartAttempts; ++attempt) {
            if (TryStart(FreeLoopbackPort(), failure))
                return;
        }
        throw std::runtime_error("Dovecot did not start: " + failure);
    } catch (...) {
        StopProcess();
        std::error_code ignored;
        fs::remove_all(m_Directory, ignored);
        throw;
    }
}

TDovecotServer::~TDovecotServer() {
    StopProcess();
    std::error_code ignored;
    fs::remove_all(m_Directory, ignored);
}

bool TDovecotServer::TryStart(int port, std::string& failure) {
    const fs::path directory(m_Directory);
    std::string config = ReadFile(TESSIVAR_DOVECOT_TEMPLATE);
    if (config.empty())
        throw std::runtime_error("cannot read " + std::string(TESSIVAR_DOVECOT_TEMPLATE));
    config = ReplaceAll(ReplaceAll(config, "@DIR@", m_Directory), "@PORT@", std::to_string(port));
    WriteFile(directory / "dovecot.conf", config);
    int pop3sPort = 0;
    if (!m_TLS.CertificateFile.empty()) {
        pop3sPort = FreeLoopbackPort();
        WriteFile(directory / "tls.conf",
                  "ssl = yes\nssl_cert = <" + m_TLS.CertificateFile + "\nssl_key = <" + m_TLS.KeyFile +
                      "\nssl_min_protocol = TLSv1.2\nservice pop3-login {\n  inet_listener pop3s {\n"
                      "    address = 127.0.0.1\n    port = " + std::to_string(pop3sPort) + "\n    ssl = yes\n  }\n}\n");
    }

    // Foreground (-F), so that the master process is our child and can be waited for.
    const std::string program = DovecotProgram();
    const std::string configPath = (directory / "dovecot.conf").string();
    const std::string outputPath = (directory / "start.log").string();
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, outputPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    posix_spawn_file_actions_adddup2(&actions, STDOUT_FILENO, STDERR_FILENO);
    char* arguments[] = {const_cast<char*>(program.c_str()), const_cast<char*>("-F"), const_cast<char*>("-c"),
                         const_cast<char*>(configPath.c_str()), nullptr};
    pid_t process = -1;
    const int rc = posix_spawnp(&process, program.c_str(), &actions, nullptr, arguments, environ);
    posix_spawn_file_actions_destroy(&actions);
    if (rc != 0)
        throw std::runtime_error("cannot run " + program);
    m_Process = process;

    const auto deadline = std::chrono::steady_clock::now() + StartWaitTime;
    while (std::chrono::steady_clock::now() < deadline) {
        int status = 0;
        if (waitpid(m_Process, &status, WNOHANG) == m_Process) {
            // Most likely the port was taken meanwhile; the caller tries another.
            m_Process = -1;
            failure = ReadFile(outputPath);
            return false;
        }
        if (PortAccepts(port) && (pop3sPort == 0 || PortAccepts(pop3sPort))) {
            m_Port = port;
            m_POP3SPort = pop3sPort;
            return true;
        }
        std::this_thread::sleep_for(20ms);
    }
    StopProcess();
    failure = "port " + std::to_string(port) + " never accepted connections";
    return false;
}

void TDovecotServer::StopProcess() {
    if (m_Process <= 0)
        return;
    kill(m_Process, SIGTERM);
    const auto deadline = std::chrono::steady_clock::now() + StopWaitTime;
    int status = 0;
    while (waitpid(m_Process, &status, WNOHANG) == 0) {
        if (std::chrono::steady_clock::now() >= deadline) {
            kill(m_Process, SIGKILL);
            waitpid(m_Process, &status, 0);
            break;
        }
        std::this_thread::sleep_for(20ms);
    }
    m_Process = -1;
}

std::string TDovecotServer::MailDirectory(const std::string& user) const {
    return (fs::path(m_Directory) / "mail" / user).string();
}

void TDovecotServer::AddUser(const std::string& name, const std::string& password) {
    const fs::path mail(MailDirectory(name));
    for (const char* folder : {"", "new", "cur", "tmp"}) {
        fs::create_directories(mail / folder);
        ChownToDovecot(mail / folder);
    }
    std::ofstream users(fs::path(m_Directory) / "users", std::ios::app);
    users << name << ":{PLAIN}" << password << "\n";
    if (!users.flush())
        throw std::runtime_error("cannot add user " + name);
}

void TDovecotServer::AddMessage(const std::string& user, const std::string& text) {
    // Dovecot numbers new messages in the order of their file names.
    const int sequence = ++m_MessageSequence;
    char name[64];
    std::snprintf(name, sizeof name, "%010d.M%dP%d.tessivar", sequence, sequence, static_cast<int>(getpid()));
    const fs::path mail(MailDirectory(user));
    const fs::path temporary = mail / "tmp" / name;
    WriteFile(temporary, text);
    ChownToDovecot(temporary);
    fs::rename(temporary, mail / "new" / name);
}

int TDovecotServer::MessageCount(const std::string& user) const {
    int count = 0;
    for (const char* folder : {"new", "cur"}) {
        for (const auto& entry : fs::directory_iterator(fs::path(MailDirectory(user)) / folder)) {
            if (entry.is_regular_file())
                ++count;
        }
    }
    return count;
}
