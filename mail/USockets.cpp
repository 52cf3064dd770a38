#include "mail/USockets.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdint>

#include "base/UWindows.h"
#include "mail/UTLS.h"

namespace {

using TClock = std::chrono::steady_clock;

[[noreturn]] void RaiseAborted() {
    throw ESocketAborted("Connection aborted.");
}

std::string FormatAddress(const sockaddr_storage& address) {
    char host[INET6_ADDRSTRLEN] = {};
    int port = 0;
    if (address.ss_family == AF_INET) {
        const auto& in = reinterpret_cast<const sockaddr_in&>(address);
        inet_ntop(AF_INET, &in.sin_addr, host, sizeof host);
        port = ntohs(in.sin_port);
        return std::string(host) + ":" + std::to_string(port);
    }
    if (address.ss_family == AF_INET6) {
        const auto& in6 = reinterpret_cast<const sockaddr_in6&>(address);
        inet_ntop(AF_INET6, &in6.sin6_addr, host, sizeof host);
        port = ntohs(in6.sin6_port);
        return "[" + std::string(host) + "]:" + std::to_string(port);
    }
    return {};
}

std::string SocketName(int socket, bool peer) {
    sockaddr_storage address{};
    socklen_t length = sizeof address;
    const int rc = peer ? getpeername(socket, reinterpret_cast<sockaddr*>(&address), &length)
                        : getsockname(socket, reinterpret_cast<sockaddr*>(&address), &length);
    return rc == 0 ? FormatAddress(address) : std::string();
}

// Waits for events on socket or for the abort signal; returns false when timeoutMs (>= 0) passed.
bool WaitFor(int socket, short events, const TAbortSignal& abort, int timeoutMs) {
    pollfd fds[2] = {{socket, events, 0}, {abort.Handle(), POLLIN, 0}};
    for (;;) {
        if (abort.Raised())
            RaiseAborted();
        const int rc = poll(fds, 2, timeoutMs);
        if (rc < 0) {
            if (errno == EINTR)
                continue;
            throw ESocketException("Socket wait failed. " + SystemErrorMessage(errno));
        }
        if (fds[1].revents != 0)
            RaiseAborted();
        return rc > 0;
    }
}

int RemainingMs(TClock::time_point deadline) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - TClock::now()).count();
    return left > 0 ? static_cast<int>(left) : 0;
}

// Connects one address; returns the connected socket, or an invalid handle with error set.
TFileHandle ConnectAddress(const addrinfo& address, const TAbortSignal& abort, bool limited,
                           TClock::time_point deadline, int& error, bool& timedOut) {
    TFileHandle socket(::socket(address.ai_family, address.ai_socktype | SOCK_NONBLOCK | SOCK_CLOEXEC,
                                address.ai_protocol));
    if (!socket.Valid()) {
        error = errno;
        return {};
    }
    if (connect(socket.Get(), address.ai_addr, address.ai_addrlen) == 0)
        return socket;
    if (errno != EINPROGRESS) {
        error = errno;
        return {};
    }
    if (!WaitFor(socket.Get(), POLLOUT, abort, limited ? RemainingMs(deadline) : -1)) {
        timedOut = true;
        return {};
    }
    int result = 0;
    socklen_t length = sizeof result;
    if (getsockopt(socket.Get(), SOL_SOCKET, SO_ERROR, &result, &length) != 0)
        result = errno;
    if (result != 0) {
        error = result;
        return {};
    }
    return socket;
}

}  // namespace

TFileHandle::TFileHandle(TFileHandle&& other) noexcept : m_Handle(other.m_Handle) {
    other.m_Handle = -1;
}

TFileHandle& TFileHandle::operator=(TFileHandle&& other) noexcept {
    if (this != &other) {
        Reset();
        m_Handle = other.m_Handle;
        other.m_Handle = -1;
    }
    return *this;
}

TFileHandle::~TFileHandle() {
    Reset();
}

void TFileHandle::Reset() {
    if (m_Handle >= 0)
        ::close(m_Handle);
    m_Handle = -1;
}

