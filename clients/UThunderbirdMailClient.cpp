#include "clients/UThunderbirdMailClient.h"

#include "base/LStrings.h"
#include "base/UDebug.h"
#include "clients/UThunderbirdProfileFiles.h"
#include "clients/UThunderbirdProfiles.h"

#include <exception>
#include <map>
#include <optional>
#include <utility>
#include <vector>

namespace {

constexpr int32_t AuthPasswordCleartext = 3;

std::string ServerBranch(const std::string& serverKey) {
    return "mail.server." + serverKey + ".";
}

// The names this program writes for one server; those that user.js may carry for it.
std::vector<std::string> ManagedNames(const std::string& serverKey) {
    const std::string branch = ServerBranch(serverKey);
    std::vector<std::string> names;
    for (const char* leaf : {"realhostname", "port", "socketType", "authMethod", "tessivar_remote_host",
                             "tessivar_remote_port", "tessivar_remote_socketType", "tessivar_remote_authMethod"})
        names.push_back(branch + leaf);
    return names;
}

int32_t DefaultPort(int32_t socketType) {
    return socketType == SocketTLS ? 995 : 110;
}

// Thunderbird's lists of account and identity keys: "account1,account2".
TStringArray KeyList(const std::optional<std::string>& text) {
    TStringArray keys;
    if (!text)
        return keys;
    for (const std::string& part : SplitText(*text, ","))
        if (const std::string key = Trim(part); !key.empty())
            keys.push_back(key);
    return keys;
}

std::string ValueText(const TPrefValue* value) {
    return value ? FormatPrefValue(*value) : std::string("(none)");
}

// Gives the preference the value, changing its line where it has one. Otherwise a value that only
// states Thunderbird's default is left out: when restoring (removeDefault), a line that states it
// goes as well, so that a preference the redirect added leaves the file again.
void SetPreference(TPrefsDocument& prefs, const std::string& name, const TPrefValue& value, const TPrefValue& fallback,
                   bool removeDefault) {
    if (value == fallback && (removeDefault || !prefs.Has(name)))
        prefs.Remove(name);
    else
        prefs.Set(name, value);
}


// What Thunderbird takes for the server's settings that prefs.js leaves out.
using TServerDefaults = std::map<std::string, TPrefValue>;
TServerDefaults ServerDefaults(const TPrefsDocument& prefs, const std::string& serverKey, int32_t socketType) {
    const std::string branch = ServerBranch(serverKey);
    return {
        {branch + "realhostname", TPrefValue::FromString(prefs.String(branch + "hostname").value_or(""))},
        {branch + "port", TPrefValue::FromInteger(DefaultPort(socketType))},
        {branch + "socketType", TPrefValue::FromInteger(SocketPlain)},
        {branch + "authMethod", TPrefValue::FromInteger(AuthPasswordCleartext)},
    };
}

// Gives prefs.js the server's settings: the local server's when redirecting, else the real ones
// of the account; with keepReal, the real ones are also kept beside them.
void WriteServerSettings(TPrefsDocument& prefs, const TThunderbirdAccount& account, const std::string& host, int port,
                         bool redirect, bool keepReal) {
    const std::string branch = ServerBranch(account.ServerKey);
    if (keepReal && !account.RemoteServer.empty() && !IsMarkerHost(account.RemoteServer)) {
        prefs.Set(branch + "tessivar_remote_host", TPrefValue::FromString(account.RemoteServer));
        prefs.Set(branch + "tessivar_remote_port", TPrefValue::FromInteger(account.RemotePort));
        prefs.Set(branch + "tessivar_remote_socketType", TPrefValue::FromInteger(account.SocketType));
        if (account.AuthMethod != 0)
            prefs.Set(branch + "tessivar_remote_authMethod", TPrefValue::FromInteger(account.AuthMethod));
        else
            prefs.Remove(branch + "tessivar_remote_authMethod");
    }
    if (!redirect && host == prefs.String(branch + "hostname").value_or(""))
        prefs.Remove(branch + "realhostname"); // the host of the server's key is its real one again
    else
        prefs.Set(branch + "realhostname", TPrefValue::FromString(host));
    const int32_t socketType = redirect ? SocketPlain : account.SocketType;
    SetPreference(prefs, branch + "port", TPrefValue::FromInteger(port), TPrefValue::FromInteger(DefaultPort(socketType)),
                  !redirect);
    SetPreference(prefs, branch + "socketType", TPrefValue::FromInteger(socketType),
                  TPrefValue::FromInteger(SocketPlain), !redirect);
    if (redirect) {
        // The local server takes the password as it is given (USER and PASS).
        if (account.AuthMethod != 0 && account.AuthMethod != AuthPasswordCleartext)
            prefs.Set(branch + "authMethod", TPrefValue::FromInteger(AuthPasswordCleartext));
    } else if (account.AuthMethod != 0) {
        prefs.Set(branch + "authMethod", TPrefValue::FromInteger(account.AuthMethod));
    } else {
        prefs.Remove(branch + "authMethod");
    }
}

// A running Thunderbird writes prefs.js from what it read at its start: the server's values wait
// in user.js for its next start, every one stated (user.js cannot remove a preference, so one that
// prefs.js leaves out is stated as its default).
void StateInUserFile(TProfilePrefs& files, const std::string& serverKey, int32_t socketType) {
    const TServerDefaults defaults = ServerDefaults(files.Prefs, serverKey, socketType);
    for (const std::string& name : ManagedNames(serverKey)) {
        const TPrefValue* value = files.Prefs.Find(name);
        if (!value && defaults.contains(name))
            value = &defaults.at(name);
        if (value)
            files.User.Set(name, *value);
    }
}

} // namespace

