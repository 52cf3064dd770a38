#include "service/UHTTP.h"

#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <mutex>
#include <thread>

#include "base/LStrings.h"
#include "mail/USockets.h"
#include "tests/base/TraceCapture.h"

namespace {

using namespace std::chrono_literals;

// A one-connection HTTP peer on 127.0.0.1: it reads one request (headers and the body its
// Content-Length announces), keeps its bytes, and lets the script answer on the stream.
class TLoopbackHTTPServer {
public:
    using TScript = std::function<void(TSocketStream&)>;

    explicit TLoopbackHTTPServer(TScript script)
        : m_Abort(std::make_shared<TAbortSignal>()), m_Listener("127.0.0.1", 0, 4), m_Script(std::move(script)),
          m_Thread([this] { Run(); }) {}
    ~TLoopbackHTTPServer() {
        m_Abort->Raise();
        m_Thread.join();
    }

    int Port() const { return m_Listener.Port(); }
    std::string Request() const {
        std::lock_guard lock(m_Lock);
        return m_Request;
    }

    // Script for a server that reads the request and then says nothing until the client leaves.
    static void StaySilent(TSocketStream& stream) {
        char buffer[256];
        while (stream.Read(buffer, sizeof buffer) > 0) {
        }
    }

private:
    void Run() {
        try {
            const auto stream = m_Listener.Accept(m_Abort);
            if (!stream) {
                return;
            }
            std::string request;
            char buffer[4096];
            std::size_t end = std::string::npos, length = 0;
            while (end == std::string::npos || request.size() < end + 4 + length) {
                const std::size_t count = stream->Read(buffer, sizeof buffer);
                if (count == 0) {
                    break;
                }
                request.append(buffer, count);
                end = request.find("\r\n\r\n");
                const std::size_t field = LowerCase(request.substr(0, end)).find("\r\ncontent-length:");
                length = field == std::string::npos ? 0 : std::stoul(request.substr(field + 17));
            }
            {
                std::lock_guard lock(m_Lock);
                m_Request = request;
            }
            m_Script(*stream);
        } catch (const ESocketException&) {
            // The client gave up or the test ended.
        }
    }

