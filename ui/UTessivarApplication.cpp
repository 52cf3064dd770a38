#include "ui/UTessivarApplication.h"

#include "app/UConsole.h"
#include "base/LStrings.h"
#include "base/UDebug.h"
#include "base/UWindows.h"
#include "core/UMessageLoop.h"
#include "core/UTessivarBusinessLogic.h"
#include "ui/UAccountSetupPage.h"
#include "ui/UDialogSupport.h"
#include "ui/UTessivarIcons.h"
#include "ui/UTessivarPages.h"
#include "ui/UTessivarTray.h"
#include "ui/UTessivarWebPages.h"
#include "ui/UfrmChangePassword.h"
#include "ui/UfrmHelp.h"
#include "ui/UfrmImportWizard.h"
#include "ui/UfrmMailAccounts.h"
#include "ui/UfrmNewVersion.h"
#include "ui/UfrmNotification.h"
#include "ui/UfrmDomainName.h"
#include "ui/UfrmLockAccess.h"
#include "ui/UfrmPreferences.h"
#include "ui/UfrmSender.h"
#include "ui/UfrmSetupWizard.h"
#include "ui/UfrmTessivar.h"
#include "ui/UfrmUnlock.h"
#include "ui/UfrmWait.h"
#include "ui/UfrmWordFilters.h"

#include <QApplication>
#include <QGuiApplication>
#include <QDesktopServices>
#include <QUrl>
#include <QTimer>

#include <cerrno>
#include <cstdlib>
#include <iostream>

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

bool EnvironmentSet(const char* name) {
    const char* value = std::getenv(name);
    return value && *value;
}

} // namespace

// Every window of the run, in the order they are created. Destroyed in reverse: the main window
// (and with it the model) last but for nothing that refers to it.
class TTessivarWindowSet {
public:
    TTessivarWindowSet(TTessivarWindows& owner, TMessageLoop& loop, bool trayAvailable)
        : Main(loop, trayAvailable, Commands()),
          ImportWizard([this](const std::string& page) { ShowHelpPage(page); }),
          NewVersion([this] { Main.EndProgram(); }),
          SetupWizard(Main.Model(), SetupWizardPeers()) {
        // The notification window is the anchor: closing it ends the program.
        QObject::connect(&Notification, &TfrmNotification::ProgramEndRequested, &Main, &TfrmTessivar::EndProgram);
        // "Open" on the desktop's notification: the window on the mail awaiting authorization.
        QObject::connect(&Notification, &TfrmNotification::OpenRequested, &Main, &TfrmTessivar::OpenMainWindow);
        Notification.SetTrayMessage([this](const QString& text, int milliseconds) {
            Main.Tray().ShowMessage(Main.windowTitle(), text, milliseconds);
        });
        ChangePassword.SetWaitWindow(&Wait);
        TMainWindowPeers peers;
        peers.UnlockWindow = [this] { return Unlock.UnlockWindow(Main.Model()); };
        peers.UnlockForm = &Unlock;
        peers.ShowHelpPage = [this](const std::string& page) { ShowHelpPage(page); };
        peers.ShowNotification = [this](const QString& text, int milliseconds) {
            Notification.ShowNotification(text, milliseconds);
        };
        peers.NewVersion = [this](const std::string& version) { NewVersion.NewVersion(version); };
        peers.SetupWizard = [this] { SetupWizard.ShowWizard(); };
        Main.SetPeers(std::move(peers));
        const auto execute = [&owner](const std::string& command) { owner.ExecuteCommand(command); };
        if (Help) {
            Main.Pages().SetAccountSetupPage(new TAccountSetupBrowser(execute, Main.Model()));
        } else {
            std::cerr << "tessivar: the embedded web pages cannot be shown to root (the browser engine needs its "
                         "sandbox); Account Setup offers its settings as links and help opens in your web browser."
                      << std::endl;
            Main.Pages().SetAccountSetupPage(new TAccountSetupPage(
                {{"changepassword", QStringLiteral("Change the password of your Tessivar account")},
                 {"changemailaccounts", QStringLiteral("Mail accounts to screen")},
                 {"changewordfilters", QStringLiteral("Words that block mail")},
                 {"changepreferences", QStringLiteral("Preferences")},
                 {"changelockaccess", QStringLiteral("Lock access to Tessivar with a password")}},
                execute));
        }
    }

