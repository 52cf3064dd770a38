#include "tests/support/DovecotIMAP.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <optional>
#include <stdexcept>
#include <thread>

#include "tests/support/DovecotProcess.h"

namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

constexpr int StartAttempts = 10;

// Dovecot's own list after a login, less what the options turn off.
constexpr const char* DovecotCapabilities =
    "IMAP4rev1 SASL-IR LOGIN-REFERRALS ID ENABLE IDLE SORT SORT=DISPLAY THREAD=REFERENCES THREAD=REFS "
    "THREAD=ORDEREDSUBJECT MULTIAPPEND URL-PARTIAL CATENATE UNSELECT CHILDREN NAMESPACE UIDPLUS LIST-EXTENDED "
    "I18NLEVEL=1 CONDSTORE QRESYNC ESEARCH ESORT SEARCHRES WITHIN CONTEXT=SEARCH LIST-STATUS BINARY MOVE "
    "SNIPPET=FUZZY PREVIEW=FUZZY PREVIEW STATUS=SIZE SAVEDATE LITERAL+ NOTIFY SPECIAL-USE";

std::string ReplaceAll(std::string text, const std::string& from, const std::string& to) {
    for (std::size_t at = text.find(from); at != std::string::npos; at = text.find(from, at + to.size()))
        text.replace(at, from.size(), to);
    return text;
}

std::string Quoted(const std::string& text) {
    return "\"" + ReplaceAll(ReplaceAll(text, "\\", "\\\\"), "\"", "\\\"") + "\"";
}

// The number after `key` ("UID ", "[APPENDUID 7 ") in a response; 0 when absent.
uint32_t NumberAfter(const std::string& text, const std::string& key) {
    const std::size_t at = text.find(key);
    return at == std::string::npos ? 0 : static_cast<uint32_t>(std::strtoul(text.c_str() + at + key.size(), nullptr, 10));
}

// One authority and "localhost" certificate for every server of the test process: making them
// takes longer than starting Dovecot.
struct TSharedCertificate {
    TTestCertificates Authority;
    TTestCertificate Localhost = Authority.Issue("imap", "localhost");
};

const TSharedCertificate& SharedCertificate() {
    static const TSharedCertificate shared;
    return shared;
}

} // namespace

