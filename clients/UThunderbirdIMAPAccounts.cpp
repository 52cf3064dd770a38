#include "clients/UThunderbirdIMAPAccounts.h"

#include "base/LStrings.h"
#include "base/UDebug.h"
#include "clients/UThunderbirdMailClient.h"
#include "clients/UThunderbirdProfileFiles.h"
#include "clients/UThunderbirdProfiles.h"
#include "clients/UThunderbirdRedirect.h"

namespace {

bool SameAccount(const TIMAPServer& a, const TIMAPServer& b) {
    return SameText(a.EmailAddress, b.EmailAddress) && SameText(a.Host, b.Host) && a.Username == b.Username;
}

} // namespace

std::vector<TThunderbirdIMAPAccount> ThunderbirdIMAPAccountsOf(const std::string& directory,
                                                               const std::string& profileName) {
    std::vector<TThunderbirdIMAPAccount> found;
    TProfilePrefs files(directory);
    std::string error;
    if (!files.Load(error)) {
        Debug("No IMAP accounts read from " + directory + ": " + error);
        return found;
    }
    for (const std::string& accountKey : ThunderbirdKeyList(files.EffectiveString("mail.accountmanager.accounts"))) {
        const std::string accountBranch = "mail.account." + accountKey + ".";
        const std::string serverKey = files.EffectiveString(accountBranch + "server").value_or("");
        if (serverKey.empty())
            continue;
        const std::string branch = ServerBranch(serverKey);
        if (!SameText(files.EffectiveString(branch + "type").value_or(""), "imap"))
            continue;
        TThunderbirdIMAPAccount account;
        account.Profile = profileName;
        TIMAPServer& server = account.Server;
        const std::vector<std::string> identities =
            ThunderbirdKeyList(files.EffectiveString(accountBranch + "identities"));
        if (!identities.empty())
            server.EmailAddress =
                Trim(files.EffectiveString("mail.identity." + identities.front() + ".useremail").value_or(""));
        server.Host = Trim(files.EffectiveString(branch + "realhostname").value_or(""));
        if (server.Host.empty())
            server.Host = Trim(files.EffectiveString(branch + "hostname").value_or(""));
        server.Username = files.EffectiveString(branch + "realuserName").value_or("");
        if (server.Username.empty())
            server.Username = files.EffectiveString(branch + "userName").value_or("");
        const int32_t socketType = files.EffectiveInteger(branch + "socketType").value_or(SocketPlain);
        server.Security = socketType == SocketTLS ? TIMAPSecurity::ImplicitTLS : TIMAPSecurity::STARTTLS;
        const int32_t port = files.EffectiveInteger(branch + "port").value_or(0);
        server.Port = port > 0 && port <= 65535 ? port : DefaultIMAPPort(server.Security);
        if (server.EmailAddress.empty() || server.Host.empty() || server.Username.empty())
            continue;
        found.push_back(std::move(account));
    }
    return found;
}

std::vector<TThunderbirdIMAPAccount> FindThunderbirdIMAPAccounts() {
    std::vector<TThunderbirdIMAPAccount> found;
    for (const TProfileRoot& root : ThunderbirdProfileRoots())
        for (const TThunderbirdProfile& profile : ReadProfiles(root)) {
            const std::string name =
                profile.Edition.empty() ? profile.Name : profile.Name + " (" + profile.Edition + ")";
            for (TThunderbirdIMAPAccount& account : ThunderbirdIMAPAccountsOf(profile.Directory, name)) {
                bool seen = false;
                for (const TThunderbirdIMAPAccount& earlier : found)
                    seen = seen || SameAccount(earlier.Server, account.Server);
                if (!seen)
                    found.push_back(std::move(account));
            }
        }
    return found;
}
