#include "DistributedNotificationCenter.h"

#include "Log.h"

#include <QDBusConnection>

namespace cv::platform {

DBusSignalName dbusSignalForNotification(const QString &name)
{
    const qsizetype dot = name.lastIndexOf(QLatin1Char('.'));
    DBusSignalName s;
    s.interface = name.left(dot);
    s.member = name.mid(dot + 1);
    s.path = QLatin1Char('/') + QString(s.interface).replace(QLatin1Char('.'), QLatin1Char('/'));
    return s;
}

DistributedNotificationCenter::DistributedNotificationCenter(QObject *parent)
    : QObject(parent)
{
}

bool DistributedNotificationCenter::postNotificationName(const QString &name)
{
    QDBusConnection bus = QDBusConnection::sessionBus();
    if (!bus.isConnected()) {
        NSLog(QStringLiteral("Could not post %1: no session bus is reachable.").arg(name));
        return false;
    }
    const DBusSignalName s = dbusSignalForNotification(name);
    const QDBusMessage message = QDBusMessage::createSignal(s.path, s.interface, s.member);
    if (!bus.send(message)) {
        NSLog(QStringLiteral("Could not post %1: %2").arg(name, bus.lastError().message()));
        return false;
    }
    // A process that quits right after posting must not lose the signal in
    // its outgoing queue.
    bus.call(QDBusMessage::createMethodCall(QStringLiteral("org.freedesktop.DBus"),
                                            QStringLiteral("/org/freedesktop/DBus"),
                                            QStringLiteral("org.freedesktop.DBus.Peer"),
                                            QStringLiteral("Ping")));
    return true;
}

bool DistributedNotificationCenter::addObserver(const QString &name)
{
    QDBusConnection bus = QDBusConnection::sessionBus();
    if (!bus.isConnected()) {
        NSLog(QStringLiteral("Could not observe %1: no session bus is reachable.").arg(name));
        return false;
    }
    const DBusSignalName s = dbusSignalForNotification(name);
    return bus.connect(QString(), s.path, s.interface, s.member, this, SLOT(onSignal(QDBusMessage)));
}

void DistributedNotificationCenter::onSignal(const QDBusMessage &message)
{
    emit notificationReceived(message.interface() + QLatin1Char('.') + message.member());
}

} // namespace cv::platform
