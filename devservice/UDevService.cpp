#include "devservice/UDevService.h"

#include <curl/curl.h>
#include <httplib.h>
#include <sodium.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <ctime>

#include "devservice/UAuthenticatePage.h"
#include "devservice/UGuardedHTTPServer.h"
#include "devservice/UServiceActions.h"
#include "devservice/UServiceLog.h"
#include "devservice/UServiceMail.h"
#include "devservice/UServiceStore.h"
#include "devservice/UWebSite.h"

namespace {

void InitialiseLibraries() {
    static const bool initialised = [] {
        if (sodium_init() < 0)
            throw ServiceException("The cryptography library cannot be initialised.");
        curl_global_init(CURL_GLOBAL_DEFAULT);
        return true;
    }();
    (void)initialised;
}

int64_t SystemClock() {
    return static_cast<int64_t>(std::time(nullptr));
}

void SendPage(httplib::Response& response, const TPage& page) {
    response.status = page.Status;
    // The page holds a one-time token: never cached, never framed, never leaked by a referrer.
    response.set_header("Cache-Control", "no-store");
    response.set_header("Referrer-Policy", "no-referrer");
    response.set_header("X-Frame-Options", "DENY");
    response.set_header("Content-Security-Policy", "default-src 'none'; form-action 'self'; frame-ancestors 'none'");
    response.set_content(page.HTML, "text/html; charset=utf-8");
}

// A page of the site: the account page holds the user's data, so it is never cached or framed;
// its links lead to the program's own commands.
void SendSitePage(httplib::Response& response, const TPage& page, bool private_) {
    response.status = page.Status;
    if (private_) {
        response.set_header("Cache-Control", "no-store");
        response.set_header("Referrer-Policy", "no-referrer");
    }
    response.set_header("X-Frame-Options", "DENY");
    response.set_header("Content-Security-Policy",
                        "default-src 'none'; style-src 'unsafe-inline'; form-action 'self'; frame-ancestors 'none'");
    response.set_content(page.HTML, "text/html; charset=utf-8");
}

} // namespace

TDevService::TDevService(TServiceConfig config) : m_Config(std::move(config)) {
    InitialiseLibraries();
    if (!m_Config.Clock)
        m_Config.Clock = SystemClock;
    m_Store = std::make_unique<TServiceStore>(m_Config.DatabaseFile);
    m_Transport = m_Config.SMTPRelayURL.empty() ? NewOutboxTransport(m_Config.OutboxFolder)
                                                : NewSMTPTransport(m_Config.SMTPRelayURL);
    m_Server = std::make_unique<TGuardedHTTPServer>();
}

TDevService::~TDevService() {
    Stop();
}

