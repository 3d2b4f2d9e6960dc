#pragma once
// Desktop notifications through the freedesktop notification service on the
// session bus. Callers hold the interface so tests can substitute their own.

#include <QObject>
#include <QString>
#include <QStringList>

#include <optional>

namespace cv::platform {

class DesktopNotifier : public QObject
{
    Q_OBJECT
public:
    using QObject::QObject;

    // Shows a notification, replacing the one with replacesId (0: none).
    // actions holds key and label pairs. The notification's id, or none
    // (after one log line) when it could not be shown.
    virtual std::optional<uint> notify(const QString &summary, const QString &body, const QStringList &actions,
                                       uint replacesId) = 0;
    // Takes a shown notification off the screen (and out of the list of
    // notices); nothing for an id that is no longer shown.
    virtual void close(uint id) { Q_UNUSED(id); }

signals:
    // The user chose an action of a notification shown by this process.
    void actionInvoked(uint id, const QString &actionKey);
    // A notification shown by this process has gone (dismissed, expired or closed).
    void closed(uint id);
};

class FreedesktopNotifier final : public DesktopNotifier
{
    Q_OBJECT
public:
    explicit FreedesktopNotifier(QObject *parent = nullptr);

    std::optional<uint> notify(const QString &summary, const QString &body, const QStringList &actions,
                               uint replacesId) override;
    void close(uint id) override;

private slots:
    void onActionInvoked(uint id, const QString &actionKey);
    void onClosed(uint id, uint reason);

private:
    bool m_listening = false;
};

} // namespace cv::platform