TConnectionSecurity SecurityOfSocketType(int32_t socketType) {
    switch (socketType) {
    case SocketTLS:
        return TConnectionSecurity::ImplicitTLS;
    case SocketStartTLS:
        return TConnectionSecurity::STLS;
    default:
        return TConnectionSecurity::Automatic;
    }
}

TThunderbird::TThunderbird(TMailClients& owner) : TMailClient(owner, "Mozilla Thunderbird") {}

void TThunderbird::Report(const std::string& details, int kind) {
    Debug(details);
    if (Owner.OnLogItem)
        Owner.OnLogItem(details, kind);
}

void TThunderbird::Discover() {
    for (const TProfileRoot& root : ThunderbirdProfileRoots()) {
        Debug("Finding Thunderbird profiles in " + root.Directory);
        for (const TThunderbirdProfile& profile : ReadProfiles(root))
            DiscoverProfile(profile);
    }
}

void TThunderbird::DiscoverProfile(const TThunderbirdProfile& profile) {
    Debug("Checking: " + profile.Directory);
    TProfilePrefs files(profile.Directory);
    std::string error;
    if (!files.Load(error)) {
        // A profile never started has no prefs.js yet; anything else is worth telling the user.
        if (FileModificationTime(files.PrefsPath()) != 0)
            Report("Thunderbird's settings could not be read (" + error + "); its accounts are left as they are.", 1);
        else
            Debug("No settings in " + profile.Directory);
        return;
    }
    try {
        TidyUserFile(files);
    } catch (const std::exception& e) {
        DebugException("TThunderbird", e);
    }
    const std::string identity = profile.Edition.empty() ? profile.Name : profile.Name + " (" + profile.Edition + ")";
    for (const std::string& accountKey : KeyList(files.EffectiveString("mail.accountmanager.accounts"))) {
        const std::string accountBranch = "mail.account." + accountKey + ".";
        const std::string serverKey = files.EffectiveString(accountBranch + "server").value_or("");
        if (serverKey.empty())
            continue;
        const std::string branch = ServerBranch(serverKey);
        if (!SameText(files.EffectiveString(branch + "type").value_or(""), "pop3")) {
            Debug("Server: " + serverKey + " of " + profile.Directory + " is not a POP3 account.");
            continue;
        }
        auto account = std::make_unique<TThunderbirdAccount>(*this);
        account->ProfileDirectory = profile.Directory;
        account->ServerKey = serverKey;
        account->KeyPath = files.PrefsPath() + " " + branch;
        account->Identity = identity;
        account->AccountName = files.EffectiveString(branch + "name").value_or("");
        const TStringArray identities = KeyList(files.EffectiveString(accountBranch + "identities"));
        if (!identities.empty()) {
            const std::string identityBranch = "mail.identity." + identities.front() + ".";
            account->EmailAddress = files.EffectiveString(identityBranch + "useremail").value_or("");
            account->DisplayName = files.EffectiveString(identityBranch + "fullName").value_or("");
        }
        account->UserName = files.EffectiveString(branch + "realuserName").value_or("");
        if (account->UserName.empty())
            account->UserName = files.EffectiveString(branch + "userName").value_or("");

        std::string host = files.EffectiveString(branch + "realhostname").value_or("");
        if (host.empty())
            host = files.EffectiveString(branch + "hostname").value_or("");
        // A redirected server: its real settings are those kept beside it.
        const std::string prefix = IsMarkerHost(host) ? branch + "tessivar_remote_" : branch;
        account->RemoteServer =
            IsMarkerHost(host) ? files.EffectiveString(prefix + "host").value_or("") : std::move(host);
        account->SocketType = files.EffectiveInteger(prefix + "socketType").value_or(SocketPlain);
        account->RemotePort = files.EffectiveInteger(prefix + "port").value_or(DefaultPort(account->SocketType));
        account->AuthMethod = files.EffectiveInteger(prefix + "authMethod").value_or(0);
        account->Security = SecurityOfSocketType(account->SocketType);
        Debug("Loading: " + account->KeyPath);
        Owner.AddAccount(std::move(account));
    }
}

