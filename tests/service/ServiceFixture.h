#pragma once
// Test helpers for the requests the model sends: a web service on loopback that answers each
// request through a handler and records it, and a model in a directory of its own whose channel
// talks to that service. Main test thread only, except the handler, which runs on the service's
// thread.

#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "core/UMessageLoop.h"
#include "core/USQLite.h"
#include "core/UTessivarBusinessLogic.h"
#include "core/UTessivarLogItem.h"
#include "mail/USockets.h"
#include "service/LInternet.h"
#include "service/UTessivarServer.h"
#include "service/UXML.h"

// The HTTP answer carrying `body` (the answer's element) in a SOAP envelope.
inline std::string SoapAnswer(const std::string& body) {
    const std::string content =
        "<?xml version=\"1.0\" encoding=\"utf-8\"?><soap:Envelope "
        "xmlns:xsi=\"http://www.w3.org/2001/XMLSchema-instance\" xmlns:xsd=\"http://www.w3.org/2001/XMLSchema\" "
        "xmlns:soap=\"http://schemas.xmlsoap.org/soap/envelope/\"><soap:Body>" +
        body + "</soap:Body></soap:Envelope>";
    return "HTTP/1.1 200 OK\r\nContent-Type: text/xml; charset=utf-8\r\nContent-Length: " +
           std::to_string(content.size()) + "\r\nConnection: close\r\n\r\n" + content;
}

// The answer element of `action` holding `result` as its result's content.
inline std::string ActionAnswer(const std::string& action, const std::string& result) {
    return SoapAnswer("<" + action + "Response xmlns=\"http://services.tessivar.com/\"><" + action + "Result>" +
                      result + "</" + action + "Result></" + action + "Response>");
}

// A web service on loopback: each connection carries one request, answered with what the handler
// returns for the request's body. An empty answer is none at all: the connection is held, silent,
// until the client leaves or the service ends.
class TFakeWebService {
public:
    using THandler = std::function<std::string(const std::string& body)>;

    explicit TFakeWebService(THandler handler)
        : m_Handler(std::move(handler)), m_Abort(std::make_shared<TAbortSignal>()), m_Listener("127.0.0.1", 0, 8),
          m_Thread([this] { Run(); }) {}
    ~TFakeWebService() {
        m_Abort->Raise();
        m_Thread.join();
    }
    TFakeWebService(const TFakeWebService&) = delete;
    TFakeWebService& operator=(const TFakeWebService&) = delete;

    std::string Host() const { return "127.0.0.1:" + std::to_string(m_Listener.Port()); }
    // The bodies of the requests received so far.
    std::vector<std::string> Requests() const {
        std::lock_guard lock(m_Lock);
        std::vector<std::string> bodies;
        for (const std::string& request : m_Requests)
            bodies.push_back(request.substr(request.find("\r\n\r\n") + 4));
        return bodies;
    }
    // The requests received so far as they came: request line, headers and body.
    std::vector<std::string> RawRequests() const {
        std::lock_guard lock(m_Lock);
        return m_Requests;
    }

private:
    void Run() {
        while (std::unique_ptr<TSocketStream> stream = m_Listener.Accept(m_Abort)) {
            try {
                const std::string request = ReadRequest(*stream);
                {
                    std::lock_guard lock(m_Lock);
                    m_Requests.push_back(request);
                }
                const std::string answer = m_Handler(request.substr(request.find("\r\n\r\n") + 4));
                if (answer.empty()) {
                    char byte;
                    stream->Read(&byte, 1);
                } else {
                    stream->Write(answer);
                }
            } catch (const ESocketException&) {
            }
        }
    }
    // The whole request; a request cut short is recorded as far as it came.
    static std::string ReadRequest(TSocketStream& stream) {
        std::string text;
        char buffer[16384];
        for (;;) {
            const size_t end = text.find("\r\n\r\n");
            if (end != std::string::npos) {
                const size_t length = text.find("Content-Length: ");
                const size_t size = length == std::string::npos ? 0 : std::stoul(text.substr(length + 16));
                if (text.size() >= end + 4 + size)
                    return text.substr(0, end + 4 + size);
            }
            const size_t count = stream.Read(buffer, sizeof buffer);
            if (count == 0)
                return text + "\r\n\r\n";
            text.append(buffer, count);
        }
    }

