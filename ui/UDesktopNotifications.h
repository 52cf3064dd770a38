#pragma once
// The desktop's notification service (org.freedesktop.Notifications on the session bus, on X11 and
// Wayland alike): whether it offers actions on its notifications, showing one (with an "Open"
// action when asked), and the actions the user invokes. Without a session bus or a service every
// call fails quietly. Thread contract: the user-interface thread only.

#include <QObject>
#include <QString>

class IDesktopNotifications : public QObject {
    Q_OBJECT
public:
    using QObject::QObject;
    // The service shows actions on its notifications (asked once, then remembered).
    virtual bool OffersActions() = 0;
    // Shows the text for the time; with `open`, the notification carries the action "Open" (key
    // "open", and the default action of a click on it). The service's id of it, or 0 on failure.
    virtual uint Notify(const QString& text, int milliseconds, bool open) = 0;

signals:
    // The user invoked the action with this key ("open", "default") on the notification `id`.
    void ActionInvoked(uint id, const QString& key);
};

// The real service on the session bus.
class TDesktopNotifications : public IDesktopNotifications {
    Q_OBJECT
public:
    explicit TDesktopNotifications(QObject* parent = nullptr);
    bool OffersActions() override;
    uint Notify(const QString& text, int milliseconds, bool open) override;

private slots:
    void OnActionInvoked(uint id, const QString& key);

private:
    bool m_Asked = false;
    bool m_OffersActions = false;
    bool m_Listening = false;
};