void TThunderbird::TidyUserFile(TProfilePrefs& files) {
    const int64_t written = FileModificationTime(files.UserPath());
    if (written == 0)
        return;
    // Thunderbird has taken user.js when it is not running (it takes it at its next start, and
    // prefs.js then says the same), or when it started after user.js was written.
    if (ProfileInUse(files.Directory()) && ProfileLockTime(files.Directory()) <= written)
        return;
    for (const TPrefStatement& statement : std::vector<TPrefStatement>(files.User.Statements())) {
        const std::string& name = statement.Name;
        const size_t keptHost = name.rfind(".tessivar_remote_host");
        if (name.rfind("mail.server.", 0) != 0 || keptHost == std::string::npos ||
            keptHost + 21 != name.size())
            continue;
        const std::string serverKey = name.substr(12, keptHost - 12);
        const std::string branch = ServerBranch(serverKey);
        // A value that only states Thunderbird's default (as user.js must, having no way to remove
        // a preference) leaves prefs.js without the preference, as it was before the redirect.
        const TServerDefaults defaults = ServerDefaults(
            files.Prefs, serverKey, files.EffectiveInteger(branch + "socketType").value_or(SocketPlain));
        for (const std::string& managed : ManagedNames(serverKey)) {
            const TPrefValue* value = files.User.Find(managed);
            if (!value)
                continue;
            if (defaults.contains(managed) && defaults.at(managed) == *value)
                files.Prefs.Remove(managed);
            else
                files.Prefs.Set(managed, *value);
            files.User.Remove(managed);
        }
    }
    if (files.PrefsChanged() || files.UserChanged()) {
        Debug("Moving the lines Thunderbird has taken from " + files.UserPath());
        files.Save();
    }
}

