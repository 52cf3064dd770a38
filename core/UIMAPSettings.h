#pragma once
// What the program needs to reach an IMAP mailbox that it screens in place, and the names of the
// folders where held mail waits on the server. Plain values, usable from any thread.

#include <cstdint>
#include <string>
#include <string_view>

// How the connection to an IMAP server is protected. There is no plain choice: the password never
// travels in clear.
enum class TIMAPSecurity {
    // TLS from the first byte (IMAPS).
    ImplicitTLS,
    // STARTTLS before anything else; a server that does not offer it is not logged in to.
    STARTTLS,
};

inline constexpr int IMAPSPort = 993;
inline constexpr int IMAPPort = 143;

// The usual port of a security.
inline int DefaultIMAPPort(TIMAPSecurity security) {
    return security == TIMAPSecurity::ImplicitTLS ? IMAPSPort : IMAPPort;
}

// The folders of a screened mailbox, as the user sees them ("/" separates the levels; a server that
// uses another separator gets the same names with its own).
inline constexpr std::string_view IMAPInboxFolder = "INBOX";
inline constexpr std::string_view IMAPAwaitingFolder = "Tessivar/Awaiting Authorization";
inline constexpr std::string_view IMAPBlockedFolder = "Tessivar/Blocked";

// One IMAP mailbox: where it is and who logs in to it. AccountID names the screened account it
// belongs to (-1 while none is stored, e.g. for a connection test).
struct TIMAPServer {
    int32_t AccountID = -1;
    std::string EmailAddress;
    std::string Host;
    int Port = IMAPSPort;
    TIMAPSecurity Security = TIMAPSecurity::ImplicitTLS;
    std::string Username;
};
