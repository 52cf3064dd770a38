#pragma once
// Test fixture: a throw-away Dovecot POP3 server on a free loopback port, with its own
// configuration, users (passwd-file) and maildirs in a fresh temporary directory. Needs root and the
// dovecot-pop3d package. Several test processes may each run their own at the same time.
// Thread contract: one thread (the test's) uses an instance.

#include <string>
#include <sys/types.h>

// The certificate and key (PEM files) a TLS-speaking server presents.
struct TDovecotTLS {
    std::string CertificateFile;
    std::string KeyFile;
};

class TDovecotServer {
public:
    // Starts the server and waits until its port accepts connections; raises std::runtime_error
    // when it cannot be started.
    TDovecotServer();
    // The same, speaking TLS: STLS on Port() (plain logins stay allowed) and POP3 over implicit
    // TLS on POP3SPort(), with the given certificate.
    explicit TDovecotServer(const TDovecotTLS& tls);
    // Stops the server, waits for it to end and removes its directory.
    ~TDovecotServer();
    TDovecotServer(const TDovecotServer&) = delete;
    TDovecotServer& operator=(const TDovecotServer&) = delete;

    int Port() const { return m_Port; }
    // The implicit TLS port; 0 without TLS.
    int POP3SPort() const { return m_POP3SPort; }
    // The server's log so far (logins, disconnects and TLS failures of the login processes).
    std::string Log() const;
    const std::string& Directory() const { return m_Directory; }

    // Adds a user with a plain-text password and an empty mailbox.
    void AddUser(const std::string& name, const std::string& password);
    // Drops a message into the user's mailbox, stored as given (CR LF or LF line ends). Messages
    // are numbered in the order they are added.
    void AddMessage(const std::string& user, const std::string& text);
    // Messages stored in the user's mailbox now.
    int MessageCount(const std::string& user) const;

private:
    void Start();
    bool TryStart(int port, std::string& failure);
    void StopProcess();
    std::string MailDirectory(const std::string& user) const;

    std::string m_Directory;
    int m_Port = 0;
    int m_POP3SPort = 0;
    TDovecotTLS m_TLS;
    pid_t m_Process = -1;
    int m_MessageSequence = 0;
};
