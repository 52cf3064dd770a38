#include "clients/UThunderbirdMailClient.h"

#include "base/LStrings.h"
#include "base/UDebug.h"
#include "base/UFileUtils.h"
#include "clients/UThunderbirdProfileFiles.h"
#include "clients/UThunderbirdProfileLock.h"
#include "clients/UThunderbirdRedirect.h"
#include "clients/UThunderbirdProfiles.h"
#include "clients/UThunderbirdWatcher.h"

#include <chrono>
#include <exception>
#include <map>
#include <optional>
#include <utility>
#include <vector>

namespace {

constexpr int32_t AuthPasswordCleartext = 3;

std::string ValueText(const TPrefValue* value) {
    return value ? FormatPrefValue(*value) : std::string("(none)");
}

int64_t Now() {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::system_clock::now().time_since_epoch())
        .count();
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
    // A watcher left by an earlier run may be giving the files back right now.
    std::optional<TProfileLock> lock;
    try {
        if (IsDirectory(profile.Directory))
            lock.emplace(profile.Directory);
    } catch (const std::exception& e) {
        DebugException("TThunderbird", e);
    }
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
        if (lock)
            TidyUserFile(files);
    } catch (const std::exception& e) {
        DebugException("TThunderbird", e);
    }
    const std::string identity = profile.Edition.empty() ? profile.Name : profile.Name + " (" + profile.Edition + ")";
    for (const std::string& accountKey : ThunderbirdKeyList(files.EffectiveString("mail.accountmanager.accounts"))) {
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
        const TStringArray identities = ThunderbirdKeyList(files.EffectiveString(accountBranch + "identities"));
        if (!identities.empty()) {
            const std::string identityBranch = "mail.identity." + identities.front() + ".";
            account->EmailAddress = files.EffectiveString(identityBranch + "useremail").value_or("");
            account->DisplayName = files.EffectiveString(identityBranch + "fullName").value_or("");
        }
        account->UserName = files.EffectiveString(branch + "realuserName").value_or("");
        if (account->UserName.empty())
            account->UserName = files.EffectiveString(branch + "userName").value_or("");

        // A redirected server: its real settings are those kept beside it.
        const TThunderbirdRealServer real = ReadRealServer(files, serverKey);
        account->RemoteServer = real.Host;
        account->SocketType = real.SocketType;
        account->RemotePort = real.Port;
        account->AuthMethod = real.AuthMethod;
        account->Security = SecurityOfSocketType(account->SocketType);
        Debug("Loading: " + account->KeyPath);
        Owner.AddAccount(std::move(account));
    }
}

void TThunderbird::TidyUserFile(TProfilePrefs& files) {
    // Thunderbird has taken user.js when it is not running (it takes it at its next start, and
    // prefs.js then says the same), or when it started after user.js was written.
    const int64_t written = FileModificationTime(files.UserPath());
    if (written != 0 && ProfileInUse(files.Directory()) && ProfileLockTime(files.Directory()) <= written)
        return;
    if (LoadRedirectRecord(files.Directory())) {
        TProfileRedirect profile(files);
        profile.Taken();
        SaveProfile(profile, files);
        return;
    }
    if (written != 0)
        MoveUnrecordedLines(files);
}

// Lines of a run that kept no restore record: their values move into prefs.js, where a value that
// only states Thunderbird's default (as user.js must, having no way to remove a preference) leaves
// prefs.js without the preference, as it was before the redirect.
void TThunderbird::MoveUnrecordedLines(TProfilePrefs& files) {
    for (const TPrefStatement& statement : std::vector<TPrefStatement>(files.User.Statements())) {
        const std::string& name = statement.Name;
        const size_t keptHost = name.rfind(".tessivar_remote_host");
        if (name.rfind("mail.server.", 0) != 0 || keptHost == std::string::npos || keptHost + 21 != name.size())
            continue;
        const std::string serverKey = name.substr(12, keptHost - 12);
        const std::string branch = ServerBranch(serverKey);
        const int32_t socketType = files.EffectiveInteger(branch + "socketType").value_or(SocketPlain);
        const std::map<std::string, TPrefValue> defaults = {
            {branch + "realhostname", TPrefValue::FromString(files.Prefs.String(branch + "hostname").value_or(""))},
            {branch + "port", TPrefValue::FromInteger(DefaultPort(socketType))},
            {branch + "socketType", TPrefValue::FromInteger(SocketPlain)},
            {branch + "authMethod", TPrefValue::FromInteger(AuthPasswordCleartext)},
        };
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
        if (files.Save(!m_BackedUp.contains(files.Directory())))
            m_BackedUp.insert(files.Directory());
    }
}

void TThunderbird::SaveProfile(TProfileRedirect& profile, TProfilePrefs& files) {
    const std::string& directory = files.Directory();
    // The backup is prefs.js as it was before this run's first change to it.
    if (profile.Save(!m_BackedUp.contains(directory)))
        m_BackedUp.insert(directory);
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
    std::optional<TProfileLock> lock;
    TProfilePrefs files(account.ProfileDirectory);
    std::string error;
    try {
        lock.emplace(account.ProfileDirectory);
    } catch (const std::exception& e) {
        error = e.what();
    }
    if (!lock || !files.Load(error)) {
        Report("Thunderbird's settings could not be read (" + error + "); the account \"" + account.AccountName +
                   "\" is left as it is.",
               1);
        return false;
    }
    const std::string branch = ServerBranch(account.ServerKey);
    std::vector<std::pair<std::string, std::string>> before;
    for (const std::string& name : ManagedNames(account.ServerKey))
        before.emplace_back(name, ValueText(files.Effective(name)));
    TProfileRedirect profile(files);
    // An account that is not redirected (a disabled one, or one left as it was) is not rewritten
    // by a restore: its settings are the user's own.
    std::string current = files.EffectiveString(branch + "realhostname").value_or("");
    if (current.empty())
        current = files.EffectiveString(branch + "hostname").value_or("");
    if (!redirect && !IsMarkerHost(current) && !profile.IsRedirected(account.ServerKey)) {
        Debug("Not redirected: " + account.KeyPath);
        return true;
    }

    const bool running = ProfileInUse(account.ProfileDirectory);
    if (redirect) {
        const TThunderbirdRealServer real{account.RemoteServer, account.RemotePort, account.SocketType,
                                          account.AuthMethod};
        profile.Redirect(account.ServerKey, real, host, port, running, Now());
    } else {
        profile.Restore(account.ServerKey, running, ProfileLockTime(account.ProfileDirectory));
    }
    try {
        SaveProfile(profile, files);
    } catch (const std::exception& e) {
        DebugException("TThunderbird", e);
        Report("Thunderbird's settings could not be written (" + std::string(e.what()) + "); the account \"" +
                   account.AccountName + "\" is left as it is.",
               1);
        return false;
    }
    Debug("Configured mail account at: " + account.KeyPath);
    // Servers whose real values wait in user.js for the running Thunderbird: a watcher gives the
    // files back once it has gone (one that is already watching the profile stays the only one).
    lock.reset();
    if (!redirect && profile.HasPending())
        StartThunderbirdWatcher(account.ProfileDirectory);

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
