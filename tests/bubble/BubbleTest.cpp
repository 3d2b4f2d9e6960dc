#include "AppController.h"
#include "Home.h"
#include "KAAttachedWindow.h"
#include "ProgressBubble.h"
#include "PropertyList.h"
#include "Spinner.h"
#include "TestSupport.h"
#include "Workspace.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QLabel>
#include <QPointer>
#include <QPushButton>
#include <QTest>
#include <QTimer>
#include <QXmlStreamReader>
#include <gtest/gtest.h>
#include <plist/plist.h>

#include <cstdlib>
#include <optional>

using cv::engine::AppController;
using cv::engine::ProgressBubble;

namespace {

class RecordingWorkspace : public cv::platform::Workspace
{
public:
    bool openFile(const QString &path) override
    {
        opened << path;
        return false; // failing to open must not matter
    }
    bool openURL(const QUrl &) override { return false; }
    QStringList opened;
};

void writeDock(const QVariantMap &prefs, bool binary)
{
    QByteArray bytes = cv::platform::serializeXml(prefs);
    if (binary) {
        plist_t root = nullptr;
        plist_from_xml(bytes.constData(), static_cast<uint32_t>(bytes.size()), &root);
        char *bin = nullptr;
        uint32_t len = 0;
        plist_to_bin(root, &bin, &len);
        bytes = QByteArray(bin, static_cast<qsizetype>(len));
        free(bin);
        plist_free(root);
    }
    ASSERT_TRUE(cv::test::writeFile(cv::dockPreferencesPath(), bytes));
}

} // namespace

TEST(DockPosition, CodesAndAnchorsFollowTheDockEdge)
{
    cv::test::ScopedHome home;
    EXPECT_EQ(AppController::getDockPosition(), 0); // no file
    const struct {
        QVariantMap prefs;
        bool binary;
        int code;
        QPointF anchor;
    } cases[] = {
        {{{QStringLiteral("orientation"), QStringLiteral("right")}}, false, 2, {10, 40}},
        {{{QStringLiteral("orientation"), QStringLiteral("left")}}, true, 1, {40, 40}},
        {{{QStringLiteral("orientation"), QStringLiteral("bottom")}}, true, 0, {10, 80}},
        {{{QStringLiteral("tilesize"), 48LL}}, false, 0, {10, 80}},
    };
    for (const auto &c : cases) {
        writeDock(c.prefs, c.binary);
        EXPECT_EQ(AppController::getDockPosition(), c.code) << c.code;
        EXPECT_EQ(AppController::anchorPointForDockPosition(c.code), c.anchor) << c.code;
    }
    ASSERT_TRUE(cv::test::writeFile(cv::dockPreferencesPath(), "<plist><dict><key>orientation</key><string>left"));
    EXPECT_EQ(AppController::getDockPosition(), 0);
}

TEST(ProgressBubble, RunAndErrorsPresentations)
{
    cv::test::ScopedHome home;
    RecordingWorkspace workspace;
    std::optional<int> exitStatus;
    ProgressBubble bubble(workspace, [&](int s) { exitStatus = s; });

    bubble.showRunStarted();
    ASSERT_NE(bubble.window(), nullptr);
    EXPECT_TRUE(bubble.window()->isVisible());
    EXPECT_EQ(bubble.modeField()->text(), QStringLiteral("Corvantis In Progress..."));
    EXPECT_TRUE(bubble.logButton()->isHidden());
    // The spinner turns on its own while the event loop runs.
    const int before = bubble.progress()->step();
    QTest::qWait(300);
    EXPECT_NE(bubble.progress()->step(), before);

    bubble.showStatus(QStringLiteral("copied 100% of %@ %s %n\n"));
    EXPECT_EQ(bubble.statusField()->text(), QStringLiteral("copied 100% of %@ %s %n"));
    const QRect frameBefore = bubble.window()->geometry();

    // A long chunk keeps its last line and never grows the bubble.
    QString flood;
    for (int i = 0; i < 200; ++i)
        flood += QStringLiteral("ditto: /Users/someone/Library/Thunderbird/Profiles/x/Mail/very long folder name %1: Permission denied\n").arg(i);
    flood += QStringLiteral("Sat Dec  5 10:00:00 UTC 2026: Backup failed. Please see above error messages.\n");
    bubble.showStatus(flood);
    const QString shown = bubble.statusField()->text();
    EXPECT_LE(shown.count(QLatin1Char('\n')), 1);
    EXPECT_TRUE(shown.endsWith(QStringLiteral("Please see above error messages."))) << shown.toStdString();
    EXPECT_LE(bubble.statusField()->fontMetrics().horizontalAdvance(shown.section(QLatin1Char('\n'), 0, 0)),
              bubble.statusField()->width());
    QTest::qWait(50);
    EXPECT_EQ(bubble.window()->geometry(), frameBefore);

    EXPECT_TRUE(bubble.showErrors());
    EXPECT_EQ(bubble.modeField()->text(), QStringLiteral("Backup had errors"));
    EXPECT_FALSE(bubble.progress()->isAnimating());
    EXPECT_FALSE(bubble.logButton()->isHidden());
    EXPECT_TRUE(bubble.window()->isVisible());
    EXPECT_FALSE(exitStatus.has_value()); // waits for the button
}

