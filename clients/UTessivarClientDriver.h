#pragma once
// The mail programs' POP3 accounts in the registry: discovery and redirection. Used only on the
// model's thread (discovery at start-up, redirect and restore by protecting an account).

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "core/UConnectionSecurity.h"

class TMailClients;
class TMailClient;

// The host name written into a redirected mail program account: a numeric form of the loopback
// address that needs no name service and that no real mailbox uses.
extern const char* const LocalMarkerHost;
// An older marker host, only recognised when reading an account.
extern const char* const LegacyMarkerHost;

// The host is one of the two marker hosts, letter case ignored.
bool IsMarkerHost(const std::string& host);

class TMailClientAccount {
public:
    explicit TMailClientAccount(TMailClient& client);
    // Virtual: a driver may keep more of an account in a class of its own.
    virtual ~TMailClientAccount();
    TMailClientAccount(const TMailClientAccount&) = delete;
    TMailClientAccount& operator=(const TMailClientAccount&) = delete;

    // Forwards to the driver's SetPOP3Server. True when the key was written.
    bool SetPOP3Server(const std::string& host, int port);
    // The key, read now, names a marker host as its POP3 server: the mail program fetches from a
    // local server of this program.
    bool PointsAtMarkerHost() const;
    // When the key names a marker host, points it back at RemoteServer and RemotePort (the real
    // server kept beside it). True when it did; an account with no real server kept stays as it is.
    bool RestoreRemoteServer();

    std::string Identity;
    std::string AccountName;
    std::string DisplayName;
    std::string EmailAddress;
    std::string KeyPath;
    TMailClient* Client = nullptr;
    std::string RemoteServer;
    int RemotePort = 110;
    std::string UserName;
    // What the mail program asks of its connection to the real server, read at discovery; the
    // screened account takes it up when the account is linked.
    TConnectionSecurity Security = TConnectionSecurity::Automatic;
    // The registry drivers' secure-connection value as the mail program has it for the real server
    // (1: TLS from the first byte), kept beside the redirected values; -1 when the key has none.
    int RemoteSecureConnection = -1;
};

class TMailClient {
public:
    TMailClient(TMailClients& owner, std::string name);
    virtual ~TMailClient();
    TMailClient(const TMailClient&) = delete;
    TMailClient& operator=(const TMailClient&) = delete;

    virtual void Discover() = 0;
    // True when the four values were written; failures go to the trace only.
    virtual bool SetPOP3Server(TMailClientAccount& account, const std::string& host, int port) = 0;
    // The account key's "POP3 Server" as it is now; empty when the key or the value is missing.
    virtual std::string POP3Server(const TMailClientAccount& account) const = 0;

    TMailClients& Owner;
    const std::string Name;
};

// Outlook Express: the main identity's accounts and those of every identity under "\Identities".
class TOutlookExpress : public TMailClient {
public:
    explicit TOutlookExpress(TMailClients& owner);
    void Discover() override;
    bool SetPOP3Server(TMailClientAccount& account, const std::string& host, int port) override;
    std::string POP3Server(const TMailClientAccount& account) const override;
};

// Outlook 98: the accounts of its two account manager keys.
class TOutlook98 : public TMailClient {
public:
    explicit TOutlook98(TMailClients& owner);
    void Discover() override;
    bool SetPOP3Server(TMailClientAccount& account, const std::string& host, int port) override;
    std::string POP3Server(const TMailClientAccount& account) const override;
};

// Outlook 2002: the accounts of the mail profiles; its texts are UTF-16LE binary values.
class TOutlook2002 : public TMailClient {
public:
    explicit TOutlook2002(TMailClients& owner);
    void Discover() override;
    bool SetPOP3Server(TMailClientAccount& account, const std::string& host, int port) override;
    std::string POP3Server(const TMailClientAccount& account) const override;
};

class TMailClients {
public:
    TMailClients();
    ~TMailClients();
    TMailClients(const TMailClients&) = delete;
    TMailClients& operator=(const TMailClients&) = delete;

    // Drops what an earlier discovery found, creates the drivers (the three registry ones, then
    // Thunderbird) and runs their discovery.
    void Discover();
    int AccountCount() const { return static_cast<int>(m_Accounts.size()); }
    TMailClientAccount& Accounts(int index) const { return *m_Accounts.at(index); }
    int ClientCount() const { return static_cast<int>(m_Clients.size()); }
    TMailClient& Clients(int index) const { return *m_Clients.at(index); }

    // Takes ownership of the account (used by the drivers during discovery).
    TMailClientAccount& AddAccount(std::unique_ptr<TMailClientAccount> account);

    // What a driver tells the user, as the model's activity log takes it (kind 0 information, 1
    // error); set by the model. Without it such texts go to the trace only.
    std::function<void(const std::string& details, int kind)> OnLogItem;

private:
    // Accounts before clients: accounts refer to their drivers.
    std::vector<std::unique_ptr<TMailClient>> m_Clients;
    std::vector<std::unique_ptr<TMailClientAccount>> m_Accounts;
};
