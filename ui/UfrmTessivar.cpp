#include "ui/UfrmTessivar.h"

#include "app/UHeadless.h"
#include "base/UDebug.h"
#include "core/UMessageLoop.h"
#include "core/UTessivarBusinessLogic.h"
#include "core/UTessivarLogItem.h"
#include "service/UTessivarSynchronizationRetry.h"
#include "ui/UMessageBox.h"
#include "ui/UQtCallPump.h"
#include "ui/USystemSound.h"
#include "ui/UTessivarFrame.h"
#include "ui/UTessivarIcons.h"
#include "ui/UTessivarLayoutState.h"
#include "ui/UTessivarLists.h"
#include "ui/UTessivarPages.h"
#include "ui/UTessivarTray.h"

#include <QAccessibleWidget>
#include <QApplication>
#include <QCloseEvent>
#include <QElapsedTimer>
#include <QLabel>
#include <QMouseEvent>
#include <QPushButton>
#include <QVBoxLayout>
#include <QWindow>

#include <algorithm>

namespace {

const char* const WindowCaption = "Tessivar";
constexpr int MinimumWidth = 596;
constexpr int MinimumHeight = 370;
constexpr int ServerSyncMs = 5000;
constexpr int StatusTextMs = 3000;
// How long a restore from the task bar waits before it asks for the unlock password.
constexpr int RestoreSettleMs = 150;
// The band around the window's content where dragging resizes it.
constexpr int ResizeBorder = 4;
// While changes keep coming, a refresh follows the previous one only after RefreshSpacing times its
// duration: refreshes take at most a fifth of the time. Once refreshes are being put off (a pass
// storing hundreds of messages), they keep up to RefreshGapNs apart, two a second however quick each
// one is, unless the changes stop for QuietNs first: the end of a burst is shown soon after it. A
// change after a quiet spell (the user's click) is shown at once.
constexpr qint64 RefreshSpacing = 4;
constexpr qint64 RefreshGapNs = 500'000'000;
constexpr qint64 QuietNs = 50'000'000;

// Screen readers are told that the program's windows made of plain widgets (the main window, the
// notification and help windows) are windows: they would be exposed as mere fillers.
QAccessibleInterface* MainWindowAccessible(const QString& className, QObject* object) {
    if ((className == QLatin1String("TfrmTessivar") || className == QLatin1String("TfrmNotification") ||
         className == QLatin1String("TfrmHelp")) &&
        object && object->isWidgetType())
        return new QAccessibleWidget(static_cast<QWidget*>(object), QAccessible::Window);
    return nullptr;
}

qint64 NowNs() {
    static const QElapsedTimer clock = [] {
        QElapsedTimer started;
        started.start();
        return started;
    }();
    return clock.nsecsElapsed();
}

} // namespace

