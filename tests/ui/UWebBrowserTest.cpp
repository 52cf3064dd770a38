// The embedded browser against the reference web service running in the test process.
#include "devservice/UDevService.h"
#include "service/LInternet.h"
#include "service/UHTTP.h"
#include "service/UTessivarServer.h"
#include "service/UXML.h"
#include "ui/UMessageBox.h"
#include "ui/UTessivarWebPages.h"
#include "ui/UfrmHelp.h"
#include "ui/UfrmNewVersion.h"

#include "tests/ui/DialogDriver.h"
#include "tests/ui/MainWindowFixture.h"

#include <QPushButton>
#include <QTest>
#include <QToolButton>
#include <QUrl>
#include <QWebEngineHistory>
#include <QWebEngineView>

#include <mutex>
#include <random>
#include <thread>

namespace {

class WebBrowserTest : public TMainWindowTest {
protected:
    void BeforeStart() override {
        std::random_device random;
        m_ServiceDir = std::filesystem::temp_directory_path() / ("tessivar-site-" + std::to_string(random()));
        TServiceConfig config;
        config.Port = 0;
        config.DatabaseFile = (m_ServiceDir / "service.db").string();
        config.OutboxFolder = (m_ServiceDir / "outbox").string();
        std::filesystem::create_directories(m_ServiceDir);
        m_Service = std::make_unique<TDevService>(config);
        m_Host = "127.0.0.1:" + std::to_string(m_Service->Bind());
        m_Service->SetRequestObserver([this](const TServedRequest& request) {
            std::lock_guard lock(m_Lock);
            m_Requests.push_back(request);
        });
        m_Runner = std::thread([this] { m_Service->Run(); });
    }
    void SetUp() override {
        TMainWindowTest::SetUp();
        // The site of the program's pages; the model keeps the service host it was made with.
        ::setenv("TESSIVAR_SERVICE_HOST", m_Host.c_str(), 1);
        TMessageBox::TakeAsked();
    }
    void TearDown() override {
        TMainWindowTest::TearDown();
        if (m_Service) {
            m_Service->Stop();
            m_Runner.join();
        }
        std::filesystem::remove_all(m_ServiceDir);
    }

    void CreateAccount(const std::string& username, const std::string& passwordXML) {
        auto argument = TXMLNode::ParseString("<AccountCreate><AccountCreateArgument><Username>" + username +
                                              "</Username><Password>" + passwordXML +
                                              "</Password></AccountCreateArgument></AccountCreate>");
        TInternetSession session;
        THTTPConnection connection(session);
        auto answer = SOAPCall(connection, m_Host, "Client.asmx", *argument, ServiceNamespace, "AccountCreate");
        ASSERT_NE(answer->Children().Find("AccountCreateResult"), nullptr);
    }
    void SetCredentials(const std::string& username, const std::string& password) {
        Model().SetUsername(username);
        Model().SetPassword(password);
    }

    std::vector<TServedRequest> Requests(const std::string& path) {
        std::lock_guard lock(m_Lock);
        std::vector<TServedRequest> found;
        for (const TServedRequest& request : m_Requests)
            if (request.Path == path)
                found.push_back(request);
        return found;
    }
    static std::string Header(const TServedRequest& request, const std::string& name) {
        for (const auto& [key, value] : request.Headers)
            if (QString::fromStdString(key).compare(QString::fromStdString(name), Qt::CaseInsensitive) == 0)
                return value;
        return "(missing)";
    }
    static QVariant Run(QWebEnginePage& page, const QString& script) {
        QVariant result;
        bool done = false;
        page.runJavaScript(script, [&](const QVariant& value) {
            result = value;
            done = true;
        });
        ProcessUntil([&] { return done; });
        return result;
    }
    // Clicks the element with the mouse, as the user would: scrolled into view, in its middle.
    static void ClickElement(TAccountSetupBrowser& browser, const QString& id) {
        const QVariantList box = Run(browser.Page(), QStringLiteral(R"(
            (function () {
                const e = document.getElementById('%1');
                e.scrollIntoView({block: 'center'});
                const r = e.getBoundingClientRect();
                return [r.left + r.width / 2, r.top + r.height / 2];
            })())")
                                                         .arg(id))
                                     .toList();
        ASSERT_EQ(box.size(), 2) << id.toStdString();
        QWidget* input = browser.Browser().focusProxy();
        ASSERT_NE(input, nullptr);
        QTest::mouseClick(input, Qt::LeftButton, {}, QPoint(box[0].toInt(), box[1].toInt()));
    }
    // Lets the browser and the service do what a click would have them do.
    static void Linger(int milliseconds = 400) {
        QElapsedTimer clock;
        clock.start();
        ProcessUntil([&] { return clock.elapsed() > milliseconds; });
    }

