#include "Home.h"
#include "TestSupport.h"

#include <QDir>
#include <QElapsedTimer>
#include <QGuiApplication>
#include <QImage>
#include <QPixmap>
#include <QProcess>
#include <QScreen>
#include <QTest>
#include <gtest/gtest.h>

namespace {

const QString kEngine = QStringLiteral(CV_ENGINE_BUNDLE "/Contents/MacOS/CVEngine");

QString xdotool(const QStringList &args)
{
    const auto r = cv::test::runProgram(QStringLiteral("xdotool"), args, QProcessEnvironment::systemEnvironment(), 10000);
    return QString::fromUtf8(r.out).trimmed();
}

// The visible windows of a process.
QStringList visibleWindows(const QProcess &process)
{
    return xdotool({QStringLiteral("search"), QStringLiteral("--onlyvisible"), QStringLiteral("--pid"),
                    QString::number(process.processId())})
        .split(QLatin1Char('\n'), Qt::SkipEmptyParts);
}

QRect windowGeometry(const QString &id)
{
    QMap<QString, int> shell; // X=, Y=, WIDTH=, HEIGHT=
    for (const QString &line : xdotool({QStringLiteral("getwindowgeometry"), QStringLiteral("--shell"), id}).split(QLatin1Char('\n')))
        shell.insert(line.section(QLatin1Char('='), 0, 0), line.section(QLatin1Char('='), 1).toInt());
    return QRect(shell.value(QStringLiteral("X")), shell.value(QStringLiteral("Y")), shell.value(QStringLiteral("WIDTH")),
                 shell.value(QStringLiteral("HEIGHT")));
}

// Counts bright pixels (text, border) inside a rectangle of a screenshot.
int brightPixels(const QImage &image, const QRect &area)
{
    int n = 0;
    const QRect inside = area & image.rect();
    for (int y = inside.top(); y <= inside.bottom(); ++y)
        for (int x = inside.left(); x <= inside.right(); ++x)
            n += qGray(image.pixel(x, y)) > 200;
    return n;
}

QImage screenshot(const QString &name)
{
    const QImage image = QGuiApplication::primaryScreen()->grabWindow(0).toImage();
    image.save(QStringLiteral(CV_SCREENSHOT_DIR "/") + name);
    return image;
}

// A configured Thunderbird backup whose stand-in copy fails, in the engine's
// environment on the real X server.
QProcessEnvironment failingRunEnvironment(cv::test::ScopedHome &home)
{
    const QString destination = home.file(QStringLiteral("Backups"));
    QDir().mkpath(destination);
    EXPECT_TRUE(cv::test::writeFile(home.file(QStringLiteral("Library/Thunderbird/profiles.ini")), "[General]\n"));
    EXPECT_TRUE(cv::test::writeEngineSettings(
        QStringLiteral("configured"),
        {{QStringLiteral("Client"), QStringLiteral("Thunderbird")}, {QStringLiteral("Destination"), destination}}));
    QProcessEnvironment env = cv::test::engineEnvironment(QStringLiteral("xcb"), QStringLiteral(CV_ENGINE_RUN_STANDINS));
    env.insert(QStringLiteral("CV_DITTO_RECORD"), home.file(QStringLiteral("calls")));
    env.insert(QStringLiteral("CV_DITTO_FAIL"), QStringLiteral("1"));
    return env;
}

class BubbleOnScreen : public ::testing::Test
{
protected:
    void SetUp() override
    {
        if (QGuiApplication::platformName() != QLatin1String("xcb"))
            GTEST_SKIP() << "needs a real X server";
        if (cv::test::runProgram(QStringLiteral("xdotool"), {QStringLiteral("version")}).exitCode != 0)
            GTEST_SKIP() << "needs xdotool";
    }
};

} // namespace

