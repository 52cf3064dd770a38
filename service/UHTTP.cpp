#include "service/UHTTP.h"

#include <curl/curl.h>

#include <algorithm>
#include <chrono>
#include <vector>

#include "base/LStrings.h"
#include "base/UDebug.h"

namespace {

using TClock = std::chrono::steady_clock;

// The largest response header block accepted, so that endless header lines cannot fill the memory.
constexpr std::size_t MaxHeaderBlockSize = 256 * 1024;
// Bytes asked of the connection per read of the body.
constexpr long ReadBufferSize = 32768;

std::string URLPartError(CURLUcode code) {
    return std::string(curl_url_strerror(code)) + " [" + std::to_string(code) + "]";
}

bool IsTokenChar(char c) {
    const auto u = static_cast<unsigned char>(c);
    return u > 0x20 && u < 0x7F && std::string_view("\"(),/:;<=>?@[\\]{}").find(c) == std::string_view::npos;
}

bool IsToken(std::string_view text) {
    return !text.empty() && std::all_of(text.begin(), text.end(), IsTokenChar);
}

// What the callbacks of one transfer see and collect.
struct TTransfer {
    std::chrono::milliseconds IdleTimeout{};
    std::size_t MaxContentSize = 0;
    TClock::time_point LastActivity = TClock::now();
    curl_off_t Received = 0;
    curl_off_t Sent = 0;
    // The header block of the last response, status line first, without line ends.
    std::vector<std::string> HeaderLines;
    std::size_t HeaderBytes = 0;
    bool HeaderComplete = false;
    std::string Content;
    // Why a callback stopped the transfer; empty when the library stopped it.
    std::string Failure;
};

size_t OnHeaderLine(char* data, size_t size, size_t count, void* user) {
    auto& transfer = *static_cast<TTransfer*>(user);
    const size_t length = size * count;
    transfer.LastActivity = TClock::now();
    std::string_view line(data, length);
    while (!line.empty() && (line.back() == '\n' || line.back() == '\r')) {
        line.remove_suffix(1);
    }
    if (line.starts_with("HTTP/")) {
        // An interim (1xx) answer or a proxy's answer to CONNECT came first: only the last counts.
        transfer.HeaderLines.clear();
        transfer.HeaderBytes = 0;
        transfer.HeaderComplete = false;
    } else if (transfer.HeaderComplete) {
        return length; // trailer fields after a chunked body are not part of the header block
    }
    transfer.HeaderBytes += length;
    if (transfer.HeaderBytes > MaxHeaderBlockSize) {
        transfer.Failure = "The response headers exceed " + std::to_string(MaxHeaderBlockSize) + " bytes.";
        return 0;
    }
    if (line.empty()) {
        transfer.HeaderComplete = true;
    } else {
        transfer.HeaderLines.emplace_back(line);
    }
    return length;
}

size_t OnBodyData(char* data, size_t size, size_t count, void* user) {
    auto& transfer = *static_cast<TTransfer*>(user);
    const size_t length = size * count;
    transfer.LastActivity = TClock::now();
    if (length > transfer.MaxContentSize - transfer.Content.size()) {
        transfer.Failure = "The response body exceeds " + std::to_string(transfer.MaxContentSize) + " bytes.";
        return 0;
    }
    transfer.Content.append(data, length);
    DebugList({"Chunk size: ", length, ", Total size: ", transfer.Content.size()});
    return length;
}

// Called by the library while the transfer runs: bytes sent count as activity too, so that a large
// body still on its way does not count as silence.
int OnProgress(void* user, curl_off_t, curl_off_t received, curl_off_t, curl_off_t sent) {
    auto& transfer = *static_cast<TTransfer*>(user);
    if (received != transfer.Received || sent != transfer.Sent) {
        transfer.Received = received;
        transfer.Sent = sent;
        transfer.LastActivity = TClock::now();
    }
    return 0;
}

using TCurlHeaders = std::unique_ptr<curl_slist, decltype(&curl_slist_free_all)>;

void AppendHeader(TCurlHeaders& list, const std::string& line) {
    curl_slist* extended = curl_slist_append(list.get(), line.c_str());
    if (extended == nullptr) {
        throw HTTPRequestException(CurlErrorMessage(CURLE_OUT_OF_MEMORY));
    }
    list.release();
    list.reset(extended);
}

// The request headers as the library takes them, in their order. The library's own defaults that
// the caller did not ask for (Accept, Expect, a form Content-Type) are switched off, so that the
// request carries exactly the caller's headers plus Host and Content-Length when they are missing.
TCurlHeaders BuildHeaderList(const TMIMEHeaderList& headers, std::size_t bodySize) {
    TCurlHeaders list(nullptr, &curl_slist_free_all);
    bool hasAccept = false, hasExpect = false, hasContentType = false;
    for (int i = 0; i < headers.Count(); ++i) {
        const TMIMEHeader& header = headers.Items(i);
        const std::string value = header.Value();
        if (!IsToken(header.Name()) || value.find_first_of("\r\n", 0, 3) != std::string::npos) {
            throw HTTPRequestException("Invalid request header \"" + header.Name() + "\".");
        }
        if (SameText(header.Name(), "Content-Length") && value != std::to_string(bodySize)) {
            throw HTTPRequestException("Content-Length " + value + " does not match the body of " +
                                       std::to_string(bodySize) + " bytes.");
        }
        hasAccept = hasAccept || SameText(header.Name(), "Accept");
        hasExpect = hasExpect || SameText(header.Name(), "Expect");
        hasContentType = hasContentType || SameText(header.Name(), "Content-Type");
        // On the wire as "Name: value", the usual form; "Name;" is the library's way of sending a
        // header with an empty value.
        AppendHeader(list, header.Name() + (value.empty() ? ";" : ": " + value));
    }
    if (!hasAccept) {
        AppendHeader(list, "Accept:");
    }
    if (!hasExpect) {
        AppendHeader(list, "Expect:");
    }
    if (!hasContentType) {
        AppendHeader(list, "Content-Type:");
    }
    return list;
}

template <class T> void SetOption(CURL* handle, CURLoption option, T value) {
    const CURLcode code = curl_easy_setopt(handle, option, value);
    if (code != CURLE_OK) {
        throw HTTPRequestException(CurlErrorMessage(code));
    }
}

// Stops a finished transfer's handle from using the session's caches and forgets the pointers into
// Send's stack, so that the response's handle refers to nothing that goes away before it.
class TTransferCleanup {
public:
    explicit TTransferCleanup(CURL* handle) : m_Handle(handle) {}
    TTransferCleanup(const TTransferCleanup&) = delete;
    TTransferCleanup& operator=(const TTransferCleanup&) = delete;
    ~TTransferCleanup() {
        curl_easy_setopt(m_Handle, CURLOPT_SHARE, nullptr);
        curl_easy_reset(m_Handle);
    }

private:
    CURL* m_Handle;
};

// Runs one transfer on a multi handle of its own, so that the session's Abort can wake its wait, and
// fails it when nothing has arrived for the idle time-out.
class TMultiTransfer {
public:
    TMultiTransfer(CURL* handle, TInternetSession& session, TTransfer& transfer)
        : m_Multi(curl_multi_init(), &curl_multi_cleanup), m_Handle(handle), m_Session(session), m_Transfer(transfer) {
        if (!m_Multi) {
            throw HTTPConnectionException(CurlErrorMessage(CURLE_OUT_OF_MEMORY));
        }
        Check(curl_multi_add_handle(m_Multi.get(), m_Handle));
        try {
            m_Session.AttachTransfer(m_Multi.get());
        } catch (...) {
            curl_multi_remove_handle(m_Multi.get(), m_Handle);
            throw;
        }
    }
    TMultiTransfer(const TMultiTransfer&) = delete;
    TMultiTransfer& operator=(const TMultiTransfer&) = delete;
    ~TMultiTransfer() {
        m_Session.DetachTransfer();
        curl_multi_remove_handle(m_Multi.get(), m_Handle);
    }

