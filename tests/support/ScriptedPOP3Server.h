#pragma once
// Test peer: a POP3 server that plays a script, for faults real servers do not produce (no greeting,
// garbage status lines, overlong lines, silence, a dropped connection). Listens on 127.0.0.1 at a
// free port and serves connections one after the other on a thread of its own.
// Thread contract: the test's thread creates, queries and destroys it; scripts run on its thread.

#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

class TAbortSignal;
class TPOP3Channel;
class TSocketListener;

// One client connection as the script sees it.
class TScriptedPeer {
public:
    TScriptedPeer(TPOP3Channel& channel, std::function<void(const std::string&)> record);
    TScriptedPeer(const TScriptedPeer&) = delete;
    TScriptedPeer& operator=(const TScriptedPeer&) = delete;

    void Send(std::string_view raw);       // bytes as they stand
    void SendLine(std::string_view line);  // the line and CR LF
    // The next line from the client; nothing when the client has closed the connection.
    std::optional<std::string> ReadLine();
    // Reads a line and answers it, e.g. Answer("+OK") after the client's USER.
    void Answer(std::string_view reply);
    // Stays silent until the client closes the connection or the server is destroyed.
    void WaitForClose();
    // The client's next line has (at least in part) arrived already: it did not wait for an answer.
    bool HasBufferedInput() const;

private:
    TPOP3Channel& m_Channel;
    std::function<void(const std::string&)> m_Record;
};

class TScriptedPOP3Server {
public:
    using TScript = std::function<void(TScriptedPeer& peer)>;

    explicit TScriptedPOP3Server(TScript script);
    // Wakes a script waiting on the client and joins the thread.
    ~TScriptedPOP3Server();
    TScriptedPOP3Server(const TScriptedPOP3Server&) = delete;
    TScriptedPOP3Server& operator=(const TScriptedPOP3Server&) = delete;

    int Port() const { return m_Port; }
    // Every line received from clients so far, in order.
    std::vector<std::string> Received() const;

private:
    void Run();

    TScript m_Script;
    std::shared_ptr<TAbortSignal> m_Abort;
    std::unique_ptr<TSocketListener> m_Listener;
    int m_Port = 0;
    mutable std::mutex m_Lock;
    std::vector<std::string> m_Received;  // guarded by m_Lock
    std::thread m_Thread;
};
