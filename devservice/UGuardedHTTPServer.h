#pragma once
// The HTTP server of the service: the HTTP library's routing and answers, with the reading of
// requests taken over so that no client can stall the service or exhaust its memory. The library
// accepts a connection and hands it over at once; one reader thread then receives every pending
// request without blocking, under the bounds of UServiceLimits.h (connections per client address,
// head size and lines, body length, a deadline for the head and for the whole request). Only a
// complete request reaches one of the worker threads, which let the library route and answer it;
// each connection carries one request and is then closed.
// The listening socket is bound without SO_REUSEPORT, so a second server on the same port fails.
// Thread contract: as httplib::Server; Shutdown may be called from any thread once listening has
// ended (or never began), and the destructor calls it.

#include <condition_variable>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <httplib.h>

struct TPendingConnection;

class TGuardedHTTPServer : public httplib::Server {
public:
    TGuardedHTTPServer();
    ~TGuardedHTTPServer() override;

    // Ends the reader and the workers: requests being answered are finished, every other
    // connection is closed. Idempotent.
    void Shutdown();

private:
    // Called on a library thread for each accepted connection; takes ownership of the socket.
    bool process_and_close_socket(socket_t sock) override;

    friend struct TPendingConnection;
    // The place and the body budget of a closed connection.
    void Release(TPendingConnection& connection);
    // Counts a complete head's body against the budget of all connections; false when it is spent.
    bool ReserveBody(TPendingConnection& connection);
    void ReleaseBody(TPendingConnection& connection);

    void ReadRequests();
    void AnswerRequests();

    int m_Wakeup = -1;
    std::thread m_Reader;
    std::vector<std::thread> m_Workers;

    std::mutex m_Lock;
    std::condition_variable m_RequestReady;
    // Guarded by m_Lock.
    bool m_Stopping = false;
    std::map<std::string, size_t> m_ConnectionsPerAddress;
    size_t m_Connections = 0;
    size_t m_BufferedBodyBytes = 0;
    std::vector<std::unique_ptr<TPendingConnection>> m_Admitted;
    std::deque<std::unique_ptr<TPendingConnection>> m_Complete;

    std::mutex m_ShutdownLock;
};