    // The help window, or where it cannot be shown the same page in the user's web browser.
    void ShowHelpPage(const std::string& page) {
        if (Help)
            Help->ShowHelpPage(page);
        else
            OpenInWebBrowser(&Main, QString::fromStdString(HelpBase() + page));
    }

    TPageCommands Commands() {
        TPageCommands commands;
        commands.NewSender = [this] { Sender.NewSender(Main, Main.Model()); };
        commands.EditSender = [this](TTessivarEmailAddress& record) { Sender.EditSender(Main, record); };
        commands.NewDomainName = [this] { DomainName.NewDomainName(Main, Main.Model()); };
        commands.EditDomainName = [this](TTessivarDomainName& record) { DomainName.EditDomainName(Main, record); };
        commands.ImportContacts = [this] { ImportWizard.ImportContacts(Main.Model()); };
        return commands;
    }

    TSetupWizardPeers SetupWizardPeers() {
        TSetupWizardPeers peers;
        peers.ShowHelpPage = [this](const std::string& page) { ShowHelpPage(page); };
        peers.OpenMainWindow = [this] { Main.OpenMainWindow(); };
        peers.EndProgram = [this] { Main.EndProgram(); };
        return peers;
    }

    TfrmNotification Notification;
    TfrmTessivar Main;
    TfrmWordFilters WordFilters;
    TfrmMailAccounts MailAccounts;
    TfrmChangePassword ChangePassword;
    TfrmPreferences Preferences;
    TfrmUnlock Unlock;
    TfrmLockAccess LockAccess;
    TfrmDomainName DomainName;
    TfrmSender Sender;
    TfrmImportWizard ImportWizard;
    TfrmWait Wait;
    TfrmNewVersion NewVersion;
    // None where the embedded browser cannot run.
    std::unique_ptr<TfrmHelp> Help = EmbeddedBrowserAvailable() ? std::make_unique<TfrmHelp>() : nullptr;
    TfrmSetupWizard SetupWizard;
};

TTessivarWindows::TTessivarWindows(TMessageLoop& loop, bool trayAvailable)
    : m_Set(std::make_unique<TTessivarWindowSet>(*this, loop, trayAvailable)) {}

TTessivarWindows::~TTessivarWindows() = default;

TfrmTessivar& TTessivarWindows::Main() const {
    return m_Set->Main;
}
TfrmPreferences& TTessivarWindows::Preferences() const {
    return m_Set->Preferences;
}
TfrmUnlock& TTessivarWindows::Unlock() const {
    return m_Set->Unlock;
}
TfrmLockAccess& TTessivarWindows::LockAccess() const {
    return m_Set->LockAccess;
}
TfrmChangePassword& TTessivarWindows::ChangePassword() const {
    return m_Set->ChangePassword;
}
TfrmWordFilters& TTessivarWindows::WordFilters() const {
    return m_Set->WordFilters;
}
TfrmDomainName& TTessivarWindows::DomainName() const {
    return m_Set->DomainName;
}
TfrmSender& TTessivarWindows::Sender() const {
    return m_Set->Sender;
}
TfrmWait& TTessivarWindows::Wait() const {
    return m_Set->Wait;
}
TfrmNotification& TTessivarWindows::Notification() const {
    return m_Set->Notification;
}
TfrmMailAccounts& TTessivarWindows::MailAccounts() const {
    return m_Set->MailAccounts;
}
TfrmHelp* TTessivarWindows::Help() const {
    return m_Set->Help.get();
}
TfrmSetupWizard& TTessivarWindows::SetupWizard() const {
    return m_Set->SetupWizard;
}
TfrmImportWizard& TTessivarWindows::ImportWizard() const {
    return m_Set->ImportWizard;
}

