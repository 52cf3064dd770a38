#pragma once
// The tray icon of the main window: its two-frame animation, its menu ("Open"/"Unlock" and "E&xit")
// and the click rules (a single left click pops the menu up after the double-click time, so that a
// double click opens the window without the menu; a right click pops it up at once). Where the
// desktop has no notification area the icon is never shown, but the state is kept the same.
// Thread contract: the user-interface thread.

#include <QMenu>
#include <QObject>
#include <QPoint>
#include <QSystemTrayIcon>
#include <QTimer>

#include <memory>

class QAction;

class TTessivarTray : public QObject {
    Q_OBJECT
public:
    // The tray tip: the caption cut to 63 characters.
    explicit TTessivarTray(const QString& tip, QObject* parent = nullptr);
    ~TTessivarTray() override;

    // The desktop shows tray icons.
    static bool Available();
    // Shows the icon when the desktop has a notification area.
    void Show();
    void Hide();

    void SetLocked(bool locked);
    bool Locked() const { return m_Locked; }

    // tmrTrayIcon: 500 ms, running from the start.
    void StartAnimation();
    // Stops the timer and shows the resting frame at once.
    void StopAnimation();
    bool Animating() const { return m_tmrTrayIcon.isActive(); }
    int Frame() const { return m_TrayFrame; }

    // A text shown by the tray for a time (the desktop's notification bubble).
    void ShowMessage(const QString& title, const QString& text, int milliseconds);

    // The mouse events of the icon, as the desktop reports them (public for tests).
    void LeftButtonReleased(const QPoint& cursor);
    void LeftButtonDoubleClicked();
    void RightButtonReleased(const QPoint& cursor);
    // Pops the menu up at the remembered point (the cursor position when there is none).
    void ShowMenu();

    QMenu& Menu() { return m_Menu; }
    QAction& OpenAction() const { return *m_Open; }
    QAction& ExitAction() const { return *m_Exit; }
    const QTimer& LeftClickTimer() const { return m_tmrLeftClickPopup; }
    QPoint PopupPoint() const { return m_TrayPopupPoint; }

signals:
    // "Open"/"Unlock" or a double click.
    void OpenRequested();
    // "E&xit".
    void ExitRequested();
    // The menu is about to pop up: the owner brings its window to the front.
    void MenuRequested();

private:
    void NextFrame();
    void ShowFrame();
    void Activated(QSystemTrayIcon::ActivationReason reason);

    std::unique_ptr<QSystemTrayIcon> m_Icon;
    QMenu m_Menu;
    QAction* m_Open;
    QAction* m_Exit;
    QTimer m_tmrTrayIcon;
    QTimer m_tmrLeftClickPopup;
    int m_TrayFrame = 0;
    QPoint m_TrayPopupPoint{-1, -1};
    bool m_DoubleClickSeen = false;
    bool m_Locked = false;
};
