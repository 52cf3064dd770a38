#include "clients/UThunderbirdRedirect.h"

#include "base/LStrings.h"
#include "clients/UTessivarClientDriver.h"
#include "clients/UThunderbirdMailClient.h"
#include "clients/UThunderbirdProfileFiles.h"

#include <map>
#include <set>
#include <utility>

namespace {

constexpr int32_t AuthPasswordCleartext = 3;
const char* const RealLeaves[] = {"realhostname", "port", "socketType", "authMethod"};

TPrefsDocument ParseOrEmpty(const std::optional<std::string>& text) {
    if (text) {
        if (std::optional<TPrefsDocument> document = TPrefsDocument::Parse(*text))
            return std::move(*document);
    }
    return *TPrefsDocument::Parse("");
}

const TPrefValue* Effective(const TPrefsDocument& prefs, const TPrefsDocument& user, const std::string& name) {
    const TPrefValue* value = user.Find(name);
    return value ? value : prefs.Find(name);
}

std::optional<std::string> EffectiveString(const TPrefsDocument& prefs, const TPrefsDocument& user,
                                           const std::string& name) {
    return user.Has(name) ? user.String(name) : prefs.String(name);
}

std::optional<int32_t> EffectiveInteger(const TPrefsDocument& prefs, const TPrefsDocument& user,
                                        const std::string& name) {
    return user.Has(name) ? user.Integer(name) : prefs.Integer(name);
}

// What Thunderbird takes for the server's settings that the files leave out.
std::map<std::string, TPrefValue> ServerDefaults(const TPrefsDocument& prefs, const TPrefsDocument& user,
                                                 const std::string& serverKey, int32_t socketType) {
    const std::string branch = ServerBranch(serverKey);
    return {
        {branch + "realhostname", TPrefValue::FromString(EffectiveString(prefs, user, branch + "hostname").value_or(""))},
        {branch + "port", TPrefValue::FromInteger(DefaultPort(socketType))},
        {branch + "socketType", TPrefValue::FromInteger(SocketPlain)},
        {branch + "authMethod", TPrefValue::FromInteger(AuthPasswordCleartext)},
    };
}

TThunderbirdRealServer RealServerOf(const TPrefsDocument& prefs, const TPrefsDocument& user,
                                    const std::string& serverKey) {
    const std::string branch = ServerBranch(serverKey);
    std::string host = EffectiveString(prefs, user, branch + "realhostname").value_or("");
    if (host.empty())
        host = EffectiveString(prefs, user, branch + "hostname").value_or("");
    const bool redirected = IsMarkerHost(host);
    const std::string prefix = redirected ? branch + "tessivar_remote_" : branch;
    TThunderbirdRealServer real;
    real.Host = redirected ? EffectiveString(prefs, user, prefix + "host").value_or("") : host;
    real.SocketType = EffectiveInteger(prefs, user, prefix + "socketType").value_or(SocketPlain);
    real.Port = EffectiveInteger(prefs, user, prefix + "port").value_or(DefaultPort(real.SocketType));
    real.AuthMethod = EffectiveInteger(prefs, user, prefix + "authMethod").value_or(0);
    return real;
}

// The redirect of one server: the local server's settings, the real ones kept beside them. A value
// that only states Thunderbird's default is not added where the file has no line for it.
void WriteRedirect(TPrefsDocument& prefs, const std::string& serverKey, const TThunderbirdRedirectedServer& server) {
    const std::string branch = ServerBranch(serverKey);
    const TThunderbirdRealServer& real = server.Real;
    if (!real.Host.empty() && !IsMarkerHost(real.Host)) {
        prefs.Set(branch + "tessivar_remote_host", TPrefValue::FromString(real.Host));
        prefs.Set(branch + "tessivar_remote_port", TPrefValue::FromInteger(real.Port));
        prefs.Set(branch + "tessivar_remote_socketType", TPrefValue::FromInteger(real.SocketType));
        if (real.AuthMethod != 0)
            prefs.Set(branch + "tessivar_remote_authMethod", TPrefValue::FromInteger(real.AuthMethod));
        else
            prefs.Remove(branch + "tessivar_remote_authMethod");
    }
    prefs.Set(branch + "realhostname", TPrefValue::FromString(server.Host));
    const auto set = [&prefs](const std::string& name, int32_t value, int32_t fallback) {
        if (value != fallback || prefs.Has(name))
            prefs.Set(name, TPrefValue::FromInteger(value));
    };
    set(branch + "port", server.Port, DefaultPort(SocketPlain));
    set(branch + "socketType", SocketPlain, SocketPlain);
    // The local server takes the password as it is given (USER and PASS).
    if (real.AuthMethod != 0 && real.AuthMethod != AuthPasswordCleartext)
        prefs.Set(branch + "authMethod", TPrefValue::FromInteger(AuthPasswordCleartext));
}

// Gives every preference of the names the value the original has, or removes it where the
// original has none.
void PutBack(TPrefsDocument& document, const TPrefsDocument& original, const std::vector<std::string>& names) {
    for (const std::string& name : names) {
        if (const TPrefValue* value = original.Find(name))
            document.Set(name, *value);
        else
            document.Remove(name);
    }
}

} // namespace

