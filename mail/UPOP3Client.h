#pragma once
// POP3 client for the user's real mailbox.
// Thread contract: one thread at a time uses a client (settings and operations); Abort alone may be
// called from any other thread while an operation runs.
//
// Failures: protocol failures and refusals raise EPOP3Exception (a refusal carries the server's
// reply text); socket failures raise ESocketException ("Connect timed out." among them); waits
// ended by Abort raise ESocketAborted. A failure that leaves the client out of step with the server
// (socket failure, unrecognised or overlong status line, server closing) closes the connection;
// operations on a closed connection raise EPOP3Exception "Not connected.".
//
// Security: see SetSecurity. A TLS handshake or certificate verification that fails raises
// ETLSException before the user name is sent; the password never goes out in clear after a TLS
// attempt has failed.

#include <cstddef>
#include <map>
#include <memory>
#include <string>
#include <string_view>

#include "base/LStrings.h"
#include "core/UConnectionSecurity.h"
#include "mail/UPOP3Lines.h"

class TAbortSignal;
class TPOP3Channel;
class TTLSContext;

// The largest message the client takes in. A larger one is read off the connection to its end (so
// the next command stays in step) but not kept. Each line counts with its line end, and with at
// least the bookkeeping a line costs in memory, so that a message of millions of empty lines is
// bounded too.
inline constexpr std::size_t POP3MaximumMessageSize = 64 * 1024 * 1024;
// How long a read waits for the real server's next byte before the connection counts as lost.
inline constexpr int POP3ReadTimeoutMs = 120 * 1000;

// A message over POP3MaximumMessageSize; Size is its length on the wire, read to its end.
class EPOP3MessageTooLarge : public EPOP3Exception {
public:
    explicit EPOP3MessageTooLarge(std::size_t size)
        : EPOP3Exception("Message too large: " + std::to_string(size) + " bytes."), Size(size) {}
    const char* ClassName() const noexcept override { return "EPOP3MessageTooLarge"; }
    const std::size_t Size;
};

// The real server refused the user name or the password: an "-ERR" answer to USER or PASS that
// gives no reason, or names RFC 3206's [AUTH]. An answer naming a reason that says nothing about
// the credentials ([IN-USE], [LOGIN-DELAY], [SYS/TEMP], [SYS/PERM]) raises a plain EPOP3Exception,
// like every failure to reach the server.
TESSIVAR_EXCEPTION(EPOP3LoginRefused, EPOP3Exception);

// True when a failure answer to USER or PASS with this text refuses the credentials themselves.
bool IsCredentialRefusal(std::string_view replyText);

class TPOP3Client {
public:
    TPOP3Client();
    ~TPOP3Client();
    TPOP3Client(const TPOP3Client&) = delete;
    TPOP3Client& operator=(const TPOP3Client&) = delete;

    void SetHost(std::string host) { m_Host = std::move(host); }
    const std::string& Host() const { return m_Host; }
    void SetPort(int port) { m_Port = port; }
    int Port() const { return m_Port; }
    void SetUsername(std::string username) { m_Username = std::move(username); }
    const std::string& Username() const { return m_Username; }
    void SetPassword(std::string password) { m_Password = std::move(password); }
    const std::string& Password() const { return m_Password; }
    // How Connect protects the connection (Plain until set): ImplicitTLS (or Automatic on port 995)
    // handshakes before the greeting; STLS (or Automatic on other ports) asks CAPA and upgrades with
    // STLS when the server announces it. STLS required but not offered, or announced but refused,
    // raises ETLSException. Automatic with a server that offers no TLS logs in plain.
    void SetSecurity(TConnectionSecurity security) { m_Security = security; }
    TConnectionSecurity Security() const { return m_Security; }
    // A PEM file of extra trusted certificate authorities, trusted besides the system's store; empty
    // or missing: none. Read again at the next TLS connection after the file changed.
    void SetTrustedCertificatesFile(std::string path);
    // Why that file was not trusted at the last TLS connection (see TrustFileProblem); empty when it
    // was, or is missing, or no TLS connection was made yet.
    std::string IgnoredTrustFile() const;
    // The open connection runs over TLS.
    bool Encrypted() const;
    // The TLS protocol and cipher of the open connection; empty when not encrypted.
    std::string EncryptionDescription() const;
    // The last Connect sent (or began to send) the user name and password without TLS.
    bool LoginInClear() const { return m_LoginInClear; }