    // The transfer's result; a failure raised by the callbacks or by the wait sets m_Transfer.Failure.
    CURLcode Run() {
        while (true) {
            int running = 0;
            Check(curl_multi_perform(m_Multi.get(), &running));
            if (running == 0) {
                break;
            }
            if (m_Session.Aborted()) {
                m_Transfer.Failure = AbortedTransferMessage;
                return CURLE_ABORTED_BY_CALLBACK;
            }
            const auto idle =
                std::chrono::duration_cast<std::chrono::milliseconds>(TClock::now() - m_Transfer.LastActivity);
            if (idle >= m_Transfer.IdleTimeout) {
                m_Transfer.Failure =
                    "The server sent nothing for " + std::to_string(m_Transfer.IdleTimeout.count()) + " milliseconds.";
                return CURLE_OPERATION_TIMEDOUT;
            }
            const auto wait =
                std::min<std::chrono::milliseconds>(m_Transfer.IdleTimeout - idle, std::chrono::seconds(1));
            Check(curl_multi_poll(m_Multi.get(), nullptr, 0, static_cast<int>(wait.count()) + 1, nullptr));
        }
        int left = 0;
        const CURLMsg* message = curl_multi_info_read(m_Multi.get(), &left);
        return message != nullptr && message->msg == CURLMSG_DONE ? message->data.result : CURLE_RECV_ERROR;
    }

private:
    static void Check(CURLMcode code) {
        if (code != CURLM_OK) {
            throw HTTPRequestException(std::string(curl_multi_strerror(code)) + " [" + std::to_string(code) + "]");
        }
    }