std::string ServerBranch(const std::string& serverKey) {
    return "mail.server." + serverKey + ".";
}

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

TThunderbirdRealServer ReadRealServer(const TProfilePrefs& files, const std::string& serverKey) {
    return RealServerOf(files.Prefs, files.User, serverKey);
}

TProfileRedirect::TProfileRedirect(TProfilePrefs& files) : m_Files(files) {
    std::optional<TThunderbirdRedirectRecord> record = LoadRedirectRecord(files.Directory());
    if (record && !record->Empty()) {
        m_Record = std::move(*record);
    } else {
        m_Record.OriginalPrefs = m_Record.WrittenPrefs = files.Prefs.Text();
        if (files.HasUserFile())
            m_Record.OriginalUser = m_Record.WrittenUser = files.User.Text();
    }
    m_Loaded = m_Record;
}

void TProfileRedirect::Rebase() {
    std::vector<std::string> names;
    for (const auto& [key, server] : m_Record.Redirected)
        for (std::string& name : ManagedNames(key))
            names.push_back(std::move(name));
    for (const auto& [key, server] : m_Record.Pending)
        for (std::string& name : ManagedNames(key))
            names.push_back(std::move(name));

    const std::string& prefsNow = m_Files.Prefs.Text();
    if (prefsNow != m_Record.WrittenPrefs) {
        const TPrefsDocument original = ParseOrEmpty(m_Record.OriginalPrefs);
        const std::set<std::string> changed = UserChanges(original);
        std::erase_if(names, [&changed](const std::string& name) { return changed.contains(name); });
        TPrefsDocument prefs = m_Files.Prefs;
        PutBack(prefs, original, names);
        m_Record.OriginalPrefs = prefs.Text();
        m_Record.WrittenPrefs = prefsNow;
    }
    const std::optional<std::string> userNow =
        m_Files.HasUserFile() ? std::optional<std::string>(m_Files.User.Text()) : std::nullopt;
    if (userNow != m_Record.WrittenUser) {
        TPrefsDocument user = m_Files.User;
        PutBack(user, ParseOrEmpty(m_Record.OriginalUser), names);
        m_Record.OriginalUser = userNow || !Trim(user.Text()).empty() ? std::optional<std::string>(user.Text())
                                                                        : std::nullopt;
        m_Record.WrittenUser = userNow;
    }
}

