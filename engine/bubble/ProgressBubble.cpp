#include "ProgressBubble.h"

#include "AppController.h"
#include "Home.h"
#include "KAAttachedWindow.h"
#include "Spinner.h"
#include "Workspace.h"
#include "ui_BackupNowView.h"

#include <QFontMetrics>
#include <QLabel>
#include <QPushButton>
#include <QTimer>

namespace cv::engine {

namespace {
constexpr int kStatusLines = 2;
const char *const kInProgress = "Corvantis In Progress...";
const char *const kHadErrors = "Backup had errors";
} // namespace

ProgressBubble::ProgressBubble(cv::platform::Workspace &workspace, std::function<void(int)> terminate, QObject *parent)
    : QObject(parent)
    , m_workspace(workspace)
    , m_terminate(std::move(terminate))
{
    backupNowView = new QWidget;
    Ui::BackupNowView ui;
    ui.setupUi(backupNowView);
    backupProgress = ui.backupProgress;
    modeTextField = ui.modeTextField;
    backupNowStatus = ui.backupNowStatus;
    openLogButton = ui.openLogButton;
    connect(openLogButton, &QPushButton::clicked, this, [this] { displayLogWindow(openLogButton); });
}

ProgressBubble::~ProgressBubble()
{
    releaseWindow();
    delete backupNowView;
}

void ProgressBubble::releaseWindow()
{
    if (!backupNowWindow)
        return;
    // The view comes from the interface file and outlives the window.
    backupNowView->hide();
    backupNowView->setParent(nullptr);
    delete backupNowWindow;
    backupNowWindow = nullptr;
}

void ProgressBubble::showRunStarted()
{
    const QPointF anchor = AppController::anchorPointForDockPosition(AppController::getDockPosition());
    releaseWindow();
    backupNowWindow = KAAttachedWindow::create(backupNowView, anchor, nullptr, KASideRightTop, 0.0f);
    if (backupNowWindow)
        backupNowWindow->setHasArrow(0);
    backupProgress->startAnimation();
    backupProgress->show();
    backupNowStatus->show();
    modeTextField->setText(QString::fromUtf8(kInProgress));
    openLogButton->hide();
    if (backupNowWindow)
        backupNowWindow->orderFrontRegardless();
}

QString ProgressBubble::statusTextFor(const QString &chunk, const QFontMetrics &metrics, int width, int maxLines)
{
    QStringList lines = chunk.split(QLatin1Char('\n'));
    while (!lines.isEmpty() && lines.last().trimmed().isEmpty())
        lines.removeLast();
    if (lines.size() > maxLines)
        lines = lines.mid(lines.size() - maxLines);
    for (QString &line : lines) {
        line.replace(QLatin1Char('\t'), QLatin1Char(' '));
        line = metrics.elidedText(line, Qt::ElideLeft, width); // the end of a line says most
    }
    return lines.join(QLatin1Char('\n'));
}

void ProgressBubble::showStatus(const QString &chunk)
{
    m_latestStatus = chunk;
    backupNowStatus->setToolTip(chunk);
    backupNowStatus->setText(statusTextFor(chunk, backupNowStatus->fontMetrics(), backupNowStatus->width(), kStatusLines));
}

void ProgressBubble::showSuccess()
{
    backupProgress->stopAnimation();
    if (backupNowWindow)
        backupNowWindow->orderOut(nullptr);
    releaseWindow();
}

bool ProgressBubble::showErrors()
{
    backupProgress->stopAnimation();
    backupProgress->hide();
    backupNowStatus->hide();
    openLogButton->show();
    modeTextField->setText(QString::fromUtf8(kHadErrors));
    if (!backupNowWindow) {
        // The run failed before the bubble was shown (nothing usable was
        // configured): show it now so the user learns of it.
        backupNowWindow = KAAttachedWindow::create(
            backupNowView, AppController::anchorPointForDockPosition(AppController::getDockPosition()), nullptr,
            KASideRightTop, 0.0f);
        if (!backupNowWindow)
            return false;
        backupNowWindow->setHasArrow(0);
        backupNowWindow->orderFrontRegardless();
    }
    return true;
}

void ProgressBubble::displayLogWindow(QObject *)
{
    // Failing to open the viewer must not keep the engine alive.
    m_workspace.openFile(cv::logFilePath());
    if (timer)
        return;
    timer = new QTimer(this);
    timer->setInterval(50);
    connect(timer, &QTimer::timeout, this, &ProgressBubble::fade);
    timer->start();
}

void ProgressBubble::fade()
{
    if (backupNowWindow && backupNowWindow->alphaValue() > 0.0f) {
        backupNowWindow->setAlphaValue(static_cast<float>(static_cast<double>(backupNowWindow->alphaValue()) - 0.1));
        return;
    }
    if (timer) {
        timer->stop();
        timer->deleteLater();
        timer = nullptr;
    }
    if (backupNowWindow) {
        backupNowWindow->orderOut(nullptr);
        backupNowWindow->setAlphaValue(1.0f);
    }
    releaseWindow();
    if (m_terminate)
        m_terminate(1);
}

} // namespace cv::engine
