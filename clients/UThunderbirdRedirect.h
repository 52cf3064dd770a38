#pragma once
// Redirect and restore of the POP3 servers of one Thunderbird profile, over its two preference
// files and its restore record. Model's thread only, like the driver that uses it.
//
// The files are always worked out from the originals in the record: prefs.js is the original with
// the redirect of every server still redirected, user.js the original without the user's own lines
// for those servers (they would override the redirect), plus, while Thunderbird runs, the values it
// must take at its next start. With nothing redirected and nothing waiting, both are the originals,
// byte for byte. A file that differs from what was last written (Thunderbird rewrote prefs.js, the
// user edited user.js) becomes the new original once the servers' own preferences in it are put
// back to their original values.
//
// A redirected server has, in prefs.js:
//   mail.server.<key>.realhostname   the marker host (the host Thunderbird connects to)
//   mail.server.<key>.port           the local port
//   mail.server.<key>.socketType     0 (the local server speaks plain POP3)
//   mail.server.<key>.authMethod     3 (user name and password), only where it named another method
// and its real server beside them: mail.server.<key>.tessivar_remote_host, _port, _socketType and
// _authMethod (what a profile whose record was lost still needs).

#include "clients/UThunderbirdRedirectRecord.h"

#include <cstdint>
#include <set>
#include <string>
#include <vector>

class TProfilePrefs;
class TPrefsDocument;

std::string ServerBranch(const std::string& serverKey);
// The preferences a redirect writes for one server.
std::vector<std::string> ManagedNames(const std::string& serverKey);
// Thunderbird's port for a server that names none.
int32_t DefaultPort(int32_t socketType);
// The real server of the key as the files say: its own settings, or those kept beside a redirect.
TThunderbirdRealServer ReadRealServer(const TProfilePrefs& files, const std::string& serverKey);

class TProfileRedirect {
public:
    // files must be loaded; the record is read from the profile.
    explicit TProfileRedirect(TProfilePrefs& files);

    bool IsRedirected(const std::string& serverKey) const { return m_Record.Redirected.contains(serverKey); }
    bool IsPending(const std::string& serverKey) const { return m_Record.Pending.contains(serverKey); }
    // Some server's real values wait in user.js for Thunderbird.
    bool HasPending() const { return !m_Record.Pending.empty(); }

    // Points the server at the local server. thunderbirdRunning: its values go into user.js too.
    void Redirect(const std::string& serverKey, const TThunderbirdRealServer& real, const std::string& host,
                  int32_t port, bool thunderbirdRunning, int64_t now);
    // Gives the server its original settings back. A running Thunderbird that started after the
    // redirect (thunderbirdStart, nanoseconds since the epoch) took the local server and writes it
    // back at its exit, so user.js carries the real values for its next start.
    void Restore(const std::string& serverKey, bool thunderbirdRunning, int64_t thunderbirdStart);
    // Thunderbird has taken what user.js holds for it (it started since, or is not running): the
    // values that waited there leave user.js, and servers no longer in the profile leave the record.
    void Taken();

    // Writes the files that changed (prefs.js with its backup when backupPrefs) and the record.
    // True when prefs.js was written. Raises Exception.
    bool Save(bool backupPrefs);

private:
    // Makes the record's originals fit the files as they are now, keeping in prefs.js what the user
    // set for a server waiting for Thunderbird (UserChanges).
    void Rebase();
    // The preferences of the servers waiting for Thunderbird that a changed prefs.js gives values
    // other than the redirect's: the user's own changes.
    std::set<std::string> UserChanges(const TPrefsDocument& originalPrefs) const;
    // A server the originals show redirected by a run that kept no record becomes a recorded one,
    // the originals getting its real settings back.
    void AdoptUnrecorded(const std::string& serverKey);
    // Recomputes both files from the originals; with Thunderbird running, user.js states the
    // redirects when prefs.js changes under it.
    void Rebuild(bool thunderbirdRunning);

    TProfilePrefs& m_Files;
    TThunderbirdRedirectRecord m_Record;
    TThunderbirdRedirectRecord m_Loaded; // as the profile holds it
};
