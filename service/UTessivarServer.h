#pragma once
// The channel to the Tessivar web service. Callers on the model's thread create a request for an
// action, fill in its argument elements and queue it; one worker thread posts each request in turn
// as a SOAP message to the service's Client.asmx and hands it back to the model's thread, where its
// completion handler runs and the request is destroyed. Callers never block.
//
// Thread contract: TTessivarServer is created, used and destroyed on the model's thread; the worker
// owns a request from dequeuing until it posts it back, and reaches the model only through threaded
// calls. The queue is guarded by its own lock. Destruction cancels a request in flight, joins the
// worker and drops queued requests without calling their handlers.

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "base/UException.h"
#include "core/UThreadedCallTarget.h"

class TInternetSession;
class THTTPConnection;
class TTessivarBusinessLogic;
class TTessivarServer;
class TXMLNode;

// Host of the web service, and the development host (the reference service on this machine) used
// with the "local" switch.
extern const char* const ProductionServiceHost;
extern const char* const DevelopmentServiceHost;
// Namespace of the service's messages and prefix of every SOAP action.
extern const char* const ServiceNamespace;
// The environment variable that names another service host ("host" or "host:port") for
// deployments and tests; it wins over both hosts above.
extern const char* const ServiceHostVariable;
// The service host of this run: the variable's value when set, else the development host with
// `local`, else the production host.
std::string ChosenServiceHost(bool local);

// Shows how far the application of a long answer has come (the setup wizard's progress bar).
class IRequestProgress {
public:
    virtual ~IRequestProgress() = default;
    virtual void SetProgress(int done, int total) = 0;
};

// One exchange with the service. Travels to the model's thread as threaded-call data.
class TTessivarServerRequest : public TThreadedCallData {
public:
    using TCompletion = std::function<void(TTessivarServerRequest&)>;

    ~TTessivarServerRequest() override;
    TTessivarServerRequest(const TTessivarServerRequest&) = delete;
    TTessivarServerRequest& operator=(const TTessivarServerRequest&) = delete;

    TTessivarServer& Server() const { return m_Server; }
    // From a process-wide counter that starts at 1 and is raised before each use: the first request
    // of a run is 2.
    int32_t RequestID() const { return m_RequestID; }
    const std::string& Action() const { return m_Action; }
    const TCompletion& OnComplete() const { return m_OnComplete; }

    // The element named after the action, and its child action + "Argument" (added on first use).
    TXMLNode& ArgumentRoot() const { return *m_ArgumentRoot; }
    TXMLNode& ArgumentNode() const;
    // Action + "Result" until an answer arrives, then the answer's body element; ResultNode is its
    // child action + "Result" (added empty on first use, as for an answer without one).
    TXMLNode& ResultRoot() const { return *m_ResultRoot; }
    TXMLNode& ResultNode() const;
    // Takes ownership of the answer's element.
    void SetResultRoot(std::unique_ptr<TXMLNode> root);
    // Appends ResultNode/ErrorMessages/ErrorMessage with Code, Message and Description.
    void AddError(const std::string& code, const std::string& message, const std::string& description);
    // Any child of ResultNode/ErrorMessages.
    bool Failed() const;

    IRequestProgress* ProgressBar() const { return m_ProgressBar; }
    void SetProgressBar(IRequestProgress* progress) { m_ProgressBar = progress; }

private:
    friend class TTessivarServer;
    TTessivarServerRequest(TTessivarServer& server, std::string action, TCompletion onComplete);

    TTessivarServer& m_Server;
    const int32_t m_RequestID;
    const std::string m_Action;
    const TCompletion m_OnComplete;
    std::unique_ptr<TXMLNode> m_ArgumentRoot;
    std::unique_ptr<TXMLNode> m_ResultRoot;
    IRequestProgress* m_ProgressBar = nullptr; // not owned
};

class TTessivarServer {
public:
    // Opens nothing and starts no thread: no traffic happens before the first request.
    TTessivarServer(TTessivarBusinessLogic& businessLogic, std::string serviceHost, std::string serviceNamespace);
    ~TTessivarServer();
    TTessivarServer(const TTessivarServer&) = delete;
    TTessivarServer& operator=(const TTessivarServer&) = delete;

    TTessivarBusinessLogic& BusinessLogic() const { return m_BusinessLogic; }
    const std::string& ServiceHost() const { return m_ServiceHost; }
    const std::string& ServiceNamespace() const { return m_ServiceNamespace; }
    // The session every call uses, for settings (time-outs) before the first request.
    TInternetSession& Session() const { return *m_Session; }

    // A new request, not queued; its "Generated" argument is the current time. The caller owns it
    // until Enqueue.
    std::unique_ptr<TTessivarServerRequest> CreateRequest(std::string action,
                                                          TTessivarServerRequest::TCompletion onComplete);
    // Queues the request and wakes the worker (starting it at the first request); the channel owns
    // the request from now on.
    void Enqueue(std::unique_ptr<TTessivarServerRequest> request);

private:
    void Execute();
    std::unique_ptr<TTessivarServerRequest> Dequeue();
    // Posts the request as a SOAP message and puts the answer, or an error entry, into it.
    void Perform(TTessivarServerRequest& request);

    // Constant after construction.
    TTessivarBusinessLogic& m_BusinessLogic;
    const std::string m_ServiceHost;
    const std::string m_ServiceNamespace;
    // Used by the worker only, but for its abort, which the destructor raises.
    const std::unique_ptr<TInternetSession> m_Session;

    // Guarded by m_Lock.
    std::mutex m_Lock;
    std::condition_variable m_Wake;
    std::deque<std::unique_ptr<TTessivarServerRequest>> m_Queue;
    bool m_Terminated = false;

    std::thread m_Worker; // started by the first Enqueue
};

// The SOAP call: posts argumentRoot (given the attribute xmlns = serviceNamespace) inside a SOAP 1.1
// envelope to host/resource with the action's SOAPAction header, and returns the first element of
// the answer's soap:Body as a tree of its own. Failures of the transfer or of the answer raise.
std::unique_ptr<TXMLNode> SOAPCall(THTTPConnection& connection, const std::string& host, const std::string& resource,
                                   TXMLNode& argumentRoot, const std::string& serviceNamespace,
                                   const std::string& action);