    const THandler m_Handler;
    std::shared_ptr<TAbortSignal> m_Abort;
    TSocketListener m_Listener;
    mutable std::mutex m_Lock;
    std::vector<std::string> m_Requests;
    std::thread m_Thread;
};

// The argument element of a recorded request body (action + "Argument"), parsed.
inline std::unique_ptr<TXMLNode> RequestArgument(const std::string& body) {
    std::unique_ptr<TXMLNode> envelope = TXMLNode::ParseString(body);
    TXMLNode& action = envelope->Child("soap:Body").Children().Items(0);
    return TXMLNode::ParseString(action.Children().Items(0).AsXML());
}

// The names of the node's children, joined by blanks.
inline std::string ChildNames(const TXMLNode& node) {
    std::string names;
    for (int i = 0; i < node.Children().Count(); ++i)
        names += (i ? " " : "") + node.Children().Items(i).Name();
    return names;
}

class TServiceModelTest : public testing::Test {
protected:
    void SetUp() override {
        std::string pattern = (std::filesystem::temp_directory_path() / "tessivar-service-XXXXXX").string();
        ASSERT_NE(::mkdtemp(pattern.data()), nullptr);
        m_Dir = pattern + "/";
        ::setenv("TESSIVAR_HOME", m_Dir.c_str(), 1);
        ::setenv("TESSIVAR_REGISTRY_DIR", m_Dir.c_str(), 1);
    }
    void TearDown() override {
        m_Model.reset();
        m_Service.reset();
        std::filesystem::remove_all(m_Dir);
        ::unsetenv("TESSIVAR_HOME");
        ::unsetenv("TESSIVAR_REGISTRY_DIR");
        ::unsetenv(ServiceHostVariable);
    }

    // Starts the service and a model whose channel talks to it, loaded without screening.
    void Start(TFakeWebService::THandler handler) {
        m_Service = std::make_unique<TFakeWebService>(std::move(handler));
        ::setenv(ServiceHostVariable, m_Service->Host().c_str(), 1);
        m_Model = std::make_unique<TTessivarBusinessLogic>(m_Loop);
        m_Model->Server().Session().SetConnectTimeout(std::chrono::seconds(2));
        m_Model->Server().Session().SetIdleTimeout(std::chrono::seconds(5));
        m_Model->Load();
    }
    TTessivarBusinessLogic& Model() { return *m_Model; }
    TSQLite& Db() { return m_Model->Database(); }

    // Runs the model's calls until `done` holds (30 s at most).
    void ServeUntil(const std::function<bool()>& done) {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
        while (!done()) {
            ASSERT_LT(std::chrono::steady_clock::now(), deadline) << "no answer reached the model";
            m_Loop.ProcessPending();
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
    }
    // Number of activity log items with this text.
    int LogItems(const std::string& details) const {
        int count = 0;
        for (int i = 0; i < m_Model->LogItemCount(); ++i)
            count += m_Model->LogItems(i).Details() == details;
        return count;
    }
    // Serves until the activity log holds `count` items with this text.
    void ServeUntilLogged(const std::string& details, int count = 1) {
        ServeUntil([&] { return LogItems(details) >= count; });
    }
    std::string Cell(const std::string& sql) {
        TSQLiteResultSet result;
        if (Db().Query(sql, &result) < 1)
            return "(none)";
        return result.Value(0, 0);
    }
    int Count(const std::string& from) { return std::stoi(Cell("SELECT COUNT(*) FROM " + from)); }

    std::string m_Dir;
    TMessageLoop m_Loop;
    std::unique_ptr<TFakeWebService> m_Service;
    std::unique_ptr<TTessivarBusinessLogic> m_Model;
};
