#pragma once
// TLS for the connections to real mail servers, over OpenSSL. The sockets stay non-blocking: a
// session only reports what it waits for (more bytes from the peer, or room to send), and the
// socket stream does the waiting, so that time-outs and the abort signal work as for plain reads.
//
// Verification: the peer's certificate chain must lead to the system's trust store or to a
// certificate of the extra trusted certificates file, and must name the host that was asked for
// (DNS names with no partial wildcards; an address literal must be among the IP addresses).
// TLS 1.2 is the oldest version spoken. Nothing else loosens verification.
//
// Thread contract: a TTLSContext is immutable after construction and may be shared by sessions on
// any thread; a TTLSSession is used by one thread at a time, the one that owns its stream.

#include <cstddef>
#include <memory>
#include <string>
#include <string_view>

#include "mail/USockets.h"

typedef struct ssl_ctx_st SSL_CTX;
typedef struct ssl_st SSL;

// A failed TLS handshake or a certificate that did not verify; the message says why.
TESSIVAR_EXCEPTION(ETLSException, ESocketException);

// Why the extra trusted certificates file must not be trusted, as ssh judges its keys: a user other
// than the program's own (or root) owns it, or its group or every user may write to it. Empty when
// the file is safe or missing.
std::string TrustFileProblem(const std::string& path);

// The settings shared by the sessions of one client: the trust store and the protocol floor.
class TTLSContext {
public:
    // Trusts the system's store and, when extraTrustFile names a file that exists, the
    // certificates in it (PEM). A file that exists but cannot be read raises ETLSException; one that
    // others could have changed (TrustFileProblem) is ignored, and IgnoredTrustFile says why.
    explicit TTLSContext(const std::string& extraTrustFile);
    ~TTLSContext();
    TTLSContext(const TTLSContext&) = delete;
    TTLSContext& operator=(const TTLSContext&) = delete;

    SSL_CTX* Handle() const { return m_Context; }
    const std::string& ExtraTrustFile() const { return m_ExtraTrustFile; }
    // The extra trusted certificates file was created, changed or removed since it was read: a new
    // context takes the user's change without a restart.
    bool TrustFileChanged() const;
    // Why the extra trusted certificates file was not trusted; empty when it was, or is missing.
    const std::string& IgnoredTrustFile() const { return m_IgnoredTrustFile; }

private:
    SSL_CTX* m_Context = nullptr;
    const std::string m_ExtraTrustFile;
    const std::string m_TrustFileStamp; // size, times, owner and mode when read; empty when missing
    const std::string m_IgnoredTrustFile;
};

// What a non-blocking TLS step needs before it can go on.
enum class TTLSWait { None, Readable, Writable };

// One TLS client session over a connected non-blocking socket it does not own.
class TTLSSession {
public:
    // Prepares the session for host (server name indication and the name the certificate must hold).
    TTLSSession(const TTLSContext& context, int socket, const std::string& host);
    ~TTLSSession();
    TTLSSession(const TTLSSession&) = delete;
    TTLSSession& operator=(const TTLSSession&) = delete;

    // One step of the handshake: None when it is complete, otherwise what to wait for. A failure
    // raises ETLSException saying why (the verification error and the certificate's subject).
    TTLSWait Handshake();
    // Reads at most size bytes into received: None with received > 0 when bytes came, None with
    // received == 0 when the peer ended the session, otherwise what to wait for.
    TTLSWait Read(char* buffer, std::size_t size, std::size_t& received);
    // Sends from data: None with sent > 0 when bytes went out, otherwise what to wait for.
    TTLSWait Write(std::string_view data, std::size_t& sent);
    // Sends the closing alert without waiting for the peer's.
    void Shutdown() noexcept;
    // The protocol and cipher, "TLSv1.3 TLS_AES_256_GCM_SHA384".
    std::string Description() const;

    // The first certificate that failed verification, filled in by OpenSSL's verify callback.
    struct TVerifyFailure;

private:
    // Why the handshake failed, for the trace and the exception.
    std::string HandshakeFailure(int error) const;

    SSL* m_SSL = nullptr;
    const std::string m_Host;
    std::unique_ptr<TVerifyFailure> m_Failure; // the first certificate that failed verification
};
