// The task runner against small real children started through /bin/sh.
#include "EngineTestSupport.h"
#include "TaskWrapper.h"
#include "TestSupport.h"

#include <gtest/gtest.h>

#include <QElapsedTimer>
#include <QFile>
#include <QRegularExpression>
#include <QTest>
#include <QTimer>

#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <functional>
#include <memory>
#include <sys/wait.h>

using cv::engine::TaskWrapper;
using cv::engine::TaskWrapperController;

namespace {

class Recorder : public TaskWrapperController
{
public:
    // events: 's' started, 'o' output, 'f' finished.
    void appendOutput(const QString &output) override
    {
        chunks += output;
        events += u'o';
    }
    void processStarted() override { events += u's'; }
    void processFinished() override
    {
        events += u'f';
        if (onFinished)
            onFinished();
    }

    bool waitForFinished() { return QTest::qWaitFor([this] { return finishedCount() > 0; }, 10000); }
    bool waitForOutput() { return QTest::qWaitFor([this] { return !chunks.isEmpty(); }, 5000); }
    int finishedCount() const { return int(events.count(u'f')); }
    QString output() const { return chunks.join(QString()); }

    QStringList chunks;
    QString events;
    std::function<void()> onFinished;
};

QStringList shell(const QString &command)
{
    return {QStringLiteral("/bin/sh"), QStringLiteral("-c"), command};
}

bool processIsZombie(qint64 pid)
{
    const QByteArray stat = cv::test::readFile(QStringLiteral("/proc/%1/stat").arg(pid));
    const qsizetype close = stat.lastIndexOf(')');
    return close > 0 && stat.size() > close + 2 && stat.at(close + 2) == 'Z';
}

bool processGone(qint64 pid)
{
    // Neither running nor a zombie of ours.
    errno = 0;
    return ::waitpid(static_cast<pid_t>(pid), nullptr, WNOHANG) < 0 && errno == ECHILD
        && !QFile::exists(QStringLiteral("/proc/%1").arg(pid));
}

} // namespace

// The run ends with the end of output, not with the child's exit: a
// grandchild still holding the pipe keeps it open. Characters split across
// reads arrive whole; one the output never completes is not lost at the end.
// The controller may release the wrapper from its own callback.
TEST(TaskWrapper, OutputAndErrorArriveInOneStreamInOrderUntilThePipeEnds)
{
    Recorder recorder;
    auto *task = new TaskWrapper(&recorder, shell(QStringLiteral(
        "echo one; echo two >&2; printf 'caf\\303'; sleep 0.3; printf '\\251 \\342\\202' >&2; sleep 0.3; "
        "printf '\\254 \\360\\237'; sleep 0.3; printf '\\230\\200\\n'; (sleep 1; printf 'late \\342\\202') & echo five")));
    recorder.onFinished = [&task] {
        delete task;
        task = nullptr;
    };
    QElapsedTimer clock;
    clock.start();
    task->startProcess();
    const qint64 pid = task->processIdentifier();
    ASSERT_TRUE(recorder.waitForFinished());
    EXPECT_GE(clock.elapsed(), 1800);
    EXPECT_GE(recorder.chunks.size(), 3); // the reads really were split
    EXPECT_TRUE(recorder.output().startsWith(QStringLiteral("one\ntwo\ncafé € 😀\nfive\nlate ")))
        << recorder.output().toStdString();
    EXPECT_TRUE(recorder.output().endsWith(QChar::ReplacementCharacter));
    EXPECT_TRUE(QRegularExpression(QStringLiteral("^so+f$")).match(recorder.events).hasMatch()) << recorder.events.toStdString();
    EXPECT_EQ(task, nullptr);
    QTest::qWait(50); // let deferred deletions run
    EXPECT_TRUE(processGone(pid));
}

// These processes close their output and live on: the run ends all the same,
// and only once nothing of the child's group is left.
TEST(TaskWrapper, SilentLeftoversOfTheGroupAreEndedBeforeTheFinish)
{
    cv::test::ScopedHome home;
    const QString pidFile = home.file(QStringLiteral("background"));
    Recorder recorder;
    auto task = std::make_unique<TaskWrapper>(
        &recorder, shell(QStringLiteral("(exec >/dev/null 2>&1; sleep 30) & echo $! > '%1'; "
                                        "exec >/dev/null 2>&1; exec sleep 30").arg(pidFile)));
    bool backgroundGoneAtFinish = false;
    recorder.onFinished = [&] {
        backgroundGoneAtFinish = !QFile::exists(QStringLiteral("/proc/%1/cmdline").arg(
                                     QString::fromLatin1(cv::test::readFile(pidFile).trimmed())))
            || processIsZombie(cv::test::readFile(pidFile).trimmed().toLongLong());
    };
    task->startProcess();
    const qint64 pid = task->processIdentifier();
    ASSERT_GT(pid, 0);
    EXPECT_EQ(task->processGroup(), pid);
    ASSERT_TRUE(recorder.waitForFinished());
    EXPECT_EQ(recorder.events, QStringLiteral("sf"));
    EXPECT_EQ(task->processIdentifier(), -1);
    EXPECT_TRUE(processGone(pid));
    EXPECT_TRUE(backgroundGoneAtFinish);
    EXPECT_FALSE(TaskWrapper::groupHasLivingMembers(pid));

    task->stopProcess();
    task->startProcess(); // a wrapper runs its child once
    QTest::qWait(200);
    task.reset(); // teardown stops again
    EXPECT_EQ(recorder.events, QStringLiteral("sf"));
}

