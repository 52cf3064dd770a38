#include "service/UTessivarServer.h"

#include <atomic>
#include <cstdlib>

#include "base/LDates.h"
#include "base/LUnicode.h"
#include "base/UDebug.h"
#include "core/UTessivarBusinessLogic.h"
#include "core/UThreadedCalls.h"
#include "service/LInternet.h"
#include "service/UHTTP.h"
#include "base/UTraceMask.h"
#include "service/UXML.h"

const char* const ProductionServiceHost = "services.tessivar.com";
const char* const DevelopmentServiceHost = "127.0.0.1:8085";
const char* const ServiceNamespace = "http://services.tessivar.com/";
const char* const ServiceHostVariable = "TESSIVAR_SERVICE_HOST";

namespace {

const char* const ServiceResource = "Client.asmx";
const char* const EnvelopeStart =
    "<?xml version=\"1.0\" encoding=\"utf-8\"?><soap:Envelope xmlns:xsi=\"http://www.w3.org/2001/XMLSchema-instance\" "
    "xmlns:xsd=\"http://www.w3.org/2001/XMLSchema\" xmlns:soap=\"http://schemas.xmlsoap.org/soap/envelope/\">"
    "<soap:Body>";
const char* const EnvelopeEnd = "</soap:Body></soap:Envelope>";

std::atomic<int32_t> RequestCounter{1};

} // namespace

std::string ChosenServiceHost(bool local) {
    if (const char* host = std::getenv(ServiceHostVariable); host != nullptr && *host != '\0')
        return host;
    return local ? DevelopmentServiceHost : ProductionServiceHost;
}

// ---- Requests --------------------------------------------------------------------------------

TTessivarServerRequest::TTessivarServerRequest(TTessivarServer& server, std::string action, TCompletion onComplete)
    : m_Server(server), m_RequestID(++RequestCounter), m_Action(std::move(action)),
      m_OnComplete(std::move(onComplete)), m_ArgumentRoot(std::make_unique<TXMLNode>(m_Action)),
      m_ResultRoot(std::make_unique<TXMLNode>(m_Action + "Result")) {
    ArgumentNode().Child("Generated").SetAsDateTime(Now());
}

TTessivarServerRequest::~TTessivarServerRequest() = default;

TXMLNode& TTessivarServerRequest::ArgumentNode() const {
    return m_ArgumentRoot->Child(m_Action + "Argument");
}

TXMLNode& TTessivarServerRequest::ResultNode() const {
    return m_ResultRoot->Child(m_Action + "Result");
}

void TTessivarServerRequest::SetResultRoot(std::unique_ptr<TXMLNode> root) {
    m_ResultRoot = std::move(root);
}

void TTessivarServerRequest::AddError(const std::string& code, const std::string& message,
                                      const std::string& description) {
    TXMLNode& error = ResultNode().Child("ErrorMessages").Children().Add("ErrorMessage");
    error.Child("Code").SetText(code);
    error.Child("Message").SetText(message);
    error.Child("Description").SetText(description);
}

bool TTessivarServerRequest::Failed() const {
    const TXMLNode* errors = ResultNode().Children().Find("ErrorMessages");
    return errors != nullptr && errors->Children().Count() > 0;
}

// ---- The channel -----------------------------------------------------------------------------

TTessivarServer::TTessivarServer(TTessivarBusinessLogic& businessLogic, std::string serviceHost,
                                 std::string serviceNamespace)
    : m_BusinessLogic(businessLogic), m_ServiceHost(std::move(serviceHost)),
      m_ServiceNamespace(std::move(serviceNamespace)), m_Session(std::make_unique<TInternetSession>()) {}

TTessivarServer::~TTessivarServer() {
    {
        std::lock_guard lock(m_Lock);
        m_Terminated = true;
    }
    m_Wake.notify_all();
    // A request in flight ends at once as failed; its answer is posted to a model that no longer
    // takes calls, and dropped there.
    m_Session->Abort();
    if (m_Worker.joinable())
        m_Worker.join();
    m_Queue.clear();
}

