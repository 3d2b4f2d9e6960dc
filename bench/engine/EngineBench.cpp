// Prints two figures:
//  1. the engine's own overhead: a whole engine run's wall time minus the
//     wall time of the same script run alone, on a backup of one tiny file;
//  2. output throughput: a child writing 100 MB through TaskWrapper into the
//     log, against cat writing the same bytes to a file.
#include "AppController.h"
#include "Home.h"
#include "Log.h"
#include "PropertyList.h"
#include "TaskWrapper.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>

#include <algorithm>
#include <cstdio>
#include <unistd.h>
#include <vector>

namespace {

double median(std::vector<double> v)
{
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

double timeProgram(const QString &program, const QStringList &args, const QProcessEnvironment &env,
                   const QString &stdoutFile = {})
{
    QProcess p;
    p.setProcessEnvironment(env);
    if (!stdoutFile.isEmpty())
        p.setStandardOutputFile(stdoutFile);
    QElapsedTimer t;
    t.start();
    p.start(program, args);
    p.waitForFinished(-1);
    const double ms = t.nsecsElapsed() / 1e6;
    if (p.exitCode() != 0)
        std::fprintf(stderr, "warning: %s exited with %d\n", qPrintable(program), p.exitCode());
    return ms;
}

struct LogSink : cv::engine::TaskWrapperController {
    qint64 bytes = 0;
    QEventLoop *loop = nullptr;
    void appendOutput(const QString &output) override
    {
        bytes += output.size();
        cv::platform::NSLog(output); // what the engine does with every chunk
    }
    void processStarted() override {}
    void processFinished() override { loop->quit(); }
};

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    QTemporaryDir work(QDir::tempPath() + QStringLiteral("/cvbench-XXXXXX"));
    const QString home = work.path();
    qputenv("HOME", QFile::encodeName(home));

    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("HOME"), home);
    env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
    env.remove(QStringLiteral("DISPLAY"));
    env.remove(QStringLiteral("WAYLAND_DISPLAY"));
    const QString only = app.arguments().value(1); // "overhead" or "throughput": one part alone
    if (only != QLatin1String("throughput")) {
    // --- 1. Overhead on a near-empty backup.
    QDir().mkpath(home + QStringLiteral("/Library/Thunderbird"));
    QFile f(home + QStringLiteral("/Library/Thunderbird/profiles.ini"));
    f.open(QIODevice::WriteOnly);
    f.write("[General]\n");
    f.close();
    QDir().mkpath(home + QStringLiteral("/Library/Preferences"));
    const QString destination = home + QStringLiteral("/Backup");
    QDir().mkpath(destination);
    QDir().mkpath(cv::supportFolder());
    const QVariantMap config{{QStringLiteral("Client"), QStringLiteral("Thunderbird")},
                             {QStringLiteral("Destination"), destination}};
    cv::platform::writeDictionaryXmlAtomically(cv::configFilePath(), config);
    cv::platform::writeDictionaryXmlAtomically(
        cv::defaultsFilePath(), {{QStringLiteral("currentConfiguration"), QStringLiteral("benchmark")}});

    QProcessEnvironment scriptEnv = env;
    scriptEnv.insert(QStringLiteral("PATH"), QStringLiteral(CV_COMPAT_BIN_DIR ":") + env.value(QStringLiteral("PATH")));

    const QString script = home + QStringLiteral("/alone.sh");
    QFile s(script);
    s.open(QIODevice::WriteOnly);
    s.write(cv::engine::AppController::buildShellScript(config).script.toUtf8());
    s.close();

    const int runs = 15;
    std::vector<double> engine, alone;
    timeProgram(QStringLiteral(CV_ENGINE_EXE), {}, env); // warm the caches
    for (int i = 0; i < runs; ++i) {
        engine.push_back(timeProgram(QStringLiteral(CV_ENGINE_EXE), {}, env));
        alone.push_back(timeProgram(QStringLiteral("/bin/sh"), {script}, scriptEnv));
    }
    if (!QFile::exists(cv::markerFilePath()) || QFile::exists(cv::scriptFilePath())) {
        std::fprintf(stderr, "the engine did not complete its backups; see %s\n", qPrintable(cv::logFilePath()));
        return 1;
    }
    const double e = median(engine), a = median(alone);
    std::printf("engine run (median of %d): %.1f ms\n", runs, e);
    std::printf("script alone (median of %d): %.1f ms\n", runs, a);
    std::printf("engine overhead: %.1f ms (aim < 100 ms)\n", e - a);
    }
    if (only == QLatin1String("overhead"))
        return 0;

    // --- 2. Throughput of output into the log.
    const QString big = home + QStringLiteral("/big.txt");
    {
        QFile out(big);
        out.open(QIODevice::WriteOnly);
        QByteArray line = QByteArray(99, 'x') + '\n';
        QByteArray block;
        for (int i = 0; i < 10000; ++i)
            block += line; // 1 MB of text lines
        for (int i = 0; i < 100; ++i)
            out.write(block);
    }
    const double catMs = timeProgram(QStringLiteral("/bin/cat"), {big}, env, home + QStringLiteral("/cat.out"));

    const int savedErr = ::dup(STDERR_FILENO);
    cv::platform::reopenStandardError(home + QStringLiteral("/throughput.log"));
    LogSink sink;
    QEventLoop loop;
    sink.loop = &loop;
    QElapsedTimer t;
    t.start();
    {
        cv::engine::TaskWrapper wrapper(&sink, {QStringLiteral("/bin/cat"), big});
        wrapper.startProcess();
        loop.exec();
    }
    const double wrapperMs = t.nsecsElapsed() / 1e6;
    std::fflush(stderr);
    ::dup2(savedErr, STDERR_FILENO);
    ::close(savedErr);

    std::printf("100 MB, cat to a file: %.1f ms\n", catMs);
    std::printf("100 MB through TaskWrapper into the log: %.1f ms (%lld characters)\n", wrapperMs,
                static_cast<long long>(sink.bytes));
    std::printf("ratio: %.2fx (aim within 2x)\n", wrapperMs / catMs);
    return 0;
}