    // Opens the connection (failing after timeoutMs with "Connect timed out."), reads the greeting
    // and logs in with USER and PASS. Any failure closes the connection and raises; a refusal of
    // the credentials raises EPOP3LoginRefused. An open
    // connection is disconnected first.
    void Connect(int timeoutMs);
    // The message count of STAT.
    int Stat();
    // The unique id of each message by number (UIDL without a number); empty when the server
    // refuses UIDL. Ids that are not 1 to 70 printable characters are left out, as are numbers
    // given twice.
    std::map<int, std::string> UniqueIDs();
    // Replaces lines with message `number`, unstuffed, and returns true; false with no lines when the
    // server refuses. Lines of any length are taken; a message over POP3MaximumMessageSize is read to
    // its end, so the connection stays usable, and raises EPOP3MessageTooLarge with no lines kept.
    bool RetrieveRaw(int number, TStringArray& lines);
    void Delete(int number);

    // Asks CAPA (in the transaction state, where the answer counts) whether the server announces
    // PIPELINING; false when it does not or refuses CAPA.
    bool OffersPipelining();
    // Commands whose answers are read later. Each Send... queues its command, written at the next
    // read; each Receive... reads the answer to the oldest command not yet answered, so answers are
    // received in the order the commands were sent. Only a server that announces PIPELINING may
    // be sent a command before the previous one is answered.
    void SendRetrieve(int number);
    // As RetrieveRaw, for the oldest unanswered command, which must be a RETR.
    bool ReceiveRetrieved(TStringArray& lines);
    void SendDelete(int number);
    // The answer to the oldest unanswered command, a DELE: true when the server accepted it.
    bool ReceiveDeleted();
    // Sends QUIT without waiting for its reply and closes the connection; nothing when not connected.
    void Disconnect();
    // Sends QUIT, waits for the reply and closes the connection. True when the server confirmed it,
    // which means it has removed the messages deleted in this session.
    bool Quit();
    // Closes the connection without QUIT: the server keeps every message, deleted ones included.
    void Abandon();
    bool Connected() const;

    // Any thread: ends the running operation and every later one with ESocketAborted, including a
    // read on a silent server and a connect in progress. Final: the client stays aborted.
    void Abort();

private:
    TPOP3Reply ReadReply();
    // Reads the lines of a multi-line answer up to its terminating line, unstuffed, handing each to
    // `take` while the answer stays within POP3MaximumMessageSize; returns the answer's size.
    template <typename TTake>
    std::size_t ReadMultiLine(TTake&& take, bool& tooLarge);
    TPOP3Reply SendCommand(const std::string& line);
    // Queues a command line for the next WriteQueued.
    void QueueCommand(const std::string& line);
    // Writes the queued commands at once; nothing when none is queued.
    void WriteQueued();
    // The capability lines of CAPA; false when the server refuses it.
    bool ReadCapabilities(TStringArray& capabilities);
    // Raises EPOP3Exception with the reply text when the reply is a failure.
    static void ExpectSuccess(const TPOP3Reply& reply);
    // The same for USER and PASS, raising EPOP3LoginRefused for a refusal of the credentials.
    static void ExpectLoginSuccess(const TPOP3Reply& reply);
    // Reads one line; the connection closes when the server has closed it or the read fails.
    std::string ReadLine();
    TPOP3Channel& Channel();
    void CloseConnection();
    // CAPA lists STLS; false when the server refuses CAPA.
    bool ServerOffersSTLS();
    // The handshake within timeoutMs; the context is made at the first use.
    void StartTLS(int timeoutMs);

    std::string m_Host;
    int m_Port = 110;
    std::string m_Username;
    std::string m_Password;
    TConnectionSecurity m_Security = TConnectionSecurity::Plain;
    std::string m_TrustFile;
    std::unique_ptr<TTLSContext> m_TLSContext; // made anew when the trust file changes
    bool m_LoginInClear = false;
    const std::shared_ptr<TAbortSignal> m_Abort;
    std::unique_ptr<TPOP3Channel> m_Channel;
    std::string m_Queued; // commands not written yet, each with its CR LF
};
