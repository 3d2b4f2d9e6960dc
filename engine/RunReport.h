#pragma once
// How a run ended, told beyond the bubble: a record in the support folder
// for the configurator's window, and a desktop notice when it failed. The
// notice is the agent's to show (it outlives the engine, so "Open Log" keeps
// working, and a later success withdraws it); the engine shows it itself only
// when no agent can be had. A later failure's notice replaces the earlier one.

#include <QDateTime>
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
    // Starts an agent to take the end of the run when none listens; true when
    // one was started. By default the agent beside this program.
    void setAgentStarter(std::function<bool()> starter) { m_startAgent = std::move(starter); }

    void begin();
    void addOutput(const QString &chunk);
    // A reason the output cannot give (the script never ran, or was stopped).
    void noteReason(const QString &reason) { m_reason = reason; }

    // Earlier versions removed to make room: part of a failure's reason.
    void noteRoomMade(const QString &text) { m_roomMade = text; }
    // After a successful run that had to make room: a notice saying so.
    void notifyRoomMade();

    // Records how the run ended, then tells the agent; before the end is
    // announced, so that the configurator reads the new record when it hears
    // of the end. A "success" that left the marker untouched is recorded as
    // a failure: the window would show a stale date with no hint.
    void finish(bool success);
    // The desktop notice for a failed run, replacing the previous one, unless
    // the agent took it.
    void notifyFailure();

    // The failure as the user should read it: the script's report line
    // without its date (or, when that only points above, the line above it),
    // else the last line of output.
    QString failureReason() const;

private:
    void onAction(uint id, const QString &key);
    bool handOff(bool success);
    platform::DesktopNotifier &notifier();

    platform::DesktopNotifier *m_notifier = nullptr;
    std::unique_ptr<platform::DesktopNotifier> m_ownNotifier;
    std::function<void()> m_openLog;
    std::function<bool()> m_startAgent;
    QElapsedTimer m_clock;
    QDateTime m_startedAt;
    bool m_handedOver = false;
    QString m_reason;
    QString m_roomMade;
    QString m_partial;      // output after the last line feed
    QString m_lastLine;     // the last two non-empty complete lines
    QString m_previousLine;
    uint m_noticeId = 0;
};

} // namespace cv::engine