    std::shared_ptr<TAbortSignal> m_Abort;
    TSocketListener m_Listener;
    TScript m_Script;
    mutable std::mutex m_Lock;
    std::string m_Request; // guarded by m_Lock
    std::thread m_Thread;
};

TLoopbackHTTPServer::TScript Answer(std::string answer) {
    return [answer](TSocketStream& stream) { stream.Write(answer); };
}

// Sends a request for /Client.asmx to the server's port with short time-outs.
std::unique_ptr<THTTPResponse> SendTo(int port, TInternetSession& session, const std::string& body = "") {
    const auto connection = session.NewConnection();
    connection->SetServerName("127.0.0.1:" + std::to_string(port));
    const auto request = connection->NewRequest();
    request->SetVerb("POST");
    request->SetResource("Client.asmx");
    request->SetBody(body);
    return request->Send();
}

TEST(UHTTPTest, SendsTheRequestBytesAsBuiltAndReadsTheWholeAnswer) {
    TLoopbackHTTPServer server(Answer("HTTP/1.1 100 Continue\r\n\r\n"
                                      "HTTP/1.1 200 OK\r\nContent-Type: text/xml; charset=utf-8\r\n"
                                      "X-Note:  folded\r\n  on two lines \r\nContent-Length: 17\r\n\r\n"
                                      "<a>Zoë & Ré</a>"));
    // Accented text in UTF-8, and over the size (1 MiB) above which the library would ask for "100 Continue".
    const std::string body =
        "<?xml version=\"1.0\" encoding=\"utf-8\"?><Name>Zoë Müller</Name>" + std::string(1100000, 'x');
    TInternetSession session;
    const auto connection = session.NewConnection();
    const std::string host = "127.0.0.1:" + std::to_string(server.Port());
    connection->SetServerName(host);
    const auto request = connection->NewRequest();
    request->SetVerb("POST");
    request->SetPath("/");
    request->SetResource("Client.asmx");
    request->Headers().Add("Host", host);
    request->Headers().Add("Content-Type", "text/xml; charset=utf-8");
    request->Headers().Add("Content-Length", std::to_string(body.size()));
    request->Headers().Add("SOAPAction", "http://services.tessivar.com/Synchronize");
    request->SetBody(body);
    TTraceCapture trace;
    const auto response = request->Send();
    const std::string traced = trace.Text();

    EXPECT_EQ(server.Request(),
              "POST /Client.asmx HTTP/1.1\r\nHost: " + host +
                  "\r\nContent-Type: text/xml; charset=utf-8\r\nContent-Length: " + std::to_string(body.size()) +
                  "\r\nSOAPAction: http://services.tessivar.com/Synchronize\r\n\r\n" + body);
    EXPECT_EQ(response->Status().StatusCode, 200);
    EXPECT_EQ(response->Status().HTTPVersion, "HTTP/1.1");
    EXPECT_EQ(response->Status().Reason, "OK");
    ASSERT_EQ(response->Headers().Count(), 3);
    EXPECT_EQ(response->Headers().Items(0).Value(), "text/xml; charset=utf-8");
    EXPECT_EQ(response->Headers().Items(1).Name(), "X-Note");
    EXPECT_EQ(response->Headers().Items(1).Value(), "folded on two lines");
    EXPECT_EQ(response->Content(), "<a>Zoë & Ré</a>");
    EXPECT_NE(traced.find("HTTP REQUEST:\r\n\r\nHost:" + host), std::string::npos);
    EXPECT_NE(traced.find("Chunk size: 17, Total size: 17"), std::string::npos);
    EXPECT_NE(traced.find("HTTP RESPONSE:\r\n\r\n200 HTTP/1.1 OK\r\n"), std::string::npos);
}

TEST(UHTTPTest, ReturnsAnErrorStatusWithItsPageInsteadOfFailing) {
    const std::string page = "<html><body><h1>Server Error in '/' Application.</h1></body></html>";
    TLoopbackHTTPServer server(Answer("HTTP/1.1 500 Internal Server Error\r\nContent-Type: text/html\r\n"
                                      "Connection: close\r\n\r\n" +
                                      page));
    TInternetSession session;
    const auto response = SendTo(server.Port(), session);
    // No headers but the ones a request must carry: no Accept, no form Content-Type.
    EXPECT_EQ(server.Request(), "POST /Client.asmx HTTP/1.1\r\nHost: 127.0.0.1:" + std::to_string(server.Port()) +
                                    "\r\nContent-Length: 0\r\n\r\n");
    EXPECT_EQ(response->Status().StatusCode, 500);
    EXPECT_EQ(response->Status().Reason, "Internal Server Error");
    EXPECT_EQ(response->Content(), page);
}

// The text of the HTTPRequestException that a request to the port raises; empty when none.
std::string FailureOf(int port, TInternetSession& session) {
    try {
        SendTo(port, session);
    } catch (const HTTPRequestException& error) {
        return error.what();
    }
    return "";
}

TEST(UHTTPTest, FailuresOfTheExchangeRaiseRequestExceptions) {
    TInternetSession session;
    session.SetIdleTimeout(1s);
    session.SetMaxContentSize(1000);
    {
        int port = 0;
        {
            TSocketListener closed("127.0.0.1", 0, 1);
            port = closed.Port();
        }
        EXPECT_NE(FailureOf(port, session).find("Couldn't connect"), std::string::npos);
    }
    {
        TLoopbackHTTPServer silent(&TLoopbackHTTPServer::StaySilent);
        const auto started = std::chrono::steady_clock::now();
        EXPECT_NE(FailureOf(silent.Port(), session).find("sent nothing for 1000 milliseconds"), std::string::npos);
        EXPECT_LT(std::chrono::steady_clock::now() - started, 10s);
    }
    {
        TLoopbackHTTPServer stopping(Answer("HTTP/1.1 200 OK\r\nContent-Length: 900\r\n\r\nonly the start"));
        EXPECT_NE(FailureOf(stopping.Port(), session).find("[18]"), std::string::npos) << "the body stops short";
    }
    {
        TLoopbackHTTPServer stalling([](TSocketStream& stream) {
            stream.Write("HTTP/1.1 200 OK\r\nContent-Length: 900\r\n\r\nhalf");
            TLoopbackHTTPServer::StaySilent(stream);
        });
        EXPECT_NE(FailureOf(stalling.Port(), session).find("sent nothing"), std::string::npos) << "the body stalls";
    }
    {
        TLoopbackHTTPServer flooding(Answer("HTTP/1.1 200 OK\r\nConnection: close\r\n\r\n" + std::string(5000, 'x')));
        EXPECT_NE(FailureOf(flooding.Port(), session).find("body exceeds 1000 bytes"), std::string::npos);
    }
    {
        TInternetSession defaults;
        TLoopbackHTTPServer huge(
            Answer("HTTP/1.1 200 OK\r\nContent-Length: 104857600\r\n\r\n" + std::string(65536, 'x')));
        EXPECT_NE(FailureOf(huge.Port(), defaults).find("[63]"), std::string::npos) << "a 100 MB body";
    }
    {
        std::string fields;
        for (int i = 0; i < 30000; ++i) {
            fields += "X-Filler: 0123456789\r\n";
        }
        TLoopbackHTTPServer flooding(Answer("HTTP/1.1 200 OK\r\n" + fields + "\r\n"));
        EXPECT_NE(FailureOf(flooding.Port(), session).find("headers exceed"), std::string::npos);
    }
    {
        TLoopbackHTTPServer garbled(Answer("HTTP/1.1 abc Broken\r\nContent-Length: 0\r\n\r\n"));
        EXPECT_THROW(SendTo(garbled.Port(), session), HTTPException) << "an unreadable status line";
    }
}

TEST(UHTTPTest, AbortEndsATransferWaitingOnASilentServerAndEveryLaterOne) {
    TLoopbackHTTPServer silent(&TLoopbackHTTPServer::StaySilent);
    TInternetSession session; // the one-minute time-outs: only the abort can end the wait in time
    std::string failure = "none";
    const auto started = std::chrono::steady_clock::now();
    std::thread worker([&] { failure = FailureOf(silent.Port(), session); });
    while (silent.Request().empty() && std::chrono::steady_clock::now() - started < 10s) {
        std::this_thread::sleep_for(10ms);
    }
    session.Abort();
    worker.join();
    EXPECT_LT(std::chrono::steady_clock::now() - started, 10s);
    EXPECT_EQ(failure, AbortedTransferMessage + std::string(" [42]"));
    EXPECT_EQ(FailureOf(silent.Port(), session), AbortedTransferMessage);
}

TEST(UHTTPTest, OnlyLoopbackHostsAreReachedWithoutTLS) {
    EXPECT_EQ(ServiceEndpoint("services.tessivar.com", 0).Scheme, "https");
    EXPECT_EQ(ServiceEndpoint("services.tessivar.com", 0).Port, 443);
    EXPECT_EQ(ServiceEndpoint("192.168.1.10", 80).Scheme, "https");
    EXPECT_EQ(ServiceEndpoint("127.0.0.1.example.com", 0).Scheme, "https");
    EXPECT_EQ(ServiceEndpoint("localhost.example.com:8080", 0).Scheme, "https");
    for (const char* host : {"127.0.0.1", "127.8.9.10", "localhost", "LocalHost", "::1", "[::1]"}) {
        EXPECT_EQ(ServiceEndpoint(host, 0).Scheme, "http") << host;
        EXPECT_EQ(ServiceEndpoint(host, 0).Port, 80) << host;
    }
    const THTTPEndpoint development = ServiceEndpoint("localhost:8080", 0);
    EXPECT_EQ(development.Host, "localhost");
    EXPECT_EQ(development.Port, 8080);
    EXPECT_EQ(ServiceEndpoint("[::1]:8081", 0).Host, "[::1]");
    EXPECT_THROW(ServiceEndpoint("localhost:99999", 0), HTTPConnectionException);
    EXPECT_THROW(ServiceEndpoint("", 0), HTTPConnectionException);

    TInternetSession session;
    const auto connection = session.NewConnection();
    connection->SetServerName("services.tessivar.com");
    EXPECT_EQ(connection->BaseURL(), "https://services.tessivar.com:443");
    connection->SetServerName("localhost:8080");
    EXPECT_EQ(connection->BaseURL(), "http://localhost:8080");
    connection->SetServerName("::1");
    EXPECT_EQ(connection->BaseURL(), "http://[::1]:80");
    connection->SetServerName("evil.example/x?@");
    EXPECT_THROW(connection->BaseURL(), HTTPConnectionException);
}

TEST(UHTTPTest, RequestTargetsAndStatusLinesReadAsDescribed) {
    TInternetSession session;
    THTTPConnection connection(session);
    THTTPRequest request(connection);
    request.SetResource("Client.asmx");
    EXPECT_EQ(request.ObjectName(), "/Client.asmx");
    request.SetPath("/x/");
    EXPECT_EQ(request.ObjectName(), "/x/Client.asmx");
    request.SetPath("/x");
    request.Params().Add("a", "1");
    request.Params().Add("b", "x y\xE9&=");
    EXPECT_EQ(request.ObjectName(), "/x/Client.asmx?a=1&b=x+y%E9%26%3D");
    EXPECT_EQ(URLEncode("*@._-$!'()~/\r"), "*@._-$!'()%7E%2F%0D");

    THTTPResponseStatus status;
    status.SetStatusLine("HTTP/1.1 404  Not Found ");
    EXPECT_EQ(status.HTTPVersion, "HTTP/1.1");
    EXPECT_EQ(status.StatusCode, 404);
    EXPECT_EQ(status.Reason, "Not Found");
    status.SetStatusLine("HTTP/1.0 204");
    EXPECT_EQ(status.StatusCode, 204);
    EXPECT_EQ(status.Reason, "");
    EXPECT_THROW(status.SetStatusLine("HTTP/1.1"), HTTPResponseException);

    THTTPResponse response(nullptr);
    try {
        response.Open();
        FAIL() << "a response opened";
    } catch (const HTTPResponseException& error) {
        EXPECT_STREQ(error.what(), "Don't call the open method.");
    }
}

} // namespace
