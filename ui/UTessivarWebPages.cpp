#include "ui/UTessivarWebPages.h"

#include "base/UDebug.h"
#include "core/UTessivarBusinessLogic.h"
#include "service/LInternet.h"
#include "service/UTessivarServer.h"

#include <QCoreApplication>
#include <QKeyEvent>
#include <QShowEvent>
#include <QVBoxLayout>
#include <QWebEngineHistory>
#include <QWebEngineHttpRequest>
#include <QWebEngineProfile>

#include <unistd.h>
#include <QWebEngineScript>
#include <QWebEngineScriptCollection>
#include <QWebEngineUrlRequestJob>
#include <QWebEngineUrlScheme>
#include <QWebEngineUrlSchemeHandler>
#include <QWebEngineView>

const char* const ProductionWebHost = "www.tessivar.com";
const char* const VersionHeaderName = "X-Tessivar";
const char* const VersionHeaderValue = "01.02.0000";

namespace {

const char* const AccountSetupPageName = "accountSetup.aspx";

// The host part of "host", "host:port" or "[v6]:port", for the loopback test.
std::string_view HostName(std::string_view host) {
    if (!host.empty() && host.front() == '[') {
        const size_t end = host.find(']');
        return end == std::string_view::npos ? host : host.substr(0, end + 1);
    }
    const size_t colon = host.find(':');
    return colon != std::string_view::npos && host.find(':', colon + 1) == std::string_view::npos
               ? host.substr(0, colon)
               : host;
}

// The engine writes every scheme in lower case before the page sees a navigation, so a link is
// judged by its address as written in the page: one that names the command scheme in another
// letter case is no command, and as the browser has nothing to open it with, it opens nothing.
// The script runs in a world of its own, out of reach of the page's scripts.
const char* const LinkCaseScript = R"js(
(function () {
    document.addEventListener('click', function (event) {
        var node = event.target;
        while (node && node.nodeType === 1 && node.tagName !== 'A' && node.tagName !== 'AREA')
            node = node.parentNode;
        if (!node || node.nodeType !== 1 || !node.hasAttribute('href'))
            return;
        var href = node.getAttribute('href').trim();
        // A click that a script made up (element.click()) is no click of the user's.
        if (/^tessivar:/i.test(href) && (href.indexOf('tessivar:') !== 0 || !event.isTrusted))
            event.preventDefault();
    }, true);
})();
)js";

// A command link is never loaded: one that gets past the page's check (as the address of an image,
// say) is refused.
class TCommandSchemeHandler : public QWebEngineUrlSchemeHandler {
public:
    using QWebEngineUrlSchemeHandler::QWebEngineUrlSchemeHandler;
    void requestStarted(QWebEngineUrlRequestJob* job) override { job->fail(QWebEngineUrlRequestJob::RequestDenied); }
};

const char* const CommandSchemeName = "tessivar";

// How recent the user's click or key must be for the navigation it starts to run a command. The
// engine takes a moment to turn the click into a navigation, more on a loaded machine.
constexpr qint64 UserInputWindowMs = 3000;

// A click, or a key that follows a link.
bool IsActivation(const QEvent& event) {
    if (event.type() == QEvent::MouseButtonRelease)
        return true;
    if (event.type() != QEvent::KeyPress)
        return false;
    const int key = static_cast<const QKeyEvent&>(event).key();
    return key == Qt::Key_Return || key == Qt::Key_Enter || key == Qt::Key_Space;
}

} // namespace

void RegisterWebSchemes() {
    static const bool registered = [] {
        QWebEngineUrlScheme scheme(CommandSchemeName);
        scheme.setSyntax(QWebEngineUrlScheme::Syntax::Path);
        QWebEngineUrlScheme::registerScheme(scheme);
        return true;
    }();
    (void)registered;
}

std::string WebSiteRoot(bool local) {
    const char* variable = std::getenv(ServiceHostVariable);
    const std::string host = variable != nullptr && *variable != '\0' ? variable
                             : local                                  ? DevelopmentServiceHost
                                                                      : ProductionWebHost;
    return (IsLoopbackHost(HostName(host)) ? "http://" : "https://") + host;
}

