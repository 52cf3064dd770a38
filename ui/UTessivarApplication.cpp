#include "ui/UTessivarApplication.h"

#include "app/UConsole.h"
#include "base/LStrings.h"
#include "base/UDebug.h"
#include "base/UWindows.h"
#include "core/UMessageLoop.h"
#include "core/UTessivarBusinessLogic.h"
#include "ui/UAccountSetupPage.h"
#include "ui/UTessivarIcons.h"
#include "ui/UTessivarPages.h"
#include "ui/UTessivarTray.h"
#include "ui/UTessivarWebPages.h"
#include "ui/UfrmChangePassword.h"
#include "ui/UfrmDomainName.h"
#include "ui/UfrmLockAccess.h"
#include "ui/UfrmPreferences.h"
#include "ui/UfrmSender.h"
#include "ui/UfrmTessivar.h"
#include "ui/UfrmUnlock.h"
#include "ui/UfrmWait.h"
#include "ui/UfrmWordFilters.h"

#include <QApplication>
#include <QTimer>

#include <cstdlib>
#include <iostream>

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
        : Main(loop, trayAvailable, Commands(owner)) {
        ChangePassword.SetWaitWindow(&Wait);
        TMainWindowPeers peers;
        peers.UnlockWindow = [this] { return Unlock.UnlockWindow(Main.Model()); };
        peers.UnlockForm = &Unlock;
        Main.SetPeers(std::move(peers));
        Main.Pages().SetAccountSetupPage(new TAccountSetupPage(
            {{"changepassword", QStringLiteral("Change the password of your Tessivar account")},
             {"changewordfilters", QStringLiteral("Words that block mail")},
             {"changepreferences", QStringLiteral("Preferences")},
             {"changelockaccess", QStringLiteral("Lock access to Tessivar with a password")}},
            [&owner](const std::string& command) { owner.ExecuteCommand(command); }));
    }

    TPageCommands Commands(TTessivarWindows&) {
        TPageCommands commands;
        commands.NewSender = [this] { Sender.NewSender(Main, Main.Model()); };
        commands.EditSender = [this](TTessivarEmailAddress& record) { Sender.EditSender(Main, record); };
        commands.NewDomainName = [this] { DomainName.NewDomainName(Main, Main.Model()); };
        commands.EditDomainName = [this](TTessivarDomainName& record) { DomainName.EditDomainName(Main, record); };
        return commands;
    }

    TfrmTessivar Main;
    TfrmWordFilters WordFilters;
    TfrmChangePassword ChangePassword;
    TfrmPreferences Preferences;
    TfrmUnlock Unlock;
    TfrmLockAccess LockAccess;
    TfrmDomainName DomainName;
    TfrmSender Sender;
    TfrmWait Wait;
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

void TTessivarWindows::ExecuteCommand(const std::string& command) {
    TfrmTessivar& main = m_Set->Main;
    if (SameText(command, "changepassword")) {
        m_Set->ChangePassword.ChangePassword(main.Model());
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

bool DisplayAvailable() {
    return EnvironmentSet("QT_QPA_PLATFORM") || EnvironmentSet("DISPLAY") || EnvironmentSet("WAYLAND_DISPLAY");
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
    QApplication::setApplicationDisplayName(QStringLiteral("Tessivar"));
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
        QObject::connect(&main, &TfrmTessivar::ExitRequested, &application, &QApplication::quit,
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
