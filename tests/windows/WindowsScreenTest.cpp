// The configurator's secondary windows on a real X server, as a user sees
// them. The pictures stay in the build folder for a look by eye.
#include "MyPrefsWindowController.h"
#include "ScreenGrab.h"
#include "TMAboutBox.h"
#include "TMGradientWindow.h"
#include "TestSupport.h"
#include "UserDefaults.h"

#include <gtest/gtest.h>

#include <QAction>
#include <QGuiApplication>
#include <QLabel>
#include <QMenuBar>
#include <QTest>
#include <QToolBar>
#include <QVBoxLayout>

using namespace cv::configurator::windows;
using cv::test::grabScreen;

namespace {

const QString kResources = QStringLiteral(CV_CONFIGURATOR_BUNDLE "/Contents");

void save(const QImage &image, const char *name)
{
    const QString file = QStringLiteral(CV_BUILD_DIR "/") + QString::fromLatin1(name);
    EXPECT_TRUE(image.save(file)) << file.toStdString();
}

// A main window like the configurator's: menus, a toolbar and a few controls
// over the gradient.
void furnish(TMGradientWindow &window)
{
    window.setWindowTitle(QStringLiteral("Corvantis"));
    window.menuBar()->addMenu(QStringLiteral("File"))->addAction(QStringLiteral("Save"));
    window.menuBar()->addMenu(QStringLiteral("Help"));
    auto *toolbar = new QToolBar;
    toolbar->addAction(QIcon(kResources + "/Resources/mail.png"), QStringLiteral("Mail"));
    toolbar->addAction(QIcon(kResources + "/Resources/thunderbird.png"), QStringLiteral("Thunderbird"));
    toolbar->setIconSize(QSize(32, 32));
    toolbar->setToolButtonStyle(Qt::ToolButtonTextUnderIcon);
    window.setToolbar(toolbar);
    auto *central = new QWidget;
    auto *layout = new QVBoxLayout(central);
    layout->addWidget(new QLabel(QStringLiteral("Corvantis is currently not configured.")));
    layout->addWidget(new QLabel(QStringLiteral("Last backup: Unknown")));
    layout->addStretch();
    window.setCentralWidget(central);
}

} // namespace

TEST(WindowsOnScreen, PreferencesWindow)
{
    cv::test::ScopedHome home;
    cv::platform::UserDefaults defaults(home.file(QStringLiteral("prefs.plist")));
    defaults.setString(QStringLiteral("DateFormat"), QStringLiteral("MM/DD/YY with 24hr clock"));
    defaults.setBoolean(QStringLiteral("SUCheckAtStartup"), true);
    MyPrefsWindowController prefs;
    prefs.setBundleContentsFolder(kResources);
    prefs.setDefaults(&defaults);
    prefs.showWindow(nullptr);
    ASSERT_TRUE(QTest::qWaitForWindowExposed(prefs.window()));

    EXPECT_FALSE(prefs.toolbarItem(QStringLiteral("General"))->icon().isNull());
    EXPECT_EQ(prefs.window()->windowTitle(), QStringLiteral("General"));
    // Centred on the screen.
    const QRect frame = prefs.window()->frameGeometry();
    EXPECT_LE(std::abs(frame.center().x() - 640), 2);
    save(grabScreen(frame), "preferences.png");
}

// The main window shows its gradient: the highlight line at the bottom, grey
// darkening upward; the about box hangs from it as a sheet.
TEST(WindowsOnScreen, GradientWindowWithTheAboutBoxAsASheet)
{
    TMGradientWindow main;
    furnish(main);
    main.setGeometry(320, 150, 640, 420);
    main.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&main));

    TMAboutBox box(QStringLiteral(CV_CONFIGURATOR_BUNDLE "/Contents"));
    box.supplyConfiguration(
        {{"Application Name", "Corvantis"},
         {"About Content", "Version 2.0 (Build 200)\n\nRequires supported email client:\nMicrosoft "
                           "Entourage v.X or later, Outlook 2011, Apple Mail, Eudora 6, Thunderbird 2 or later"},
         {"Attachment Window", QVariant::fromValue<QObject *>(&main)}});
    box.displayWindow(nullptr);
    ASSERT_TRUE(QTest::qWaitForWindowExposed(box.aboutWindow()));

    // Hangs from the top of the main window, centred across it.
    const QRect sheet = box.aboutWindow()->geometry();
    EXPECT_EQ(sheet.top(), main.geometry().top());
    EXPECT_EQ(sheet.center().x(), main.geometry().center().x());
    EXPECT_EQ(QGuiApplication::modalWindow(), box.aboutWindow()->windowHandle());
    const QImage shot = grabScreen(main.geometry());
    save(shot, "about_box.png");
    const QColor highlight = main.palette().color(QPalette::Active, QPalette::Highlight);
    EXPECT_EQ(QColor(shot.pixel(20, 419)).rgb(), highlight.rgb());
    EXPECT_NEAR(qRed(shot.pixel(620, 418)), 230, 1);
    // Higher up (below the menus and toolbar, beside the sheet) it is darker grey.
    EXPECT_LT(qRed(shot.pixel(620, 120)), qRed(shot.pixel(620, 400)));
    box.closeWindow(nullptr);
}