std::string HelpBase() {
    return WebSiteRoot(UseLocalServices()) + "/help/";
}

std::string MembersBase() {
    return WebSiteRoot(UseLocalServices()) + "/members/";
}

std::string PublicHelpBase() {
    return WebSiteRoot(false) + "/help/";
}

std::string UpgradePageURL() {
    return WebSiteRoot(false) + "/upgrade.html";
}

bool EmbeddedBrowserAvailable() {
    return ::geteuid() != 0 || !qEnvironmentVariableIsEmpty("QTWEBENGINE_DISABLE_SANDBOX") ||
           qEnvironmentVariable("QTWEBENGINE_CHROMIUM_FLAGS").contains(QStringLiteral("--no-sandbox"));
}

std::optional<std::string> InPageCommand(const std::string& url) {
    constexpr std::string_view Scheme = "tessivar:";
    if (url.compare(0, Scheme.size(), Scheme) != 0)
        return std::nullopt;
    const std::string rest = url.substr(Scheme.size());
    return rest.substr(0, rest.find('?'));
}

bool IsMembersPage(const QUrl& page) {
    const QUrl members(QString::fromStdString(MembersBase()));
    const QUrl shown = page.adjusted(QUrl::NormalizePathSegments);
    return shown.isValid() && shown.scheme() == members.scheme() && shown.host() == members.host() &&
           shown.port(shown.scheme() == QLatin1String("https") ? 443 : 80) ==
               members.port(members.scheme() == QLatin1String("https") ? 443 : 80) &&
           shown.userInfo().isEmpty() && shown.path().startsWith(members.path());
}

std::string FormEncode(std::string_view text) {
    static const char Hex[] = "0123456789ABCDEF";
    std::string encoded;
    encoded.reserve(text.size() * 3);
    for (const char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        if ((byte >= 'A' && byte <= 'Z') || (byte >= 'a' && byte <= 'z') || (byte >= '0' && byte <= '9')) {
            encoded += c;
        } else if (byte == ' ') {
            encoded += '+';
        } else {
            encoded += '%';
            encoded += Hex[byte >> 4];
            encoded += Hex[byte & 0x0F];
        }
    }
    return encoded;
}

std::string FormBody(const TFormFields& fields) {
    std::string body;
    for (const auto& [name, value] : fields)
        body += (body.empty() ? "" : "&") + FormEncode(name) + "=" + FormEncode(value);
    return body;
}

TPostRequest PostRequest(const std::string& url, const TFormFields& fields) {
    TPostRequest request{url, {{VersionHeaderName, VersionHeaderValue}}, {}};
    if (!fields.empty()) {
        request.Body = FormBody(fields);
        request.Headers.emplace_back("Content-Type", "application/x-www-form-urlencoded");
    }
    return request;
}

void NavigateWithPost(QWebEnginePage& page, const std::string& url, const TFormFields& fields) {
    const TPostRequest request = PostRequest(url, fields);
    QWebEngineHttpRequest http(QUrl(QString::fromStdString(request.URL)),
                               request.Body.empty() ? QWebEngineHttpRequest::Get : QWebEngineHttpRequest::Post);
    for (const auto& [name, value] : request.Headers)
        http.setHeader(QByteArray::fromStdString(name), QByteArray::fromStdString(value));
    if (!request.Body.empty())
        http.setPostData(QByteArray::fromStdString(request.Body));
    Debug("NavigateWithPost: " + url);
    page.load(http);
    // No way back to a page that carried the credentials: the entry goes once the page has loaded.
    QObject::connect(
        &page, &QWebEnginePage::loadFinished, &page, [&page] { page.history()->clear(); }, Qt::SingleShotConnection);
}

std::unique_ptr<QWebEngineProfile> NewProgramProfile() {
    // A profile without a storage name is off the record: nothing of it reaches the disk.
    auto profile = std::make_unique<QWebEngineProfile>();
    profile->setHttpCacheType(QWebEngineProfile::NoCache);
    profile->setPersistentCookiesPolicy(QWebEngineProfile::NoPersistentCookies);
    if (QWebEngineUrlScheme::schemeByName(CommandSchemeName).name() == CommandSchemeName)
        profile->installUrlSchemeHandler(CommandSchemeName, new TCommandSchemeHandler(profile.get()));
    return profile;
}

