#pragma once
// What the window tests share: scripted dialogs, a recording workspace, the
// stand-in crontab and the log captured from standard error.

#include "Controller.h"
#include "Workspace.h"

#include "TestSupport.h"

#include <QCheckBox>
#include <QComboBox>
#include <QDateTime>
#include <QDir>
#include <QLineEdit>
#include <QMainWindow>
#include <QProcess>
#include <QTemporaryDir>
#include <QTimeEdit>

#include <unistd.h>

namespace cv::test {

struct ScriptedDialogs : configurator::Dialogs {
    QStringList alerts; // "message / informative"
    QString folderToChoose;
    bool quitAnswer = false;
    int quitQuestions = 0;

    void showAlert(const QString &message, const QString &informative) override
    {
        alerts << message + QStringLiteral(" / ") + informative;
    }
    QString chooseFolder(const QString &) override { return folderToChoose; }
    bool confirmQuit() override
    {
        ++quitQuestions;
        return quitAnswer;
    }
    void showAlertPanel(const QString &title, const QString &message) override
    {
        alerts << title + QStringLiteral(" / ") + message;
    }
    QStringList questions;
    bool saveAnyway = false;
    bool askToSaveAnyway(const QString &message, const QString &informative) override
    {
        questions << message + QStringLiteral(" / ") + informative;
        return saveAnyway;
    }
};

struct RecordingWorkspace : platform::Workspace {
    QStringList opened;
    bool answer = true;
    bool openFile(const QString &path) override
    {
        opened << path;
        return answer;
    }
    bool openURL(const QUrl &url) override
    {
        opened << url.toString(QUrl::FullyEncoded);
        return answer;
    }
};

struct FakeCronProbe : configurator::CronServiceProbe {
    bool running = true;
    bool cronServiceRunning() override { return running; }
};

// Counts the agents a save would start; none really starts.
struct RecordingAgentStarter : configurator::AgentStarter {
    int started = 0;
    cv::Result<> start() override
    {
        ++started;
        return {};
    }
};

struct RecordingLauncher : platform::EngineLauncher {
    QStringList launched;
    QString refusal; // non-empty: the launch fails with this reason
    QStringList command; // non-empty: started for real in place of the engine
    cv::Result<qint64> launchApplication(const QString &bundlePath) override
    {
        launched << bundlePath;
        if (!refusal.isEmpty())
            return cv::fail(refusal);
        qint64 pid = 0;
        if (!command.isEmpty())
            QProcess::startDetached(command.first(), command.mid(1), {}, &pid);
        return pid;
    }
};

// Creates the file when missing and dates it `when`, as an older backup's marker.
inline bool touchAt(const QString &path, const QDateTime &when)
{
    QFile f(path);
    if (!(f.exists() || writeFile(path, {})) || !f.open(QIODevice::ReadWrite))
        return false;
    return f.setFileTime(when, QFileDevice::FileModificationTime);
}

// A private home with the stand-in crontab and a controller on it.
class WindowFixture
{
public:
    explicit WindowFixture(const QString &crontabProgram = {})
    {
        qputenv("CV_FAKE_CRONTAB_DIR", QFile::encodeName(m_crontabDir.path()));
        services.dialogs = &dialogs;
        services.workspace = &workspace;
        services.crontabProgram = crontabProgram.isEmpty() ? fakeCrontab() : crontabProgram;
        services.launcher = &launcher;
        services.agentStarter = &agentStarter;
        services.cronProbe = &cronProbe;
        services.resourcesFolder = QStringLiteral(CV_CONFIGURATOR_BUNDLE "/Contents/Resources");
        services.redirectStandardError = false;
        rebuild();
    }

    // A new controller on the same home, as at a restart.
    void rebuild()
    {
        controller.reset();
        controller = std::make_unique<configurator::Controller>(services);
    }

    static QString fakeCrontab() { return QStringLiteral(CV_FAKE_CRONTAB_SCRIPT); }
    QByteArray crontab() const { return readFile(m_crontabDir.filePath(QStringLiteral("table"))); }
    QString crontabFolder() const { return m_crontabDir.path(); }
    void setCrontab(const QByteArray &text) const { writeFile(m_crontabDir.filePath(QStringLiteral("table")), text); }

    QMainWindow *window() const { return controller->getMainWindow(); }
    template <typename T>
    T *find(const char *name) const { return window()->findChild<T *>(QLatin1String(name)); }
    QCheckBox *day(const char *name) const { return find<QCheckBox>(name); }
    QLineEdit *destination() const { return find<QLineEdit>("destinationTextField"); }

    // A schedule as a user fills it in (not saved): the client, a
    // destination folder (made), the days ticked and the time.
    void fillIn(const QString &folder, std::initializer_list<const char *> days, QTime time,
                const QString &client = QStringLiteral("Thunderbird")) const
    {
        auto *popup = find<QComboBox>("sourcePopUpButton");
        popup->setCurrentIndex(popup->findText(client));
        controller->setSource(popup);
        QDir().mkpath(folder);
        destination()->setText(folder);
        controller->setDestination(destination());
        for (const char *name : days)
            day(name)->setChecked(true);
        find<QTimeEdit>("backupTime")->setTime(time);
    }

    ScopedHome home;
    ScriptedDialogs dialogs;
    RecordingWorkspace workspace;
    RecordingLauncher launcher;
    RecordingAgentStarter agentStarter;
    FakeCronProbe cronProbe;
    configurator::ControllerServices services;
    std::unique_ptr<configurator::Controller> controller;

private:
    QTemporaryDir m_crontabDir;
};

} // namespace cv::test
