#include "service/LInternet.h"

#include <arpa/inet.h>
#include <curl/curl.h>

#include <mutex>

#include "base/LStrings.h"
#include "service/UHTTP.h"

namespace {

// libcurl's global set-up is not safe to run on two threads at once; it runs once per process, and
// its state lives until the process ends.
void InitializeLibrary() {
    static std::once_flag once;
    static CURLcode result = CURLE_OK;
    std::call_once(once, [] { result = curl_global_init(CURL_GLOBAL_DEFAULT); });
    if (result != CURLE_OK) {
        throw InternetSessionException(CurlErrorMessage(result));
    }
}

bool IsURLSafe(unsigned char c) {
    if ((c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9')) {
        return true;
    }
    return std::string_view("*@._-$!'()").find(static_cast<char>(c)) != std::string_view::npos;
}

} // namespace

std::string URLEncode(std::string_view text) {
    static const char* const digits = "0123456789ABCDEF";
    std::string result;
    result.reserve(text.size());
    for (const char ch : text) {
        const auto c = static_cast<unsigned char>(ch);
        if (IsURLSafe(c)) {
            result += ch;
        } else if (c == ' ') {
            result += '+';
        } else {
            result += '%';
            result += digits[c >> 4];
            result += digits[c & 0x0F];
        }
    }
    return result;
}

bool IsLoopbackHost(std::string_view host) {
    if (SameText(host, "localhost")) {
        return true;
    }
    if (host.size() >= 2 && host.front() == '[' && host.back() == ']') {
        host = host.substr(1, host.size() - 2);
    }
    const std::string text(host);
    in_addr v4{};
    if (inet_pton(AF_INET, text.c_str(), &v4) == 1) {
        return (ntohl(v4.s_addr) >> 24) == 127;
    }
    in6_addr v6{};
    return inet_pton(AF_INET6, text.c_str(), &v6) == 1 && IN6_IS_ADDR_LOOPBACK(&v6);
}

std::string CurlErrorMessage(int code, const char* detail) {
    std::string text = detail != nullptr && *detail != '\0'
                           ? std::string(detail)
                           : std::string(curl_easy_strerror(static_cast<CURLcode>(code)));
    return text + " [" + std::to_string(code) + "]";
}

void TInternetHandleWrapper::EnsureOpen() {
    if (!IsOpen() && m_AutoOpen) {
        Open();
    }
    if (!IsOpen()) {
        throw InternetHandleException("The handle is not open.");
    }
}

TInternetSession::TInternetSession() = default;

TInternetSession::~TInternetSession() {
    if (m_Handle != nullptr) {
        curl_share_cleanup(m_Handle);
    }
}

CURLSH* TInternetSession::Handle() {
    EnsureOpen();
    return m_Handle;
}

void TInternetSession::Open() {
    if (m_Handle != nullptr) {
        return;
    }
    InitializeLibrary();
    CURLSH* share = curl_share_init();
    if (share == nullptr) {
        throw InternetSessionException(CurlErrorMessage(CURLE_OUT_OF_MEMORY));
    }
    // Connections kept alive, resolved names and TLS sessions are reused by the next call.
    for (const curl_lock_data data : {CURL_LOCK_DATA_CONNECT, CURL_LOCK_DATA_DNS, CURL_LOCK_DATA_SSL_SESSION}) {
        const CURLSHcode code = curl_share_setopt(share, CURLSHOPT_SHARE, data);
        if (code != CURLSHE_OK) {
            curl_share_cleanup(share);
            throw InternetSessionException(std::string(curl_share_strerror(code)) + " [" + std::to_string(code) + "]");
        }
    }
    m_Handle = share;
}

void TInternetSession::Close() {
    CURLSH* share = m_Handle;
    m_Handle = nullptr;
    if (share == nullptr) {
        return;
    }
    const CURLSHcode code = curl_share_cleanup(share);
    if (code != CURLSHE_OK) {
        throw InternetHandleException(std::string(curl_share_strerror(code)) + " [" + std::to_string(code) + "]");
    }
}

std::unique_ptr<THTTPConnection> TInternetSession::NewConnection() {
    return std::make_unique<THTTPConnection>(*this);
}

void TInternetSession::Abort() {
    std::lock_guard lock(m_TransferLock);
    m_Aborted = true;
    if (m_Transfer != nullptr) {
        curl_multi_wakeup(m_Transfer);
    }
}

void TInternetSession::AttachTransfer(CURLM* transfer) {
    std::lock_guard lock(m_TransferLock);
    if (m_Aborted) {
        throw HTTPRequestException(AbortedTransferMessage);
    }
    m_Transfer = transfer;
}

void TInternetSession::DetachTransfer() {
    std::lock_guard lock(m_TransferLock);
    m_Transfer = nullptr;
}
