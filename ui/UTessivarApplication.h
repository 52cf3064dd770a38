#pragma once
// The program with windows: the main sequence that creates every window once, shows what the
// start calls for, runs the event loop until the program ends, and stops the model in order.
// Main thread only.

#include <memory>
#include <string>

class QWidget;
class TfrmTessivar;
class TTessivarWindowSet;

// A display to show windows on: none named (neither QT_QPA_PLATFORM, DISPLAY nor WAYLAND_DISPLAY
// set), one named that cannot be opened (no server there, no permission), or one that opens.
enum class TDisplay { None, Unreachable, Available };
// Opening a display that cannot be opened ends a Qt program, so a child process tries it first.
// Call it before any thread is started.
TDisplay FindDisplay();

// Runs the tray application; returns the exit status (0 after a clean end, 1 when start-up failed
// or the mail programs could not all be restored).
int RunWindows(int argc, char** argv);

// The windows of one run, created once in order and shown again and again. Also what the tests
// build, with a model of their own.
class TTessivarWindows {
public:
    TTessivarWindows(class TMessageLoop& loop, bool trayAvailable);
    ~TTessivarWindows();
    TTessivarWindows(const TTessivarWindows&) = delete;
    TTessivarWindows& operator=(const TTessivarWindows&) = delete;

    TfrmTessivar& Main() const;
    // The in-page commands: "changepassword", "changemailaccounts", "changewordfilters",
    // "changepreferences", "changelockaccess" (letter case ignored); any other shows
    // "Unknown Command: " and the command.
    void ExecuteCommand(const std::string& command);
    // What the start shows: the main window with "debug" or "show", otherwise nothing.
    void ShowAtStart();

    class TfrmPreferences& Preferences() const;
    class TfrmUnlock& Unlock() const;
    class TfrmLockAccess& LockAccess() const;
    class TfrmChangePassword& ChangePassword() const;
    class TfrmWordFilters& WordFilters() const;
    class TfrmDomainName& DomainName() const;
    class TfrmSender& Sender() const;
    class TfrmWait& Wait() const;
    class TfrmNotification& Notification() const;
    class TfrmMailAccounts& MailAccounts() const;
    // None where the embedded browser cannot run.
    class TfrmHelp* Help() const;
    class TfrmSetupWizard& SetupWizard() const;
    class TfrmImportWizard& ImportWizard() const;

private:
    std::unique_ptr<TTessivarWindowSet> m_Set;
};
