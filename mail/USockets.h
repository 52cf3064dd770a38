#pragma once
// TCP sockets behind small RAII classes. Every wait (connect, accept, read, write) also watches a
// TAbortSignal, so another thread can wake a blocked call by raising the signal.
// Thread contract: TAbortSignal::Raise may be called from any thread; each TSocketStream and
// TSocketListener is used by one thread at a time (the one that owns it).

#include <cstddef>
#include <memory>
#include <string>
#include <string_view>

#include "base/UException.h"

// Socket failures: name lookup, connect, accept, read and write.
TESSIVAR_EXCEPTION(ESocketException, Exception);
// A wait ended because its abort signal was raised ("Connection aborted."). Cancellation, not a fault.
TESSIVAR_EXCEPTION(ESocketAborted, ESocketException);
// A read saw no byte within the stream's read time-out ("Connection timed out."): the peer is gone
// or silent. The POP3 client then closes the connection.
TESSIVAR_EXCEPTION(ESocketTimedOut, ESocketException);

// Owns one file descriptor and closes it.
class TFileHandle {
public:
    TFileHandle() = default;
    explicit TFileHandle(int handle) : m_Handle(handle) {}
    TFileHandle(TFileHandle&& other) noexcept;
    TFileHandle& operator=(TFileHandle&& other) noexcept;
    TFileHandle(const TFileHandle&) = delete;
    TFileHandle& operator=(const TFileHandle&) = delete;
    ~TFileHandle();

    int Get() const { return m_Handle; }
    bool Valid() const { return m_Handle >= 0; }
    void Reset();

private:
    int m_Handle = -1;
};

// A flag that socket waits watch. Once raised it stays raised; every later wait on it ends at once.
class TAbortSignal {
public:
    TAbortSignal();  // raises ESocketException when no event descriptor is available
    void Raise();
    bool Raised() const;
    int Handle() const { return m_Event.Get(); }

private:
    TFileHandle m_Event;  // an eventfd that becomes readable when raised
};

class TTLSContext;
class TTLSSession;

// A connected TCP stream, plain or (after StartTLS) carrying a TLS session.
class TSocketStream {
public:
    // Looks up host, then connects to its addresses in turn within timeoutMs in all (no limit when
    // timeoutMs <= 0). Raises ESocketException "Connect timed out." when time runs out, another
    // ESocketException on other failures, ESocketAborted when abort is raised.
    static std::unique_ptr<TSocketStream> Connect(const std::string& host, int port, int timeoutMs,
                                                  std::shared_ptr<TAbortSignal> abort);
    // Takes ownership of a connected non-blocking socket.
    TSocketStream(TFileHandle socket, std::shared_ptr<TAbortSignal> abort);
    ~TSocketStream();
    TSocketStream(const TSocketStream&) = delete;
    TSocketStream& operator=(const TSocketStream&) = delete;

    // Waits for data and reads at most size bytes; returns 0 when the peer has closed the stream.
    // Raises ESocketTimedOut when a read time-out is set and no byte came within it.
    std::size_t Read(char* buffer, std::size_t size);
    // Each Read waits at most timeoutMs for its first byte, and a Write as long for the peer to take
    // more (no limit when <= 0, the default).
    void SetReadTimeout(int timeoutMs) { m_ReadTimeoutMs = timeoutMs; }
    // Asks the system to probe an idle connection, so that a peer lost without a word (a network
    // change, a machine switched off) is noticed even while nothing is being sent.
    void EnableKeepAlive();
    // Writes all of data, waiting while the peer is slow to read; with a read time-out set, a peer
    // that takes nothing for that long raises ESocketTimedOut.
    void Write(std::string_view data);
    // Closes the socket (after the TLS closing alert, when secure); later reads and writes raise.
    void Close();

    // Runs a TLS handshake with host (whose name the certificate must hold) over the stream; from
    // then on reads and writes go through TLS. The handshake must end within timeoutMs (no limit
    // when <= 0): otherwise ESocketException "TLS handshake timed out.". A failed handshake or
    // verification raises ETLSException saying why; the abort signal ends it with ESocketAborted.
    // Bytes already read off the stream in plain text must not be pending (the caller's protocol
    // ensures the server waits for the handshake).
    void StartTLS(const TTLSContext& context, const std::string& host, int timeoutMs);
    bool Secure() const { return m_TLS != nullptr; }
    // The TLS protocol and cipher in use; empty when not secure.
    std::string TLSDescription() const;
    bool IsOpen() const { return m_Socket.Valid(); }

    // Numeric address and port of the local end and of the peer, "127.0.0.1:20001".
    std::string LocalAddress() const;
    std::string PeerAddress() const;

private:
    TFileHandle m_Socket;
    std::shared_ptr<TAbortSignal> m_Abort;
    int m_ReadTimeoutMs = 0;
    std::unique_ptr<TTLSSession> m_TLS; // before m_Socket is closed, the session goes
};

// A listening TCP socket.
class TSocketListener {
public:
    // Binds address (numeric, e.g. "127.0.0.1") at port (0: any free port) and listens with the given
    // queue length. Raises ESocketException when the address cannot be bound.
    TSocketListener(const std::string& address, int port, int backlog);
    TSocketListener(const TSocketListener&) = delete;
    TSocketListener& operator=(const TSocketListener&) = delete;

    // Waits for the next connection; nullptr once abort is raised. The streams it returns watch
    // streamAbort, or the same signal when none is given (a server that must close one connection
    // on its own gives each stream a signal of its own).
    std::unique_ptr<TSocketStream> Accept(const std::shared_ptr<TAbortSignal>& abort,
                                          std::shared_ptr<TAbortSignal> streamAbort = nullptr);
    int Port() const;
    std::string Address() const;  // numeric address actually bound

private:
    TFileHandle m_Socket;
};
