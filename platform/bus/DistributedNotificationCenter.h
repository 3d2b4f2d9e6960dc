#pragma once
// System-wide notifications by name, carried as argument-less D-Bus signals on
// the session bus. "a.b.C.member" is interface "a.b.C", member "member",
// object path "/a/b/C".

#include <QDBusMessage>
#include <QObject>
#include <QString>

namespace cv::platform {

struct DBusSignalName {
    QString interface;
    QString member;
    QString path;
};
DBusSignalName dbusSignalForNotification(const QString &name);

class DistributedNotificationCenter : public QObject
{
    Q_OBJECT
public:
    explicit DistributedNotificationCenter(QObject *parent = nullptr);

    // Posts with no payload. Without a reachable bus one log line is written
    // and false returned; the caller goes on either way.
    bool postNotificationName(const QString &name);

    // Starts delivering notificationReceived(name) for this name.
    bool addObserver(const QString &name);

signals:
    void notificationReceived(const QString &name);

private slots:
    void onSignal(const QDBusMessage &message);
};

} // namespace cv::platform