TfrmTessivar::TfrmTessivar(TMessageLoop& loop, bool trayAvailable, TPageCommands commands)
    : QWidget(nullptr), m_TrayAvailable(trayAvailable), m_Views(*this),
      m_Pump(std::make_unique<TQtCallPump>(loop)), m_Loop(loop) {
    static const bool factoryInstalled = [] {
        QAccessible::installFactory(MainWindowAccessible);
        return true;
    }();
    (void)factoryInstalled;
    setObjectName(QStringLiteral("frmTessivar"));
    setWindowTitle(QString::fromLatin1(WindowCaption));
    setWindowIcon(ApplicationIcon());
    // Without a system frame: the window draws its caption and is moved and resized by hand. In the
    // tray it has no task-bar button; without a tray it needs one to be found again.
    setWindowFlags(Qt::Window | Qt::FramelessWindowHint | (trayAvailable ? Qt::Tool : Qt::Widget));
    setMinimumSize(MinimumWidth, MinimumHeight);
    setMouseTracking(true);

    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(ResizeBorder, ResizeBorder, ResizeBorder, ResizeBorder);
    layout->setSpacing(0);
    m_Caption = new TTessivarCaptionBand(this);
    m_Pages = new TTessivarPages(m_Views, std::move(commands), this);
    m_Footer = new TTessivarFooterBand(this);
    m_LockedPanel = NewLockedPanel();
    layout->addWidget(m_Caption);
    layout->addWidget(m_Pages, 1);
    layout->addWidget(m_LockedPanel, 1);
    layout->addWidget(m_Footer);
    m_LockedPanel->hide();
    connect(&m_Caption->CloseButton(), &QAbstractButton::clicked, this, &QWidget::close);
    connect(&m_Caption->HelpButton(), &QAbstractButton::clicked, this, [this] { ShowHelpPage("index.html"); });
    connect(&m_Caption->ExitButton(), &QAbstractButton::clicked, this, &TfrmTessivar::ExitRequested);
    m_Caption->ExitButton().setVisible(!trayAvailable);

    // The form's creation steps: the help button (once there is help to show), the first pages, the
    // tray's state and timers.
    m_Caption->HelpButton().setVisible(false);
    m_Pages->SelectFirstPages();
    m_Tray = std::make_unique<TTessivarTray>(windowTitle());
    connect(m_Tray.get(), &TTessivarTray::OpenRequested, this, &TfrmTessivar::OpenMainWindow);
    connect(m_Tray.get(), &TTessivarTray::ExitRequested, this, &TfrmTessivar::ExitRequested);
    connect(m_Tray.get(), &TTessivarTray::MenuRequested, this, [this] {
        if (isVisible())
            activateWindow();
    });
    connect(m_Pump.get(), &TQtCallPump::QuitRequested, this, &TfrmTessivar::ExitRequested);

    m_tmrServerSync.setSingleShot(true);
    m_tmrServerSync.setInterval(ServerSyncMs);
    connect(&m_tmrServerSync, &QTimer::timeout, this, &TfrmTessivar::ServerSyncTick);
    m_tmrStatusText.setSingleShot(true);
    m_tmrStatusText.setInterval(StatusTextMs);
    connect(&m_tmrStatusText, &QTimer::timeout, this, &TfrmTessivar::ClearStatusText);
    m_tmrRefresh.setSingleShot(true);
    connect(&m_tmrRefresh, &QTimer::timeout, this, [this] {
        RefreshViews();
        m_RefreshesPutOff = true;
    });

    m_Model = std::make_unique<TTessivarBusinessLogic>(loop);
    m_Model->OnChange = [this](TTessivarBusinessLogic&) { ModelChanged(); };
    m_Model->OnLogItem = [this](TTessivarLogItem& item) { ShowStatusText(item); };
    m_SyncRetry = std::make_unique<TSynchronizationRetry>(loop, *m_Model);
    m_Model->OnAccountClosed = [this](TAccountStatus, const std::string& title, const std::string& text) {
        TMessageBox::Show(this, QMessageBox::Critical, DisplayText(title), DisplayText(text), QMessageBox::Ok);
        emit ExitRequested();
    };
    m_Model->OnNewVersion = [this](const std::string& version) {
        if (m_Peers.NewVersion)
            m_Peers.NewVersion(version);
        else
            m_Model->AddLogItem("A new version of Tessivar (" + version + ") is available.", 0);
    };
}

TfrmTessivar::~TfrmTessivar() {
    Stop();
    // The lists' views go before the lists they show, and the model after every record user.
    delete m_Pages;
    m_Pages = nullptr;
    m_Model.reset();
}

void TfrmTessivar::SetPeers(TMainWindowPeers peers) {
    m_Peers = std::move(peers);
    m_Caption->HelpButton().setVisible(static_cast<bool>(m_Peers.ShowHelpPage));
}

void TfrmTessivar::FormCreate() {
    m_Model->AddLogItem("Starting up...", 0);
    m_Model->Startup();
    m_Model->AddLogItem("Startup complete.", 0);
    // The refreshes run by the log items before the model was loaded counted an empty model: the
    // first one that sees the loaded model is the first refresh, which never announces the mail
    // already waiting. It runs now, not spaced out after the preferences are read.
    m_Views.ForgetAwaitingCount();
    RefreshViews();
    SetLocked(m_Model->LockAccess());
    ReadPreferences(m_Preferences);
    ApplyPreferencesToViews();
    ApplyMinimumSize();
    RestoreWindowPosition(*this, m_Preferences);
    if (m_Preferences.StartupRememberPosition)
        RestoreListLayout(*m_Pages);
    m_Tray->Show();
}

bool TfrmTessivar::Stop() {
    if (m_Stopped)
        return true;
    m_Stopped = true;
    m_tmrServerSync.stop();
    m_tmrRefresh.stop();
    m_Tray->Hide();
    // The model is about to release its records: nothing may show them any more.
    m_Model->OnChange = nullptr;
    m_Model->OnLogItem = nullptr;
    m_Model->OnAccountClosed = nullptr;
    m_Model->OnNewVersion = nullptr;
    m_SyncRetry.reset();
    m_Views.Clear();
    return StopScreening(m_Loop, *m_Model);
}

void TfrmTessivar::ApplyPreferencesToViews() {
    m_Views.Preferences.AutomaticallyDeleteBlockedMail = m_Preferences.AutomaticallyDeleteBlockedMail;
    m_Views.Preferences.AutomaticallyDeleteBlockedMailDays = m_Preferences.AutomaticallyDeleteBlockedMailDays;
    m_Views.Preferences.NewMessageNotificationWindow = m_Preferences.NewMessageNotificationWindow;
    m_Views.Preferences.NewMessageNotificationSound = m_Preferences.NewMessageNotificationSound;
    m_Views.Preferences.NewMessageAnimateTrayIcon = m_Preferences.NewMessageAnimateTrayIcon;
}

