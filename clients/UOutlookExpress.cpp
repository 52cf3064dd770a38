#include "base/URegistry.h"
#include "clients/UClientRegistry.h"
#include "clients/UTessivarClientDriver.h"

namespace {

constexpr const char* AccountsKey = "\\Software\\Microsoft\\Internet Account Manager\\Accounts";
constexpr const char* IdentitiesKey = "\\Identities";
constexpr TAccountValueNames ValueNames{"Account Name", "SMTP Display Name", "SMTP Email Address", "POP3 User Name",
                                        "POP3 Secure Connection"};

} // namespace

TOutlookExpress::TOutlookExpress(TMailClients& owner) : TMailClient(owner, "Microsoft Outlook Express") {}

void TOutlookExpress::Discover() {
    ScanAccountsKey(*this, AccountsKey, "Main Identity", ValueNames, TStringForm::Registry, TScanTrace::Silent);
    for (const std::string& id : ReadKeyNames(IdentitiesKey)) {
        const std::string identityKey = std::string(IdentitiesKey) + "\\" + id;
        const std::string accountsKey = identityKey + AccountsKey;
        TRegistry registry;
        if (!registry.KeyExists(accountsKey))
            continue;
        std::string identity;
        if (registry.OpenKeyReadOnly(identityKey))
            identity = registry.ReadString("Username");
        ScanAccountsKey(*this, accountsKey, identity, ValueNames, TStringForm::Registry, TScanTrace::Silent);
    }
}

bool TOutlookExpress::SetPOP3Server(TMailClientAccount& account, const std::string& host, int port) {
    return WritePOP3Server(account, host, port, TStringForm::Registry, "TOutlookExpress", ValueNames.SecureConnection);
}

std::string TOutlookExpress::POP3Server(const TMailClientAccount& account) const {
    return ReadPOP3Server(account, TStringForm::Registry);
}