    std::unique_ptr<CURLM, decltype(&curl_multi_cleanup)> m_Multi;
    CURL* m_Handle;
    TInternetSession& m_Session;
    TTransfer& m_Transfer;
};

void SetProxyOptions(CURL* handle, const TInternetSession& session, bool loopback) {
    if (loopback || session.AccessType() == TInternetAccessType::Direct) {
        SetOption(handle, CURLOPT_PROXY, ""); // also overrides the environment's proxy variables
    } else if (session.AccessType() == TInternetAccessType::Proxy) {
        SetOption(handle, CURLOPT_PROXY, session.Proxy().c_str());
        SetOption(handle, CURLOPT_NOPROXY, session.ProxyBypass().c_str());
    }
}

// Method, body and protocol version of the request.
void SetMethodOptions(CURL* handle, const std::string& verb, const std::string& body, const std::string& version) {
    if (version.empty() || SameText(version, "HTTP/1.1")) {
        SetOption(handle, CURLOPT_HTTP_VERSION, static_cast<long>(CURL_HTTP_VERSION_1_1));
    } else if (SameText(version, "HTTP/1.0")) {
        SetOption(handle, CURLOPT_HTTP_VERSION, static_cast<long>(CURL_HTTP_VERSION_1_0));
    } else {
        throw HTTPRequestException("Unsupported HTTP version \"" + version + "\".");
    }
    if (verb == "HEAD") {
        SetOption(handle, CURLOPT_NOBODY, 1L);
    } else if (!body.empty() || verb == "POST") {
        SetOption(handle, CURLOPT_POSTFIELDS, body.data());
        SetOption(handle, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(body.size()));
    }
    if (verb != "GET" && verb != "POST" && verb != "HEAD") {
        SetOption(handle, CURLOPT_CUSTOMREQUEST, verb.c_str());
    }
}

void SetTransferOptions(CURL* handle, TInternetSession& session, TTransfer& transfer, char* errorBuffer) {
    SetOption(handle, CURLOPT_NOSIGNAL, 1L);
    SetOption(handle, CURLOPT_SHARE, session.Handle());
    SetOption(handle, CURLOPT_ERRORBUFFER, errorBuffer);
    SetOption(handle, CURLOPT_PROTOCOLS_STR, "http,https");
    SetOption(handle, CURLOPT_PATH_AS_IS, 1L);
    SetOption(handle, CURLOPT_SSL_VERIFYPEER, 1L);
    SetOption(handle, CURLOPT_SSL_VERIFYHOST, 2L);
    SetOption(handle, CURLOPT_CONNECTTIMEOUT_MS, static_cast<long>(session.ConnectTimeout().count()));
    SetOption(handle, CURLOPT_MAXFILESIZE_LARGE, static_cast<curl_off_t>(session.MaxContentSize()));
    SetOption(handle, CURLOPT_BUFFERSIZE, ReadBufferSize);
    SetOption(handle, CURLOPT_HEADERFUNCTION, &OnHeaderLine);
    SetOption(handle, CURLOPT_HEADERDATA, &transfer);
    SetOption(handle, CURLOPT_WRITEFUNCTION, &OnBodyData);
    SetOption(handle, CURLOPT_WRITEDATA, &transfer);
    SetOption(handle, CURLOPT_NOPROGRESS, 0L);
    SetOption(handle, CURLOPT_XFERINFOFUNCTION, &OnProgress);
    SetOption(handle, CURLOPT_XFERINFODATA, &transfer);
    if (!session.Agent().empty()) {
        SetOption(handle, CURLOPT_USERAGENT, session.Agent().c_str());
    }
}

// Lines of the header block after the status line, one header each, split at the first colon. A
// line that begins with a blank continues the header before it; other lines without a colon are
// not headers and are left out.
void LoadHeaders(TMIMEHeaderList& headers, const std::vector<std::string>& lines) {
    headers.Clear();
    for (std::size_t i = 1; i < lines.size(); ++i) {
        const std::string& line = lines[i];
        if ((line[0] == ' ' || line[0] == '\t') && headers.Count() > 0) {
            TMIMEHeader& last = headers.Items(headers.Count() - 1);
            last.SetValue(last.Value() + " " + Trim(line));
        } else if (line.find(':') != std::string::npos) {
            headers.AddLine(line);
        }
    }
}

} // namespace