void TfrmTessivar::OpenMainWindow() {
    // A second "Open" while the unlock window is up only brings that window forward.
    if (m_InOpen) {
        if (m_Peers.UnlockForm && m_Peers.UnlockForm->isVisible()) {
            m_Peers.UnlockForm->raise();
            m_Peers.UnlockForm->activateWindow();
        }
        return;
    }
    if (m_Model->SetupRequired()) {
        if (m_Peers.SetupWizard) {
            m_Peers.SetupWizard();
            return;
        }
        // Without the set-up window the account is set up from the command line; the lists are
        // still worth seeing.
        ShowAlert(QStringLiteral("No Tessivar web account is set up, so unknown senders are not asked to "
                                 "authenticate. Set it up with \"tessivar account create ADDRESS PASSWORD\" (or "
                                 "\"tessivar account join ADDRESS PASSWORD\" for an existing account)."));
    }
    m_Pages->SelectAwaitingAuthorization();
    StopTrayAnimation();
    if (m_Locked) {
        if (m_Peers.UnlockForm && m_Peers.UnlockForm->isVisible()) {
            m_Peers.UnlockForm->raise();
            m_Peers.UnlockForm->activateWindow();
        } else if (m_Peers.UnlockWindow) {
            m_InOpen = true;
            const bool unlocked = m_Peers.UnlockWindow();
            m_InOpen = false;
            if (unlocked)
                SetLocked(false);
        }
        // Without a notification area the task bar is the only way back in: a locked window stays
        // there, minimised, and restoring it asks for the password again.
        if (m_Locked && !m_TrayAvailable && !isVisible())
            showMinimized();
    }
    if (!m_Locked) {
        if (isMinimized())
            showNormal();
        else
            show();
        raise();
        activateWindow();
    }
}

QWidget* TfrmTessivar::NewLockedPanel() {
    auto* panel = new QWidget(this);
    panel->setObjectName(QStringLiteral("pnlLocked"));
    auto* layout = new QVBoxLayout(panel);
    layout->addStretch(1);
    auto* text = new QLabel(QStringLiteral("Tessivar is locked."), panel);
    text->setObjectName(QStringLiteral("lblLocked"));
    text->setAlignment(Qt::AlignCenter);
    layout->addWidget(text);
    auto* unlock = new QPushButton(QStringLiteral("Unlock"), panel);
    unlock->setObjectName(QStringLiteral("btnUnlock"));
    layout->addWidget(unlock, 0, Qt::AlignHCenter);
    layout->addStretch(1);
    connect(unlock, &QPushButton::clicked, this, &TfrmTessivar::OpenMainWindow);
    return panel;
}

void TfrmTessivar::ApplyMinimumSize() {
    // Never below the window's own minimum, nor below what its pages need to show every button's
    // caption whole.
    layout()->activate();
    setMinimumSize(QSize(MinimumWidth, MinimumHeight).expandedTo(layout()->minimumSize()));
}

void TfrmTessivar::SetLocked(bool value) {
    if (value == m_Locked)
        return;
    m_Locked = value;
    m_Tray->SetLocked(value);
    m_Caption->ExitButton().setVisible(!m_TrayAvailable && !value);
    // What is locked is never on show, whatever brought the window up; the window says that it is
    // locked and offers the way back in.
    m_Pages->setVisible(!value);
    m_LockedPanel->setVisible(value);
}

void TfrmTessivar::ShowTrayMenu() {
    m_Tray->ShowMenu();
}

void TfrmTessivar::StartTrayAnimation() {
    m_Tray->StartAnimation();
}

void TfrmTessivar::StopTrayAnimation() {
    m_Tray->StopAnimation();
}

void TfrmTessivar::ShowStatusText(TTessivarLogItem& item) {
    m_Footer->SetStatus(item.Kind(), DisplayText(item.Details()));
    m_tmrStatusText.start();
}

void TfrmTessivar::ClearStatusText() {
    m_tmrStatusText.stop();
    m_Footer->SetStatus(-1, QString());
}

