#pragma once
// HTTP over libcurl: a connection names one service host, a request is one exchange built on it,
// and the response holds the status, the headers and the whole body of the answer. The layer sends
// what it is given and returns what arrives: no retry, and no judgement of the status code.
// Every host but this machine's own is reached over HTTPS with the certificate and host name
// verified; on loopback plain HTTP is used.
// Thread contract: as for the session (LInternet.h): each object is used by one thread at a time.

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>

#include "base/UCommonClasses.h"
#include "mail/UMIME.h"
#include "service/LInternet.h"

typedef void CURL; // libcurl's easy handle, as <curl/curl.h> declares it
struct Curl_URL;   // libcurl's URL handle

class THTTPRequest;
class THTTPResponse;

// Where a connection's requests go: scheme, host (IPv6 addresses in brackets) and port.
struct THTTPEndpoint {
    std::string Scheme;
    std::string Host;
    uint16_t Port = 0;
};
// The endpoint for a server name, written "host", "host:port", "[v6]" or "[v6]:port". A port in
// the name wins over port; port 0 means the scheme's own (80 or 443). Loopback hosts get "http",
// every other host "https". Raises HTTPConnectionException for an empty name or a bad port.
THTTPEndpoint ServiceEndpoint(std::string_view serverName, uint16_t port);

// One host and port of a session. Its handle is the library's URL of the endpoint.
class THTTPConnection : public TInternetHandleWrapper {
public:
    // The session is not owned and must outlive the connection.
    explicit THTTPConnection(TInternetSession& session);
    ~THTTPConnection() override;

    TInternetSession& Session() const { return m_Session; }
    const std::string& ServerName() const { return m_ServerName; }
    // Takes effect at the next Open; an open handle is closed.
    void SetServerName(std::string serverName);
    uint16_t ServerPort() const { return m_ServerPort; }
    void SetServerPort(uint16_t port);

    Curl_URL* Handle();
    bool IsOpen() const override { return m_Handle != nullptr; }
    // Opens the session when needed; raises HTTPConnectionException for a host the library rejects.
    void Open() override;
    void Close() override;
    // "scheme://host:port", without a trailing "/"; opens the connection when needed.
    std::string BaseURL();

    // A new request bound to this connection; the caller owns it and destroys it first.
    std::unique_ptr<THTTPRequest> NewRequest();

private:
    TInternetSession& m_Session;
    Curl_URL* m_Handle = nullptr;
    std::string m_ServerName = "127.0.0.1";
    uint16_t m_ServerPort = 0;
};

// One exchange: build it, Send it once, destroy it.
class THTTPRequest {
public:
    // The connection is not owned and must outlive the request.
    explicit THTTPRequest(THTTPConnection& connection);
    THTTPRequest(const THTTPRequest&) = delete;
    THTTPRequest& operator=(const THTTPRequest&) = delete;

    THTTPConnection& Connection() const { return m_Connection; }
    TMIMEHeaderList& Headers() { return m_Headers; }
    TNameValueList& Params() { return m_Params; }
    const std::string& Resource() const { return m_Resource; }
    void SetResource(std::string resource) { m_Resource = std::move(resource); }
    const std::string& Path() const { return m_Path; }
    void SetPath(std::string path) { m_Path = std::move(path); }
    // Empty or "HTTP/1.1": HTTP/1.1; "HTTP/1.0": HTTP/1.0.
    const std::string& HTTPVersion() const { return m_HTTPVersion; }
    void SetHTTPVersion(std::string version) { m_HTTPVersion = std::move(version); }
    // Empty: GET.
    const std::string& Verb() const { return m_Verb; }
    void SetVerb(std::string verb) { m_Verb = std::move(verb); }
    const std::string& Body() const { return m_Body; }
    void SetBody(std::string body) { m_Body = std::move(body); }
    // Applied to the body and to the answer's content before they are traced, so that secrets in
    // them stay out of the trace; what is sent and received is not changed.
    using TTraceFilter = std::function<std::string(std::string_view text)>;
    void SetTraceFilter(TTraceFilter filter) { m_TraceFilter = std::move(filter); }

    // Path (or "/"), then "/" and Resource when there is one, then "?" and the URL-encoded Params.
    std::string ObjectName() const;
    // Sends the request and reads the whole answer; the caller owns the response. Fails with
    // HTTPConnectionException when no transfer can be set up, HTTPRequestException when the
    // request is malformed or the exchange fails (no connection, time-out, a body cut short or over
    // the session's limit) and HTTPResponseException when the status line is unreadable.
    std::unique_ptr<THTTPResponse> Send();

private:
    THTTPConnection& m_Connection;
    TMIMEHeaderList m_Headers;
    TNameValueList m_Params;
    std::string m_Resource;
    std::string m_Path;
    std::string m_HTTPVersion;
    std::string m_Verb;
    std::string m_Body;
    TTraceFilter m_TraceFilter;
};

struct THTTPResponseStatus {
    int32_t StatusCode = 0;
    std::string Reason;
    std::string HTTPVersion;

    // Reads "HTTP/1.1 200 OK": version, code, reason, each trimmed; the reason may be missing.
    // Raises HTTPResponseException when the code is not a number.
    void SetStatusLine(std::string_view line);
};

// The answer to one request. Owns the library handle of the exchange.
class THTTPResponse : public TInternetHandleWrapper {
public:
    // Takes ownership of handle.
    explicit THTTPResponse(CURL* handle);
    ~THTTPResponse() override;

    CURL* Handle();
    bool IsOpen() const override { return m_Handle != nullptr; }
    // A response is only ever made by Send: always raises HTTPResponseException.
    void Open() override;
    void Close() override;

    THTTPResponseStatus& Status() { return m_Status; }
    TMIMEHeaderList& Headers() { return m_Headers; }
    const std::string& Content() const { return m_Content; }
    void SetContent(std::string content) { m_Content = std::move(content); }

private:
    CURL* m_Handle = nullptr;
    THTTPResponseStatus m_Status;
    TMIMEHeaderList m_Headers;
    std::string m_Content;
};