int TDevService::Bind() {
    httplib::Server& server = *m_Server;
    errno = 0;
    const int port = m_Config.Port == 0
                         ? server.bind_to_any_port(m_Config.ListenAddress)
                         : (server.bind_to_port(m_Config.ListenAddress, m_Config.Port) ? m_Config.Port : -1);
    if (port <= 0) {
        const int error = errno;
        std::string reason = error == EADDRINUSE ? "the port is in use (is another tessivar-service running?)"
                             : error != 0        ? std::strerror(error)
                                                 : "the address cannot be used";
        throw ServiceException("Cannot listen on " + m_Config.ListenAddress + " port " + std::to_string(m_Config.Port) +
                               ": " + reason + ".");
    }
    m_BaseURL = m_Config.PublicBaseURL;
    if (m_BaseURL.empty()) {
        std::string host = m_Config.ListenAddress;
        if (host == "0.0.0.0" || host == "::" || host.empty())
            host = "127.0.0.1";
        else if (host.find(':') != std::string::npos)
            host = "[" + host + "]";
        m_BaseURL = "http://" + host + ":" + std::to_string(port);
    }
    while (!m_BaseURL.empty() && m_BaseURL.back() == '/')
        m_BaseURL.pop_back();
    m_Mailer = std::make_unique<TServiceMailer>(*m_Transport, m_BaseURL, m_Config.Clock);
    m_Actions = std::make_unique<TServiceActions>(*m_Store, *m_Mailer, m_Config.Clock);

    server.set_payload_max_length(MaxRequestBodyBytes);
    server.set_exception_handler([](const httplib::Request&, httplib::Response& response, std::exception_ptr error) {
        try {
            std::rethrow_exception(error);
        } catch (const std::exception& failure) {
            ServiceLog(std::string("Request failed: ") + failure.what());
        } catch (...) {
            ServiceLog("Request failed.");
        }
        response.status = 500;
        response.set_content("The service could not complete the request.\n", "text/plain");
    });
    server.Post("/Client.asmx", [this](const httplib::Request& request, httplib::Response& response) {
        const TServiceReply reply = m_Actions->Handle(request.body, request.remote_addr);
        response.status = reply.Status;
        response.set_content(reply.Body, "text/xml; charset=utf-8");
    });
    // Opening the link shows the request; only the button's POST authenticates.
    server.Get("/authenticate.aspx", [this](const httplib::Request& request, httplib::Response& response) {
        const std::string token = request.get_param_value("token");
        SendPage(response, AuthenticationRequestPage(m_Store->FindChallenge(token, m_Config.Clock()), token));
    });
    server.Post("/authenticate.aspx", [this](const httplib::Request& request, httplib::Response& response) {
        const TChallengeView challenge = m_Store->Authenticate(request.get_param_value("token"), m_Config.Clock());
        if (challenge.State == TTokenState::Valid) {
            ServiceLog(challenge.SenderEmailAddress + " authenticated for " + challenge.AccountEmailAddress + ".");
            m_Mailer->SendNotice(challenge);
        }
        SendPage(response, AuthenticationDonePage(challenge));
    });
    // The owner's confirmation of the account's address, again only by the button's POST; what
    // waited for it is sent at once.
    server.Get("/confirm.aspx", [this](const httplib::Request& request, httplib::Response& response) {
        const std::string token = request.get_param_value("token");
        SendPage(response, AddressConfirmationPage(m_Store->FindAddressConfirmation(token, m_Config.Clock()), token));
    });
    server.Post("/confirm.aspx", [this](const httplib::Request& request, httplib::Response& response) {
        const TConfirmationView confirmation =
            m_Store->ConfirmAddress(FormField(request.body, "token").value_or(""), m_Config.Clock());
        if (confirmation.State == TTokenState::Valid) {
            ServiceLog("The address of " + confirmation.Username + " is confirmed.");
            m_Mailer->SendImportNotices(*m_Store, confirmation.Released.ImportNotices);
            m_Mailer->SendChallenges(*m_Store, confirmation.Released.Challenges);
        }
        SendPage(response, AddressConfirmedPage(confirmation));
    });
    server.Get("/help/([A-Za-z]+\\.html)", [](const httplib::Request& request, httplib::Response& response) {
        if (const auto page = HelpPage(request.matches[1].str()))
            SendSitePage(response, {200, *page}, false);
        else
            SendSitePage(response, {404, "<!DOCTYPE html>\n<p>There is no such page.</p>\n"}, false);
    });
    server.Get("/upgrade.html", [](const httplib::Request&, httplib::Response& response) {
        SendSitePage(response, {200, UpgradePage()}, false);
    });
    server.Get("/", [](const httplib::Request&, httplib::Response& response) {
        response.set_redirect("/help/help.html");
    });
    // The program posts the stored credentials as a form body; credentials anywhere else (the
    // query string ends up in logs and histories) are refused.
    server.Post("/members/accountSetup.aspx", [this](const httplib::Request& request, httplib::Response& response) {
        const TSignIn signIn = m_Actions->SignIn(FormField(request.body, "username").value_or(""),
                                                 FormField(request.body, "password").value_or(""), request.remote_addr);
        if (signIn.State == TSignIn::TState::Throttled)
            return SendSitePage(response, AccountThrottledPage(), true);
        if (signIn.State != TSignIn::TState::Accepted)
            return SendSitePage(response, AccountRefusedPage(), true);
        SendSitePage(response, AccountSetupPage(m_Store->AccountView(*signIn.Account)), true);
    });
    server.Get("/members/accountSetup.aspx", [](const httplib::Request&, httplib::Response& response) {
        SendSitePage(response, AccountRefusedPage(), true);
    });
    return port;
}

void TDevService::SetRequestObserver(std::function<void(const TServedRequest&)> observer) {
    m_Server->set_logger([observer = std::move(observer)](const httplib::Request& request, const httplib::Response&) {
        TServedRequest served{request.method, request.path, {}, request.body};
        for (const auto& [name, value] : request.headers)
            served.Headers.emplace_back(name, value);
        observer(served);
    });
}

void TDevService::Run() {
    {
        std::lock_guard lock(m_RunLock);
        if (m_Stopping || !m_Actions)
            return;
        m_RunState = TRunState::Serving;
    }
    m_Server->listen_after_bind();
    std::lock_guard lock(m_RunLock);
    m_RunState = TRunState::Done;
    m_RunChanged.notify_all();
}

// The HTTP library ignores a stop that comes before its loop has begun, so the stop is repeated
// until Run has returned.
// The requests being answered are finished before Stop returns, so nothing they use is gone.
void TDevService::Stop() {
    std::unique_lock lock(m_RunLock);
    m_Stopping = true;
    while (m_RunState == TRunState::Serving) {
        lock.unlock();
        m_Server->stop();
        lock.lock();
        m_RunChanged.wait_for(lock, std::chrono::milliseconds(20), [this] { return m_RunState != TRunState::Serving; });
    }
    lock.unlock();
    m_Server->Shutdown();
}
