#pragma once
// Thunderbird (packaged, Flatpak and Snap): the POP3 accounts of its profiles and their redirection.
// Model's thread only, like every mail client driver.
//
// How a profile's files change while its servers are redirected, and how they are given back byte
// for byte, is told in UThunderbirdRedirect.h. While Thunderbird runs it rewrites prefs.js from
// what it read at its start, so each change is put into user.js as well, which Thunderbird lays
// over prefs.js at its next start. Restored while such a Thunderbird runs, a profile is left to a
// watcher that gives the files back once Thunderbird has gone (UThunderbirdWatcher.h); the next
// discovery does the same where no watcher did.

#include "clients/UTessivarClientDriver.h"

#include <cstdint>
#include <set>
#include <string>

class TProfilePrefs;
class TProfileRedirect;
struct TThunderbirdProfile;

// Thunderbird's connection security of a server ("socketType").
enum TThunderbirdSocketType : int32_t { SocketPlain = 0, SocketTryStartTLS = 1, SocketStartTLS = 2, SocketTLS = 3 };

class TThunderbirdAccount : public TMailClientAccount {
public:
    explicit TThunderbirdAccount(TMailClient& client) : TMailClientAccount(client) {}

    std::string ProfileDirectory;
    std::string ServerKey; // "server2" of mail.server.server2.*
    // The connection the real server needs, as Thunderbird keeps it (TThunderbirdSocketType).
    int32_t SocketType = SocketPlain;
    // Thunderbird's sign-in method for the real server; 0 when the profile names none.
    int32_t AuthMethod = 0;

    // The connection to the real server is always protected by TLS (at once or after STLS), so a
    // password may travel over it in the form the server takes in clear.
    bool RequiresTLS() const { return SocketType == SocketStartTLS || SocketType == SocketTLS; }
};

// What the checker must do for the real server of an account with Thunderbird's socketType: TLS
// from the first byte, STLS required, or (for "None" and the old "STARTTLS, if available") STLS
// where the server offers it.
TConnectionSecurity SecurityOfSocketType(int32_t socketType);

class TThunderbird : public TMailClient {
public:
    explicit TThunderbird(TMailClients& owner);
    void Discover() override;
    // Also tells the user (activity log) when an account is left as it is, and when Thunderbird
    // must be restarted to take the change.
    bool SetPOP3Server(TMailClientAccount& account, const std::string& host, int port) override;
    // The host Thunderbird will connect to at its next start; empty when the profile is unreadable.
    std::string POP3Server(const TMailClientAccount& account) const override;

private:
    void DiscoverProfile(const TThunderbirdProfile& profile);
    // Takes this program's lines out of user.js once Thunderbird no longer needs them.
    void TidyUserFile(TProfilePrefs& files);
    void MoveUnrecordedLines(TProfilePrefs& files);
    void SaveProfile(TProfileRedirect& profile, TProfilePrefs& files);
    // Why the account cannot fetch through the local server; empty when it can.
    static std::string RedirectRefusal(const TThunderbirdAccount& account);
    void Report(const std::string& details, int kind);

    // Profiles whose prefs.js this run has changed (and backed up) already.
    std::set<std::string> m_BackedUp;
};
