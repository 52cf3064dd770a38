#include "ui/UDesktopNotifications.h"

#include "base/UDebug.h"

#include <QStringList>
#include <QVariantMap>

#ifdef TESSIVAR_HAVE_QTDBUS
#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusReply>
#endif

namespace {

const QString Service = QStringLiteral("org.freedesktop.Notifications");
const QString Path = QStringLiteral("/org/freedesktop/Notifications");
const QString Interface = QStringLiteral("org.freedesktop.Notifications");
// A service that does not answer within this time is taken as absent.
constexpr int CallTimeoutMs = 2000;

} // namespace

TDesktopNotifications::TDesktopNotifications(QObject* parent) : IDesktopNotifications(parent) {}

bool TDesktopNotifications::OffersActions() {
#ifdef TESSIVAR_HAVE_QTDBUS
    if (m_Asked)
        return m_OffersActions;
    m_Asked = true;
    QDBusConnection bus = QDBusConnection::sessionBus();
    if (!bus.isConnected())
        return false;
    const QDBusMessage call = QDBusMessage::createMethodCall(Service, Path, Interface, QStringLiteral("GetCapabilities"));
    const QDBusReply<QStringList> reply = bus.call(call, QDBus::Block, CallTimeoutMs);
    m_OffersActions = reply.isValid() && reply.value().contains(QStringLiteral("actions"));
    if (m_OffersActions && !m_Listening)
        m_Listening = bus.connect(Service, Path, Interface, QStringLiteral("ActionInvoked"), this,
                                  SLOT(OnActionInvoked(uint, QString)));
    return m_OffersActions;
#else
    return false;
#endif
}

uint TDesktopNotifications::Notify(const QString& text, int milliseconds, bool open) {
#ifdef TESSIVAR_HAVE_QTDBUS
    QDBusConnection bus = QDBusConnection::sessionBus();
    if (!bus.isConnected())
        return 0;
    QStringList actions;
    if (open)
        actions << QStringLiteral("default") << QStringLiteral("Open") << QStringLiteral("open")
                << QStringLiteral("Open");
    QDBusMessage call = QDBusMessage::createMethodCall(Service, Path, Interface, QStringLiteral("Notify"));
    call << QStringLiteral("Tessivar") << 0u << QStringLiteral("tessivar") << QStringLiteral("Tessivar") << text
         << actions << QVariantMap{{QStringLiteral("desktop-entry"), QStringLiteral("tessivar")}} << milliseconds;
    const QDBusReply<uint> reply = bus.call(call, QDBus::Block, CallTimeoutMs);
    if (reply.isValid())
        return reply.value();
    Debug("Desktop notification failed: " + reply.error().message().toStdString());
#else
    (void)text;
    (void)milliseconds;
    (void)open;
#endif
    return 0;
}

void TDesktopNotifications::OnActionInvoked(uint id, const QString& key) {
    emit ActionInvoked(id, key);
}
