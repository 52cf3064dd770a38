#pragma once
// The local POP3 server of one screened account: the mail program fetches from it instead of the
// real mailbox. Thread contract: Start, Stop and Port on the model's thread; the process-wide port
// counter may be used from any thread.

class TTessivarAccount;

// Hands out the next local port: the counter starts at 20000, each call raises it by one and wraps
// to 20000 after 25000, so the first port is 20001.
int NextServerPort();

class TTessivarPOP3Server {
public:
    // Created with its account, which owns it.
    explicit TTessivarPOP3Server(TTessivarAccount& account);
    ~TTessivarPOP3Server();
    TTessivarPOP3Server(const TTessivarPOP3Server&) = delete;
    TTessivarPOP3Server& operator=(const TTessivarPOP3Server&) = delete;

    TTessivarAccount& Account() const { return m_Account; }
    // Takes the next port and listens there; a previous binding is given up first.
    void Start();
    // Stops listening; a failure is written to the trace only.
    void Stop();
    // The port taken by the last Start (0 before the first).
    int Port() const { return m_Port; }
    bool Active() const { return m_Active; }

private:
    TTessivarAccount& m_Account;
    int m_Port = 0;
    bool m_Active = false;
};