TEST(ProgressBubble, SuccessRemovesTheBubbleAndErrorsBeforeAnyRunStillShowIt)
{
    cv::test::ScopedHome home;
    RecordingWorkspace workspace;
    ProgressBubble bubble(workspace, [](int) {});
    bubble.showRunStarted();
    bubble.showSuccess();
    EXPECT_EQ(bubble.window(), nullptr);
    EXPECT_FALSE(bubble.progress()->isAnimating());

    // A configuration that could not be used fails before the run starts.
    ProgressBubble early(workspace, [](int) {});
    EXPECT_TRUE(early.showErrors());
    ASSERT_NE(early.window(), nullptr);
    EXPECT_TRUE(early.window()->isVisible());
    EXPECT_FALSE(early.logButton()->isHidden());
}

TEST(ProgressBubble, LogButtonOpensTheLogThenFadesByATenthInElevenTicksAndQuits)
{
    cv::test::ScopedHome home;
    RecordingWorkspace workspace;
    std::optional<int> exitStatus;
    QElapsedTimer clock;
    qint64 endedAt = -1;
    int quits = 0;
    ProgressBubble bubble(workspace, [&](int s) {
        exitStatus = s;
        endedAt = clock.elapsed();
        ++quits;
    });
    bubble.showRunStarted();
    bubble.showErrors();
    QPointer<KAAttachedWindow> window = bubble.window();

    QList<float> alphas; // seen at every tick but the last, which releases
    clock.start();
    QTest::mouseClick(bubble.logButton(), Qt::LeftButton);
    ASSERT_NE(bubble.fadeTimer(), nullptr);
    QObject::connect(bubble.fadeTimer(), &QTimer::timeout, [&] { alphas << (window ? window->alphaValue() : -1.0f); });
    EXPECT_EQ(workspace.opened, QStringList{cv::logFilePath()});
    EXPECT_TRUE(QTest::qWaitFor([&] { return exitStatus.has_value(); }, 5000));

    ASSERT_TRUE(exitStatus.has_value());
    EXPECT_EQ(*exitStatus, 1);
    EXPECT_EQ(quits, 1);
    ASSERT_EQ(alphas.size(), 11);
    for (int i = 1; i <= 10; ++i)
        EXPECT_NEAR(alphas[i - 1], 1.0 - 0.1 * i, 1e-5) << i;
    EXPECT_GE(endedAt, 450);
    EXPECT_LT(endedAt, 2000);
    EXPECT_TRUE(window.isNull()); // released
    EXPECT_EQ(bubble.window(), nullptr);
    EXPECT_EQ(bubble.fadeTimer(), nullptr);

    // The view from the interface file survives for another run.
    ASSERT_NE(bubble.view(), nullptr);
    bubble.showRunStarted();
    ASSERT_NE(bubble.window(), nullptr);
    EXPECT_EQ(bubble.window()->alphaValue(), 1.0f);
}

// Qt drops a style sheet rule it cannot parse without a word. Every sheet of
// the interface files styles their labels, so each must change a label's look.
TEST(InterfaceFiles, EveryStyleSheetTakesEffect)
{
    const auto look = [](const QString &sheet) {
        QWidget widget;
        QLabel label(QStringLiteral("x"), &widget);
        widget.setStyleSheet(sheet);
        widget.show();
        QCoreApplication::processEvents();
        const QPalette p = label.palette();
        return std::pair{p.color(QPalette::Window), p.color(QPalette::WindowText)};
    };
    const auto plain = look(QString());
    int sheets = 0;
    const QDir resources(QStringLiteral(CV_RESOURCES_DIR));
    for (const QString &name : resources.entryList({QStringLiteral("*.ui")}, QDir::Files)) {
        QFile file(resources.filePath(name));
        ASSERT_TRUE(file.open(QIODevice::ReadOnly)) << name.toStdString();
        QXmlStreamReader xml(&file);
        bool inStyleSheet = false;
        while (!xml.atEnd()) {
            xml.readNext();
            if (xml.isStartElement() && xml.name() == QLatin1String("property")) {
                inStyleSheet = xml.attributes().value(QLatin1String("name")) == QLatin1String("styleSheet");
            } else if (inStyleSheet && xml.isStartElement() && xml.name() == QLatin1String("string")) {
                const QString sheet = xml.readElementText();
                EXPECT_NE(look(sheet), plain) << name.toStdString() << ": " << sheet.toStdString();
                inStyleSheet = false;
                ++sheets;
            }
        }
        EXPECT_FALSE(xml.hasError()) << name.toStdString();
    }
    EXPECT_GE(sheets, 2);
}