THTTPEndpoint ServiceEndpoint(std::string_view serverName, uint16_t port) {
    std::string host(serverName);
    std::string portText;
    bool hasPort = false;
    if (!host.empty() && host.front() == '[') {
        const std::size_t close = host.find(']');
        if (close == std::string::npos || (close + 1 < host.size() && host[close + 1] != ':')) {
            throw HTTPConnectionException("Invalid server name \"" + host + "\".");
        }
        hasPort = close + 1 < host.size();
        portText = hasPort ? host.substr(close + 2) : "";
        host.resize(close + 1);
    } else if (std::count(host.begin(), host.end(), ':') == 1) {
        const std::size_t colon = host.find(':');
        hasPort = true;
        portText = host.substr(colon + 1);
        host.resize(colon);
    } else if (host.find(':') != std::string::npos) {
        host = "[" + host + "]"; // an IPv6 address written without brackets
    }
    int32_t explicitPort = 0;
    if (hasPort && (!TryStrToInt(portText, explicitPort) || explicitPort < 1 || explicitPort > 65535)) {
        throw HTTPConnectionException("Invalid port in server name \"" + std::string(serverName) + "\".");
    }
    if (host.empty()) {
        throw HTTPConnectionException("No server name.");
    }
    THTTPEndpoint endpoint;
    endpoint.Scheme = IsLoopbackHost(host) ? "http" : "https";
    endpoint.Host = host;
    endpoint.Port = hasPort                     ? static_cast<uint16_t>(explicitPort)
                    : port != 0                 ? port
                    : endpoint.Scheme == "http" ? 80
                                                : 443;
    return endpoint;
}

THTTPConnection::THTTPConnection(TInternetSession& session) : m_Session(session) {}

THTTPConnection::~THTTPConnection() {
    curl_url_cleanup(m_Handle);
}

void THTTPConnection::SetServerName(std::string serverName) {
    if (serverName != m_ServerName) {
        Close();
        m_ServerName = std::move(serverName);
    }
}

void THTTPConnection::SetServerPort(uint16_t port) {
    if (port != m_ServerPort) {
        Close();
        m_ServerPort = port;
    }
}

Curl_URL* THTTPConnection::Handle() {
    EnsureOpen();
    return m_Handle;
}

void THTTPConnection::Open() {
    if (m_Handle != nullptr) {
        return;
    }
    m_Session.Handle();
    const THTTPEndpoint endpoint = ServiceEndpoint(m_ServerName, m_ServerPort);
    std::unique_ptr<CURLU, decltype(&curl_url_cleanup)> url(curl_url(), &curl_url_cleanup);
    if (!url) {
        throw HTTPConnectionException(CurlErrorMessage(CURLE_OUT_OF_MEMORY));
    }
    const std::string port = std::to_string(endpoint.Port);
    for (const auto& [part, value] :
         {std::pair{CURLUPART_SCHEME, endpoint.Scheme.c_str()}, std::pair{CURLUPART_HOST, endpoint.Host.c_str()},
          std::pair{CURLUPART_PORT, port.c_str()}, std::pair{CURLUPART_PATH, "/"}}) {
        const CURLUcode code = curl_url_set(url.get(), part, value, 0);
        if (code != CURLUE_OK) {
            throw HTTPConnectionException(URLPartError(code) + " (" + m_ServerName + ")");
        }
    }
    m_Handle = url.release();
}

void THTTPConnection::Close() {
    curl_url_cleanup(m_Handle);
    m_Handle = nullptr;
}

std::string THTTPConnection::BaseURL() {
    char* text = nullptr;
    const CURLUcode code = curl_url_get(Handle(), CURLUPART_URL, &text, 0);
    if (code != CURLUE_OK) {
        throw HTTPConnectionException(URLPartError(code));
    }
    std::string url(text);
    curl_free(text);
    if (!url.empty() && url.back() == '/') {
        url.pop_back();
    }
    return url;
}

std::unique_ptr<THTTPRequest> THTTPConnection::NewRequest() {
    return std::make_unique<THTTPRequest>(*this);
}

THTTPRequest::THTTPRequest(THTTPConnection& connection) : m_Connection(connection) {}

std::string THTTPRequest::ObjectName() const {
    std::string name = m_Path.empty() ? "/" : m_Path;
    if (!m_Resource.empty()) {
        if (name.back() != '/') {
            name += '/';
        }
        name += m_Resource;
    }
    for (int i = 0; i < m_Params.Count(); ++i) {
        const TNameValuePair& param = m_Params.Items(i);
        name += i == 0 ? "?" : "&";
        name += URLEncode(param.Name()) + "=" + URLEncode(param.Value());
    }
    return name;
}

