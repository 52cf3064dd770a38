#pragma once
// The web site inside the program: where its pages live, the account setup page posted with the
// stored credentials, and the browser page that turns "tessivar:" links into local commands before
// the browser would follow them.
// Thread contract: the user-interface thread (the model's thread) only; the text functions are pure
// and may be called from any thread.

#include <QElapsedTimer>
#include <QWebEnginePage>
#include <QWidget>

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

class QWebEngineProfile;
class QWebEngineView;
class TTessivarBusinessLogic;

// The public web site's host; the service host variable (TESSIVAR_SERVICE_HOST) wins over it.
extern const char* const ProductionWebHost;
// The program's version as the site sees it, sent with every account page request.
extern const char* const VersionHeaderName;
extern const char* const VersionHeaderValue;

// "scheme://host" of the web site: the service host variable's host when set, else the reference
// service with `local`, else the public host. Loopback hosts are reached over http, others over https.
std::string WebSiteRoot(bool local);
// The help folder and the members area of this run (the "local" switch chooses the site).
std::string HelpBase();
std::string MembersBase();
// The public site's help folder, whatever the switch: the help window's home page lives there.
std::string PublicHelpBase();
// The public site's page offering the newest version of the program.
std::string UpgradePageURL();

// The embedded browser can run in this process: the engine refuses to start as root unless its
// sandbox is switched off for the run (QTWEBENGINE_DISABLE_SANDBOX, or --no-sandbox in
// QTWEBENGINE_CHROMIUM_FLAGS), which only tests do.
bool EmbeddedBrowserAvailable();

// The command of an in-page link: the text after "tessivar:" (letter case as written) up to the
// first "?"; none for a link of any other scheme, which the browser follows itself.
std::optional<std::string> InPageCommand(const std::string& url);

// The page lies in the members area of this run's web site (MembersBase): same scheme, host and
// port, and a path inside its folder.
bool IsMembersPage(const QUrl& page);

// Form encoding (application/x-www-form-urlencoded) of one name or one value: A-Z, a-z and 0-9 are
// copied, a blank becomes "+", every other byte ("&" and "=" included) becomes "%" and two
// upper-case hexadecimal digits.
std::string FormEncode(std::string_view text);

// The fields of a form, in order: name and value, as they are before encoding.
using TFormFields = std::vector<std::pair<std::string, std::string>>;
// "name=value" for each field, each name and value form-encoded, joined by "&".
std::string FormBody(const TFormFields& fields);

// One request of NavigateWithPost as it goes out: headers in order, and the body.
struct TPostRequest {
    std::string URL;
    std::vector<std::pair<std::string, std::string>> Headers;
    std::string Body;
};
// The version header, and with fields the form-encoded body and its content type.
TPostRequest PostRequest(const std::string& url, const TFormFields& fields);
// Loads the request in the page. The page's profile keeps no cache; the page keeps no history of it.
void NavigateWithPost(QWebEnginePage& page, const std::string& url, const TFormFields& fields);

// A page that looks at every navigation first: a link of the "tessivar:" scheme (letter case as
// written in the page) is never followed, and the page stays where it is. Its command runs only
// for a link the user clicked (or chose with a key) in the page itself, not in a frame, while a
// members' page is shown: a script, a frame, a redirect or a page of another site cannot open the
// program's windows. The engine reports a script's navigation as a clicked link, so the page also
// watches the user's own clicks and keys in its view: a command needs one in the moments before.
class TCommandWebPage : public QWebEnginePage {
    Q_OBJECT
public:
    TCommandWebPage(QWebEngineProfile* profile, std::function<void(const std::string&)> executeCommand,
                    QObject* parent);

protected:
    bool acceptNavigationRequest(const QUrl& url, NavigationType type, bool isMainFrame) override;
    // Notes the user's clicks and keys on the page's view (all widgets pass here: its input widget
    // is the engine's own).
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    // A click or key of the user on the view came in the last moments; each one lets one command run.
    bool TakeUserInput();

    std::function<void(const std::string&)> m_ExecuteCommand;
    QElapsedTimer m_LastUserInput; // invalid until the user clicks or presses a key on the view
};

// The Account Setup page of the main window: the members area's account page, posted with the
// model's stored credentials each time the page is shown.
class TAccountSetupBrowser : public QWidget {
    Q_OBJECT
public:
    TAccountSetupBrowser(std::function<void(const std::string&)> executeCommand, TTessivarBusinessLogic& model,
                         QWidget* parent = nullptr);
    ~TAccountSetupBrowser() override;

    // Posts "username=...&password=..." to the account page.
    void ShowAccountSetupPage();
    QWebEngineView& Browser() const { return *wbAccountSetup; }
    TCommandWebPage& Page() const { return *m_Page; }

protected:
    // Showing the page (its tab chosen, the window opened on it) loads it again.
    void showEvent(QShowEvent* event) override;

private:
    TTessivarBusinessLogic& m_Model;
    // Outlives the page and its view, which the destructor deletes first.
    std::unique_ptr<QWebEngineProfile> m_Profile;
    QWebEngineView* wbAccountSetup;
    TCommandWebPage* m_Page;
};

// Makes "tessivar:" a scheme the engine knows, so that its links reach the page's navigation check
// like any other link (the engine hands links of unknown schemes to the desktop instead). Runs
// before the application object is made; later calls do nothing.
void RegisterWebSchemes();

// A profile of the program's own that keeps nothing on disk and caches nothing. The caller owns it
// and must delete every page of it first.
std::unique_ptr<QWebEngineProfile> NewProgramProfile();