// A plain IMAP session on loopback: the other client of the mailbox.
class TDovecotIMAP::TSession {
public:
    TSession(int port, const std::string& user, const std::string& password) {
        m_Socket = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        timeval wait{10, 0};
        setsockopt(m_Socket, SOL_SOCKET, SO_RCVTIMEO, &wait, sizeof wait);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_port = htons(static_cast<uint16_t>(port));
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        if (m_Socket < 0 || connect(m_Socket, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0)
            throw std::runtime_error("cannot connect to the IMAP fixture");
        ReadResponse();
        Command("LOGIN " + Quoted(user) + " " + Quoted(password));
    }
    ~TSession() {
        try {
            Command("LOGOUT");
        } catch (const std::exception&) {
        }
        ::close(m_Socket);
    }
    TSession(const TSession&) = delete;
    TSession& operator=(const TSession&) = delete;

    // Sends a command (with a literal when given) and returns its responses, the tagged one last;
    // raises unless it ended with OK (or with NO when refusals are expected).
    std::vector<std::string> Command(const std::string& text, const std::optional<std::string>& literal = {},
                                     bool mayFail = false) {
        const std::string tag = "F" + std::to_string(++m_Tag);
        if (literal) {
            Send(tag + " " + text + " {" + std::to_string(literal->size()) + "}\r\n");
            const std::string go = ReadResponse();
            if (!go.starts_with("+"))
                throw std::runtime_error("IMAP fixture: " + text + ": " + go);
            Send(*literal + "\r\n");
        } else {
            Send(tag + " " + text + "\r\n");
        }
        std::vector<std::string> responses;
        for (;;) {
            responses.push_back(ReadResponse());
            if (responses.back().starts_with(tag + " "))
                break;
        }
        if (!mayFail && !responses.back().starts_with(tag + " OK"))
            throw std::runtime_error("IMAP fixture: " + text + ": " + responses.back());
        return responses;
    }

private:
    void Send(const std::string& text) {
        if (::send(m_Socket, text.data(), text.size(), MSG_NOSIGNAL) != static_cast<ssize_t>(text.size()))
            throw std::runtime_error("IMAP fixture: send failed");
    }
    std::string ReadLine() {
        for (;;) {
            const std::size_t end = m_Buffer.find("\r\n");
            if (end != std::string::npos) {
                std::string line = m_Buffer.substr(0, end + 2);
                m_Buffer.erase(0, end + 2);
                return line;
            }
            Receive();
        }
    }
    void Receive() {
        char buffer[65536];
        const ssize_t received = ::recv(m_Socket, buffer, sizeof buffer, 0);
        if (received <= 0)
            throw std::runtime_error("IMAP fixture: connection lost");
        m_Buffer.append(buffer, static_cast<std::size_t>(received));
    }
    // A response with its literals.
    std::string ReadResponse() {
        std::string response;
        for (;;) {
            const std::string line = ReadLine();
            response += line;
            const std::size_t open = line.rfind('{');
            if (line.size() < 4 || line[line.size() - 3] != '}' || open == std::string::npos)
                return response;
            const std::size_t size = std::strtoul(line.c_str() + open + 1, nullptr, 10);
            while (m_Buffer.size() < size)
                Receive();
            response += m_Buffer.substr(0, size);
            m_Buffer.erase(0, size);
        }
    }

    int m_Socket = -1;
    int m_Tag = 0;
    std::string m_Buffer;
};

TDovecotIMAP::TDovecotIMAP(TDovecotIMAPOptions options) : m_Options(std::move(options)) {
    if (m_Options.Certificate.CertificateFile.empty()) {
        m_AuthorityFile = SharedCertificate().Authority.AuthorityFile();
        m_Options.Certificate = SharedCertificate().Localhost;
    }
    m_Directory = DovecotProcess::MakeDirectory("tessivar-dovecot-imap");
    try {
        DovecotProcess::WriteFile(m_Directory + "/users", "");
        std::string failure;
        for (int attempt = 0; attempt < StartAttempts; ++attempt)
            if (TryStart(failure))
                return;
        throw std::runtime_error("Dovecot IMAP did not start: " + failure);
    } catch (...) {
        DovecotProcess::Stop(m_Process);
        std::error_code ignored;
        fs::remove_all(m_Directory, ignored);
        throw;
    }
}

TDovecotIMAP::~TDovecotIMAP() {
    DovecotProcess::Stop(m_Process);
    std::error_code ignored;
    fs::remove_all(m_Directory, ignored);
}

bool TDovecotIMAP::TryStart(std::string& failure) {
    std::string config = DovecotProcess::ReadFile(TESSIVAR_DOVECOT_IMAP_TEMPLATE);
    if (config.empty())
        throw std::runtime_error("cannot read " + std::string(TESSIVAR_DOVECOT_IMAP_TEMPLATE));
    std::string capabilities;
    const std::pair<const char*, bool> switches[] = {{" IDLE ", m_Options.Idle},
                                                     {" MOVE ", m_Options.Move},
                                                     {" UIDPLUS ", m_Options.UIDPlus},
                                                     {" SASL-IR ", m_Options.InitialResponse}};
    for (const auto& [name, on] : switches)
        if (!on)
            capabilities = ReplaceAll(capabilities.empty() ? DovecotCapabilities : capabilities, name, " ");
    if (!capabilities.empty())
        capabilities = "imap_capability = " + capabilities;
    const int port = DovecotProcess::FreeLoopbackPort();
    const int imapsPort = DovecotProcess::FreeLoopbackPort();
    const std::pair<std::string, std::string> values[] = {
        {"@DIR@", m_Directory},
        {"@PORT@", std::to_string(port)},
        {"@IMAPSPORT@", std::to_string(imapsPort)},
        {"@CERT@", m_Options.Certificate.CertificateFile},
        {"@KEY@", m_Options.Certificate.KeyFile},
        {"@SEPARATOR@", std::string(1, m_Options.Separator)},
        {"@PREFIX@", m_Options.Prefix},
        {"@CAPABILITIES@", capabilities},
    };
    for (const auto& [name, value] : values)
        config = ReplaceAll(config, name, value);
    DovecotProcess::WriteFile(m_Directory + "/dovecot.conf", config);
    const std::string output = m_Directory + "/start.log";
    m_Process = DovecotProcess::Start(m_Directory + "/dovecot.conf", output, {port, imapsPort});
    if (m_Process <= 0) {
        failure = DovecotProcess::ReadFile(output);
        return false;
    }
    m_Port = port;
    m_IMAPSPort = imapsPort;
    return true;
}

std::string TDovecotIMAP::Log() const {
    return DovecotProcess::ReadFile(m_Directory + "/dovecot.log");
}

std::string TDovecotIMAP::LogWhenItHolds(const std::string& text) const {
    for (int i = 0; i < 250 && Log().find(text) == std::string::npos; ++i)
        std::this_thread::sleep_for(20ms);
    return Log();
}

void TDovecotIMAP::AddUser(const std::string& name, const std::string& password) {
    const fs::path mail = fs::path(m_Directory) / "mail" / name;
    fs::create_directories(mail);
    DovecotProcess::ChownToDovecot(mail.string());
    std::ofstream users(fs::path(m_Directory) / "users", std::ios::app);
    users << name << ":{PLAIN}" << password << "\n";
    if (!users.flush())
        throw std::runtime_error("cannot add user " + name);
    m_Users.emplace_back(name, password);
}

std::unique_ptr<TDovecotIMAP::TSession> TDovecotIMAP::Session(const std::string& user) {
    const auto known = std::find_if(m_Users.begin(), m_Users.end(), [&](const auto& entry) { return entry.first == user; });
    if (known == m_Users.end())
        throw std::runtime_error("IMAP fixture: no user " + user);
    return std::make_unique<TSession>(m_Port, user, known->second);
}

std::string TDovecotIMAP::ServerFolder(const std::string& folder) const {
    if (folder == "INBOX")
        return folder;
    return m_Options.Prefix + ReplaceAll(folder, "/", std::string(1, m_Options.Separator));
}

uint32_t TDovecotIMAP::Append(const std::string& user, const std::string& folder, const std::string& text,
                              const std::string& flags) {
    auto session = Session(user);
    const std::string command = "APPEND " + Quoted(ServerFolder(folder)) + " (" + flags + ")";
    std::vector<std::string> responses = session->Command(command, text, true);
    if (responses.back().find("[TRYCREATE]") != std::string::npos) {
        session->Command("CREATE " + Quoted(ServerFolder(folder)));
        responses = session->Command(command, text);
    }
    if (responses.back().find(" OK ") == std::string::npos)
        throw std::runtime_error("IMAP fixture: APPEND: " + responses.back());
    const std::size_t code = responses.back().find("[APPENDUID ");
    if (code == std::string::npos)
        throw std::runtime_error("IMAP fixture: APPEND gave no UID: " + responses.back());
    return NumberAfter(responses.back().substr(responses.back().find(' ', code + 11)), " ");
}

std::vector<TDovecotIMAPMessage> TDovecotIMAP::Messages(const std::string& user, const std::string& folder) {
    auto session = Session(user);
    session->Command("EXAMINE " + Quoted(ServerFolder(folder)));
    std::vector<TDovecotIMAPMessage> messages;
    for (const std::string& response :
         session->Command("UID FETCH 1:* (UID FLAGS BODY.PEEK[HEADER.FIELDS (MESSAGE-ID)])")) {
        if (!response.starts_with("* ") || response.find(" FETCH (") == std::string::npos)
            continue;
        TDovecotIMAPMessage message;
        message.UID = NumberAfter(response, "UID ");
        const std::size_t flags = response.find("FLAGS (");
        if (flags != std::string::npos)
            message.Flags = response.substr(flags + 7, response.find(')', flags) - flags - 7);
        std::string lower = response;
        std::transform(lower.begin(), lower.end(), lower.begin(), [](unsigned char c) { return std::tolower(c); });
        const std::size_t id = lower.find("\nmessage-id:");
        if (id != std::string::npos) {
            const std::size_t start = response.find_first_not_of(" \t", id + 12);
            message.MessageID = response.substr(start, response.find("\r\n", start) - start);
        }
        messages.push_back(message);
    }
    std::sort(messages.begin(), messages.end(), [](const auto& a, const auto& b) { return a.UID < b.UID; });
    return messages;
}

void TDovecotIMAP::AddFlags(const std::string& user, const std::string& folder, uint32_t uid, const std::string& flags) {
    auto session = Session(user);
    session->Command("SELECT " + Quoted(ServerFolder(folder)));
    session->Command("UID STORE " + std::to_string(uid) + " +FLAGS (" + flags + ")");
}

uint32_t TDovecotIMAP::MoveMessage(const std::string& user, const std::string& folder, uint32_t uid,
                                   const std::string& target) {
    auto session = Session(user);
    session->Command("SELECT " + Quoted(ServerFolder(folder)));
    for (const std::string& response :
         session->Command("UID MOVE " + std::to_string(uid) + " " + Quoted(ServerFolder(target)))) {
        const std::size_t code = response.find("[COPYUID ");
        if (code != std::string::npos) {
            const std::size_t last = response.find(' ', response.find(' ', code + 9) + 1);
            return NumberAfter(response.substr(last), " ");
        }
    }
    return 0;
}

void TDovecotIMAP::CreateFolder(const std::string& user, const std::string& folder) {
    Session(user)->Command("CREATE " + Quoted(ServerFolder(folder)));
}

std::vector<std::string> TDovecotIMAP::ServerFolders(const std::string& user) {
    std::vector<std::string> folders;
    for (const std::string& response : Session(user)->Command("LIST \"\" \"*\"")) {
        if (!response.starts_with("* LIST "))
            continue;
        std::string name = response.substr(0, response.size() - 2);
        const std::size_t quote = name.size() >= 2 && name.back() == '"' ? name.rfind('"', name.size() - 2) : std::string::npos;
        name = quote != std::string::npos ? name.substr(quote + 1, name.size() - quote - 2) : name.substr(name.rfind(' ') + 1);
        folders.push_back(name);
    }
    std::sort(folders.begin(), folders.end());
    return folders;
}

std::string TDovecotIMAP::Capabilities(const std::string& user) {
    for (const std::string& response : Session(user)->Command("CAPABILITY"))
        if (response.starts_with("* CAPABILITY "))
            return response.substr(13, response.size() - 15);
    return {};
}

std::string TDovecotIMAP::Doveadm(const std::string& arguments) const {
    return DovecotProcess::Run("doveadm -c '" + m_Directory + "/dovecot.conf' " + arguments);
}

uint32_t TDovecotIMAP::UIDValidity(const std::string& user, const std::string& folder) {
    return NumberAfter(Doveadm("mailbox status -u '" + user + "' uidvalidity '" + ServerFolder(folder) + "'"),
                       "uidvalidity=");
}

void TDovecotIMAP::SetUIDValidity(const std::string& user, const std::string& folder, uint32_t value) {
    Doveadm("mailbox update -u '" + user + "' --uid-validity " + std::to_string(value) + " '" +
            ServerFolder(folder) + "'");
}
