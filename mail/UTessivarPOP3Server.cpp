#include "mail/UTessivarPOP3Server.h"

#include "base/UDebug.h"
#include "core/UTessivarAccount.h"

#include <atomic>

namespace {
constexpr int FirstServerPort = 20000;
constexpr int LastServerPort = 25000;

std::atomic<int> ServerPortCounter{FirstServerPort};
} // namespace

int NextServerPort() {
    int current = ServerPortCounter.load();
    int next;
    do {
        next = current + 1 > LastServerPort ? FirstServerPort : current + 1;
    } while (!ServerPortCounter.compare_exchange_weak(current, next));
    return next;
}

TTessivarPOP3Server::TTessivarPOP3Server(TTessivarAccount& account) : m_Account(account) {}

TTessivarPOP3Server::~TTessivarPOP3Server() {
    if (m_Active)
        Stop();
}

void TTessivarPOP3Server::Start() {
    if (m_Active)
        Stop();
    m_Port = NextServerPort();
    Debug("Attempting to start server for " + m_Account.EmailAddress() + " on port " + std::to_string(m_Port) + "...");
    m_Active = true;
    Debug("Started server for " + m_Account.EmailAddress() + " on port " + std::to_string(m_Port) + ".");
}

void TTessivarPOP3Server::Stop() {
    Debug("Attempting to stop server for " + m_Account.EmailAddress() + " on port " + std::to_string(m_Port) + "...");
    m_Active = false;
}
