#include "service/UTessivarServer.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <mutex>
#include <thread>
#include <vector>

#include "tests/service/ServiceFixture.h"

namespace {

using namespace std::chrono_literals;

const std::string Envelope =
    "<?xml version=\"1.0\" encoding=\"utf-8\"?><soap:Envelope xmlns:xsi=\"http://www.w3.org/2001/XMLSchema-instance\" "
    "xmlns:xsd=\"http://www.w3.org/2001/XMLSchema\" xmlns:soap=\"http://schemas.xmlsoap.org/soap/envelope/\">"
    "<soap:Body>";

std::string Answer(const std::string& body, const std::string& status = "200 OK") {
    const std::string content = Envelope + body + "</soap:Body></soap:Envelope>";
    return "HTTP/1.1 " + status + "\r\nContent-Type: text/xml; charset=utf-8\r\nContent-Length: " +
           std::to_string(content.size()) + "\r\nConnection: close\r\n\r\n" + content;
}

// A service answering its requests in turn from a script; an empty answer is none at all.
class TFakeService {
public:
    explicit TFakeService(std::vector<std::string> answers)
        : m_Answers(std::move(answers)), m_Service([this](const std::string&) { return Next(); }) {}

    std::string Host() const { return m_Service.Host(); }
    std::vector<std::string> Requests() const { return m_Service.Requests(); }
    std::vector<std::string> RawRequests() const { return m_Service.RawRequests(); }

private:
    std::string Next() {
        std::lock_guard lock(m_Lock);
        return m_Next < m_Answers.size() ? m_Answers[m_Next++] : std::string();
    }

    std::mutex m_Lock;
    const std::vector<std::string> m_Answers;
    size_t m_Next = 0;
    TFakeWebService m_Service; // last: its thread starts once the script exists
};

class TessivarServerTest : public testing::Test {
protected:
    void SetUp() override {
        std::string pattern = (std::filesystem::temp_directory_path() / "tessivar-server-XXXXXX").string();
        ASSERT_NE(::mkdtemp(pattern.data()), nullptr);
        m_Dir = pattern + "/";
        ::setenv("TESSIVAR_HOME", m_Dir.c_str(), 1);
        ::setenv("TESSIVAR_REGISTRY_DIR", m_Dir.c_str(), 1);
        m_Model = std::make_unique<TTessivarBusinessLogic>(m_Loop);
    }
    void TearDown() override {
        m_Channel.reset();
        m_Model.reset();
        std::filesystem::remove_all(m_Dir);
        ::unsetenv("TESSIVAR_HOME");
        ::unsetenv("TESSIVAR_REGISTRY_DIR");
    }
    TTessivarServer& Channel(const std::string& host) {
        m_Channel = std::make_unique<TTessivarServer>(*m_Model, host, ServiceNamespace);
        m_Channel->Session().SetConnectTimeout(2s);
        m_Channel->Session().SetIdleTimeout(500ms);
        return *m_Channel;
    }
    // Queues a request whose handler records the result's XML text.
    void Queue(const std::string& action, const std::string& argument = {}) {
        auto request = m_Channel->CreateRequest(action, [this](TTessivarServerRequest& done) {
            m_Results.push_back(done.Action() + (done.Failed() ? " failed: " : ": ") + done.ResultNode().AsXML());
        });
        if (!argument.empty())
            request->ArgumentNode().Child("Name").SetText(argument);
        m_Channel->Enqueue(std::move(request));
    }
    void ServeUntil(size_t results) {
        const auto deadline = std::chrono::steady_clock::now() + 30s;
        while (m_Results.size() < results) {
            ASSERT_LT(std::chrono::steady_clock::now(), deadline) << "the handlers were not called";
            m_Loop.ProcessPending();
            std::this_thread::sleep_for(1ms);
        }
    }
    int ErrorItems() const {
        int count = 0;
        for (int i = 0; i < m_Model->LogItemCount(); ++i)
            count += m_Model->LogItems(i).Details() == "Could not complete server request." &&
                     m_Model->LogItems(i).Kind() == 1;
        return count;
    }

