#include "base/URegistry.h"
#include "clients/UClientRegistry.h"
#include "clients/UTessivarClientDriver.h"

namespace {

constexpr const char* ProfileRoots[] = {
    "\\Software\\Microsoft\\Windows Messaging Subsystem\\Profiles\\Outlook",
    "\\Software\\Microsoft\\Windows NT\\CurrentVersion\\Windows Messaging Subsystem\\Profiles\\Outlook",
};
constexpr TAccountValueNames ValueNames{"Account Name", "Display Name", "Email", "POP3 User", "POP3 Use SSL"};

} // namespace

TOutlook2002::TOutlook2002(TMailClients& owner) : TMailClient(owner, "Microsoft Outlook 2002") {}

void TOutlook2002::Discover() {
    for (const char* profileRoot : ProfileRoots) {
        for (const std::string& keyName : ReadKeyNames(profileRoot)) {
            // Account containers are the subkeys that number their accounts.
            const std::string container = std::string(profileRoot) + "\\" + keyName;
            TRegistry registry;
            if (!registry.OpenKeyReadOnly(container) || !registry.ValueExists("NextAccountID"))
                continue;
            for (const std::string& accountKey : registry.GetKeyNames())
                ReadAccountKey(*this, container + "\\" + accountKey, "Main Identity", ValueNames,
                               TStringForm::WideBinary, TScanTrace::Silent);
        }
    }
}

bool TOutlook2002::SetPOP3Server(TMailClientAccount& account, const std::string& host, int port) {
    return WritePOP3Server(account, host, port, TStringForm::WideBinary, "TOutlook2002", ValueNames.SecureConnection);
}

std::string TOutlook2002::POP3Server(const TMailClientAccount& account) const {
    return ReadPOP3Server(account, TStringForm::WideBinary);
}