void TfrmTessivar::ModelChanged() {
    const qint64 now = NowNs();
    const qint64 spaced = m_LastRefreshEndNs + RefreshSpacing * m_LastRefreshNs;
    const qint64 due = m_RefreshesPutOff ? std::max(spaced, m_LastRefreshEndNs + RefreshGapNs) : spaced;
    const auto startTimer = [this, now](qint64 at) {
        m_tmrRefresh.start(static_cast<int>((at - now + 999'999) / 1'000'000));
    };
    if (now >= due || m_Views.Stale(*m_Model)) {
        RefreshViews();
        m_RefreshesPutOff = false;
    } else if (m_RefreshesPutOff) {
        // Moved on with every change of the burst, never before the spacing allows.
        startTimer(std::max(spaced, std::min(due, now + QuietNs)));
    } else if (!m_tmrRefresh.isActive()) {
        startTimer(due);
    }
}

void TfrmTessivar::RefreshViews() {
    m_tmrRefresh.stop();
    if (m_Stopped)
        return;
    const qint64 start = NowNs();
    setUpdatesEnabled(false);
    m_Views.RefreshViews(*m_Model);
    setUpdatesEnabled(true);
    m_LastRefreshEndNs = NowNs();
    m_LastRefreshNs = m_LastRefreshEndNs - start;
}

void TfrmTessivar::StartSyncTimer() {
    if (m_Model->SynchronizationRequired() && !m_tmrServerSync.isActive())
        m_tmrServerSync.start();
}

void TfrmTessivar::ServerSyncTick() {
    m_tmrServerSync.stop();
    try {
        m_Model->Synchronize(true);
    } catch (const std::exception& error) {
        DebugException("TfrmTessivar", error);
    }
}

void TfrmTessivar::ShowAlert(const QString& text) {
    TMessageBox::Show(this, QMessageBox::Information, QStringLiteral("Alert"), text, QMessageBox::Ok);
}

void TfrmTessivar::ShowHelpPage(const std::string& page) {
    if (m_Peers.ShowHelpPage)
        m_Peers.ShowHelpPage(page);
}

void TfrmTessivar::ShowNotification(const std::string& text, int milliseconds) {
    if (m_Peers.ShowNotification)
        m_Peers.ShowNotification(DisplayText(text), milliseconds);
    else
        m_Tray->ShowMessage(windowTitle(), DisplayText(text), milliseconds);
}

void TfrmTessivar::PlaySystemSound(const std::string& alias) {
    ::PlaySystemSound(alias);
}

void TfrmTessivar::closeEvent(QCloseEvent* event) {
    // The rectangle is written at every close, whether or not it is to be restored.
    SaveWindowPosition(*this);
    SaveListLayout(*m_Pages);
    event->ignore();
    if (DebugMode()) {
        hide();
        emit ExitRequested();
        return;
    }
    if (m_TrayAvailable)
        hide();
    else
        showMinimized();
    SetLocked(m_Model->LockAccess());
}

void TfrmTessivar::changeEvent(QEvent* event) {
    QWidget::changeEvent(event);
    // Without a tray the window is restored from the task bar, past the tray's "Unlock": ask there.
    // The ask waits until the window system has settled: its confirmation of the restore can come
    // after a cancelled ask has minimised the window again, and would otherwise ask a second time.
    if (event->type() == QEvent::WindowStateChange && !m_TrayAvailable && !isMinimized() && m_Locked && !m_InOpen &&
        !m_UnlockOnRestorePending) {
        m_UnlockOnRestorePending = true;
        QTimer::singleShot(RestoreSettleMs, this, [this] {
            m_UnlockOnRestorePending = false;
            if (!m_Locked || isMinimized())
                return;
            OpenMainWindow();
            if (m_Locked)
                showMinimized();
        });
    }
}

Qt::Edges TfrmTessivar::EdgesAt(const QPoint& point) const {
    Qt::Edges edges;
    if (point.x() < ResizeBorder)
        edges |= Qt::LeftEdge;
    if (point.x() >= width() - ResizeBorder)
        edges |= Qt::RightEdge;
    if (point.y() < ResizeBorder)
        edges |= Qt::TopEdge;
    if (point.y() >= height() - ResizeBorder)
        edges |= Qt::BottomEdge;
    return edges;
}

void TfrmTessivar::mouseMoveEvent(QMouseEvent* event) {
    const Qt::Edges edges = EdgesAt(event->position().toPoint());
    const bool horizontal = edges & (Qt::LeftEdge | Qt::RightEdge);
    const bool vertical = edges & (Qt::TopEdge | Qt::BottomEdge);
    if (horizontal && vertical)
        setCursor(edges == (Qt::LeftEdge | Qt::TopEdge) || edges == (Qt::RightEdge | Qt::BottomEdge)
                      ? Qt::SizeFDiagCursor
                      : Qt::SizeBDiagCursor);
    else if (horizontal)
        setCursor(Qt::SizeHorCursor);
    else if (vertical)
        setCursor(Qt::SizeVerCursor);
    else
        unsetCursor();
    QWidget::mouseMoveEvent(event);
}

void TfrmTessivar::mousePressEvent(QMouseEvent* event) {
    const Qt::Edges edges = EdgesAt(event->position().toPoint());
    if (event->button() == Qt::LeftButton && edges && windowHandle()) {
        windowHandle()->startSystemResize(edges);
        return;
    }
    QWidget::mousePressEvent(event);
}

void TfrmTessivar::leaveEvent(QEvent* event) {
    unsetCursor();
    QWidget::leaveEvent(event);
}