std::unique_ptr<TTessivarServerRequest> TTessivarServer::CreateRequest(std::string action,
                                                                      TTessivarServerRequest::TCompletion onComplete) {
    return std::unique_ptr<TTessivarServerRequest>(
        new TTessivarServerRequest(*this, std::move(action), std::move(onComplete)));
}

void TTessivarServer::Enqueue(std::unique_ptr<TTessivarServerRequest> request) {
    if (!request)
        return;
    {
        std::lock_guard lock(m_Lock);
        if (m_Terminated)
            return;
        m_Queue.push_back(std::move(request));
    }
    if (!m_Worker.joinable())
        m_Worker = std::thread([this] { Execute(); });
    m_Wake.notify_one();
}

std::unique_ptr<TTessivarServerRequest> TTessivarServer::Dequeue() {
    std::unique_lock lock(m_Lock);
    m_Wake.wait(lock, [this] { return m_Terminated || !m_Queue.empty(); });
    if (m_Terminated)
        return nullptr;
    std::unique_ptr<TTessivarServerRequest> request = std::move(m_Queue.front());
    m_Queue.pop_front();
    return request;
}

void TTessivarServer::Execute() {
    while (std::unique_ptr<TTessivarServerRequest> request = Dequeue()) {
        try {
            Perform(*request);
        } catch (const std::exception& error) {
            DebugException("TTessivarServer", error);
        }
        // Back to the model's thread, which runs the handler and then destroys the request.
        m_BusinessLogic.OwnerWindow().Post(std::move(request));
    }
    Debug("TTessivarServer: Terminated.");
}

void TTessivarServer::Perform(TTessivarServerRequest& request) {
    if (DebugMode())
        Debug("DEQUEUED: " + request.Action() + " for " + m_ServiceHost + "\r\n" +
              MaskSecretElements(request.ArgumentNode().FormatXML(1, 1)));
    try {
        THTTPConnection connection(*m_Session);
        request.SetResultRoot(SOAPCall(connection, m_ServiceHost, ServiceResource, request.ArgumentRoot(),
                                       m_ServiceNamespace, request.Action()));
    } catch (const std::exception& error) {
        Debug("Could not complete request: " + std::string(error.what()));
        InsertLogItem(m_BusinessLogic, "Could not complete server request.", 1);
        request.AddError("1", "Server Error", "An error occurred communicating with the server.");
    }
}

// ---- The SOAP call ---------------------------------------------------------------------------

std::unique_ptr<TXMLNode> SOAPCall(THTTPConnection& connection, const std::string& host, const std::string& resource,
                                   TXMLNode& argumentRoot, const std::string& serviceNamespace,
                                   const std::string& action) {
    connection.SetServerName(host);
    const std::unique_ptr<THTTPRequest> request = connection.NewRequest();
    argumentRoot.Attributes().Add("xmlns", serviceNamespace);
    // The program's text is UTF-8 but for stray 8-bit bytes of old mail headers; the wire is UTF-8.
    const std::string body = TextToUtf8(EnvelopeStart + argumentRoot.AsXML() + EnvelopeEnd);
    request->SetVerb("POST");
    request->SetPath("/");
    request->SetResource(resource);
    request->Headers().Add("Host", host);
    request->Headers().Add("Content-Type", "text/xml; charset=utf-8");
    request->Headers().Add("Content-Length", std::to_string(body.size()));
    request->Headers().Add("SOAPAction", serviceNamespace + action);
    request->SetBody(body);
    request->SetTraceFilter(MaskSecretElements);

    const std::unique_ptr<THTTPResponse> response = request->Send();
    Debug("GOT RESPONSE");
    const std::unique_ptr<TXMLNode> envelope = TXMLNode::ParseString(response->Content());
    Debug("GOT XML");
    // The answer's element is read again on its own, so that nothing of the envelope stays.
    const TXMLNode& answer = envelope->Child("soap:Body").Children().Items(0);
    std::unique_ptr<TXMLNode> result = TXMLNode::ParseString(answer.AsXML());
    Debug("GOT INNER XML");
    return result;
}
