#include "tests/support/DovecotServer.h"

#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <stdexcept>

#include "tests/support/DovecotProcess.h"

namespace {

namespace fs = std::filesystem;
using namespace DovecotProcess;

constexpr int StartAttempts = 10;

std::string ReplaceAll(std::string text, const std::string& from, const std::string& to) {
    for (std::size_t at = text.find(from); at != std::string::npos; at = text.find(from, at + to.size()))
        text.replace(at, from.size(), to);
    return text;
}

}  // namespace

TDovecotServer::TDovecotServer() {
    Start();
}

TDovecotServer::TDovecotServer(const TDovecotTLS& tls) : m_TLS(tls) {
    Start();
}

std::string TDovecotServer::Log() const {
    return ReadFile(m_Directory + "/dovecot.log");
}

void TDovecotServer::Start() {
    m_Directory = MakeDirectory("tessivar-dovecot");
    try {
        WriteFile(m_Directory + "/users", "");
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
    WriteFile((directory / "dovecot.conf").string(), config);
    int pop3sPort = 0;
    if (!m_TLS.CertificateFile.empty()) {
        pop3sPort = FreeLoopbackPort();
        WriteFile((directory / "tls.conf").string(),
                  "ssl = yes\nssl_cert = <" + m_TLS.CertificateFile + "\nssl_key = <" + m_TLS.KeyFile +
                      "\nssl_min_protocol = TLSv1.2\nservice pop3-login {\n  inet_listener pop3s {\n"
                      "    address = 127.0.0.1\n    port = " + std::to_string(pop3sPort) + "\n    ssl = yes\n  }\n}\n");
    }

    const std::string outputPath = (directory / "start.log").string();
    m_Process = DovecotProcess::Start((directory / "dovecot.conf").string(), outputPath,
                                      pop3sPort == 0 ? std::vector<int>{port} : std::vector<int>{port, pop3sPort});
    if (m_Process <= 0) {
        // Most likely a port was taken meanwhile; the caller tries another.
        failure = ReadFile(outputPath);
        return false;
    }
    m_Port = port;
    m_POP3SPort = pop3sPort;
    return true;
}

void TDovecotServer::StopProcess() {
    Stop(m_Process);
}

std::string TDovecotServer::MailDirectory(const std::string& user) const {
    return (fs::path(m_Directory) / "mail" / user).string();
}

void TDovecotServer::AddUser(const std::string& name, const std::string& password) {
    const fs::path mail(MailDirectory(name));
    for (const char* folder : {"", "new", "cur", "tmp"}) {
        fs::create_directories(mail / folder);
        ChownToDovecot((mail / folder).string());
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
    WriteFile(temporary.string(), text);
    ChownToDovecot(temporary.string());
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
