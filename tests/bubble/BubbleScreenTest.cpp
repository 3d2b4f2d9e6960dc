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

struct Geometry {
    int x = 0, y = 0, width = 0, height = 0;
};

Geometry windowGeometry(const QString &id)
{
    Geometry g;
    for (const QString &line : xdotool({QStringLiteral("getwindowgeometry"), QStringLiteral("--shell"), id}).split(QLatin1Char('\n'))) {
        const QString key = line.section(QLatin1Char('='), 0, 0);
        const int value = line.section(QLatin1Char('='), 1).toInt();
        if (key == QLatin1String("X")) g.x = value;
        if (key == QLatin1String("Y")) g.y = value;
        if (key == QLatin1String("WIDTH")) g.width = value;
        if (key == QLatin1String("HEIGHT")) g.height = value;
    }
    return g;
}

// Counts bright pixels (text, border) inside a rectangle of a screenshot.
int brightPixels(const QImage &image, const Geometry &g)
{
    int n = 0;
    for (int y = g.y; y < g.y + g.height && y < image.height(); ++y)
        for (int x = g.x; x < g.x + g.width && x < image.width(); ++x)
            if (qGray(image.pixel(x, y)) > 200)
                ++n;
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

} // namespace

TEST(BubbleOnScreen, RunShowsTheBubbleBesideTheDockCornerAndTheLogButtonEndsTheEngine)
{
    if (QGuiApplication::platformName() != QLatin1String("xcb"))
        GTEST_SKIP() << "needs a real X server";
    if (cv::test::runProgram(QStringLiteral("xdotool"), {QStringLiteral("version")}).exitCode != 0)
        GTEST_SKIP() << "needs xdotool";

    cv::test::ScopedHome home;
    QProcessEnvironment env = failingRunEnvironment(home);
    env.insert(QStringLiteral("CV_DITTO_SLEEP"), QStringLiteral("3"));
    env.insert(QStringLiteral("CV_DITTO_SAY"), QStringLiteral("ditto: simulated copy failure"));

    QProcess engine;
    engine.setProcessEnvironment(env);
    engine.start(kEngine, {});
    ASSERT_TRUE(engine.waitForStarted());

    QString window;
    QElapsedTimer timer;
    timer.start();
    while (window.isEmpty() && timer.elapsed() < 15000) {
        window = xdotool({QStringLiteral("search"), QStringLiteral("--onlyvisible"), QStringLiteral("--pid"),
                          QString::number(engine.processId())}).section(QLatin1Char('\n'), 0, 0);
        if (window.isEmpty())
            QTest::qWait(100);
    }
    ASSERT_FALSE(window.isEmpty()) << "no bubble appeared";
    QTest::qWait(300);
    const Geometry g = windowGeometry(window);
    const QRect screen = QGuiApplication::primaryScreen()->geometry();
    // Anchored at (10, 80) from the bottom-left corner, extending right and
    // up; the bottom edge lies one arrow inset (half the arrow base plus the
    // corner radius: 18) below the point.
    EXPECT_NEAR(g.x, 10, 2);
    EXPECT_NEAR(g.y + g.height, screen.height() - 80 + 18, 2);
    EXPECT_GE(g.width, 300);
    const QImage running = screenshot(QStringLiteral("bubble_running.png"));
    EXPECT_GT(brightPixels(running, g), 50); // headline and border

    // The stand-in copy fails; the bubble turns into its errors presentation.
    timer.restart();
    while (!cv::test::readFile(cv::logFilePath()).contains("Backup failed") && timer.elapsed() < 30000)
        QTest::qWait(100);
    ASSERT_TRUE(cv::test::readFile(cv::logFilePath()).contains("Backup failed"));
    QTest::qWait(500);
    EXPECT_EQ(engine.state(), QProcess::Running); // waits for the button
    const QImage failed = screenshot(QStringLiteral("bubble_errors.png"));
    EXPECT_GT(brightPixels(failed, g), 50);

    // The log button sits at the lower right of the content.
    const int viewX = (g.width - 300) / 2, viewY = (g.height - 84) / 2;
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
TEST(BubbleOnScreen, ANewRunEndsTheEngineStillShowingAnOlderRunsErrors)
{
    if (QGuiApplication::platformName() != QLatin1String("xcb"))
        GTEST_SKIP() << "needs a real X server";
    if (cv::test::runProgram(QStringLiteral("xdotool"), {QStringLiteral("version")}).exitCode != 0)
        GTEST_SKIP() << "needs xdotool";

    cv::test::ScopedHome home;
    const QProcessEnvironment env = failingRunEnvironment(home);

    const auto visibleWindows = [](const QProcess &engine) {
        const QString ids = xdotool({QStringLiteral("search"), QStringLiteral("--onlyvisible"), QStringLiteral("--pid"),
                                     QString::number(engine.processId())});
        return ids.isEmpty() ? 0 : int(ids.count(QLatin1Char('\n')) + 1);
    };
    const auto failures = [] { return cv::test::readFile(cv::logFilePath()).count("Backup failed"); };
    QProcess first, second;
    for (QProcess *engine : {&first, &second}) {
        const qsizetype before = failures();
        engine->setProcessEnvironment(env);
        engine->start(kEngine, {});
        ASSERT_TRUE(engine->waitForStarted());
        ASSERT_TRUE(QTest::qWaitFor([&] { return failures() > before && visibleWindows(*engine) > 0; }, 30000))
            << cv::test::readFile(cv::logFilePath()).constData();
        QTest::qWait(500); // the errors presentation is up
        EXPECT_EQ(engine->state(), QProcess::Running); // waits for its button
    }
    // Ended when the second run started.
    ASSERT_TRUE(first.state() == QProcess::NotRunning || first.waitForFinished(10000));
    EXPECT_EQ(first.exitCode(), 1);
    EXPECT_TRUE(cv::test::readFile(cv::logFilePath()).contains("A newer run has started"));
    screenshot(QStringLiteral("bubble_errors_once.png"));
    EXPECT_EQ(visibleWindows(second), 1);
    EXPECT_EQ(second.state(), QProcess::Running);
    second.terminate();
    EXPECT_TRUE(second.waitForFinished(10000));
}