    std::filesystem::path m_ServiceDir;
    std::unique_ptr<TDevService> m_Service;
    std::string m_Host;
    std::thread m_Runner;
    std::mutex m_Lock;
    std::vector<TServedRequest> m_Requests; // guarded by m_Lock
};

const char* const AccountPagePath = "/members/accountSetup.aspx";

} // namespace

// The body goes out form-encoded byte for byte with the version header, and the page shows the
// account, also for a password holding the form's structure characters; each showing posts again;
// wrong credentials get the refusal page.
TEST_F(WebBrowserTest, AccountPageIsPostedWithTheStoredCredentialsEachTimeItIsShown) {
    CreateAccount("me@example.com", "p a%ss&amp;=x+\xC3\xA9");
    SetCredentials("me@example.com", "p a%ss&=x+\xC3\xA9");
    std::vector<std::string> commands;
    TAccountSetupBrowser browser([&](const std::string& command) { commands.push_back(command); }, Model());
    browser.resize(640, 480);
    browser.show();
    ASSERT_TRUE(ProcessUntil([&] { return Requests(AccountPagePath).size() == 1; }));
    const TServedRequest request = Requests(AccountPagePath)[0];
    EXPECT_EQ(request.Method, "POST");
    EXPECT_EQ(request.Body, "username=me%40example%2Ecom&password=p+a%25ss%26%3Dx%2B%C3%A9");
    EXPECT_EQ(Header(request, "X-Tessivar"), "01.02.0000");
    EXPECT_EQ(Header(request, "Content-Type"), "application/x-www-form-urlencoded");
    ASSERT_TRUE(ProcessUntil([&] { return browser.Page().title() == QStringLiteral("Your Tessivar account"); }));

    CreateAccount("you@example.com", "secret word");
    SetCredentials("you@example.com", "secret word");
    browser.hide();
    browser.show();
    ASSERT_TRUE(ProcessUntil([&] { return Requests(AccountPagePath).size() == 2; }));
    EXPECT_EQ(Requests(AccountPagePath)[1].Body, "username=you%40example%2Ecom&password=secret+word");
    QString html;
    EXPECT_TRUE(ProcessUntil([&] {
        html = Run(browser.Page(), QStringLiteral("document.documentElement.outerHTML")).toString();
        return html.contains(QStringLiteral("you@example.com"));
    })) << html.toStdString();
    EXPECT_EQ(browser.Page().title(), QStringLiteral("Your Tessivar account"));
    EXPECT_TRUE(html.contains(QStringLiteral("Active")));
    // No way back to the page that carried the first credentials.
    EXPECT_TRUE(ProcessUntil([&] { return !browser.Page().history()->canGoBack(); }));

    // Wrong credentials get the refusal page.
    SetCredentials("you@example.com", "wrong word");
    browser.ShowAccountSetupPage();
    EXPECT_TRUE(ProcessUntil([&] { return Requests(AccountPagePath).size() == 3; }));
    EXPECT_TRUE(ProcessUntil([&] { return browser.Page().title() == QStringLiteral("Sign-in failed"); }));
    EXPECT_TRUE(commands.empty());
}

