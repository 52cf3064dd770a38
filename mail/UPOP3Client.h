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

#include <memory>
#include <string>

#include "base/LStrings.h"
#include "mail/UPOP3Lines.h"

class TAbortSignal;
class TPOP3Channel;

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

    // Opens the connection (failing after timeoutMs with "Connect timed out."), reads the greeting
    // and logs in with USER and PASS. Any failure closes the connection and raises. An open
    // connection is disconnected first.
    void Connect(int timeoutMs);
    // The message count of STAT.
    int Stat();
    // Replaces lines with message `number`, unstuffed, and returns true; false with no lines when the
    // server refuses. A line over the length limit is dropped with the rest of the message, which is
    // still read up to its end so the connection stays usable, and then raises EPOP3LineTooLong
    // "Max line length exceeded.".
    bool RetrieveRaw(int number, TStringArray& lines);
    void Delete(int number);
    // Sends QUIT without waiting for its reply and closes the connection; nothing when not connected.
    void Disconnect();
    bool Connected() const;

    // Any thread: ends the running operation and every later one with ESocketAborted, including a
    // read on a silent server and a connect in progress. Final: the client stays aborted.
    void Abort();

private:
    TPOP3Reply ReadReply();
    TPOP3Reply SendCommand(const std::string& line);
    // Raises EPOP3Exception with the reply text when the reply is a failure.
    static void ExpectSuccess(const TPOP3Reply& reply);
    // Reads one line; the connection closes when the server has closed it or the read fails.
    std::string ReadLine();
    TPOP3Channel& Channel();
    void CloseConnection();

    std::string m_Host;
    int m_Port = 110;
    std::string m_Username;
    std::string m_Password;
    const std::shared_ptr<TAbortSignal> m_Abort;
    std::unique_ptr<TPOP3Channel> m_Channel;
};
