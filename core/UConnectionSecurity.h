#pragma once
// How the mailbox checker protects its connection to a screened account's real POP3 server.
// Plain values, usable from any thread.

// The security a real POP3 server needs, as the mail program's account (or the user) states it.
enum class TConnectionSecurity {
    // Implicit TLS on port 995; on any other port STLS whenever the server announces it in its
    // capabilities, and plain POP3 (with one warning in the activity log) when it offers no TLS.
    Automatic,
    // Plain POP3, TLS never tried even when offered: for a server whose TLS is known to be broken.
    // The password travels unencrypted (the activity log says so).
    Plain,
    // STLS is required: a server that does not offer it is not logged in to.
    STLS,
    // TLS from the first byte (POP3S), whatever the port.
    ImplicitTLS,
};

// The port of POP3 over implicit TLS.
inline constexpr int POP3SPort = 995;

// The more demanding of two statements about the same server: ImplicitTLS, then STLS, then
// Automatic, then Plain. Used when several mail program accounts fetch from one real mailbox.
inline TConnectionSecurity StricterSecurity(TConnectionSecurity a, TConnectionSecurity b) {
    auto rank = [](TConnectionSecurity s) {
        switch (s) {
        case TConnectionSecurity::Plain:
            return 0;
        case TConnectionSecurity::Automatic:
            return 1;
        case TConnectionSecurity::STLS:
            return 2;
        case TConnectionSecurity::ImplicitTLS:
            return 3;
        }
        return 1;
    };
    return rank(a) >= rank(b) ? a : b;
}
