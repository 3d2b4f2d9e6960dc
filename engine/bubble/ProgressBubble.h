#pragma once
// The engine's progress bubble beside the Dock: spinner, headline and the
// latest output during a run; "Backup had errors" and a log button after a
// failed one. The log button opens the log, fades the bubble out and ends
// the engine.

#include "RunPresenter.h"

#include <QObject>
#include <QPointF>
#include <functional>

class KAAttachedWindow;
class QFontMetrics;
class QLabel;
class QPushButton;
class QTimer;
class QWidget;

namespace cv::platform { class Workspace; }

namespace cv::engine {

class Spinner;

class ProgressBubble : public QObject, public RunPresenter
{
    Q_OBJECT
public:
    // terminate is called with the exit status when the fade has ended.
    ProgressBubble(cv::platform::Workspace &workspace, std::function<void(int)> terminate, QObject *parent = nullptr);
    ~ProgressBubble() override;

    void showRunStarted() override;
    void showStatus(const QString &chunk) override;
    void showSuccess() override;
    bool showErrors() override;

    void displayLogWindow(QObject *sender);
    void fade();

    // The lines of a chunk that the status field shows: the last lines that
    // fit, each elided to the field's width, so long output never grows the
    // bubble and its latest line always shows.
    static QString statusTextFor(const QString &chunk, const QFontMetrics &metrics, int width, int maxLines);

    KAAttachedWindow *window() const { return backupNowWindow; }
    QWidget *view() const { return backupNowView; }
    Spinner *progress() const { return backupProgress; }
    QLabel *modeField() const { return modeTextField; }
    QLabel *statusField() const { return backupNowStatus; }
    QPushButton *logButton() const { return openLogButton; }
    QTimer *fadeTimer() const { return timer; }
    const QString &latestStatus() const { return m_latestStatus; }

private:
    void releaseWindow();

    cv::platform::Workspace &m_workspace;
    std::function<void(int)> m_terminate;

    KAAttachedWindow *backupNowWindow = nullptr;
    QWidget *backupNowView = nullptr;
    Spinner *backupProgress = nullptr;
    QLabel *modeTextField = nullptr;
    QLabel *backupNowStatus = nullptr;
    QPushButton *openLogButton = nullptr;
    QTimer *timer = nullptr;
    QString m_latestStatus;
};

} // namespace cv::engine
