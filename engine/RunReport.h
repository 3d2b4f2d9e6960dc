#pragma once
// How a run ended, told beyond the bubble: a record in the support folder
// for the configurator's window, and a desktop notice when it failed. A later
// failure's notice replaces the earlier one.

#include <QElapsedTimer>
#include <QObject>
#include <QString>

#include <functional>
#include <memory>

namespace cv::platform { class DesktopNotifier; }

namespace cv::engine {

class RunReport : public QObject
{
    Q_OBJECT
public:
    // The action key of the notice's "Open Log" button.
    static constexpr const char *kOpenLogAction = "open-log";

    explicit RunReport(QObject *parent = nullptr);
    ~RunReport() override;

    // Tests show notices their own way; not owned.
    void setNotifier(platform::DesktopNotifier *notifier);
    // What "Open Log" on the notice does; without one the button does nothing.
    void setOpenLogHandler(std::function<void()> handler) { m_openLog = std::move(handler); }

    void begin();
    void addOutput(const QString &chunk);
    // A reason the output cannot give (the script never ran, or was stopped).
    void noteReason(const QString &reason) { m_reason = reason; }

    // Earlier versions removed to make room, said in the run's notice.
    void noteRoomMade(const QString &text) { m_roomMade = text; }
    // After a successful run that had to make room: a notice saying so.
    void notifyRoomMade();

    // Records how the run ended; before the end is announced, so that the
    // configurator reads the new record when it hears of the end.
    void finish(bool success);
    // The desktop notice for a failed run, replacing the previous one.
    void notifyFailure();

    // The failure as the user should read it: the script's report line
    // without its date (or, when that only points above, the line above it),
    // else the last line of output.
    QString failureReason() const;

private:
    void onAction(uint id, const QString &key);
    // One notice at a time: it replaces the previous one.
    void notify(const QString &title, const QString &body);

    platform::DesktopNotifier *m_notifier = nullptr;
    std::unique_ptr<platform::DesktopNotifier> m_ownNotifier;
    std::function<void()> m_openLog;
    QElapsedTimer m_clock;
    QString m_reason;
    QString m_roomMade;
    QString m_partial;      // output after the last line feed
    QString m_lastLine;     // the last two non-empty complete lines
    QString m_previousLine;
    uint m_noticeId = 0;
};

} // namespace cv::engine