    const std::string ServerError = "<ErrorMessages><ErrorMessage><Code>1</Code><Message>Server Error</Message>"
                                    "<Description>An error occurred communicating with the server.</Description>"
                                    "</ErrorMessage></ErrorMessages>";
    std::string m_Dir;
    TMessageLoop m_Loop;
    std::unique_ptr<TTessivarBusinessLogic> m_Model;
    std::unique_ptr<TTessivarServer> m_Channel;
    std::vector<std::string> m_Results;
};

// The request bytes on the wire, UTF-8 text unchanged both ways, and two requests answered in order.
TEST_F(TessivarServerTest, PostsTheSoapEnvelopeAndHandsAnswersBackInOrder) {
    TFakeService service({Answer("<EchoResponse xmlns=\"http://services.tessivar.com/\"><EchoResult>"
                                 "<Name>Zo\xC3\xAB M\xC3\xBCller</Name></EchoResult></EchoResponse>"),
                          Answer("<SecondResponse><SecondResult><Done>true</Done></SecondResult></SecondResponse>")});
    Channel(service.Host());
    Queue("Echo", "Zo\xC3\xAB M\xC3\xBCller");
    Queue("Second");
    ServeUntil(2);
    EXPECT_EQ(m_Results, (std::vector<std::string>{"Echo: <EchoResult><Name>Zo\xC3\xAB M\xC3\xBCller</Name></EchoResult>",
                                                   "Second: <SecondResult><Done>true</Done></SecondResult>"}));

    const std::vector<std::string> requests = service.RawRequests();
    ASSERT_EQ(requests.size(), 2u);
    const std::string& first = requests[0];
    const size_t bodyStart = first.find("\r\n\r\n") + 4;
    const std::string body = first.substr(bodyStart);
    EXPECT_EQ(first.substr(0, first.find("\r\n")), "POST /Client.asmx HTTP/1.1");
    EXPECT_NE(first.find("\r\nHost: " + service.Host() + "\r\n"), std::string::npos);
    EXPECT_NE(first.find("\r\nContent-Type: text/xml; charset=utf-8\r\n"), std::string::npos);
    EXPECT_NE(first.find("\r\nContent-Length: " + std::to_string(body.size()) + "\r\n"), std::string::npos);
    EXPECT_NE(first.find("\r\nSOAPAction: http://services.tessivar.com/Echo\r\n"), std::string::npos);
    EXPECT_LT(first.find("\r\nHost: "), first.find("\r\nContent-Type: "));
    EXPECT_LT(first.find("\r\nContent-Type: "), first.find("\r\nContent-Length: "));
    EXPECT_LT(first.find("\r\nContent-Length: "), first.find("\r\nSOAPAction: "));
    const std::string prefix = Envelope + "<Echo xmlns=\"http://services.tessivar.com/\"><EchoArgument><Generated>";
    EXPECT_EQ(body.substr(0, prefix.size()), prefix);
    const std::string suffix =
        "</Generated><Name>Zo\xC3\xAB M\xC3\xBCller</Name></EchoArgument></Echo></soap:Body></soap:Envelope>";
    ASSERT_GE(body.size(), suffix.size());
    EXPECT_EQ(body.substr(body.size() - suffix.size()), suffix);
    EXPECT_EQ(ErrorItems(), 0);
}

// Every failure reaches the handler as the one server error entry, with an error item in the
// activity log; a SOAP fault is an answer without the expected fields, not an error.
TEST_F(TessivarServerTest, FailuresReachTheHandlerAsOneServerErrorAndAFaultAsAnEmptyResult) {
    TFakeService service({"", "HTTP/1.1 200 OK\r\nContent-Length: 12\r\n\r\n<html><p>oops",
                          Answer(""),
                          Answer("<soap:Fault><faultcode>soap:Server</faultcode></soap:Fault>",
                                 "500 Internal Server Error")});
    Channel(service.Host());
    Queue("Stalled");
    Queue("Html");
    Queue("Empty");
    Queue("Fault");
    ServeUntil(4);
    EXPECT_EQ(m_Results, (std::vector<std::string>{"Stalled failed: <StalledResult>" + ServerError + "</StalledResult>",
                                                   "Html failed: <HtmlResult>" + ServerError + "</HtmlResult>",
                                                   "Empty failed: <EmptyResult>" + ServerError + "</EmptyResult>",
                                                   "Fault: <FaultResult />"}));
    m_Loop.ProcessPending();
    EXPECT_EQ(ErrorItems(), 3);

    int closedPort = 0;
    {
        TSocketListener closed("127.0.0.1", 0, 1);
        closedPort = closed.Port();
    }
    m_Results.clear();
    Channel("127.0.0.1:" + std::to_string(closedPort));
    Queue("Unreachable");
    ServeUntil(1);
    EXPECT_EQ(m_Results,
              (std::vector<std::string>{"Unreachable failed: <UnreachableResult>" + ServerError + "</UnreachableResult>"}));
}

// Destroying the channel while a request waits on a silent service returns at once, without
// calling the handlers of that request or of those still queued.
TEST_F(TessivarServerTest, DestructionWithARequestInFlightNeitherHangsNorCallsHandlers) {
    TFakeService service({""});
    Channel(service.Host());
    m_Channel->Session().SetIdleTimeout(60s);
    Queue("Stalled");
    Queue("Queued");
    while (service.Requests().empty())
        std::this_thread::sleep_for(1ms);
    const auto start = std::chrono::steady_clock::now();
    m_Channel.reset();
    EXPECT_LT(std::chrono::steady_clock::now() - start, 5s);
    m_Model.reset(); // drops what the worker posted
    EXPECT_TRUE(m_Results.empty());
}

TEST(TessivarServerHost, TheEnvironmentNamesAnotherService) {
    ::unsetenv(ServiceHostVariable);
    EXPECT_EQ(ChosenServiceHost(false), ProductionServiceHost);
    EXPECT_EQ(ChosenServiceHost(true), DevelopmentServiceHost);
    ::setenv(ServiceHostVariable, "10.1.2.3:9000", 1);
    EXPECT_EQ(ChosenServiceHost(false), "10.1.2.3:9000");
    ::unsetenv(ServiceHostVariable);
}

} // namespace
