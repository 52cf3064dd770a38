#include "devservice/UGuardedHTTPServer.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <optional>
#include <system_error>

#include "devservice/UHTTPRequestHead.h"
#include "devservice/UServiceLimits.h"
#include "devservice/UServiceLog.h"

namespace {

using TClock = std::chrono::steady_clock;

// A refused connection is read and thrown away this long before it is closed, so that the client
// reads the refusal instead of a reset.
const auto DrainTime = std::chrono::seconds(2);
const size_t ReadChunkBytes = 64 * 1024;

// Only SO_REUSEADDR: a restart may take over a port in TIME_WAIT, but never a port that another
// server still listens on.
void ExclusiveSocketOptions(socket_t socket) {
    int yes = 1;
    setsockopt(socket, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
}

std::string PeerAddress(int socket, int& port) {
    sockaddr_storage address{};
    socklen_t size = sizeof address;
    port = 0;
    if (getpeername(socket, reinterpret_cast<sockaddr*>(&address), &size) != 0)
        return "unknown";
    char text[INET6_ADDRSTRLEN] = "unknown";
    if (address.ss_family == AF_INET) {
        const auto& ipv4 = reinterpret_cast<const sockaddr_in&>(address);
        inet_ntop(AF_INET, &ipv4.sin_addr, text, sizeof text);
        port = ntohs(ipv4.sin_port);
    } else if (address.ss_family == AF_INET6) {
        const auto& ipv6 = reinterpret_cast<const sockaddr_in6&>(address);
        inet_ntop(AF_INET6, &ipv6.sin6_addr, text, sizeof text);
        port = ntohs(ipv6.sin6_port);
    }
    return text;
}

int Milliseconds(TClock::duration duration) {
    const auto count = std::chrono::duration_cast<std::chrono::milliseconds>(duration).count();
    return static_cast<int>(std::clamp<decltype(count)>(count, 0, 60'000));
}

// Sends what the socket takes now; false when the peer is gone.
bool SendNow(int socket, std::string_view data) {
    while (!data.empty()) {
        const ssize_t sent = send(socket, data.data(), data.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
        if (sent <= 0)
            return sent < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR);
        data.remove_prefix(static_cast<size_t>(sent));
    }
    return true;
}

} // namespace

// One accepted connection from its admission to its close. It holds its client address's place
// until it is destroyed.
struct TPendingConnection {
    TPendingConnection(TGuardedHTTPServer& server, int socket, std::string address, int port)
        : Server(server), Socket(socket), Address(std::move(address)), Port(port) {}
    ~TPendingConnection() {
        shutdown(Socket, SHUT_RDWR);
        close(Socket);
        Server.Release(*this);
    }
    TPendingConnection(const TPendingConnection&) = delete;
    TPendingConnection& operator=(const TPendingConnection&) = delete;

    TGuardedHTTPServer& Server;
    const int Socket;
    const std::string Address;
    const int Port;
    const TClock::time_point Accepted = TClock::now();
    std::string Received;
    TRequestHead Head;
    // Body bytes counted against the budget of all connections.
    size_t Reserved = 0;
    // Set once refused: the connection is drained until then and closed.
    std::optional<TClock::time_point> ClosingAt;

    TClock::time_point Deadline() const {
        if (ClosingAt)
            return *ClosingAt;
        return Accepted + std::chrono::seconds(Head.State == TRequestHead::TState::Complete
                                                   ? RequestDeadlineSeconds
                                                   : RequestHeadDeadlineSeconds);
    }
};

namespace {

// The library's view of a complete request: the received bytes to read, then the socket to write
// the answer to within the response deadline.
class TReceivedRequestStream : public httplib::Stream {
public:
    TReceivedRequestStream(const TPendingConnection& connection, std::string request)
        : m_Connection(connection), m_Request(std::move(request)),
          m_Deadline(TClock::now() + std::chrono::seconds(ResponseDeadlineSeconds)) {}

    bool is_readable() const override { return m_Read < m_Request.size(); }
    bool is_writable() const override { return Wait(POLLOUT); }
    ssize_t read(char* buffer, size_t size) override {
        const size_t count = std::min(size, m_Request.size() - m_Read);
        std::copy_n(m_Request.data() + m_Read, count, buffer);
        m_Read += count;
        return static_cast<ssize_t>(count);
    }
    ssize_t write(const char* data, size_t size) override {
        size_t written = 0;
        while (written < size) {
            const ssize_t sent = send(m_Connection.Socket, data + written, size - written, MSG_NOSIGNAL);
            if (sent > 0)
                written += static_cast<size_t>(sent);
            else if (sent < 0 && errno == EINTR)
                continue;
            else if (sent < 0 && (errno == EAGAIN || errno == EWOULDBLOCK) && Wait(POLLOUT))
                continue;
            else
                return -1;
        }
        return static_cast<ssize_t>(written);
    }
    void get_remote_ip_and_port(std::string& ip, int& port) const override {
        ip = m_Connection.Address;
        port = m_Connection.Port;
    }
    void get_local_ip_and_port(std::string& ip, int& port) const override {
        sockaddr_storage address{};
        socklen_t size = sizeof address;
        ip.clear();
        port = 0;
        if (getsockname(m_Connection.Socket, reinterpret_cast<sockaddr*>(&address), &size) == 0 &&
            address.ss_family == AF_INET) {
            char text[INET_ADDRSTRLEN];
            const auto& ipv4 = reinterpret_cast<const sockaddr_in&>(address);
            ip = inet_ntop(AF_INET, &ipv4.sin_addr, text, sizeof text) ? text : "";
            port = ntohs(ipv4.sin_port);
        }
    }
    socket_t socket() const override { return m_Connection.Socket; }

private:
    bool Wait(short events) const {
        for (;;) {
            const auto left = m_Deadline - TClock::now();
            if (left <= TClock::duration::zero())
                return false;
            pollfd entry{m_Connection.Socket, events, 0};
            const int ready = poll(&entry, 1, Milliseconds(left));
            if (ready > 0)
                return (entry.revents & events) != 0;
            if (ready < 0 && errno != EINTR)
                return false;
        }
    }

    const TPendingConnection& m_Connection;
    const std::string m_Request;
    size_t m_Read = 0;
    const TClock::time_point m_Deadline;
};

} // namespace

TGuardedHTTPServer::TGuardedHTTPServer() {
    set_socket_options(ExclusiveSocketOptions);
    m_Wakeup = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (m_Wakeup < 0)
        throw std::system_error(errno, std::generic_category(), "eventfd");
    m_Reader = std::thread([this] { ReadRequests(); });
    for (size_t i = 0; i < RequestWorkerThreads; ++i)
        m_Workers.emplace_back([this] { AnswerRequests(); });
}

TGuardedHTTPServer::~TGuardedHTTPServer() {
    Shutdown();
    close(m_Wakeup);
}

void TGuardedHTTPServer::Shutdown() {
    std::lock_guard shutdownLock(m_ShutdownLock);
    {
        std::lock_guard lock(m_Lock);
        m_Stopping = true;
    }
    m_RequestReady.notify_all();
    const uint64_t one = 1;
    (void)::write(m_Wakeup, &one, sizeof one);
    if (m_Reader.joinable())
        m_Reader.join();
    for (std::thread& worker : m_Workers)
        if (worker.joinable())
            worker.join();
    // Closed outside the lock: each connection gives its place back under it.
    std::vector<std::unique_ptr<TPendingConnection>> admitted;
    std::deque<std::unique_ptr<TPendingConnection>> complete;
    {
        std::lock_guard lock(m_Lock);
        admitted.swap(m_Admitted);
        complete.swap(m_Complete);
    }
}

bool TGuardedHTTPServer::process_and_close_socket(socket_t sock) {
    int port = 0;
    std::string address = PeerAddress(sock, port);
    fcntl(sock, F_SETFL, fcntl(sock, F_GETFL) | O_NONBLOCK);
    {
        std::lock_guard lock(m_Lock);
        size_t& fromAddress = m_ConnectionsPerAddress[address];
        if (!m_Stopping && fromAddress < MaxConnectionsPerAddress && m_Connections < MaxConnections) {
            ++fromAddress;
            ++m_Connections;
            m_Admitted.push_back(std::make_unique<TPendingConnection>(*this, sock, std::move(address), port));
            const uint64_t one = 1;
            (void)::write(m_Wakeup, &one, sizeof one);
            return true;
        }
        if (fromAddress == 0)
            m_ConnectionsPerAddress.erase(address);
    }
    SendNow(sock, RefusalResponse(503));
    shutdown(sock, SHUT_RDWR);
    close(sock);
    return false;
}

bool TGuardedHTTPServer::ReserveBody(TPendingConnection& connection) {
    std::lock_guard lock(m_Lock);
    if (m_BufferedBodyBytes + connection.Head.BodyBytes > MaxBufferedBodyBytes)
        return false;
    m_BufferedBodyBytes += connection.Head.BodyBytes;
    connection.Reserved = connection.Head.BodyBytes;
    return true;
}

void TGuardedHTTPServer::ReleaseBody(TPendingConnection& connection) {
    std::lock_guard lock(m_Lock);
    m_BufferedBodyBytes -= connection.Reserved;
    connection.Reserved = 0;
}

void TGuardedHTTPServer::Release(TPendingConnection& connection) {
    std::lock_guard lock(m_Lock);
    m_BufferedBodyBytes -= connection.Reserved;
    --m_Connections;
    if (const auto entry = m_ConnectionsPerAddress.find(connection.Address);
        entry != m_ConnectionsPerAddress.end() && --entry->second == 0)
        m_ConnectionsPerAddress.erase(entry);
}

// The one thread that receives requests: it never blocks on a client, only in poll.
void TGuardedHTTPServer::ReadRequests() {
    std::vector<std::unique_ptr<TPendingConnection>> reading;
    std::vector<pollfd> entries;
    char chunk[ReadChunkBytes];
    const auto refuse = [this](TPendingConnection& connection, int status) {
        SendNow(connection.Socket, RefusalResponse(status));
        shutdown(connection.Socket, SHUT_WR);
        ReleaseBody(connection);
        connection.ClosingAt = TClock::now() + DrainTime;
    };
    for (;;) {
        {
            std::lock_guard lock(m_Lock);
            if (m_Stopping)
                break;
            for (auto& connection : m_Admitted)
                reading.push_back(std::move(connection));
            m_Admitted.clear();
        }
        entries.assign(1, pollfd{m_Wakeup, POLLIN, 0});
        TClock::time_point next = TClock::now() + std::chrono::seconds(60);
        for (const auto& connection : reading) {
            entries.push_back(pollfd{connection->Socket, POLLIN, 0});
            next = std::min(next, connection->Deadline());
        }
        if (poll(entries.data(), entries.size(), Milliseconds(next - TClock::now()) + 1) < 0 && errno != EINTR) {
            ServiceLog(std::string("Waiting for requests failed: ") + std::strerror(errno));
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
            continue;
        }
        if (entries[0].revents != 0) {
            uint64_t count = 0;
            (void)::read(m_Wakeup, &count, sizeof count);
        }

        const auto now = TClock::now();
        std::vector<std::unique_ptr<TPendingConnection>> complete;
        for (size_t i = 0; i < reading.size(); ++i) {
            TPendingConnection& connection = *reading[i];
            bool gone = false;
            if (entries[i + 1].revents != 0) {
                const bool headDone = connection.Head.State == TRequestHead::TState::Complete;
                size_t wanted = ReadChunkBytes;
                if (headDone)
                    wanted = std::min(wanted, connection.Head.HeadBytes + connection.Head.BodyBytes -
                                                  connection.Received.size());
                const ssize_t count = recv(connection.Socket, chunk, std::max<size_t>(wanted, 1), 0);
                if (count == 0 || (count < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR))
                    gone = true;
                else if (count > 0 && !connection.ClosingAt)
                    connection.Received.append(chunk, static_cast<size_t>(count));
            }
            if (!gone && !connection.ClosingAt && connection.Head.State == TRequestHead::TState::Incomplete) {
                connection.Head = InspectRequestHead(connection.Received);
                if (connection.Head.State == TRequestHead::TState::Refused)
                    refuse(connection, connection.Head.Status);
                else if (connection.Head.State == TRequestHead::TState::Complete) {
                    if (!ReserveBody(connection))
                        refuse(connection, 503);
                    else if (connection.Head.ExpectsContinue && connection.Head.BodyBytes > 0 &&
                             connection.Received.size() < connection.Head.HeadBytes + connection.Head.BodyBytes)
                        SendNow(connection.Socket, "HTTP/1.1 100 Continue\r\n\r\n");
                }
            }
            if (gone || (connection.ClosingAt && now >= *connection.ClosingAt)) {
                ReleaseBody(connection);
                reading[i].reset();
            } else if (!connection.ClosingAt && connection.Head.State == TRequestHead::TState::Complete &&
                       connection.Received.size() >= connection.Head.HeadBytes + connection.Head.BodyBytes) {
                complete.push_back(std::move(reading[i]));
            } else if (!connection.ClosingAt && now >= connection.Deadline()) {
                refuse(connection, 408);
            }
        }
        std::erase(reading, nullptr);
        if (!complete.empty()) {
            std::lock_guard lock(m_Lock);
            for (auto& connection : complete)
                m_Complete.push_back(std::move(connection));
            m_RequestReady.notify_all();
        }
    }
}

void TGuardedHTTPServer::AnswerRequests() {
    for (;;) {
        std::unique_ptr<TPendingConnection> connection;
        {
            std::unique_lock lock(m_Lock);
            m_RequestReady.wait(lock, [this] { return m_Stopping || !m_Complete.empty(); });
            if (m_Stopping)
                return;
            connection = std::move(m_Complete.front());
            m_Complete.pop_front();
        }
        const TRequestHead& head = connection->Head;
        std::string request = std::move(connection->Head.Head);
        request.append(connection->Received, head.HeadBytes, head.BodyBytes);
        connection->Received.clear();
        connection->Received.shrink_to_fit();
        TReceivedRequestStream stream(*connection, std::move(request));
        bool closed = false;
        try {
            process_request(stream, true, closed, [](httplib::Request&) {});
        } catch (const std::exception& error) {
            ServiceLog(std::string("Answering a request failed: ") + error.what());
        }
        ReleaseBody(*connection);
    }
}