std::unique_ptr<THTTPResponse> THTTPRequest::Send() {
    // Open the request: the target and the verb must not break the request line.
    const std::string target = ObjectName();
    const std::string verb = m_Verb.empty() ? "GET" : m_Verb;
    if (std::any_of(target.begin(), target.end(), [](char c) { return static_cast<unsigned char>(c) <= 0x20; }) ||
        target.find('\x7F') != std::string::npos) {
        throw HTTPConnectionException("Invalid request target \"" + target + "\".");
    }
    if (!IsToken(verb)) {
        throw HTTPConnectionException("Invalid request method \"" + verb + "\".");
    }
    const std::string url = m_Connection.BaseURL() + (target.front() == '/' ? "" : "/") + target;
    CURL* handle = curl_easy_init();
    if (handle == nullptr) {
        throw HTTPConnectionException(CurlErrorMessage(CURLE_OUT_OF_MEMORY));
    }
    auto response = std::make_unique<THTTPResponse>(handle);

    const TCurlHeaders headers = BuildHeaderList(m_Headers, m_Body.size());
    if (DebugMode()) {
        Debug("HTTP REQUEST:\r\n\r\n" + m_Headers.GetText() + "\r\n\r\n" +
              (m_TraceFilter ? m_TraceFilter(m_Body) : m_Body));
    }

    TInternetSession& session = m_Connection.Session();
    TTransfer transfer;
    transfer.IdleTimeout = session.IdleTimeout();
    transfer.MaxContentSize = session.MaxContentSize();
    char errorBuffer[CURL_ERROR_SIZE] = {};
    const TTransferCleanup cleanup(handle);
    SetTransferOptions(handle, session, transfer, errorBuffer);
    SetProxyOptions(handle, session, url.starts_with("http://")); // plain HTTP only goes to loopback
    SetMethodOptions(handle, verb, m_Body, m_HTTPVersion);
    SetOption(handle, CURLOPT_HTTPHEADER, headers.get());
    SetOption(handle, CURLOPT_URL, url.c_str());
    TMultiTransfer run(handle, session, transfer);
    transfer.LastActivity = TClock::now();
    const CURLcode code = run.Run();
    if (code != CURLE_OK) {
        throw HTTPRequestException(transfer.Failure.empty() ? CurlErrorMessage(code, errorBuffer)
                                                            : transfer.Failure + " [" + std::to_string(code) + "]");
    }
    if (transfer.HeaderLines.empty()) {
        throw HTTPResponseException("The response has no status line.");
    }
    response->Status().SetStatusLine(transfer.HeaderLines.front());
    LoadHeaders(response->Headers(), transfer.HeaderLines);
    response->SetContent(std::move(transfer.Content));
    if (DebugMode()) {
        const THTTPResponseStatus& status = response->Status();
        Debug("HTTP RESPONSE:\r\n\r\n" + std::to_string(status.StatusCode) + " " + status.HTTPVersion + " " +
              status.Reason + "\r\n" + response->Headers().GetText() + "\r\n\r\n" +
              (m_TraceFilter ? m_TraceFilter(response->Content()) : response->Content()));
    }
    return response;
}

void THTTPResponseStatus::SetStatusLine(std::string_view line) {
    const std::size_t blank = line.find(' ');
    std::string codeText;
    if (blank == std::string_view::npos) {
        HTTPVersion = Trim(line);
        codeText = std::string(line);
        Reason.clear();
    } else {
        HTTPVersion = Trim(line.substr(0, blank));
        const std::string rest = Trim(line.substr(blank + 1));
        const std::size_t second = rest.find(' ');
        codeText = Trim(rest.substr(0, second));
        Reason = second == std::string::npos ? "" : Trim(rest.substr(second + 1));
    }
    if (!TryStrToInt(codeText, StatusCode)) {
        throw HTTPResponseException("'" + codeText + "' is not a valid integer value");
    }
}

THTTPResponse::THTTPResponse(CURL* handle) : m_Handle(handle) {}

THTTPResponse::~THTTPResponse() {
    curl_easy_cleanup(m_Handle);
}

CURL* THTTPResponse::Handle() {
    EnsureOpen();
    return m_Handle;
}

void THTTPResponse::Open() {
    throw HTTPResponseException("Don't call the open method.");
}

void THTTPResponse::Close() {
    curl_easy_cleanup(m_Handle);
    m_Handle = nullptr;
}