// Each command link of the page, clicked by the user, runs its command and the page stays where it
// is; "TESSIVAR:" in capitals is no command link.
TEST_F(WebBrowserTest, CommandLinksRunTheirCommandsWithoutNavigating) {
    CreateAccount("me@example.com", "secret");
    SetCredentials("me@example.com", "secret");
    std::vector<std::string> commands;
    TAccountSetupBrowser browser(
        [&](const std::string& command) {
            commands.push_back(command);
            if (command == "reload") {
                TMessageBox::PresetAnswer(QMessageBox::Ok);
                m_Windows->ExecuteCommand(command);
            }
        },
        Model());
    browser.resize(640, 480);
    browser.show();
    ASSERT_TRUE(ProcessUntil([&] { return browser.Page().title() == QStringLiteral("Your Tessivar account"); }));
    const QUrl page = browser.Page().url();
    const size_t served = [this] {
        std::lock_guard lock(m_Lock);
        return m_Requests.size();
    }();

    for (const char* link :
         {"changepassword", "changemailaccounts", "changewordfilters", "changepreferences", "changelockaccess"}) {
        ClickElement(browser, QLatin1String(link));
        ASSERT_TRUE(ProcessUntil([&] { return !commands.empty() && commands.back() == link; })) << link;
    }
    EXPECT_EQ(commands.size(), 5u);

    Run(browser.Page(), QStringLiteral(R"(
        for (const [id, href] of [['query', 'tessivar:changepreferences?x=1'], ['mixed', 'tessivar:ChangePassword'],
                                  ['unknown', 'tessivar:reload'], ['capitals', 'TESSIVAR:changepassword']]) {
            const a = document.createElement('a');
            a.id = id;
            a.href = href;
            a.textContent = id;
            document.body.appendChild(a);
        }
        true)"));
    const std::pair<const char*, const char*> clicks[] = {
        {"query", "changepreferences"}, {"mixed", "ChangePassword"}, {"unknown", "reload"}};
    for (const auto& [id, command] : clicks) {
        ClickElement(browser, QLatin1String(id));
        ASSERT_TRUE(ProcessUntil([&] { return commands.back() == command; })) << id;
    }
    EXPECT_EQ(commands.size(), 8u);
    const auto asked = TMessageBox::TakeAsked();
    ASSERT_EQ(asked.size(), 1u);
    EXPECT_EQ(asked[0].Title, QStringLiteral("Alert"));
    EXPECT_EQ(asked[0].Text, QStringLiteral("Unknown Command: reload"));

    ClickElement(browser, QStringLiteral("capitals"));
    Linger();
    EXPECT_EQ(commands.size(), 8u);
    EXPECT_EQ(browser.Page().url(), page);
    std::lock_guard lock(m_Lock);
    EXPECT_EQ(m_Requests.size(), served);
}

// Only a link the user clicks on the members' page runs a command. A script sending the page to a
// command, a frame loading one or a link clicked inside it, a refresh that redirects to one, and a
// link clicked on a page of another site are all refused, and none of them loads anything.
TEST_F(WebBrowserTest, CommandsRunOnlyForALinkTheUserClickedOnTheMembersPage) {
    CreateAccount("me@example.com", "secret");
    SetCredentials("me@example.com", "secret");
    std::vector<std::string> commands;
    TAccountSetupBrowser browser([&](const std::string& command) { commands.push_back(command); }, Model());
    browser.resize(640, 480);
    browser.show();
    ASSERT_TRUE(ProcessUntil([&] { return browser.Page().title() == QStringLiteral("Your Tessivar account"); }));
    const QUrl page = browser.Page().url();

    const char* const attempts[] = {
        "location.href = 'tessivar:changepassword'; true",
        "window.location.assign('tessivar:changemailaccounts'); true",
        "const f = document.createElement('iframe'); f.src = 'tessivar:changewordfilters';"
        "document.body.appendChild(f); true",
        "const g = document.createElement('iframe'); g.id = 'inner';"
        "g.srcdoc = '<a id=\"x\" href=\"tessivar:changepreferences\">x</a>'; document.body.appendChild(g); true",
        "const m = document.createElement('meta'); m.httpEquiv = 'refresh';"
        "m.content = '0;url=tessivar:changelockaccess'; document.head.appendChild(m); true",
    };
    for (const char* attempt : attempts)
        Run(browser.Page(), QString::fromLatin1(attempt));
    ASSERT_TRUE(ProcessUntil([&] {
        return Run(browser.Page(), QStringLiteral("(function () { const g = document.getElementById('inner');"
                                                  "return !!(g && g.contentDocument && "
                                                  "g.contentDocument.getElementById('x')); })()"))
            .toBool();
    }));
    Run(browser.Page(), QStringLiteral("document.getElementById('inner').contentDocument.getElementById('x').click()"));
    // A script clicking the page's own link, and one that navigates just after the user's click.
    Run(browser.Page(), QStringLiteral("document.getElementById('changepassword').click(); true"));
    Linger(1500);
    EXPECT_TRUE(commands.empty());
    EXPECT_EQ(browser.Page().url(), page);

    // The user's own click on the page's link runs its command, once.
    ClickElement(browser, QStringLiteral("changepassword"));
    ASSERT_TRUE(ProcessUntil([&] { return !commands.empty(); }));
    Run(browser.Page(), QStringLiteral("location.href = 'tessivar:changelockaccess'; true"));
    Linger();
    EXPECT_EQ(commands, std::vector<std::string>{"changepassword"});
    EXPECT_EQ(browser.Page().url(), page);

    // The same link clicked on a page of the site outside the members' area does nothing.
    const QUrl help(QString::fromStdString("http://" + m_Host + "/help/index.html"));
    browser.Page().load(help);
    ASSERT_TRUE(ProcessUntil([&] { return browser.Page().url() == help && !browser.Page().isLoading(); }, 30000))
        << browser.Page().url().toString().toStdString();
    Run(browser.Page(), QStringLiteral("const a = document.createElement('a'); a.id = 'changepassword';"
                                       "a.href = 'tessivar:changepassword'; a.textContent = 'Change your password';"
                                       "document.body.appendChild(a); true"));
    ClickElement(browser, QStringLiteral("changepassword"));
    Linger(800);
    EXPECT_EQ(commands.size(), 1u);
}

// Created, the help window loads the public home page while hidden; a page shown brings it up;
// back and forward follow the browser's history.
TEST_F(WebBrowserTest, HelpWindowShowsPagesAndFollowsItsHistory) {
    TfrmHelp help;
    EXPECT_FALSE(help.isVisible());
    ASSERT_TRUE(ProcessUntil([&] { return !Requests("/help/help.html").empty(); }));
    EXPECT_EQ(help.windowTitle(), QStringLiteral("Help - Tessivar"));
    EXPECT_EQ(help.size(), QSize(380, 400));
    auto& back = Child<QToolButton>(help, "btnBack");
    auto& forward = Child<QToolButton>(help, "btnForward");
    ASSERT_TRUE(ProcessUntil([&] { return help.Browser().title() == QStringLiteral("Tessivar Help"); }));
    EXPECT_FALSE(back.isEnabled());
    EXPECT_FALSE(forward.isEnabled());

    help.ShowHelpPage("setupWizard.html#Account");
    EXPECT_TRUE(help.isVisible());
    ASSERT_TRUE(ProcessUntil([&] { return help.Browser().url().fragment() == QStringLiteral("Account"); }));
    EXPECT_EQ(help.Browser().url().toString().toStdString(), "http://" + m_Host + "/help/setupWizard.html#Account");
    ASSERT_TRUE(ProcessUntil([&] { return back.isEnabled(); }));
    EXPECT_FALSE(forward.isEnabled());

    back.click();
    ASSERT_TRUE(ProcessUntil([&] { return help.Browser().url().path().endsWith(QStringLiteral("/help/help.html")); }));
    ASSERT_TRUE(ProcessUntil([&] { return forward.isEnabled() && !back.isEnabled(); }));
    forward.click();
    ASSERT_TRUE(ProcessUntil([&] { return help.Browser().url().fragment() == QStringLiteral("Account"); }));
    ASSERT_TRUE(ProcessUntil([&] { return back.isEnabled() && !forward.isEnabled(); }));
    Child<QToolButton>(help, "btnHome").click();
    ASSERT_TRUE(ProcessUntil([&] { return help.Browser().url().path().endsWith(QStringLiteral("help.html")); }));
}

// From a modal window (the setup wizard) the help window comes up in front of it and takes input;
// shown later without one, it blocks nothing.
TEST_F(WebBrowserTest, HelpFromAModalWindowComesUpInFrontOfIt) {
    TfrmHelp help;
    QDialog wizard;
    bool inFront = false;
    QTimer::singleShot(0, &wizard, [&] {
        help.ShowHelpPage("importEmail.html");
        inFront = QApplication::activeModalWidget() == &help && help.isVisible();
        help.hide();
        wizard.reject();
    });
    wizard.exec();
    EXPECT_TRUE(inFront);
    help.ShowHelpPage("index.html");
    EXPECT_EQ(help.windowModality(), Qt::NonModal);
    EXPECT_EQ(QApplication::activeModalWidget(), nullptr);
}

// "Yes" opens the public upgrade page and ends the program; "No" and the cancel key only close.
TEST_F(WebBrowserTest, NewVersionPromptOpensTheUpgradePageAndEndsTheProgramOnYes) {
    std::vector<QUrl> opened;
    int ends = 0;
    TfrmNewVersion prompt([&] { ++ends; }, [&](const QUrl& url) { opened.push_back(url); });
    EXPECT_EQ(prompt.windowTitle(), QStringLiteral("New Version Available"));
    WhenShown(prompt, {[&] { Click(prompt, "btnNo"); }});
    EXPECT_FALSE(prompt.NewVersion("01.03.0000"));
    WhenShown(prompt, {[&] { prompt.reject(); }});
    EXPECT_FALSE(prompt.NewVersion("01.03.0000"));
    EXPECT_TRUE(opened.empty());
    EXPECT_EQ(ends, 0);

    WhenShown(prompt, {[&] {
                  EXPECT_TRUE(Child<QPushButton>(prompt, "btnYes").isDefault());
                  Click(prompt, "btnYes");
              }});
    EXPECT_TRUE(prompt.NewVersion("01.03.0000"));
    ASSERT_EQ(opened.size(), 1u);
    EXPECT_EQ(opened[0].toString().toStdString(), "http://" + m_Host + "/upgrade.html");
    EXPECT_EQ(ends, 1);
}