// ---- The command page --------------------------------------------------------------------------

TCommandWebPage::TCommandWebPage(QWebEngineProfile* profile, std::function<void(const std::string&)> executeCommand,
                                 QObject* parent)
    : QWebEnginePage(profile, parent), m_ExecuteCommand(std::move(executeCommand)) {
    QWebEngineScript script;
    script.setName(QStringLiteral("tessivar-link-case"));
    script.setSourceCode(QString::fromLatin1(LinkCaseScript));
    script.setInjectionPoint(QWebEngineScript::DocumentCreation);
    script.setWorldId(QWebEngineScript::ApplicationWorld);
    script.setRunsOnSubFrames(true);
    scripts().insert(script);
    QCoreApplication::instance()->installEventFilter(this);
}

bool TCommandWebPage::eventFilter(QObject* watched, QEvent* event) {
    if (IsActivation(*event) && watched->isWidgetType()) {
        const QWebEngineView* view = QWebEngineView::forPage(this);
        auto* widget = static_cast<QWidget*>(watched);
        if (view != nullptr && (widget == view || view->isAncestorOf(widget)))
            m_LastUserInput.start();
    }
    return QWebEnginePage::eventFilter(watched, event);
}

bool TCommandWebPage::TakeUserInput() {
    const bool recent = m_LastUserInput.isValid() && m_LastUserInput.elapsed() <= UserInputWindowMs;
    m_LastUserInput.invalidate();
    return recent;
}

bool TCommandWebPage::acceptNavigationRequest(const QUrl& url, NavigationType type, bool isMainFrame) {
    const std::optional<std::string> command = InPageCommand(url.toString().toStdString());
    if (!command)
        return QWebEnginePage::acceptNavigationRequest(url, type, isMainFrame);
    if (type != NavigationTypeLinkClicked || !isMainFrame || !IsMembersPage(this->url()) || !TakeUserInput()) {
        Debug("In-page command ignored, as no link was clicked by the user on a members' page: " + *command +
              " (navigation type " + std::to_string(static_cast<int>(type)) + (isMainFrame ? "" : ", in a frame") +
              ", on " + this->url().toString().toStdString() + ")");
        return false;
    }
    Debug("In-page command: " + *command);
    // The command may open a modal window; the engine is not kept waiting for its answer.
    QMetaObject::invokeMethod(
        this, [this, run = *command] { m_ExecuteCommand(run); }, Qt::QueuedConnection);
    return false;
}

// ---- The Account Setup page --------------------------------------------------------------------

TAccountSetupBrowser::TAccountSetupBrowser(std::function<void(const std::string&)> executeCommand,
                                           TTessivarBusinessLogic& model, QWidget* parent)
    : QWidget(parent), m_Model(model), m_Profile(NewProgramProfile()) {
    setObjectName(QStringLiteral("pgAccountSetup"));
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    wbAccountSetup = new QWebEngineView(this);
    wbAccountSetup->setObjectName(QStringLiteral("wbAccountSetup"));
    m_Page = new TCommandWebPage(m_Profile.get(), std::move(executeCommand), wbAccountSetup);
    wbAccountSetup->setPage(m_Page);
    layout->addWidget(wbAccountSetup);
}

TAccountSetupBrowser::~TAccountSetupBrowser() {
    // The view owns the page, and a page must go before its profile.
    delete wbAccountSetup;
}

void TAccountSetupBrowser::ShowAccountSetupPage() {
    NavigateWithPost(*m_Page, MembersBase() + AccountSetupPageName,
                     {{"username", m_Model.Username()}, {"password", m_Model.Password()}});
}

void TAccountSetupBrowser::showEvent(QShowEvent* event) {
    QWidget::showEvent(event);
    if (!event->spontaneous())
        ShowAccountSetupPage();
}
