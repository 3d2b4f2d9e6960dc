#pragma once
// The notices the agent keeps on the screen: a failed run's "Backup failed"
// (shown when an engine says its run has ended, withdrawn by a later success)
// and a catch-up that cannot go ahead. The agent outlives every engine, so
// "Open Log" keeps working for as long as a notice is shown.

#include <QDate>
#include <QObject>
#include <QString>

#include <functional>

namespace cv::platform {
class DesktopNotifier;
}

namespace cv::agent {

class NoticeKeeper : public QObject
{
    Q_OBJECT
public:
    static constexpr const char *kOpenLogAction = "open-log";
    // Longer reasons are cut: a notice is a glance, the log has the rest.
    static constexpr qsizetype kMaxBodyLength = 240;

    NoticeKeeper(platform::DesktopNotifier &notifier, std::function<void()> openLog, QObject *parent = nullptr);

    // Reads the engine's record of its last run: a failure shows the notice
    // (replacing an earlier one), a success withdraws it.
    void runEnded();
    void showFailure(const QString &reason);
    void withdrawFailure();
    // A missed backup that is not caught up; at most one such notice a day.
    void showProblem(const QString &reason, const QDate &today);

    bool failureShown() const { return m_failureId != 0; }

    // The text as a notice shows it: one paragraph, at most kMaxBodyLength.
    static QString bounded(const QString &reason);

signals:
    // The failure notice has gone from the screen.
    void failureGone();

private:
    void onAction(uint id, const QString &key);
    void onClosed(uint id);
    uint storedFailureId() const;
    void storeFailureId(uint id);

    platform::DesktopNotifier &m_notifier;
    std::function<void()> m_openLog;
    uint m_failureId = 0;
    uint m_problemId = 0;
    QDate m_problemDay;
};

} // namespace cv::agent