TEST_F(BubbleOnScreen, RunShowsTheBubbleBesideTheDockCornerAndTheLogButtonEndsTheEngine)
{
    cv::test::ScopedHome home;
    QProcessEnvironment env = failingRunEnvironment(home);
    env.insert(QStringLiteral("CV_DITTO_SLEEP"), QStringLiteral("3"));
    env.insert(QStringLiteral("CV_DITTO_SAY"), QStringLiteral("ditto: simulated copy failure"));

    QProcess engine;
    engine.setProcessEnvironment(env);
    engine.start(kEngine, {});
    ASSERT_TRUE(engine.waitForStarted());

    QString window;
    ASSERT_TRUE(QTest::qWaitFor([&] { return !(window = visibleWindows(engine).value(0)).isEmpty(); }, 15000))
        << "no bubble appeared";
    QTest::qWait(300);
    const QRect g = windowGeometry(window);
    const QRect screen = QGuiApplication::primaryScreen()->geometry();
    // Anchored at (10, 80) from the bottom-left corner, extending right and
    // up; the bottom edge lies one arrow inset (half the arrow base plus the
    // corner radius: 18) below the point.
    EXPECT_NEAR(g.x(), 10, 2);
    EXPECT_NEAR(g.y() + g.height(), screen.height() - 80 + 18, 2);
    EXPECT_GE(g.width(), 300);
    const QImage running = screenshot(QStringLiteral("bubble_running.png"));
    EXPECT_GT(brightPixels(running, g), 50); // headline and border

    // The stand-in copy fails; the bubble turns into its errors presentation.
    QElapsedTimer timer;
    timer.start();
    while (!cv::test::readFile(cv::logFilePath()).contains("Backup failed") && timer.elapsed() < 30000)
        QTest::qWait(100);
    ASSERT_TRUE(cv::test::readFile(cv::logFilePath()).contains("Backup failed"));
    QTest::qWait(500);
    EXPECT_EQ(engine.state(), QProcess::Running); // waits for the button
    const QImage failed = screenshot(QStringLiteral("bubble_errors.png"));
    EXPECT_GT(brightPixels(failed, g), 50);

    // The log button sits at the lower right of the content.
    const int viewX = (g.width() - 300) / 2, viewY = (g.height() - 84) / 2;
    timer.restart();
    xdotool({QStringLiteral("mousemove"), QStringLiteral("--window"), window, QString::number(viewX + 240),
             QString::number(viewY + 60), QStringLiteral("click"), QStringLiteral("1")});
    ASSERT_TRUE(engine.waitForFinished(10000));
    const qint64 took = timer.elapsed();
    EXPECT_EQ(engine.exitCode(), 1);
    EXPECT_GE(took, 400);
    EXPECT_LT(took, 3000);
}

// Two failed runs in a row: the second engine ends the first, which still
// showed its errors, before it shows its own. One bubble on screen.
TEST_F(BubbleOnScreen, ANewRunEndsTheEngineStillShowingAnOlderRunsErrors)
{
    cv::test::ScopedHome home;
    const QProcessEnvironment env = failingRunEnvironment(home);
    const auto failures = [] { return cv::test::readFile(cv::logFilePath()).count("Backup failed"); };
    QProcess first, second;
    for (QProcess *engine : {&first, &second}) {
        const qsizetype before = failures();
        engine->setProcessEnvironment(env);
        engine->start(kEngine, {});
        ASSERT_TRUE(engine->waitForStarted());
        ASSERT_TRUE(QTest::qWaitFor([&] { return failures() > before && !visibleWindows(*engine).isEmpty(); }, 30000))
            << cv::test::readFile(cv::logFilePath()).constData();
        QTest::qWait(500); // the errors presentation is up
        EXPECT_EQ(engine->state(), QProcess::Running); // waits for its button
    }
    // Ended when the second run started.
    ASSERT_TRUE(first.state() == QProcess::NotRunning || first.waitForFinished(10000));
    EXPECT_EQ(first.exitCode(), 1);
    EXPECT_TRUE(cv::test::readFile(cv::logFilePath()).contains("A newer run has started"));
    screenshot(QStringLiteral("bubble_errors_once.png"));
    EXPECT_EQ(visibleWindows(second).size(), 1);
    EXPECT_EQ(second.state(), QProcess::Running);
    second.terminate();
    EXPECT_TRUE(second.waitForFinished(10000));
}
