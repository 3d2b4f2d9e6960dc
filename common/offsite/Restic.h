#pragma once
// Running the restic program: its password goes on its standard input and
// nowhere else (no argument, no environment variable), every run has a time
// bound, and an interrupted run gets SIGINT so that restic removes its own
// lock and leaves the repository usable.

#include <QByteArray>
#include <QObject>
#include <QProcess>
#include <QString>
#include <QStringList>
#include <QTimer>

#include <chrono>
#include <functional>

namespace cv::offsite {

// How a restic run went wrong, as the user should read it.
enum class Problem {
    None,
    NotInstalled,     // no restic program
    NoRepository,     // the place answers, but holds no repository
    WrongPassword,
    Unreachable,      // host or port not answering, or no answer in time
    Stalled,          // an upload that stopped moving
    Interrupted,      // ended by us (a signal or Cancel)
    Other,            // restic said something else; the reason says what
};

struct ResticResult {
    Problem problem = Problem::None;
    int exitCode = -1;
    QString reason;   // one plain sentence when problem != None
    QByteArray output; // standard output, unless it was streamed
    QString errors;   // standard error (restic never echoes the password)
    bool ok() const { return problem == Problem::None; }
};

// The sentence for a failed run, from restic's exit code and standard error.
// The program's name is used for NotInstalled.
ResticResult classify(int exitCode, const QString &errors);
QString sentenceFor(Problem problem, const QString &detail = {});
// restic's include and exclude patterns treat * ? [ \ as wildcards; a path
// holding one must match only itself.
QString escapePattern(const QString &path);

class ResticRun : public QObject
{
    Q_OBJECT
public:
    // `program`: the restic executable (a name looked up on PATH, or a path).
    explicit ResticRun(QString program, QObject *parent = nullptr);
    ~ResticRun() override;

    // The whole run may take at most this long (0: no bound).
    void setTimeLimit(std::chrono::milliseconds limit) { m_timeLimit = limit; }
    // The run fails as Stalled when `progressKey` of the output stays the
    // same for this long (0: not watched).
    void setStallLimit(std::chrono::milliseconds limit) { m_stallLimit = limit; }
    // Each complete line of standard output, as it comes; such output is not
    // kept in the result.
    void setLineHandler(std::function<void(const QByteArray &)> handler) { m_onLine = std::move(handler); }
    // Called from the line handler's side: the run is still moving.
    void noteProgress();
    // Standard output goes to this file instead of being kept (restic dump).
    void setOutputFile(const QString &path) { m_outputFile = path; }

    // Starts `restic -r <repository> <arguments…>` and feeds it the password.
    void start(const QString &repository, const QString &password, const QStringList &arguments);
    // Blocks (running an event loop) until the run has ended.
    ResticResult wait();
    // start + wait.
    ResticResult run(const QString &repository, const QString &password, const QStringList &arguments);
    // Ends the run cleanly: SIGINT, then SIGKILL if it lingers.
    void interrupt(Problem why = Problem::Interrupted);
    bool running() const;

    // The environment restic runs with: ours without any variable that could
    // give it another password or repository.
    static QProcessEnvironment cleanEnvironment();

signals:
    void finished(const cv::offsite::ResticResult &result);

private:
    void onReadyRead();
    void onFinished(int exitCode, QProcess::ExitStatus status);
    void onStartFailed(QProcess::ProcessError error);
    void finish(ResticResult result);

    QString m_program;
    QProcess *m_process = nullptr;
    QTimer *m_limitTimer = nullptr;
    QTimer *m_stallTimer = nullptr;
    QTimer *m_killTimer = nullptr;
    std::chrono::milliseconds m_timeLimit{0};
    std::chrono::milliseconds m_stallLimit{0};
    std::function<void(const QByteArray &)> m_onLine;
    QString m_outputFile;
    QByteArray m_pending;
    QByteArray m_output;
    Problem m_endedBy = Problem::None;
    bool m_done = true;
    ResticResult m_result;
};

} // namespace cv::offsite

Q_DECLARE_METATYPE(cv::offsite::ResticResult)