void TTessivarWindows::ExecuteCommand(const std::string& command) {
    TfrmTessivar& main = m_Set->Main;
    if (SameText(command, "changepassword")) {
        m_Set->ChangePassword.ChangePassword(main.Model());
    } else if (SameText(command, "changemailaccounts")) {
        m_Set->MailAccounts.EditMailAccounts(main.Model());
    } else if (SameText(command, "changewordfilters")) {
        m_Set->WordFilters.EditWordFilters(main.Model());
    } else if (SameText(command, "changepreferences")) {
        if (m_Set->Preferences.EditPreferences(main.Preferences()))
            main.PreferencesChanged();
    } else if (SameText(command, "changelockaccess")) {
        m_Set->LockAccess.EditLockAccess(main.Model());
    } else {
        main.ShowAlert(QStringLiteral("Unknown Command: ") + QString::fromStdString(command));
    }
}

void TTessivarWindows::ShowAtStart() {
    TfrmTessivar& main = m_Set->Main;
    if (main.Model().SetupRequired() || DebugMode() || HasParam("show") || !main.TrayAvailable())
        main.OpenMainWindow();
}

TDisplay FindDisplay() {
    if (!EnvironmentSet("QT_QPA_PLATFORM") && !EnvironmentSet("DISPLAY") && !EnvironmentSet("WAYLAND_DISPLAY"))
        return TDisplay::None;
    const pid_t child = ::fork();
    if (child < 0)
        return TDisplay::Available; // cannot tell: let the program try
    if (child == 0) {
        // The child says nothing (Qt's complaint would read as the program's) and leaves no core
        // file when Qt ends it.
        const rlimit noCore{0, 0};
        ::setrlimit(RLIMIT_CORE, &noCore);
        if (const int null = ::open("/dev/null", O_WRONLY); null >= 0) {
            ::dup2(null, STDOUT_FILENO);
            ::dup2(null, STDERR_FILENO);
        }
        int argc = 1;
        char name[] = "tessivar";
        char* argv[] = {name, nullptr};
        QGuiApplication probe(argc, argv);
        ::_exit(0);
    }
    int status = 0;
    while (::waitpid(child, &status, 0) < 0 && errno == EINTR) {
    }
    return WIFEXITED(status) && WEXITSTATUS(status) == 0 ? TDisplay::Available : TDisplay::Unreachable;
}

int RunWindows(int argc, char** argv) {
    // The model's message loop first: its thread is this one, and Qt's event loop drives it.
    TMessageLoop loop;
    loop.SetQuitBeginsShutdown(false);
    TQuitOnSignals quitOnSignals(loop);

    // The embedded browser shares its drawing contexts; this must come before the application.
    QCoreApplication::setAttribute(Qt::AA_ShareOpenGLContexts);
    RegisterWebSchemes();
    QApplication application(argc, argv);
    QApplication::setApplicationName(QStringLiteral("Tessivar"));
    // No display name: the desktop would add it to every caption ("Preferences — Tessivar").
    QApplication::setDesktopFileName(QStringLiteral("tessivar"));
    QApplication::setWindowIcon(ApplicationIcon());
    // Windows are hidden and shown again and again; only "E&xit" ends the program.
    QApplication::setQuitOnLastWindowClosed(false);

    const bool trayAvailable = TTessivarTray::Available();
    if (!trayAvailable)
        std::cerr << "tessivar: the desktop has no notification area; the window stays on the task bar "
                     "(closing it minimises it)."
                  << std::endl;
    int exitCode = 0;
    try {
        TTessivarWindows windows(loop, trayAvailable);
        TfrmTessivar& main = windows.Main();
        // exit, not quit: quit first asks every window to close, and a window may ask the user
        // (the set-up wizard does) instead of letting the program end.
        QObject::connect(
            &main, &TfrmTessivar::ExitRequested, &application, [] { QCoreApplication::exit(0); },
            Qt::QueuedConnection);
        try {
            main.FormCreate();
            // Inside the event loop: what the start shows may be modal, and only a running loop can
            // be ended (by "E&xit" or a quit signal) while it is up.
            QTimer::singleShot(0, &main, [&windows] { windows.ShowAtStart(); });
            QApplication::exec();
        } catch (const std::exception& error) {
            Report(error);
            exitCode = ExitFailure;
        }
        if (!main.Stop())
            exitCode = ExitFailure;
    } catch (const std::exception& error) {
        Report(error);
        exitCode = ExitFailure;
    }
    return exitCode;
}