std::set<std::string> TProfileRedirect::UserChanges(const TPrefsDocument& originalPrefs) const {
    // A Thunderbird that took a local server writes it back as it holds it; a value of the server
    // that differs from what the redirect gave was set in its account settings since. A marker host
    // is never the user's.
    std::set<std::string> changed;
    for (const auto& [key, server] : m_Record.Pending) {
        if (server.Host.empty())
            continue; // a record that does not say what Thunderbird was given
        TPrefsDocument given = originalPrefs;
        WriteRedirect(given, key, server);
        for (const char* leaf : RealLeaves) {
            const std::string name = ServerBranch(key) + leaf;
            const TPrefValue* now = m_Files.Prefs.Find(name);
            const TPrefValue* redirect = given.Find(name);
            const bool same = now && redirect ? *now == *redirect : now == redirect;
            const bool marker = now && now->Kind == TPrefKind::String && IsMarkerHost(now->Text);
            if (!same && !marker)
                changed.insert(name);
        }
    }
    return changed;
}

void TProfileRedirect::AdoptUnrecorded(const std::string& serverKey) {
    if (m_Record.Redirected.contains(serverKey))
        return;
    TPrefsDocument prefs = ParseOrEmpty(m_Record.OriginalPrefs);
    TPrefsDocument user = ParseOrEmpty(m_Record.OriginalUser);
    const std::string branch = ServerBranch(serverKey);
    std::string host = EffectiveString(prefs, user, branch + "realhostname").value_or("");
    if (host.empty())
        host = EffectiveString(prefs, user, branch + "hostname").value_or("");
    if (!IsMarkerHost(host))
        return;
    // Redirected by a run that kept no record: the real settings kept beside the redirect are all
    // there is, and a value that only states Thunderbird's default is left out.
    const TThunderbirdRealServer real = RealServerOf(prefs, user, serverKey);
    for (const std::string& name : ManagedNames(serverKey)) {
        prefs.Remove(name);
        user.Remove(name);
    }
    if (!real.Host.empty() && real.Host != prefs.String(branch + "hostname").value_or(""))
        prefs.Set(branch + "realhostname", TPrefValue::FromString(real.Host));
    if (real.Port != DefaultPort(real.SocketType))
        prefs.Set(branch + "port", TPrefValue::FromInteger(real.Port));
    if (real.SocketType != SocketPlain)
        prefs.Set(branch + "socketType", TPrefValue::FromInteger(real.SocketType));
    if (real.AuthMethod != 0)
        prefs.Set(branch + "authMethod", TPrefValue::FromInteger(real.AuthMethod));
    m_Record.OriginalPrefs = prefs.Text();
    if (m_Record.OriginalUser)
        m_Record.OriginalUser = user.Text();
    m_Record.Redirected[serverKey] = {host, 0, 0, real};
}

void TProfileRedirect::Redirect(const std::string& serverKey, const TThunderbirdRealServer& real,
                                const std::string& host, int32_t port, bool thunderbirdRunning, int64_t now) {
    Rebase();
    AdoptUnrecorded(serverKey);
    m_Record.Pending.erase(serverKey);
    TThunderbirdRedirectedServer& server = m_Record.Redirected[serverKey];
    // A server redirected again keeps the time it was first pointed at a local server.
    if (server.Time == 0)
        server.Time = now;
    server.Host = host;
    server.Port = port;
    server.Real = real;
    Rebuild(thunderbirdRunning);
}

void TProfileRedirect::Restore(const std::string& serverKey, bool thunderbirdRunning, int64_t thunderbirdStart) {
    Rebase();
    AdoptUnrecorded(serverKey);
    const auto server = m_Record.Redirected.find(serverKey);
    if (server != m_Record.Redirected.end()) {
        // A Thunderbird started after the redirect holds the local server and writes it back into
        // prefs.js at its exit; one started before still holds the real server.
        if (thunderbirdRunning && thunderbirdStart >= server->second.Time)
            m_Record.Pending[serverKey] = server->second;
        m_Record.Redirected.erase(server);
    }
    Rebuild(thunderbirdRunning);
}

