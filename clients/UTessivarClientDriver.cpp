#include "clients/UTessivarClientDriver.h"

#include "base/LStrings.h"
#include "base/UDebug.h"
#include "clients/UThunderbirdMailClient.h"

const char* const LocalMarkerHost = "127.1";
const char* const LegacyMarkerHost = "127.0.0.2";

bool IsMarkerHost(const std::string& host) {
    return SameText(host, LocalMarkerHost) || SameText(host, LegacyMarkerHost);
}

TMailClientAccount::TMailClientAccount(TMailClient& client) : Client(&client) {
    Debug("Creating a mail client account.");
}

TMailClientAccount::~TMailClientAccount() {
    Debug("Destroyed a mail client account.");
}

bool TMailClientAccount::SetPOP3Server(const std::string& host, int port) {
    return Client->SetPOP3Server(*this, host, port);
}

bool TMailClientAccount::PointsAtMarkerHost() const {
    return IsMarkerHost(Client->POP3Server(*this));
}

bool TMailClientAccount::RestoreRemoteServer() {
    if (!PointsAtMarkerHost())
        return false;
    // Without the real server kept beside it (or with a marker host there) a restore would only
    // swap one unusable server for another; the key stays as it is for the user to repair.
    if (RemoteServer.empty() || IsMarkerHost(RemoteServer)) {
        Debug("No real POP3 server kept for the mail account at: " + KeyPath);
        return false;
    }
    Debug("Restoring the mail account left redirected at: " + KeyPath);
    return SetPOP3Server(RemoteServer, RemotePort);
}

TMailClient::TMailClient(TMailClients& owner, std::string name) : Owner(owner), Name(std::move(name)) {
    Debug("Creating a mail client.");
}

TMailClient::~TMailClient() {
    Debug("Destroyed a mail client.");
}

TMailClients::TMailClients() = default;

TMailClients::~TMailClients() {
    // Accounts refer to their drivers: they go first.
    m_Accounts.clear();
    m_Clients.clear();
}

void TMailClients::Discover() {
    m_Accounts.clear();
    m_Clients.clear();
    m_Clients.push_back(std::make_unique<TOutlookExpress>(*this));
    m_Clients.back()->Discover();
    m_Clients.push_back(std::make_unique<TOutlook98>(*this));
    m_Clients.back()->Discover();
    m_Clients.push_back(std::make_unique<TOutlook2002>(*this));
    m_Clients.back()->Discover();
    m_Clients.push_back(std::make_unique<TThunderbird>(*this));
    m_Clients.back()->Discover();
}

TMailClientAccount& TMailClients::AddAccount(std::unique_ptr<TMailClientAccount> account) {
    m_Accounts.push_back(std::move(account));
    return *m_Accounts.back();
}
