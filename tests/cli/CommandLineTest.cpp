// `corvantis` from a terminal or a script: each command's output and exit
// status, without a display.
#include "RealRuns.h"

#include <gtest/gtest.h>

#include <QElapsedTimer>
#include <QThread>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

using cv::test::RealRuns;

namespace {

const QString kProgram = QStringLiteral(CV_CONFIGURATOR_BUNDLE "/Contents/MacOS/Corvantis");
const QDateTime kStart(QDate(2026, 12, 8), QTime(9, 30), Qt::UTC);

// No display of any kind, as over ssh.
cv::test::RunResult corvantis(const QStringList &arguments)
{
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    for (const char *name : {"DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM"})
        env.remove(QLatin1String(name));
    env.insert(QStringLiteral("TZ"), QStringLiteral("Europe/Berlin"));
    return cv::test::runProgram(kProgram, arguments, env, 30000);
}

} // namespace

TEST(CommandLine, EachCommandsOutputAndExitStatus)
{
    cv::test::ScopedHome home;
    RealRuns runs(home.file(QStringLiteral("Source")), home.file(QStringLiteral("Backup")));
    cv::test::writeFile(runs.source() + QStringLiteral("/Mail/INBOX"), "good");
    cv::test::writeBytes(QFile::encodeName(runs.source()) + "/Entw\374rfe", "drafts");
    const QString first = runs.run(kStart);
    cv::test::writeFile(runs.source() + QStringLiteral("/Mail/INBOX"), "damaged");
    runs.run(kStart.addSecs(60), true, false);
    const QString dest = runs.destination();
    const QString out = home.file(QStringLiteral("Out"));

    struct Case {
        QStringList arguments;
        int status;
        QByteArray stdoutHas; // empty: stdout empty
    };
    const Case cases[] = {
        {{QStringLiteral("--help")}, 0, "corvantis restore POINT PATH... --to DIR"},
        {{QStringLiteral("--version")}, 0, "corvantis 2.0\n"},
        {{QStringLiteral("points"), QStringLiteral("--destination"), dest}, 0, "latest\tLatest backup: Backup of Tue 8 Dec, 10:31 (failed)\n"},
        {{QStringLiteral("ls"), first, QStringLiteral("--destination"), dest}, 0, "folder\t0\t"},
        {{QStringLiteral("ls"), first, QStringLiteral("Mail/"), QStringLiteral("--destination"), dest}, 0, "file\t4\t"},
        {{QStringLiteral("restore"), first, QStringLiteral("Mail/INBOX"), QStringLiteral("--to"), out,
          QStringLiteral("--destination"), dest}, 0, QFile::encodeName(out) + "/INBOX\n"},
        {{QStringLiteral("restore"), first, QStringLiteral("Mail/INBOX"), QStringLiteral("--to"), out,
          QStringLiteral("--destination"), dest}, 0, QFile::encodeName(out) + "/INBOX (restored)\n"},
        // Failures: one line on stderr, nothing restored.
        {{QStringLiteral("points")}, 1, {}}, // no saved settings, no --destination
        {{QStringLiteral("ls"), QStringLiteral("1999-01-01-000000"), QStringLiteral("--destination"), dest}, 1, {}},
        {{QStringLiteral("ls"), first, QStringLiteral("Nothing"), QStringLiteral("--destination"), dest}, 1, {}},
        {{QStringLiteral("restore"), first, QStringLiteral("Mail"), QStringLiteral("--to"), dest + QStringLiteral("/Mail"),
          QStringLiteral("--destination"), dest}, 1, {}},
        {{QStringLiteral("restore"), first, QStringLiteral("Mail"), QStringLiteral("Nothing"), QStringLiteral("--to"), out,
          QStringLiteral("--destination"), dest}, 1, {}},
        {{QStringLiteral("restore"), first, QStringLiteral("Mail")}, 2, {}},
        {{QStringLiteral("frobnicate")}, 2, {}},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.arguments.join(u' ').toStdString());
        const cv::test::RunResult r = corvantis(c.arguments);
        EXPECT_EQ(r.exitCode, c.status) << r.err.toStdString();
        if (c.status == 0) {
            EXPECT_TRUE(r.out.contains(c.stdoutHas)) << r.out.toStdString();
            EXPECT_TRUE(r.err.isEmpty()) << r.err.toStdString();
        } else {
            EXPECT_TRUE(r.out.isEmpty()) << r.out.toStdString();
            EXPECT_EQ(r.err.count('\n'), 1) << r.err.toStdString();
            EXPECT_TRUE(r.err.startsWith("corvantis: ")) << r.err.toStdString();
        }
    }
    EXPECT_EQ(cv::test::readFile(out + QStringLiteral("/INBOX (restored)")), "good");
    EXPECT_FALSE(QFileInfo::exists(out + QStringLiteral("/Mail")));

    // JSON, newest first, the destination from the saved settings; names as
    // they are on disk.
    ASSERT_TRUE(cv::test::writeEngineSettings(QStringLiteral("configured"), {{QStringLiteral("Destination"), dest}}));
    const cv::test::RunResult points = corvantis({QStringLiteral("points"), QStringLiteral("--json")});
    ASSERT_EQ(points.exitCode, 0) << points.err.toStdString();
    const QJsonArray array = QJsonDocument::fromJson(points.out).array();
    ASSERT_EQ(array.size(), 2);
    EXPECT_EQ(array[0][QStringLiteral("id")].toString(), QStringLiteral("latest"));
    EXPECT_TRUE(array[0][QStringLiteral("failed")].toBool());
    EXPECT_EQ(array[1][QStringLiteral("id")].toString(), first);
    EXPECT_EQ(array[1][QStringLiteral("time")].toString(), QStringLiteral("2026-12-08T10:30:00+01:00"));
    EXPECT_FALSE(array[1][QStringLiteral("failed")].toBool());
    const cv::test::RunResult listing = corvantis({QStringLiteral("ls"), first, QStringLiteral("--json")});
    const QJsonArray entries = QJsonDocument::fromJson(listing.out).array();
    ASSERT_EQ(entries.size(), 2) << listing.out.toStdString();
    EXPECT_EQ(entries[0][QStringLiteral("name")].toString(), QStringLiteral("Entw\\xFCrfe"));
    EXPECT_EQ(QByteArray::fromBase64(entries[0][QStringLiteral("name_bytes")].toString().toLatin1()), "Entw\374rfe");
    const QByteArray raw = corvantis({QStringLiteral("ls"), first}).out;
    EXPECT_TRUE(raw.contains("\tEntw\374rfe\n")) << raw.toStdString();
}

// A second `corvantis` hands over to the window already open and ends.
TEST(CommandLine, ASecondInstanceRaisesTheFirst)
{
    cv::test::ScopedHome home;
    QProcess first;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
    first.setProcessEnvironment(env);
    first.start(kProgram, {});
    ASSERT_TRUE(first.waitForStarted());
    QElapsedTimer timer;
    timer.start();
    cv::test::RunResult second;
    // Once the first listens, the second ends at once.
    do {
        QThread::msleep(1500);
        second = cv::test::runProgram(kProgram, {}, env, 20000);
    } while (second.timedOut && timer.elapsed() < 20000);
    EXPECT_EQ(second.exitCode, 0);
    EXPECT_FALSE(second.timedOut);
    EXPECT_EQ(first.state(), QProcess::Running);
    first.kill();
    first.waitForFinished();
}