TAbortSignal::TAbortSignal() : m_Event(eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {
    if (!m_Event.Valid())
        throw ESocketException("Could not create an event descriptor. " + SystemErrorMessage(errno));
}

void TAbortSignal::Raise() {
    const uint64_t one = 1;
    // The counter only grows; a failed write (counter saturated) leaves it readable anyway.
    [[maybe_unused]] const ssize_t written = ::write(m_Event.Get(), &one, sizeof one);
}

bool TAbortSignal::Raised() const {
    pollfd fd{m_Event.Get(), POLLIN, 0};
    return poll(&fd, 1, 0) > 0 && (fd.revents & POLLIN) != 0;
}

std::unique_ptr<TSocketStream> TSocketStream::Connect(const std::string& host, int port, int timeoutMs,
                                                      std::shared_ptr<TAbortSignal> abort) {
    if (abort->Raised())
        RaiseAborted();
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* found = nullptr;
    const std::string service = std::to_string(port);
    const int rc = getaddrinfo(host.c_str(), service.c_str(), &hints, &found);
    if (rc != 0) {
        const std::string reason = rc == EAI_SYSTEM ? SystemErrorMessage(errno) : std::string(gai_strerror(rc));
        throw ESocketException("Could not find host \"" + host + "\". " + reason);
    }
    std::unique_ptr<addrinfo, decltype(&freeaddrinfo)> addresses(found, &freeaddrinfo);

    const bool limited = timeoutMs > 0;
    const auto deadline = TClock::now() + std::chrono::milliseconds(limited ? timeoutMs : 0);
    int error = 0;
    bool timedOut = false;
    for (const addrinfo* address = addresses.get(); address; address = address->ai_next) {
        TFileHandle socket = ConnectAddress(*address, *abort, limited, deadline, error, timedOut);
        if (socket.Valid())
            return std::make_unique<TSocketStream>(std::move(socket), std::move(abort));
        if (timedOut || (limited && RemainingMs(deadline) == 0))
            throw ESocketException("Connect timed out.");
    }
    throw ESocketException("Could not connect to " + host + ":" + service + ". " + SystemErrorMessage(error));
}

TSocketStream::TSocketStream(TFileHandle socket, std::shared_ptr<TAbortSignal> abort)
    : m_Socket(std::move(socket)), m_Abort(std::move(abort)) {}

TSocketStream::~TSocketStream() {
    Close();
}

void TSocketStream::StartTLS(const TTLSContext& context, const std::string& host, int timeoutMs) {
    if (!m_Socket.Valid())
        throw ESocketException("Socket is closed.");
    auto session = std::make_unique<TTLSSession>(context, m_Socket.Get(), host);
    const bool limited = timeoutMs > 0;
    const auto deadline = TClock::now() + std::chrono::milliseconds(limited ? timeoutMs : 0);
    for (;;) {
        if (m_Abort->Raised())
            RaiseAborted();
        const TTLSWait wait = session->Handshake();
        if (wait == TTLSWait::None)
            break;
        const int left = limited ? RemainingMs(deadline) : -1;
        if (left == 0 || !WaitFor(m_Socket.Get(), wait == TTLSWait::Readable ? POLLIN : POLLOUT, *m_Abort, left))
            throw ESocketException("TLS handshake with \"" + host + "\" timed out.");
    }
    m_TLS = std::move(session);
}

std::string TSocketStream::TLSDescription() const {
    return m_TLS ? m_TLS->Description() : std::string();
}

std::size_t TSocketStream::Read(char* buffer, std::size_t size) {
    for (;;) {
        if (!m_Socket.Valid())
            throw ESocketException("Socket is closed.");
        if (m_Abort->Raised())
            RaiseAborted();
        if (m_TLS) {
            std::size_t received = 0;
            const TTLSWait wait = m_TLS->Read(buffer, size, received);
            if (wait == TTLSWait::None)
                return received;
            if (!WaitFor(m_Socket.Get(), wait == TTLSWait::Readable ? POLLIN : POLLOUT, *m_Abort,
                         m_ReadTimeoutMs > 0 ? m_ReadTimeoutMs : -1))
                throw ESocketTimedOut("Connection timed out.");
            continue;
        }
        const ssize_t received = recv(m_Socket.Get(), buffer, size, 0);
        if (received >= 0)
            return static_cast<std::size_t>(received);
        if (errno == EAGAIN || errno == EWOULDBLOCK) {
            if (!WaitFor(m_Socket.Get(), POLLIN, *m_Abort, m_ReadTimeoutMs > 0 ? m_ReadTimeoutMs : -1))
                throw ESocketTimedOut("Connection timed out.");
        } else if (errno != EINTR) {
            throw ESocketException("Socket read failed. " + SystemErrorMessage(errno));
        }
    }
}

void TSocketStream::EnableKeepAlive() {
    // First probe after a minute of silence, then every 20 seconds; dead after 4 unanswered probes.
    const int on = 1, idle = 60, interval = 20, count = 4;
    setsockopt(m_Socket.Get(), SOL_SOCKET, SO_KEEPALIVE, &on, sizeof on);
    setsockopt(m_Socket.Get(), IPPROTO_TCP, TCP_KEEPIDLE, &idle, sizeof idle);
    setsockopt(m_Socket.Get(), IPPROTO_TCP, TCP_KEEPINTVL, &interval, sizeof interval);
    setsockopt(m_Socket.Get(), IPPROTO_TCP, TCP_KEEPCNT, &count, sizeof count);
}

void TSocketStream::Write(std::string_view data) {
    while (!data.empty()) {
        if (!m_Socket.Valid())
            throw ESocketException("Socket is closed.");
        if (m_Abort->Raised())
            RaiseAborted();
        if (m_TLS) {
            std::size_t sent = 0;
            const TTLSWait wait = m_TLS->Write(data, sent);
            if (wait == TTLSWait::None) {
                data.remove_prefix(sent);
            } else if (!WaitFor(m_Socket.Get(), wait == TTLSWait::Readable ? POLLIN : POLLOUT, *m_Abort,
                                m_ReadTimeoutMs > 0 ? m_ReadTimeoutMs : -1)) {
                throw ESocketTimedOut("Connection timed out.");
            }
            continue;
        }
        const ssize_t sent = send(m_Socket.Get(), data.data(), data.size(), MSG_NOSIGNAL);
        if (sent >= 0)
            data.remove_prefix(static_cast<std::size_t>(sent));
        else if (errno == EAGAIN || errno == EWOULDBLOCK) {
            // A peer that stops reading is as gone as one that stops sending.
            if (!WaitFor(m_Socket.Get(), POLLOUT, *m_Abort, m_ReadTimeoutMs > 0 ? m_ReadTimeoutMs : -1))
                throw ESocketTimedOut("Connection timed out.");
        }
        else if (errno != EINTR)
            throw ESocketException("Socket write failed. " + SystemErrorMessage(errno));
    }
}

void TSocketStream::Close() {
    if (m_TLS) {
        m_TLS->Shutdown();
        m_TLS.reset();
    }
    m_Socket.Reset();
}

std::string TSocketStream::LocalAddress() const {
    return m_Socket.Valid() ? SocketName(m_Socket.Get(), false) : std::string();
}

std::string TSocketStream::PeerAddress() const {
    return m_Socket.Valid() ? SocketName(m_Socket.Get(), true) : std::string();
}

TSocketListener::TSocketListener(const std::string& address, int port, int backlog) {
    const std::string where = address + ":" + std::to_string(port);
    sockaddr_in in{};
    in.sin_family = AF_INET;
    in.sin_port = htons(static_cast<uint16_t>(port));
    if (port < 0 || port > 65535 || inet_pton(AF_INET, address.c_str(), &in.sin_addr) != 1)
        throw ESocketException("Invalid listening address " + where + ".");
    m_Socket = TFileHandle(::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
    if (!m_Socket.Valid())
        throw ESocketException("Could not create a socket. " + SystemErrorMessage(errno));
    // Lets a stopped server listen again at once although its old connections linger in TIME_WAIT;
    // a port with a live listener still fails to bind.
    const int on = 1;
    setsockopt(m_Socket.Get(), SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    if (bind(m_Socket.Get(), reinterpret_cast<const sockaddr*>(&in), sizeof in) != 0)
        throw ESocketException("Could not bind " + where + ". " + SystemErrorMessage(errno));
    if (listen(m_Socket.Get(), backlog) != 0)
        throw ESocketException("Could not listen on " + where + ". " + SystemErrorMessage(errno));
}

std::unique_ptr<TSocketStream> TSocketListener::Accept(const std::shared_ptr<TAbortSignal>& abort,
                                                       std::shared_ptr<TAbortSignal> streamAbort) {
    for (;;) {
        try {
            WaitFor(m_Socket.Get(), POLLIN, *abort, -1);
        } catch (const ESocketAborted&) {
            return nullptr;
        }
        TFileHandle socket(accept4(m_Socket.Get(), nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC));
        if (socket.Valid())
            return std::make_unique<TSocketStream>(std::move(socket), streamAbort ? std::move(streamAbort) : abort);
        switch (errno) {
        case EAGAIN:
        case EINTR:
        case ECONNABORTED:
        case EPROTO:
            break;
        case EMFILE:
        case ENFILE:
        case ENOBUFS:
        case ENOMEM: {
            // Out of resources: pause instead of spinning; the pending peer waits in the queue.
            pollfd fd{abort->Handle(), POLLIN, 0};
            poll(&fd, 1, 100);
            break;
        }
        default:
            throw ESocketException("Could not accept a connection. " + SystemErrorMessage(errno));
        }
    }
}

int TSocketListener::Port() const {
    sockaddr_in in{};
    socklen_t length = sizeof in;
    if (getsockname(m_Socket.Get(), reinterpret_cast<sockaddr*>(&in), &length) != 0)
        return 0;
    return ntohs(in.sin_port);
}

std::string TSocketListener::Address() const {
    sockaddr_in in{};
    socklen_t length = sizeof in;
    char host[INET_ADDRSTRLEN] = {};
    if (getsockname(m_Socket.Get(), reinterpret_cast<sockaddr*>(&in), &length) != 0 ||
        !inet_ntop(AF_INET, &in.sin_addr, host, sizeof host))
        return {};
    return host;
}
