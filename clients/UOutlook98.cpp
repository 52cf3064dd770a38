#include "clients/UClientRegistry.h"
#include "clients/UTessivarClientDriver.h"

namespace {

constexpr const char* AccountsKeys[] = {
    "\\Software\\Microsoft\\Office\\8.0\\Outlook\\OMI Account Manager\\Accounts",
    "\\Software\\Microsoft\\Office\\Outlook\\OMI Account Manager\\Accounts",
};
constexpr TAccountValueNames ValueNames{"Account Name", "Display Name", "SMTP Email Address", "POP3 User Name",
                                        "POP3 Secure Connection"};

} // namespace

TOutlook98::TOutlook98(TMailClients& owner) : TMailClient(owner, "Microsoft Outlook 98") {}

void TOutlook98::Discover() {
    for (const char* accountsKey : AccountsKeys)
        ScanAccountsKey(*this, accountsKey, "Main Identity", ValueNames, TStringForm::Registry, TScanTrace::Verbose);
}

bool TOutlook98::SetPOP3Server(TMailClientAccount& account, const std::string& host, int port) {
    return WritePOP3Server(account, host, port, TStringForm::Registry, "TOutlook98", ValueNames.SecureConnection);
}

std::string TOutlook98::POP3Server(const TMailClientAccount& account) const {
    return ReadPOP3Server(account, TStringForm::Registry);
}