TEST(TaskWrapper, ProgramThatCannotBeLaunchedStillFinishesAfterOneLogLine)
{
    cv::test::ScopedHome home;
    const QString notExecutable = home.file(QStringLiteral("plain.sh"));
    ASSERT_TRUE(cv::test::writeFile(notExecutable, "#!/bin/sh\necho hi\n"));
    for (const QString &program : {home.file(QStringLiteral("missing")), notExecutable}) {
        Recorder recorder;
        cv::test::CapturedStderr log;
        {
            TaskWrapper task(&recorder, {program});
            task.startProcess();
            EXPECT_EQ(recorder.finishedCount(), 0); // never from inside startProcess
            ASSERT_TRUE(recorder.waitForFinished());
        }
        const QByteArray lines = log.take();
        EXPECT_EQ(recorder.events, QStringLiteral("sf"));
        EXPECT_EQ(lines.count('\n'), 1) << lines.toStdString();
        EXPECT_TRUE(lines.contains(QFile::encodeName(program))) << lines.toStdString();
    }
}

// The stop returns at once; what the child says while it ends is still read.
TEST(TaskWrapper, StopIsPoliteFirstReadsTheLastWordsAndFinishesOnce)
{
    Recorder recorder;
    TaskWrapper task(&recorder, shell(QStringLiteral("trap 'echo bye; exit 0' TERM; echo ready; while :; do sleep 0.05; done")));
    task.startProcess();
    const qint64 pid = task.processIdentifier();
    recorder.waitForOutput();
    ASSERT_EQ(recorder.output(), QStringLiteral("ready\n"));

    QElapsedTimer clock;
    clock.start();
    task.stopProcess();
    EXPECT_LT(clock.elapsed(), 100);
    EXPECT_EQ(recorder.finishedCount(), 0);
    ASSERT_TRUE(recorder.waitForFinished());
    EXPECT_LT(clock.elapsed(), 2000); // well inside the grace period: no SIGKILL was needed
    // The shell may also report its sleep, which the stop reached too.
    EXPECT_TRUE(recorder.output().startsWith(QStringLiteral("ready\n"))) << recorder.output().toStdString();
    EXPECT_TRUE(recorder.output().endsWith(QStringLiteral("\nbye\n"))) << recorder.output().toStdString();
    task.stopProcess();
    QTest::qWait(50);
    EXPECT_EQ(recorder.finishedCount(), 1);
    EXPECT_TRUE(processGone(pid));
}

// A script and a grandchild that both ignore SIGTERM and hold the pipe: after
// the grace period both are ended by force, and the event loop runs freely
// all the while.
TEST(TaskWrapper, StopEndsTheWholeGroupByForceAfterTheGracePeriodWithoutBlocking)
{
    cv::test::ScopedHome home;
    const QString pidFile = home.file(QStringLiteral("grandchild"));
    Recorder recorder;
    TaskWrapper task(&recorder, shell(QStringLiteral("trap '' TERM; sleep 30 & echo $! > '%1'; echo ready; "
                                                     "while :; do sleep 0.05; done").arg(pidFile)));
    task.setStopGracePeriod(std::chrono::milliseconds(1000));
    task.startProcess();
    const qint64 pid = task.processIdentifier();
    recorder.waitForOutput();
    const qint64 grandchild = cv::test::readFile(pidFile).trimmed().toLongLong();
    ASSERT_GT(grandchild, 0);

    QElapsedTimer clock, sinceTick;
    qint64 longestGap = 0;
    QTimer ticker;
    QObject::connect(&ticker, &QTimer::timeout, [&] {
        longestGap = std::max(longestGap, sinceTick.restart());
    });
    clock.start();
    sinceTick.start();
    ticker.start(5);
    cv::test::CapturedStderr log;
    task.stopProcess();
    ASSERT_TRUE(recorder.waitForFinished());
    ticker.stop();
    log.take();
    EXPECT_GE(clock.elapsed(), 950);
    EXPECT_LT(clock.elapsed(), 5000);
    // A wait on the main thread would stall the ticks for the whole grace
    // period; a busy machine alone does not come near that.
    EXPECT_LT(longestGap, 500);
    EXPECT_EQ(recorder.finishedCount(), 1);
    EXPECT_TRUE(processGone(pid));
    EXPECT_TRUE(!QFile::exists(QStringLiteral("/proc/%1").arg(grandchild)) || processIsZombie(grandchild));
    EXPECT_FALSE(TaskWrapper::groupHasLivingMembers(pid));
}

TEST(TaskWrapper, ChildInheritsNoDescriptorOfTheEngine)
{
    const int stray = ::open("/dev/null", O_RDONLY); // deliberately without close-on-exec
    ASSERT_GE(stray, 0);
    Recorder recorder;
    TaskWrapper task(&recorder, shell(QStringLiteral("ls /proc/$$/fd")));
    task.startProcess();
    ASSERT_TRUE(recorder.waitForFinished());
    ::close(stray);
    const QStringList descriptors = recorder.output().split(u'\n', Qt::SkipEmptyParts);
    EXPECT_FALSE(descriptors.isEmpty());
    for (const QString &fd : std::as_const(descriptors))
        EXPECT_LE(fd.toInt(), 2) << recorder.output().toStdString();
}
