#pragma once
// The Internet session layer over libcurl: the exception family of the HTTP client, the base of the
// objects that own a library handle and open it on first use, and the session whose settings every
// request of a connection made from it uses.
// Thread contract: each object is used by one thread at a time; a session may be created on one
// thread and then used only by another (the service worker). Only TInternetSession::Abort may be
// called from any thread at any time.

#include <atomic>
#include <chrono>
#include <cstddef>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>

#include "base/UException.h"

TESSIVAR_EXCEPTION(InternetException, Exception);
TESSIVAR_EXCEPTION(InternetHandleException, InternetException);
TESSIVAR_EXCEPTION(InternetSessionException, InternetException);
TESSIVAR_EXCEPTION(HTTPException, InternetException);
TESSIVAR_EXCEPTION(HTTPConnectionException, HTTPException);
TESSIVAR_EXCEPTION(HTTPRequestException, HTTPException);
TESSIVAR_EXCEPTION(HTTPResponseException, HTTPException);

class THTTPConnection;
typedef void CURLSH; // libcurl's share handle, as <curl/curl.h> declares it
typedef void CURLM;  // libcurl's multi handle

// A connection attempt that has not completed within this time fails.
inline constexpr std::chrono::milliseconds DefaultConnectTimeout{60000};
// A response from which no byte arrives for this long fails, so that a silent server cannot hold
// the caller for ever.
inline constexpr std::chrono::milliseconds DefaultIdleTimeout{60000};
// The largest response body accepted: a larger one fails before it fills the memory.
inline constexpr std::size_t DefaultMaxContentSize = 32 * 1024 * 1024;
// The text of the failure of a transfer on an aborted session.
inline constexpr const char* AbortedTransferMessage = "The transfer was aborted.";

// Copies A-Z, a-z, 0-9 and * @ . _ - $ ! ' ( ); a blank becomes "+"; every other byte becomes "%"
// and two upper-case hexadecimal digits.
std::string URLEncode(std::string_view text);
// True for the names of this machine: an IPv4 address in 127.0.0.0/8 in dotted form, the IPv6
// address ::1 (with or without brackets) and "localhost" in any letter case.
bool IsLoopbackHost(std::string_view host);
// libcurl's text for a failed call (its detailed message when one was written) and " [code]".
std::string CurlErrorMessage(int code, const char* detail = nullptr);

// Owns one library handle. Reading the handle while it is closed and AutoOpen is set opens it.
class TInternetHandleWrapper {
public:
    TInternetHandleWrapper() = default;
    TInternetHandleWrapper(const TInternetHandleWrapper&) = delete;
    TInternetHandleWrapper& operator=(const TInternetHandleWrapper&) = delete;
    // Derived classes close their handle in their own destructor.
    virtual ~TInternetHandleWrapper() = default;

    bool AutoOpen() const { return m_AutoOpen; }
    void SetAutoOpen(bool autoOpen) { m_AutoOpen = autoOpen; }
    virtual bool IsOpen() const = 0;
    // Opens the handle; fails with the class's own exception.
    virtual void Open() = 0;
    // Closes the handle. When the library refuses, raises InternetHandleException; the handle is
    // forgotten either way.
    virtual void Close() = 0;

protected:
    // Opens the handle when it is closed and AutoOpen is set; raises InternetHandleException when
    // it stays closed.
    void EnsureOpen();

private:
    bool m_AutoOpen = true;
};

// Access to the network: the platform's configuration (proxy variables of the environment), a
// direct connection, or the named proxy.
enum class TInternetAccessType { Preconfigured, Direct, Proxy };

// The session: settings shared by all its connections, and the library's shared caches (connections
// kept alive, host names, TLS sessions) that let one call reuse what an earlier one opened.
class TInternetSession : public TInternetHandleWrapper {
public:
    TInternetSession();
    ~TInternetSession() override;

    // The "User-Agent" header; none is sent while it is empty.
    const std::string& Agent() const { return m_Agent; }
    void SetAgent(std::string agent) { m_Agent = std::move(agent); }
    TInternetAccessType AccessType() const { return m_AccessType; }
    void SetAccessType(TInternetAccessType accessType) { m_AccessType = accessType; }
    // Used with TInternetAccessType::Proxy: proxy URL, and the hosts reached without it.
    const std::string& Proxy() const { return m_Proxy; }
    void SetProxy(std::string proxy) { m_Proxy = std::move(proxy); }
    const std::string& ProxyBypass() const { return m_ProxyBypass; }
    void SetProxyBypass(std::string proxyBypass) { m_ProxyBypass = std::move(proxyBypass); }

    std::chrono::milliseconds ConnectTimeout() const { return m_ConnectTimeout; }
    void SetConnectTimeout(std::chrono::milliseconds timeout) { m_ConnectTimeout = timeout; }
    std::chrono::milliseconds IdleTimeout() const { return m_IdleTimeout; }
    void SetIdleTimeout(std::chrono::milliseconds timeout) { m_IdleTimeout = timeout; }
    std::size_t MaxContentSize() const { return m_MaxContentSize; }
    void SetMaxContentSize(std::size_t size) { m_MaxContentSize = size; }

    // The share handle; opens the session when needed.
    CURLSH* Handle();
    bool IsOpen() const override { return m_Handle != nullptr; }
    // Raises InternetSessionException when the library cannot be set up.
    void Open() override;
    void Close() override;

    // A new connection bound to this session; the caller owns it and destroys it before the session.
    std::unique_ptr<THTTPConnection> NewConnection();

    // Makes the transfer in progress on this session, and every later one, fail at once with
    // HTTPRequestException, so that a thread waiting on a silent server can be joined at shutdown.
    void Abort();
    bool Aborted() const { return m_Aborted.load(); }

    // For the HTTP request's transfer: the one in progress, woken by Abort. Attach fails with
    // HTTPRequestException once the session is aborted.
    void AttachTransfer(CURLM* transfer);
    void DetachTransfer();

private:
    std::atomic<bool> m_Aborted{false};
    std::mutex m_TransferLock;
    CURLM* m_Transfer = nullptr; // guarded by m_TransferLock
    CURLSH* m_Handle = nullptr;
    std::string m_Agent;
    TInternetAccessType m_AccessType = TInternetAccessType::Preconfigured;
    std::string m_Proxy;
    std::string m_ProxyBypass;
    std::chrono::milliseconds m_ConnectTimeout = DefaultConnectTimeout;
    std::chrono::milliseconds m_IdleTimeout = DefaultIdleTimeout;
    std::size_t m_MaxContentSize = DefaultMaxContentSize;
};
