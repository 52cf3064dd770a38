#include "clients/UClientRegistry.h"

#include <memory>

#include "base/LUnicode.h"
#include "base/UDebug.h"
#include "base/URegistry.h"
#include "clients/UTessivarClientDriver.h"

namespace {

constexpr const char* ServerValue = "POP3 Server";
constexpr const char* PortValue = "POP3 Port";
constexpr const char* RemoteServerValue = "Tessivar Remote POP3 Server";
constexpr const char* RemotePortValue = "Tessivar Remote POP3 Port";
constexpr int DefaultPOP3Port = 110;

std::string ReadText(const TRegistry& registry, std::string_view name, TStringForm form) {
    return form == TStringForm::WideBinary ? ReadWideString(registry, name, "") : registry.ReadString(name);
}

void WriteText(TRegistry& registry, std::string_view name, const std::string& value, TStringForm form) {
    if (form == TStringForm::WideBinary)
        WriteWideString(registry, name, value);
    else
        registry.WriteString(name, value);
}

// The mail program's real secure-connection setting: kept beside a redirected key, else the value
// itself; -1 when there is none.
int ReadSecureConnection(const TRegistry& registry, const char* name, bool redirected) {
    const std::string kept = RemoteSecureConnectionName(name);
    if (redirected && registry.ValueExists(kept))
        return registry.ReadIntegerDefault(kept, 0);
    return registry.ValueExists(name) ? registry.ReadIntegerDefault(name, 0) : -1;
}

} // namespace

std::string RemoteSecureConnectionName(const char* secureConnection) {
    return std::string("Tessivar Remote ") + secureConnection;
}

TStringArray ReadKeyNames(const std::string& path) {
    TRegistry registry;
    if (!registry.OpenKeyReadOnly(path))
        return {};
    return registry.GetKeyNames();
}

std::string ReadWideString(const TRegistry& registry, std::string_view name, const std::string& fallback) {
    if (!registry.ValueExists(name))
        return fallback;
    if (registry.GetDataType(name) == TRegDataType::rdString)
        return registry.ReadString(name);
    std::vector<uint8_t> data = registry.ReadBinaryData(name);
    std::string text = Utf16LeToText(data.data(), data.size());
    return text.substr(0, text.find('\0'));
}

void WriteWideString(TRegistry& registry, std::string_view name, const std::string& value) {
    std::vector<uint8_t> data = TextToUtf16Le(value);
    data.push_back(0);
    data.push_back(0);
    registry.WriteBinaryData(name, data);
}

void ReadAccountKey(TMailClient& client, const std::string& keyPath, const std::string& identity,
                    const TAccountValueNames& names, TStringForm form, TScanTrace trace) {
    const bool verbose = trace == TScanTrace::Verbose;
    TRegistry registry;
    if (!registry.OpenKeyReadOnly(keyPath))
        return;
    const std::string path = registry.CurrentPath();
    if (verbose)
        Debug("Openned key: " + path);
    if (!registry.ValueExists(ServerValue)) {
        if (verbose)
            Debug("Key: " + path + " is not a POP3 account.");
        return;
    }
    if (verbose)
        Debug("Loading: " + path);

    auto account = std::make_unique<TMailClientAccount>(client);
    account->Identity = identity;
    account->KeyPath = path;
    account->AccountName = ReadText(registry, names.AccountName, form);
    account->DisplayName = ReadText(registry, names.DisplayName, form);
    account->EmailAddress = ReadText(registry, names.EmailAddress, form);
    account->UserName = ReadText(registry, names.UserName, form);
    const std::string server = ReadText(registry, ServerValue, form);
    if (IsMarkerHost(server)) {
        // Redirected by an earlier run that did not restore it: the real values are kept beside.
        account->RemoteServer = ReadText(registry, RemoteServerValue, form);
        account->RemotePort = registry.ReadIntegerDefault(RemotePortValue, DefaultPOP3Port);
    } else {
        account->RemoteServer = server;
        account->RemotePort = registry.ReadIntegerDefault(PortValue, DefaultPOP3Port);
    }
    if (names.SecureConnection) {
        account->RemoteSecureConnection = ReadSecureConnection(registry, names.SecureConnection, IsMarkerHost(server));
        if (account->RemoteSecureConnection > 0)
            account->Security = TConnectionSecurity::ImplicitTLS;
    }
    client.Owner.AddAccount(std::move(account));
}

void ScanAccountsKey(TMailClient& client, const std::string& accountsKey, const std::string& identity,
                     const TAccountValueNames& names, TStringForm form, TScanTrace trace) {
    const bool verbose = trace == TScanTrace::Verbose;
    if (verbose)
        Debug("Finding accounts for identity " + identity);
    const TStringArray keyNames = ReadKeyNames(accountsKey);
    if (verbose)
        Debug("KeyNames: " + JoinText(keyNames, "\r\n"));
    for (const std::string& keyName : keyNames) {
        const std::string keyPath = accountsKey + "\\" + keyName;
        if (verbose)
            Debug("Checking: " + keyPath);
        ReadAccountKey(client, keyPath, identity, names, form, trace);
    }
}

bool WritePOP3Server(const TMailClientAccount& account, const std::string& host, int port, TStringForm form,
                     const char* className, const char* secureConnection) {
    TRegistry registry;
    if (!registry.OpenKey(account.KeyPath, false)) {
        Debug("Could not open key: " + account.KeyPath);
        return false;
    }
    try {
        TRegistryBatch batch;
        WriteText(registry, RemoteServerValue, account.RemoteServer, form);
        registry.WriteInteger(RemotePortValue, account.RemotePort);
        WriteText(registry, ServerValue, host, form);
        registry.WriteInteger(PortValue, port);
        if (secureConnection && account.RemoteSecureConnection >= 0) {
            registry.WriteInteger(RemoteSecureConnectionName(secureConnection), account.RemoteSecureConnection);
            registry.WriteInteger(secureConnection, IsMarkerHost(host) ? 0 : account.RemoteSecureConnection);
        }
        batch.Commit();
    } catch (const ERegistryException& e) {
        DebugException(className, e);
        return false;
    }
    Debug("Configured mail account at: " + account.KeyPath);
    return true;
}

std::string ReadPOP3Server(const TMailClientAccount& account, TStringForm form) {
    TRegistry registry;
    if (!registry.OpenKeyReadOnly(account.KeyPath))
        return {};
    return ReadText(registry, ServerValue, form);
}
