#include "ui/UTessivarTray.h"

#include "ui/UTessivarIcons.h"

#include <QAction>
#include <QApplication>
#include <QCursor>
#include <QStyleHints>

namespace {

constexpr int TrayAnimationMs = 500;
constexpr int TrayTipLength = 63;

} // namespace

TTessivarTray::TTessivarTray(const QString& tip, QObject* parent)
    : QObject(parent), m_Icon(std::make_unique<QSystemTrayIcon>()) {
    m_Open = m_Menu.addAction(QStringLiteral("Open"));
    m_Menu.setDefaultAction(m_Open);
    m_Exit = m_Menu.addAction(QStringLiteral("E&xit"));
    connect(m_Open, &QAction::triggered, this, &TTessivarTray::OpenRequested);
    connect(m_Exit, &QAction::triggered, this, &TTessivarTray::ExitRequested);

    m_Icon->setToolTip(tip.left(TrayTipLength));
    m_Icon->setContextMenu(nullptr); // the menu is popped up by hand, after the click rules
    connect(m_Icon.get(), &QSystemTrayIcon::activated, this, &TTessivarTray::Activated);

    m_tmrTrayIcon.setInterval(TrayAnimationMs);
    connect(&m_tmrTrayIcon, &QTimer::timeout, this, &TTessivarTray::NextFrame);
    m_tmrLeftClickPopup.setSingleShot(true);
    m_tmrLeftClickPopup.setInterval(QGuiApplication::styleHints()->mouseDoubleClickInterval());
    connect(&m_tmrLeftClickPopup, &QTimer::timeout, this, [this] {
        if (!m_DoubleClickSeen)
            ShowMenu();
    });
    ShowFrame();
    // The icon animates from the start until the first refresh says whether mail awaits.
    m_tmrTrayIcon.start();
}

TTessivarTray::~TTessivarTray() = default;

bool TTessivarTray::Available() {
    return QSystemTrayIcon::isSystemTrayAvailable();
}

void TTessivarTray::Show() {
    if (Available())
        m_Icon->show();
}

void TTessivarTray::Hide() {
    m_Icon->hide();
}

void TTessivarTray::SetLocked(bool locked) {
    if (locked == m_Locked)
        return;
    m_Locked = locked;
    m_Exit->setVisible(!locked);
    m_Open->setText(locked ? QStringLiteral("Unlock") : QStringLiteral("Open"));
}

void TTessivarTray::StartAnimation() {
    m_tmrTrayIcon.start();
}

void TTessivarTray::StopAnimation() {
    m_tmrTrayIcon.stop();
    m_TrayFrame = TrayFrameCount - 1;
    ShowFrame();
}

void TTessivarTray::ShowMessage(const QString& title, const QString& text, int milliseconds) {
    m_Icon->showMessage(title, text, QSystemTrayIcon::Information, milliseconds);
}

void TTessivarTray::NextFrame() {
    m_TrayFrame = (m_TrayFrame + 1) % TrayFrameCount;
    ShowFrame();
}

void TTessivarTray::ShowFrame() {
    m_Icon->setIcon(TrayFrameIcon(m_TrayFrame));
}

void TTessivarTray::Activated(QSystemTrayIcon::ActivationReason reason) {
    switch (reason) {
    case QSystemTrayIcon::Trigger:
        LeftButtonReleased(QCursor::pos());
        break;
    case QSystemTrayIcon::DoubleClick:
        LeftButtonDoubleClicked();
        break;
    case QSystemTrayIcon::Context:
        RightButtonReleased(QCursor::pos());
        break;
    default:
        break;
    }
}

void TTessivarTray::LeftButtonReleased(const QPoint& cursor) {
    // The release that ends a double click must not pop the menu up.
    if (!m_DoubleClickSeen) {
        m_TrayPopupPoint = cursor;
        m_tmrLeftClickPopup.start();
    }
    m_DoubleClickSeen = false;
}

void TTessivarTray::LeftButtonDoubleClicked() {
    m_DoubleClickSeen = true;
    m_tmrLeftClickPopup.stop();
    emit OpenRequested();
}

void TTessivarTray::RightButtonReleased(const QPoint& cursor) {
    m_TrayPopupPoint = cursor;
    ShowMenu();
}

void TTessivarTray::ShowMenu() {
    m_tmrLeftClickPopup.stop();
    emit MenuRequested();
    const QPoint at = m_TrayPopupPoint == QPoint(-1, -1) ? QCursor::pos() : m_TrayPopupPoint;
    // Right-aligned at the point, as tray menus open. popup() does not wait, so threaded calls and
    // timers go on while the menu is open, and a click elsewhere closes it.
    m_Menu.adjustSize();
    m_Menu.popup(QPoint(at.x() - m_Menu.sizeHint().width(), at.y()));
}
