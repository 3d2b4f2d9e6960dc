// The catch-up agent's cost: how long from its start until it waits after
// its first look, how much memory it holds while it waits, and how often it
// wakes in between (it should not). Runs the real agent in a throwaway home
// with a schedule that is not due, so the look reads every file it reads in
// use but starts nothing.
//
//   build/bench/agent/agent_bench [starts] [idle seconds]
#include "Home.h"
#include "PropertyList.h"
#include "WindowSettings.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QThread>

#include <algorithm>
#include <cstdio>
#include <vector>

namespace {

// The syscall a process sits in: 7 is poll, 271 ppoll on x86-64.
bool waitingInPoll(qint64 pid)
{
    QFile file(QStringLiteral("/proc/%1/syscall").arg(pid));
    if (!file.open(QIODevice::ReadOnly))
        return false;
    const QByteArray number = file.readAll().split(' ').value(0);
    return number == "7" || number == "271";
}

// A "Name: value kB" field of /proc/<pid>/status or smaps_rollup.
qint64 statusField(qint64 pid, const char *name, const char *file_ = "status")
{
    QFile file(QStringLiteral("/proc/%1/%2").arg(pid).arg(QLatin1String(file_)));
    if (!file.open(QIODevice::ReadOnly))
        return -1;
    for (const QByteArray &line : file.readAll().split('\n'))
        if (line.startsWith(name))
            return line.mid(qstrlen(name)).trimmed().split(' ').value(0).toLongLong();
    return -1;
}

double median(std::vector<double> v)
{
    std::sort(v.begin(), v.end());
    return v.empty() ? 0 : v[v.size() / 2];
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    const int starts = argc > 1 ? std::max(1, atoi(argv[1])) : 10;
    const int idleSeconds = argc > 2 ? std::max(1, atoi(argv[2])) : 20;

    QTemporaryDir home;
    qputenv("HOME", QFile::encodeName(home.path()));
    QDir().mkpath(cv::supportFolder());
    QDir().mkpath(QFileInfo(cv::defaultsFilePath()).absolutePath());
    // Scheduled for a minute from now on every day: the look finds nothing due.
    QVariantMap settings{{QStringLiteral("scheduled"), true},
                         {QStringLiteral("RunNowOnly"), false},
                         {QStringLiteral("time"), cv::configurator::archiveDateTime(QDateTime::currentDateTime().addSecs(60))}};
    for (const char *day : {"sunday", "monday", "tuesday", "wednesday", "thursday", "friday", "saturday"})
        settings.insert(QLatin1String(day), qlonglong(1));
    cv::platform::writeDictionaryXmlAtomically(cv::defaultsFilePath(), settings);
    QFile marker(cv::markerFilePath());
    marker.open(QIODevice::WriteOnly);
    marker.close();

    std::vector<double> startMs, rssKb, pssKb, privateKb;
    for (int i = 0; i < starts; ++i) {
        QProcess agent;
        QElapsedTimer clock;
        clock.start();
        agent.start(QStringLiteral(CV_AGENT_EXE), {});
        agent.waitForStarted();
        while (!waitingInPoll(agent.processId()) && clock.elapsed() < 5000)
            QThread::usleep(200);
        startMs.push_back(clock.nsecsElapsed() / 1e6);
        QThread::msleep(100);
        rssKb.push_back(double(statusField(agent.processId(), "VmRSS:")));
        // Most of the resident pages are libraries every Qt program of the
        // session shares; these say what the agent itself adds.
        pssKb.push_back(double(statusField(agent.processId(), "Pss:", "smaps_rollup")));
        privateKb.push_back(double(statusField(agent.processId(), "Private_Clean:", "smaps_rollup")
                                   + statusField(agent.processId(), "Private_Dirty:", "smaps_rollup")));
        agent.terminate();
        agent.waitForFinished();
    }
    std::printf("agent start to waiting after its first look: median %.1f ms (min %.1f, max %.1f) over %d starts\n",
                median(startMs), *std::min_element(startMs.begin(), startMs.end()),
                *std::max_element(startMs.begin(), startMs.end()), starts);
    std::printf("resident memory while waiting: median %.0f KiB (%.1f MiB); proportional share %.0f KiB; private %.0f KiB\n",
                median(rssKb), median(rssKb) / 1024, median(pssKb), median(privateKb));

    QProcess agent;
    agent.start(QStringLiteral(CV_AGENT_EXE), {});
    agent.waitForStarted();
    QThread::msleep(1000);
    const qint64 pid = agent.processId();
    const qint64 before = statusField(pid, "voluntary_ctxt_switches:") + statusField(pid, "nonvoluntary_ctxt_switches:");
    QThread::sleep(idleSeconds);
    const qint64 after = statusField(pid, "voluntary_ctxt_switches:") + statusField(pid, "nonvoluntary_ctxt_switches:");
    std::printf("wake-ups while waiting %d s: %lld\n", idleSeconds, after - before);
    agent.terminate();
    agent.waitForFinished();
    return 0;
}
