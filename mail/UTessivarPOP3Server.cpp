#include "mail/UTessivarPOP3Server.h"

#include <atomic>
#include <exception>

#include "base/UDebug.h"
#include "core/UTessivarAccount.h"
#include "core/UTessivarBusinessLogic.h"
#include "core/UThreadedCallTarget.h"
#include "mail/UPOP3ServerEngine.h"
#include "mail/UTessivarLoginThrottle.h"
#include "mail/UTessivarPOP3Checker.h"

namespace {

std::atomic<int> ServerPortCounter{FirstServerPort};

// Every port of the range, FirstServerPort included, is tried once before Start gives up.
constexpr int ServerPortCount = LastServerPort - FirstServerPort + 1;

std::string ErrorText(const std::exception& error) {
    return error.what();
}

} // namespace

int NextServerPort() {
    int current = ServerPortCounter.load();
    int next;
    do {
        next = current + 1 > LastServerPort ? FirstServerPort : current + 1;
    } while (!ServerPortCounter.compare_exchange_weak(current, next));
    return next;
}

TTessivarPOP3Server::TTessivarPOP3Server(TTessivarAccount& account)
    : m_Account(account), m_Model(account.Owner()),
      m_Throttle(std::make_unique<TTessivarLoginThrottle>()),
      m_Checker(std::make_unique<TTessivarPOP3Checker>(m_Model, account)),
      m_Server(std::make_unique<TPOP3ServerEngine>()) {
    TPOP3ServerEngine& server = *m_Server;
    server.SetGreeting(LocalServerGreeting);
    server.SetDefaultPort(0);
    // Connections that end while the engine stops wait for the model's thread to release their
    // sessions; that thread is the one stopping, so it serves those calls while it waits.
    IThreadedCallTarget& target = m_Model.OwnerWindow();
    server.SetStopWaiter([&target](const std::function<bool()>& done, std::chrono::milliseconds timeout) {
        return target.ServeSentCallsUntil(done, timeout);
    });
    server.OnBeforeCommandHandler = [this](TPOP3ServerConnection& c, const std::string& line) { BeforeCommand(c, line); };
    server.CheckUser = [this](TPOP3ServerConnection& c) { CheckUser(c); };
    server.OnSTAT = [this](TPOP3Command& command) { HandleSTAT(command); };
    server.OnLIST = [this](TPOP3Command& command, int number) { HandleLIST(command, number); };
    server.OnUIDL = [this](TPOP3Command& command, int number) { HandleUIDL(command, number); };
    server.OnRETR = [this](TPOP3Command& command, int number) { HandleRETR(command, number); };
    server.OnTOP = [this](TPOP3Command& command, int number, int lines) { HandleTOP(command, number, lines); };
    server.OnDELE = [this](TPOP3Command& command, int number) { HandleDELE(command, number); };
    server.OnRSET = [this](TPOP3Command& command) { HandleRSET(command); };
    server.OnQUIT = [this](TPOP3Command& command, TPOP3ServerConnection& c) { HandleQUIT(command, c); };
    server.OnDisconnect = [this](TPOP3ServerConnection& c) { Disconnect(c); };
}

TTessivarPOP3Server::~TTessivarPOP3Server() {
    if (m_Server->Active())
        Stop();
    // Joins every connection thread, serving what they still send.
    m_Server.reset();
    // Ends a running pass and joins the checker's worker.
    m_Checker.reset();
}

int TTessivarPOP3Server::Port() const {
    return m_Server->DefaultPort();
}

bool TTessivarPOP3Server::Active() const {
    return m_Server->Active();
}

void TTessivarPOP3Server::Start() {
    if (m_Server->Active())
        Stop();
    const std::string& address = m_Account.EmailAddress();
    for (int attempt = 0; attempt < ServerPortCount; ++attempt) {
        const int port = NextServerPort();
        m_Server->SetDefaultPort(port);
        Debug("Attempting to start server for " + address + " on port " + std::to_string(port) + "...");
        try {
            m_Server->SetActive(true);
            Debug("Started server for " + address + " on port " + std::to_string(port) + ".");
            return;
        } catch (const std::exception& error) {
            Debug("Server for " + address + " failed on port " + std::to_string(port) +
                  ". Exception: " + ErrorText(error));
        }
    }
    throw ETessivarPOP3ServerException("Could not start the local server for " + address + ": no port from " +
                                       std::to_string(FirstServerPort) + " to " + std::to_string(LastServerPort) +
                                       " could be bound.");
}

void TTessivarPOP3Server::Stop() {
    const std::string port = std::to_string(Port());
    Debug("Attempting to stop server for " + m_Account.EmailAddress() + " on port " + port + "...");
    try {
        m_Server->SetActive(false);
    } catch (const std::exception& error) {
        Debug("Stopping server for " + m_Account.EmailAddress() + " failed on port " + port +
              ". Exception: " + ErrorText(error));
    }
}