void TProfileRedirect::Taken() {
    Rebase();
    m_Record.Pending.clear();
    // A server the user removed from Thunderbird since (while this program was not running) is
    // never restored by anyone: it must not be redirected again in every file written.
    const TPrefsDocument originals = ParseOrEmpty(m_Record.OriginalPrefs);
    std::erase_if(m_Record.Redirected,
                  [&originals](const auto& entry) { return !originals.Has(ServerBranch(entry.first) + "type"); });
    Rebuild(false);
}

void TProfileRedirect::Rebuild(bool thunderbirdRunning) {
    const TPrefsDocument originalPrefs = ParseOrEmpty(m_Record.OriginalPrefs);
    const TPrefsDocument originalUser = ParseOrEmpty(m_Record.OriginalUser);
    TPrefsDocument prefs = originalPrefs;
    for (const auto& [key, server] : m_Record.Redirected)
        WriteRedirect(prefs, key, server);

    // The user's own lines for a redirected server would override the redirect at Thunderbird's
    // start; they come back with the original.
    TPrefsDocument user = originalUser;
    for (const auto& [key, server] : m_Record.Redirected)
        for (const std::string& name : ManagedNames(key))
            user.Remove(name);
    for (const auto& [key, server] : m_Record.Pending)
        for (const std::string& name : ManagedNames(key))
            user.Remove(name);
    // A running Thunderbird needs the redirect stated when prefs.js changes under it, or when user.js
    // stated it already. user.js cannot remove a preference, so one that prefs.js leaves out is
    // stated as its default.
    bool userStated = false;
    for (const auto& [key, server] : m_Record.Redirected)
        for (const std::string& name : ManagedNames(key))
            userStated = userStated || m_Files.User.Has(name);
    const TPrefsDocument noUser = ParseOrEmpty(std::nullopt);
    if (thunderbirdRunning && (prefs.Text() != m_Files.Prefs.Text() || userStated)) {
        for (const auto& [key, server] : m_Record.Redirected) {
            const auto defaults = ServerDefaults(prefs, noUser, key, SocketPlain);
            for (const std::string& name : ManagedNames(key)) {
                const TPrefValue* value = prefs.Find(name);
                if (!value && defaults.contains(name))
                    value = &defaults.at(name);
                if (value)
                    user.Set(name, *value);
            }
        }
    }
    for (const auto& [key, pending] : m_Record.Pending) {
        const TThunderbirdRealServer real = RealServerOf(originalPrefs, originalUser, key);
        const auto defaults = ServerDefaults(originalPrefs, originalUser, key, real.SocketType);
        for (const char* leaf : RealLeaves) {
            const std::string name = ServerBranch(key) + leaf;
            const TPrefValue* value = Effective(originalPrefs, originalUser, name);
            user.Set(name, value ? *value : defaults.at(name));
        }
    }
    m_Files.Prefs = std::move(prefs);
    m_Files.User = std::move(user);
    m_Files.SetUserFileKept(m_Record.OriginalUser.has_value());
}

bool TProfileRedirect::Save(bool backupPrefs) {
    const bool empty = m_Record.Empty();
    m_Record.WrittenPrefs = m_Files.Prefs.Text();
    m_Record.WrittenUser = m_Files.UserFileAfterSave() ? std::optional<std::string>(m_Files.User.Text()) : std::nullopt;
    if (empty) {
        // The files first: a record outliving them still describes them.
        const bool written = m_Files.Save(backupPrefs);
        SaveRedirectRecord(m_Files.Directory(), m_Record);
        return written;
    }
    // The record first: files written after it are what it says; a run killed between the two
    // finds the files unchanged and takes them as the originals they still are.
    if (!(m_Record == m_Loaded))
        SaveRedirectRecord(m_Files.Directory(), m_Record);
    m_Loaded = m_Record;
    return m_Files.Save(backupPrefs);
}
