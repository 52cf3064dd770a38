#pragma once
// Thunderbird (packaged, Flatpak and Snap): the POP3 accounts of its profiles and their redirection.
// Model's thread only, like every mail client driver.
//
// A redirected server of a profile has, in prefs.js:
//   mail.server.<key>.realhostname   the marker host (the host Thunderbird connects to)
//   mail.server.<key>.port           the local port
//   mail.server.<key>.socketType     0 (the local server speaks plain POP3)
//   mail.server.<key>.authMethod     3 (user name and password), only where it named another method
// and its real server kept beside them, written at every redirect (the checker reaches the real
// server with the security its socketType asks for):
//   mail.server.<key>.tessivar_remote_host, _port, _socketType and _authMethod.
// While Thunderbird runs it rewrites prefs.js from what it read at its start, so each change is put
// into user.js as well, which Thunderbird lays over prefs.js at its next start; those lines leave
// user.js again (their values kept in prefs.js) once Thunderbird has started since, or has stopped.

#include "clients/UTessivarClientDriver.h"

#include <cstdint>
#include <string>

class TProfilePrefs;
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
    // Moves this program's lines out of user.js into prefs.js once Thunderbird no longer needs them.
    void TidyUserFile(TProfilePrefs& files);
    // Why the account cannot fetch through the local server; empty when it can.
    static std::string RedirectRefusal(const TThunderbirdAccount& account);
    void Report(const std::string& details, int kind);
};
