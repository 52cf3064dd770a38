#pragma once
// The reference web service: the SOAP endpoint /Client.asmx and the sender authentication page
// /authenticate.aspx over HTTP, on the store and the mail transport named by its configuration.
// It also serves the web site: the help pages under /help/, /upgrade.html, and the members' account
// page /members/accountSetup.aspx, which the program posts the user's credentials to.
// Thread contract: construct, Bind and Run on one thread; Stop may be called from any thread,
// also before Run; it makes Run return and itself returns once the requests being answered are
// finished. Requests are read and answered on the threads of TGuardedHTTPServer.

#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "base/UException.h"
#include "devservice/UServiceConfig.h"
#include "devservice/UServiceLimits.h"

class TGuardedHTTPServer;
class TMailTransport;
class TServiceActions;
class TServiceMailer;
class TServiceStore;

TESSIVAR_EXCEPTION(ServiceException, Exception);

// A request as it was served, for tests and diagnostics.
struct TServedRequest {
    std::string Method;
    std::string Path;
    std::vector<std::pair<std::string, std::string>> Headers;
    std::string Body;
};

class TDevService {
public:
    // Opens the database (ServiceDatabaseException on failure); nothing listens yet.
    explicit TDevService(TServiceConfig config);
    ~TDevService();
    TDevService(const TDevService&) = delete;
    TDevService& operator=(const TDevService&) = delete;

    // Binds the listening socket and returns its port; ServiceException when it cannot, also when
    // another server listens on the port.
    int Bind();
    // Serves until Stop; returns at once when Stop came first.
    void Run();
    void Stop();

    // Called on a server thread after each request was answered; set it before Run.
    void SetRequestObserver(std::function<void(const TServedRequest&)> observer);

    // The base of the links in mail; final after Bind.
    const std::string& PublicBaseURL() const { return m_BaseURL; }

private:
    // Constant after construction.
    TServiceConfig m_Config;
    std::unique_ptr<TServiceStore> m_Store;
    std::unique_ptr<TMailTransport> m_Transport;
    std::unique_ptr<TGuardedHTTPServer> m_Server;
    // Set by Bind, before any request is served.
    std::string m_BaseURL;
    std::unique_ptr<TServiceMailer> m_Mailer;
    std::unique_ptr<TServiceActions> m_Actions;

    enum class TRunState { Idle, Serving, Done };
    std::mutex m_RunLock;
    std::condition_variable m_RunChanged;
    // Guarded by m_RunLock.
    bool m_Stopping = false;
    TRunState m_RunState = TRunState::Idle;
};
