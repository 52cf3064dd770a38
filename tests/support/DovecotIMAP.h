#pragma once
// Test fixture: a throw-away Dovecot IMAP server (package dovecot-imapd) on free loopback ports,
// with its own configuration, users and maildirs in a fresh temporary directory; needs root. It
// speaks STARTTLS on Port() and implicit TLS on IMAPSPort() with a certificate for "localhost"
// from a test authority (trust AuthorityFile(), e.g. copied to the TrustedCertificates.pem a test
// uses; one authority serves every server of the test process), and starts in about a tenth of a
// second.
//
//     TDovecotIMAP server;                       // or TDovecotIMAP server({.Idle = false});
//     server.AddUser("alice", "secret");
//     uint32_t uid = server.Append("alice", "INBOX", "From: bob@example.org\r\n\r\nhello\r\n");
//     auto messages = server.Messages("alice", "Tessivar/Blocked"); // UIDs, flags, Message-IDs
//
// Folder names are given with "/" between levels, as TIMAPMailbox takes them; the fixture
// translates them to the server's separator and prefix. The helpers act as another client of the
// mailbox (a phone): a plain IMAP session on loopback, so that IDLE sessions hear of them at once.
// Several test processes may each run their own server at the same time.
// Thread contract: one thread (the test's) uses an instance.

#include <sys/types.h>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "tests/support/TestCertificates.h"

struct TDovecotIMAPOptions {
    // Capabilities the server announces; with one turned off Dovecot's own list is written out
    // without it.
    bool Idle = true;
    bool Move = true;
    bool UIDPlus = true;
    // SASL-IR: the password may go with AUTHENTICATE itself; without it, after the server's "+".
    bool InitialResponse = true;
    // The hierarchy separator ("." is common on hosted servers) and the personal namespace's
    // prefix ("INBOX." puts every folder below INBOX, as some servers do).
    char Separator = '/';
    std::string Prefix = {};
    // The server's certificate; by default one for "localhost" from the fixture's own authority.
    TTestCertificate Certificate = {};
};

// A message of a folder as another client sees it.
struct TDovecotIMAPMessage {
    uint32_t UID = 0;
    std::string Flags;     // "\\Seen \\Deleted", as the server lists them
    std::string MessageID; // the Message-ID header's value; empty when none
};

class TDovecotIMAP {
public:
    // Starts the server and waits until its ports accept connections; raises std::runtime_error
    // when it cannot be started.
    explicit TDovecotIMAP(TDovecotIMAPOptions options = {});
    // Stops the server, waits for it to end and removes its directory.
    ~TDovecotIMAP();
    TDovecotIMAP(const TDovecotIMAP&) = delete;
    TDovecotIMAP& operator=(const TDovecotIMAP&) = delete;

    int Port() const { return m_Port; }         // STARTTLS
    int IMAPSPort() const { return m_IMAPSPort; } // implicit TLS
    // The test authority's certificate (empty when the options named a certificate).
    const std::string& AuthorityFile() const { return m_AuthorityFile; }
    const std::string& Directory() const { return m_Directory; }
    // The server's log so far (logins with their method and TLS, refused logins, disconnects).
    std::string Log() const;
    // The log once it holds text (Dovecot writes it through a process of its own), or after 5 s.
    std::string LogWhenItHolds(const std::string& text) const;

    // Adds a user with a plain-text password and an empty mailbox.
    void AddUser(const std::string& name, const std::string& password);
    // Appends a message to a folder (created when missing) as another client, with the given
    // flags ("\\Seen"); returns its UID.
    uint32_t Append(const std::string& user, const std::string& folder, const std::string& text,
                    const std::string& flags = "");
    // The folder's messages in UID order.
    std::vector<TDovecotIMAPMessage> Messages(const std::string& user, const std::string& folder);
    // Adds flags to a message as another client ("\\Deleted" marks it for that client's EXPUNGE).
    void AddFlags(const std::string& user, const std::string& folder, uint32_t uid, const std::string& flags);
    // Moves a message as another client; returns its UID in the target.
    uint32_t MoveMessage(const std::string& user, const std::string& folder, uint32_t uid, const std::string& target);
    void CreateFolder(const std::string& user, const std::string& folder);
    // The folders as the server names them ("Tessivar.Blocked" with "." as separator).
    std::vector<std::string> ServerFolders(const std::string& user);
    // The capabilities the server announces after a login, as it writes them.
    std::string Capabilities(const std::string& user);
    uint32_t UIDValidity(const std::string& user, const std::string& folder);
    // Gives the folder a new UIDVALIDITY (doveadm), as a server does after rebuilding it.
    void SetUIDValidity(const std::string& user, const std::string& folder, uint32_t value);

    // The folder name as this server writes it.
    std::string ServerFolder(const std::string& folder) const;

private:
    class TSession;
    bool TryStart(std::string& failure);
    std::unique_ptr<TSession> Session(const std::string& user);
    std::string Doveadm(const std::string& arguments) const;

    TDovecotIMAPOptions m_Options;
    std::string m_AuthorityFile; // of the certificate shared by the process's servers
    std::string m_Directory;
    int m_Port = 0;
    int m_IMAPSPort = 0;
    pid_t m_Process = -1;
    std::vector<std::pair<std::string, std::string>> m_Users; // name, password
};
