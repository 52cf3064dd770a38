#pragma once
// The notification window: a small borderless window that slides out of the desktop's panel by 16
// pixels every 100 ms until its text fits, stays for the time asked, and slides back. It never takes
// the focus. Where the desktop's notification service offers actions, the text goes there instead,
// with an "Open" action that opens the main window on the mail awaiting authorization. Where the
// desktop does not let a program place its windows (Wayland), the text goes to the service without
// it, or to the tray's message when there is none.
// It is also the program's anchor window: created first, and closing it ends the program.
// Thread contract: the user-interface thread only.

#include <QRect>
#include <QTimer>
#include <QWidget>

#include <functional>
#include <memory>

class IDesktopNotifications;
class QLabel;
class QScreen;

// Where the desktop's panel lies on the screen.
struct TDesktopPanel {
    enum TEdge { Top, Bottom, Left, Right };
    QRect Rect;
    TEdge Edge = Bottom;
};

// The panel from a screen's full and available areas: the widest strip the available area leaves
// out at an edge. A screen without a panel gives a strip of no height under the available area.
TDesktopPanel PanelOfScreen(const QRect& screen, const QRect& available);

class TfrmNotification : public QWidget {
    Q_OBJECT
public:
    enum class TSlideState { Growing, Showing, Shrinking, Hidden };

    explicit TfrmNotification(QWidget* parent = nullptr);
    ~TfrmNotification() override;

    // Sets the text and slides the window out for `duration` milliseconds (again from its current
    // height when it is out already).
    void ShowNotification(const QString& text, int duration);

    // Where the panel is; by default that of the primary screen. For tests and other desktops.
    void SetPanelSource(std::function<TDesktopPanel()> source) { m_PanelSource = std::move(source); }
    // Where the text goes when this window cannot be placed and the notification service is absent.
    void SetTrayMessage(std::function<void(const QString&, int)> message) { m_TrayMessage = std::move(message); }
    // The desktop's notification service (by default the one on the session bus); takes ownership.
    void SetDesktopNotifications(std::unique_ptr<IDesktopNotifications> desktop);
    // Whether this window is placed itself (true but on Wayland).
    void SetPlacesItself(bool value) { m_PlacesItself = value; }

    TSlideState SlideState() const { return m_SlideState; }
    int RemainingTime() const { return m_RemainingTime; }
    // The height at which the whole text shows.
    int FullHeight() const;
    int CurrentHeight() const { return m_Height; }
    const QTimer& NotificationTimer() const { return tmrNotification; }
    // One tick of the timer (the timer calls it every 100 ms).
    void tmrNotificationTimer();

signals:
    // The anchor window was closed: the program is to end.
    void ProgramEndRequested();
    // The user chose "Open" on the desktop's notification.
    void OpenRequested();

protected:
    void closeEvent(QCloseEvent* event) override;
    void paintEvent(QPaintEvent* event) override;

private:
    void Slide(int delta);
    void DesktopActionInvoked(uint id, const QString& key);

    QLabel* lblText;
    QTimer tmrNotification;
    TSlideState m_SlideState = TSlideState::Hidden;
    int m_RemainingTime = 0;
    // The height the window was last given (0 while hidden).
    int m_Height = 0;
    bool m_PlacesItself;
    std::function<TDesktopPanel()> m_PanelSource;
    std::function<void(const QString&, int)> m_TrayMessage;
    std::unique_ptr<IDesktopNotifications> m_Desktop;
    // The desktop's notification that carries "Open" (0: none).
    uint m_DesktopOpenId = 0;
};
