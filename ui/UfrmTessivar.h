#pragma once
// The main window: it owns the model for the whole run, serves the workers' threaded calls (through
// the model's message loop, pumped by Qt's event loop), shows the model's lists and the latest
// activity, carries the tray icon and its menu, runs the user interface's timers, and decides what
// the user sees at start, on opening from the tray and on closing. It lives in the tray: it is
// hidden until opened and hides again when closed. Where the desktop has no notification area it
// has a task-bar button instead, and closing it minimises it.
// Thread contract: the user-interface thread, which is the model's thread.

#include "ui/UTessivarPreferences.h"
#include "ui/UTessivarViews.h"

#include <QTimer>
#include <QWidget>

#include <functional>
#include <memory>
#include <string>

class TMessageLoop;
class TQtCallPump;
class TSynchronizationRetry;
class TTessivarBusinessLogic;
class TTessivarCaptionBand;
class TTessivarFooterBand;
class TTessivarLogItem;
class TTessivarPages;
class TTessivarTray;
struct TPageCommands;

// The windows the main window opens; each one missing leaves its way in out (or, for the
// notification, falls back to the tray's message).
struct TMainWindowPeers {
    // Clears the unlock password and shows the unlock window modally; true when it closed with OK.
    std::function<bool()> UnlockWindow;
    // The unlock window itself, brought to the front when it is already open.
    QWidget* UnlockForm = nullptr;
    std::function<void()> SetupWizard;
    std::function<void(const std::string& page)> ShowHelpPage;
    std::function<void(const QString& text, int milliseconds)> ShowNotification;
    std::function<void(const std::string& version)> NewVersion;
};

class TfrmTessivar : public QWidget, public ITessivarViewsOwner {
    Q_OBJECT
public:
    // Builds the window state and the model (not started: FormCreate). `trayAvailable` false gives
    // the window a task-bar button and makes closing minimise it.
    TfrmTessivar(TMessageLoop& loop, bool trayAvailable, TPageCommands commands);
    // Stops the model if Stop has not run, then destroys it.
    ~TfrmTessivar() override;

    // Starts the model ("Starting up...", Startup, "Startup complete."), locks the window when the
    // access lock is on, reads the preferences and places the window. Raises what Startup raises.
    void FormCreate();
    // The end of the run: the accounts are pointed back at their real servers while the workers'
    // last calls are still served, then the workers are refused and the model releases its records.
    // False when something failed (reported on standard error and in the trace).
    bool Stop();

    // The help button is shown when there is a help window to open.
    void SetPeers(TMainWindowPeers peers);
    // The preferences were changed: the next refresh follows them.
    void PreferencesChanged() { ApplyPreferencesToViews(); }

    void OpenMainWindow();
    void SetLocked(bool value);
    bool Locked() const { return m_Locked; }
    void ShowTrayMenu();
    void StartTrayAnimation() override;
    void StopTrayAnimation() override;
    void ShowStatusText(TTessivarLogItem& item);
    // The model's OnChange: rebuilds the lists (see ModelChanged for when).
    void RefreshViews();
    void StartSyncTimer() override;
    void ShowAlert(const QString& text);
    void ShowHelpPage(const std::string& page);
    void ShowNotification(const std::string& text, int milliseconds) override;
    void PlaySystemSound(const std::string& alias) override;

    TTessivarBusinessLogic& Model() const { return *m_Model; }
    TTessivarViews& Views() { return m_Views; }
    TTessivarPages& Pages() const { return *m_Pages; }
    TTessivarTray& Tray() const { return *m_Tray; }
    TTessivarCaptionBand& Caption() const { return *m_Caption; }
    TTessivarFooterBand& Footer() const { return *m_Footer; }
    TTessivarPreferences& Preferences() { return m_Preferences; }
    const QTimer& ServerSyncTimer() const { return m_tmrServerSync; }
    // Null once the window has stopped.
    const TSynchronizationRetry* SyncRetry() const { return m_SyncRetry.get(); }
    const QTimer& StatusTextTimer() const { return m_tmrStatusText; }
    bool TrayAvailable() const { return m_TrayAvailable; }
    // A refresh put off to space refreshes out is waiting.
    bool RefreshPending() const { return m_tmrRefresh.isActive(); }

    // Ends the program (as "E&xit" does).
    void EndProgram() { emit ExitRequested(); }

signals:
    // "E&xit", or closing the window in debug mode: the program is to end.
    void ExitRequested();

protected:
    void closeEvent(QCloseEvent* event) override;
    void changeEvent(QEvent* event) override;
    void mouseMoveEvent(QMouseEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;
    void leaveEvent(QEvent* event) override;

private:
    // The model's OnChange. A refresh costs time in proportion to the model; while the model changes
    // in quick succession (a pass storing hundreds of messages), refreshes are spaced so that they
    // take at most a fifth of the time and come at most twice a second, the changes in between shown
    // together, and the last ones shortly after the changes stop. Freed records are never shown: a
    // model that let records go is shown again at once.
    void ModelChanged();
    void ServerSyncTick();
    void ClearStatusText();
    // The edges of the frame under the point, for resizing a window without a system frame.
    Qt::Edges EdgesAt(const QPoint& point) const;
    void ApplyPreferencesToViews();
    // "Tessivar is locked." and an "Unlock" button, in place of the pages while locked.
    QWidget* NewLockedPanel();
    void ApplyMinimumSize();

    TMainWindowPeers m_Peers;
    const bool m_TrayAvailable;
    bool m_Locked = false;
    bool m_Stopped = false;
    bool m_InOpen = false;
    // A restore from the task bar has an unlock ask waiting for the window system to settle.
    bool m_UnlockOnRestorePending = false;

    TTessivarPreferences m_Preferences;
    TTessivarViews m_Views;
    std::unique_ptr<TQtCallPump> m_Pump;
    std::unique_ptr<TTessivarBusinessLogic> m_Model;
    // Tries a failed synchronisation again; goes before the model.
    std::unique_ptr<TSynchronizationRetry> m_SyncRetry;
    TMessageLoop& m_Loop;
    TTessivarCaptionBand* m_Caption;
    TTessivarPages* m_Pages;
    TTessivarFooterBand* m_Footer;
    QWidget* m_LockedPanel;
    std::unique_ptr<TTessivarTray> m_Tray;

    QTimer m_tmrServerSync;
    QTimer m_tmrStatusText;
    QTimer m_tmrRefresh;
    // How long the last refresh took and when it ended, for spacing refreshes.
    qint64 m_LastRefreshNs = 0;
    qint64 m_LastRefreshEndNs = 0;
    // The last refresh was one put off while changes kept coming.
    bool m_RefreshesPutOff = false;
};
