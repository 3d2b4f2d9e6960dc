#pragma once
// Shared by the end-to-end engine tests: the built engine, a listener for
// its completion notice in another process, and the processes as ps sees them.
#include "Names.h"
#include "TestSupport.h"

#include <QProcess>

namespace cv::test {

inline const QString kEngine = QStringLiteral(CV_ENGINE_BUNDLE "/Contents/MacOS/CVEngine");

inline bool haveBus() { return !qEnvironmentVariableIsEmpty("DBUS_SESSION_BUS_ADDRESS"); }

// Listens for the completion notice in another process.
class Observer
{
public:
    explicit Observer(int timeoutMs)
    {
        m_process.start(testTool(), {QStringLiteral("observe"), QString::fromUtf8(cv::names::kExecutionCompleteNotification),
                                     QString::number(timeoutMs)});
        m_ready = m_process.waitForReadyRead(10000) && m_process.readLine().trimmed() == "ready";
    }
    bool ready() const { return m_ready; }
    bool received()
    {
        m_process.waitForFinished(30000);
        return m_process.exitCode() == 0 && m_process.readAll().contains("received");
    }

private:
    QProcess m_process;
    bool m_ready = false;
};

struct Process {
    qint64 pid, ppid, pgid;
    char state;
};

// From ps, not from the engine's own bookkeeping.
inline QList<Process> processes()
{
    QList<Process> list;
    const auto r = runProgram(QStringLiteral("/bin/ps"), {QStringLiteral("-e"), QStringLiteral("-o"),
                                                          QStringLiteral("pid=,ppid=,pgid=,stat=")});
    for (const QByteArray &line : r.out.split('\n')) {
        const QList<QByteArray> f = line.simplified().split(' ');
        if (f.size() >= 4)
            list.append({f[0].toLongLong(), f[1].toLongLong(), f[2].toLongLong(), f[3].at(0)});
    }
    return list;
}

// The process group of the engine's script: that of the engine's child.
inline qint64 childGroup(qint64 parent)
{
    for (const Process &p : processes())
        if (p.ppid == parent)
            return p.pgid;
    return -1;
}

// Processes of the group that can still run (zombies are dead, and this
// machine's init may never reap them).
inline int livingMembers(qint64 pgid)
{
    int n = 0;
    for (const Process &p : processes())
        n += p.pgid == pgid && p.state != 'Z' ? 1 : 0;
    return n;
}

} // namespace cv::test