std::string TThunderbird::RedirectRefusal(const TThunderbirdAccount& account) {
    const std::string what = "The Thunderbird account \"" +
                             (account.AccountName.empty() ? account.RemoteServer : account.AccountName) +
                             "\" is not screened: ";
    switch (account.AuthMethod) {
    case 0:
    case 2:
    case AuthPasswordCleartext:
    case 9:
        return "";
    case 4:
    case 8:
        // Over TLS the checker sends the password as the server takes it in clear, safely.
        if (account.RequiresTLS())
            return "";
        return what + "it signs in with an encrypted password, which Tessivar would have to send to " +
               account.RemoteServer + " unencrypted. The account fetches its mail directly.";
    default:
        return what + "its way of signing in gives Tessivar no password for the real mailbox. The account "
                      "fetches its mail directly.";
    }
}

bool TThunderbird::SetPOP3Server(TMailClientAccount& mailAccount, const std::string& host, int port) {
    auto& account = static_cast<TThunderbirdAccount&>(mailAccount);
    const bool redirect = IsMarkerHost(host);
    if (redirect) {
        if (const std::string refusal = RedirectRefusal(account); !refusal.empty()) {
            Report(refusal, 1);
            return false;
        }
    }
    TProfilePrefs files(account.ProfileDirectory);
    std::string error;
    if (!files.Load(error)) {
        Report("Thunderbird's settings could not be read (" + error + "); the account \"" + account.AccountName +
                   "\" is left as it is.",
               1);
        return false;
    }
    const std::string branch = ServerBranch(account.ServerKey);
    const std::vector<std::string> managed = ManagedNames(account.ServerKey);
    std::vector<std::pair<std::string, std::string>> before;
    bool userHeldLines = false;
    for (const std::string& name : managed) {
        before.emplace_back(name, ValueText(files.Effective(name)));
        userHeldLines = userHeldLines || files.User.Has(name);
    }
    // An account that is not redirected (a disabled one, or one left as it was) is not rewritten
    // by a restore: its settings are the user's own.
    std::string current = files.EffectiveString(branch + "realhostname").value_or("");
    if (current.empty())
        current = files.EffectiveString(branch + "hostname").value_or("");
    if (!redirect && !IsMarkerHost(current) && !userHeldLines) {
        Debug("Not redirected: " + account.KeyPath);
        return true;
    }

    const bool keepReal = redirect || files.Effective(branch + "tessivar_remote_host") != nullptr;
    WriteServerSettings(files.Prefs, account, host, port, redirect, keepReal);
    const bool running = ProfileInUse(account.ProfileDirectory);
    for (const std::string& name : managed)
        files.User.Remove(name);
    if (running && (files.PrefsChanged() || userHeldLines))
        StateInUserFile(files, account.ServerKey, redirect ? SocketPlain : account.SocketType);
    try {
        files.Save();
    } catch (const std::exception& e) {
        DebugException("TThunderbird", e);
        Report("Thunderbird's settings could not be written (" + std::string(e.what()) + "); the account \"" +
                   account.AccountName + "\" is left as it is.",
               1);
        return false;
    }
    Debug("Configured mail account at: " + account.KeyPath);

    bool changed = false;
    for (const auto& [name, text] : before)
        changed = changed || ValueText(files.Effective(name)) != text;
    if (running && changed) {
        Report("Thunderbird is running: restart it so that its account \"" + account.AccountName + "\" fetches " +
                   (redirect ? std::string("its mail through Tessivar.") : "from " + host + " again."),
               0);
    }
    return true;
}

std::string TThunderbird::POP3Server(const TMailClientAccount& mailAccount) const {
    const auto& account = static_cast<const TThunderbirdAccount&>(mailAccount);
    TProfilePrefs files(account.ProfileDirectory);
    std::string error;
    if (!files.Load(error))
        return "";
    const std::string branch = ServerBranch(account.ServerKey);
    std::string host = files.EffectiveString(branch + "realhostname").value_or("");
    return host.empty() ? files.EffectiveString(branch + "hostname").value_or("") : host;
}
