#include "DesktopNotifier.h"

#include "Log.h"

#include <QDBusConnection>
#include <QDBusMessage>
#include <QVariantMap>

namespace cv::platform {

namespace {
const QString kService = QStringLiteral("org.freedesktop.Notifications");
const QString kPath = QStringLiteral("/org/freedesktop/Notifications");
const QString kInterface = QStringLiteral("org.freedesktop.Notifications");
// A notification service that does not answer must not hold a run's end.
constexpr int kCallTimeoutMs = 5000;
} // namespace

FreedesktopNotifier::FreedesktopNotifier(QObject *parent)
    : DesktopNotifier(parent)
{
}

std::optional<uint> FreedesktopNotifier::notify(const QString &summary, const QString &body, const QStringList &actions,
                                                uint replacesId)
{
    QDBusConnection bus = QDBusConnection::sessionBus();
    if (!bus.isConnected()) {
        NSLog(QStringLiteral("Could not show the notice \"%1\": no session bus is reachable.").arg(summary));
        return std::nullopt;
    }
    // Listening before the notice shows, so no early choice is missed.
    if (!m_listening) {
        m_listening = bus.connect(kService, kPath, kInterface, QStringLiteral("ActionInvoked"), this,
                                  SLOT(onActionInvoked(uint, QString)));
        bus.connect(kService, kPath, kInterface, QStringLiteral("NotificationClosed"), this,
                    SLOT(onClosed(uint, uint)));
    }

    QDBusMessage call = QDBusMessage::createMethodCall(kService, kPath, kInterface, QStringLiteral("Notify"));
    const QVariantMap hints{{QStringLiteral("desktop-entry"), QStringLiteral("com.tallowmere.Corvantis")}};
    call << QStringLiteral("Corvantis") << replacesId << QStringLiteral("com.tallowmere.Corvantis") << summary << body
         << actions << hints << int(-1);
    const QDBusMessage reply = bus.call(call, QDBus::Block, kCallTimeoutMs);
    if (reply.type() != QDBusMessage::ReplyMessage || reply.arguments().isEmpty()) {
        NSLog(QStringLiteral("Could not show the notice \"%1\": %2").arg(summary, reply.errorMessage()));
        return std::nullopt;
    }
    return reply.arguments().constFirst().toUInt();
}

void FreedesktopNotifier::close(uint id)
{
    QDBusConnection bus = QDBusConnection::sessionBus();
    if (id == 0 || !bus.isConnected())
        return;
    QDBusMessage call = QDBusMessage::createMethodCall(kService, kPath, kInterface, QStringLiteral("CloseNotification"));
    call << id;
    // Nothing waits on it: a notice already gone is no failure.
    bus.call(call, QDBus::Block, kCallTimeoutMs);
}

void FreedesktopNotifier::onClosed(uint id, uint)
{
    emit closed(id);
}

void FreedesktopNotifier::onActionInvoked(uint id, const QString &actionKey)
{
    emit actionInvoked(id, actionKey);
}

} // namespace cv::platform
