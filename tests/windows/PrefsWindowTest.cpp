// The preferences window: panes and their switching, the window's frame for
// each pane, the cross-fade and its interruption, and the General pane's
// controls writing through to the user defaults.
#include "MyPrefsWindowController.h"
#include "PreferencesClient.h"
#include "TestSupport.h"
#include "UserDefaults.h"

#include <gtest/gtest.h>

#include <QAction>
#include <QCheckBox>
#include <QComboBox>
#include <QMainWindow>
#include <QParallelAnimationGroup>
#include <QPushButton>
#include <QTest>
#include <QToolBar>

using namespace cv::configurator::windows;

namespace {

QWidget *pane(int width, int height, const QString &name)
{
    auto *view = new QWidget;
    view->setObjectName(name);
    view->resize(width, height);
    return view;
}

// Three panes of different heights.
class PanesController : public RBPrefsWindowController
{
public:
    PanesController() { setScreenHeightForTesting(800); }
    ~PanesController() override
    {
        // The panes are the subclass's own, shown or detached.
        for (QPointer<QWidget> *view : {&m_short, &m_tall, &m_wide})
            delete view->data();
    }

    QPointer<QWidget> m_short = pane(300, 100, QStringLiteral("Short"));
    QPointer<QWidget> m_tall = pane(300, 400, QStringLiteral("Tall"));
    QPointer<QWidget> m_wide = pane(500, 150, QStringLiteral("Wide"));

protected:
    void setupToolbar() override
    {
        addView(m_short, QStringLiteral("Short"));
        addView(m_tall, QStringLiteral("Tall"));
        addView(m_wide, QStringLiteral("Wide"));
    }
};

bool running(const RBPrefsWindowController &c)
{
    return c.viewAnimation()->state() == QAbstractAnimation::Running;
}

class RecordingClient : public PreferencesClient
{
public:
    QList<QObject *> senders;
    void checkForUpdates(QObject *sender) override { senders.append(sender); }
};

} // namespace

// A controller with its window shown on the first pane.
class PrefsWindow : public ::testing::Test
{
protected:
    void SetUp() override
    {
        c.showWindow(nullptr);
        ASSERT_TRUE(QTest::qWaitForWindowExposed(c.window()));
    }
    PanesController c;
};

TEST_F(PrefsWindow, ShowStartsOnTheFirstPaneAndATallerPaneGrowsTheWindowDownward)
{
    QMainWindow *window = c.window();
    EXPECT_EQ(c.toolbarIdentifiers(), QStringList({"Short", "Tall", "Wide"}));
    EXPECT_TRUE(c.toolbarItem(QStringLiteral("Short"))->isChecked());
    EXPECT_EQ(window->windowTitle(), QStringLiteral("Short"));
    EXPECT_EQ(c.contentSubviews(), QList<QWidget *>{c.m_short});
    EXPECT_EQ(window->centralWidget()->size(), QSize(300, 100));
    EXPECT_EQ(c.m_short->geometry().topLeft(), QPoint(0, 0)); // at the top of the pane area

    // The top stays where it was.
    const QRect before = window->frameGeometry();
    const QRectF expected = c.frameForView(c.m_tall);
    EXPECT_EQ(expected.height(), 400 + before.height() - window->centralWidget()->height());
    c.displayViewForIdentifier(QStringLiteral("Tall"), false);
    EXPECT_EQ(window->windowTitle(), QStringLiteral("Tall"));
    const QRect after = window->frameGeometry();
    EXPECT_EQ(after.topLeft(), before.topLeft());
    EXPECT_EQ(after.height(), before.height() + 300);
    EXPECT_EQ(window->centralWidget()->size(), QSize(300, 400));
    EXPECT_EQ(c.windowFrame(), expected);

    // Reopening starts on the first pane again, and the toolbar is not filled
    // a second time.
    c.showWindow(nullptr);
    EXPECT_EQ(window->windowTitle(), QStringLiteral("Short"));
    EXPECT_EQ(c.contentSubviews(), QList<QWidget *>{c.m_short});
    EXPECT_EQ(c.toolbar()->actions().size(), 3);
}

TEST_F(PrefsWindow, CrossFadeRunsWithoutBlockingAndEndsOnTheNewPane)
{
    // Clicking the shown pane does nothing.
    const QRect before = c.window()->frameGeometry();
    c.toolbarItem(QStringLiteral("Short"))->trigger();
    EXPECT_FALSE(running(c));
    EXPECT_EQ(c.viewAnimation()->animationCount(), 0);
    EXPECT_EQ(c.window()->frameGeometry(), before);

    const QRectF target = c.frameForView(c.m_tall);
    c.toolbarItem(QStringLiteral("Tall"))->trigger();
    // Returned at once with the animation under way and both panes present.
    EXPECT_TRUE(running(c));
    EXPECT_EQ(c.contentSubviews(), (QList<QWidget *>{c.m_short, c.m_tall}));
    EXPECT_EQ(c.window()->windowTitle(), QStringLiteral("Tall"));

    QTRY_VERIFY_WITH_TIMEOUT(!running(c), 5000);
    EXPECT_EQ(c.contentSubviews(), QList<QWidget *>{c.m_tall});
    EXPECT_EQ(c.m_tall->graphicsEffect(), nullptr);
    EXPECT_FALSE(c.m_short->isVisible());
    EXPECT_EQ(c.windowFrame(), target);
}

TEST_F(PrefsWindow, ASecondSwitchDuringACrossFadeDropsAllButTheLastPane)
{
    c.toolbarItem(QStringLiteral("Tall"))->trigger();
    ASSERT_TRUE(running(c));
    c.toolbarItem(QStringLiteral("Wide"))->trigger();
    // Short was under the interrupted fade and goes at once; Tall fades out.
    EXPECT_EQ(c.contentSubviews(), (QList<QWidget *>{c.m_tall, c.m_wide}));
    EXPECT_FALSE(c.m_short->isVisible());
    EXPECT_TRUE(running(c));

    QTRY_VERIFY_WITH_TIMEOUT(!running(c), 5000);
    EXPECT_EQ(c.contentSubviews(), QList<QWidget *>{c.m_wide});
    EXPECT_EQ(c.window()->centralWidget()->size(), QSize(500, 150));
    EXPECT_EQ(c.window()->windowTitle(), QStringLiteral("Wide"));
}

TEST_F(PrefsWindow, WithoutCrossFadeTheWindowResizesByItself)
{
    c.setCrossFade(false);
    c.toolbarItem(QStringLiteral("Tall"))->trigger();
    EXPECT_EQ(c.viewAnimation()->animationCount(), 0);
    EXPECT_EQ(c.contentSubviews(), QList<QWidget *>{c.m_tall});
    QTRY_COMPARE_WITH_TIMEOUT(c.windowFrame(), c.frameForView(c.m_tall), 5000);
}

class GeneralPane : public ::testing::Test
{
protected:
    cv::test::ScopedHome home;
    QString file = home.file(QStringLiteral("prefs.plist"));
    cv::platform::UserDefaults defaults{file};
    MyPrefsWindowController c;

    QComboBox *popUp() { return c.generalPrefsView()->findChild<QComboBox *>(QStringLiteral("dateFormatPopUp")); }
    QCheckBox *box() { return c.generalPrefsView()->findChild<QCheckBox *>(QStringLiteral("checkAtStartupBox")); }
    QPushButton *checkNow() { return c.generalPrefsView()->findChild<QPushButton *>(QStringLiteral("checkNowButton")); }
};

TEST_F(GeneralPane, ShowsTheStoredValuesUnderItsTitle)
{
    defaults.setString(QStringLiteral("DateFormat"), QStringLiteral("DD/MM/YY with 24hr clock"));
    defaults.setBoolean(QStringLiteral("SUCheckAtStartup"), true);
    c.setDefaults(&defaults);
    c.showWindow(nullptr);

    ASSERT_NE(popUp(), nullptr);
    QStringList titles;
    for (int i = 0; i < popUp()->count(); ++i)
        titles << popUp()->itemText(i);
    EXPECT_EQ(titles, QStringList({"DD/MM/YY with 12hr clock", "DD/MM/YY with 24hr clock",
                                   "MM/DD/YY with 12hr clock", "MM/DD/YY with 24hr clock"}));
    EXPECT_EQ(popUp()->currentText(), QStringLiteral("DD/MM/YY with 24hr clock"));
    EXPECT_TRUE(box()->isChecked());

    // A title that is none of the four selects nothing.
    defaults.setString(QStringLiteral("DateFormat"), QStringLiteral("dd/mm/yy with 24hr clock"));
    c.showWindow(nullptr);
    EXPECT_EQ(popUp()->currentIndex(), -1);
}

TEST_F(GeneralPane, ChoicesAreStoredBeforeTheChangeIsAnnouncedAndCheckNowAsksTheController)
{
    c.setDefaults(&defaults);
    c.showWindow(nullptr);

    // Stands in for the main controller's refresh of the last-backup line:
    // it reads the settings file as the refresh would.
    QStringList seen;
    QObject::connect(&c, &MyPrefsWindowController::dateFormatChange, [&] {
        seen << cv::platform::UserDefaults(file).string(QStringLiteral("DateFormat"));
    });
    popUp()->setCurrentIndex(3);
    emit popUp()->activated(3);
    EXPECT_EQ(seen, QStringList{QStringLiteral("MM/DD/YY with 24hr clock")});

    // Ticking the box is written through too.
    box()->click();
    EXPECT_TRUE(cv::platform::UserDefaults(file).boolean(QStringLiteral("SUCheckAtStartup")));
    box()->click();
    EXPECT_TRUE(cv::platform::UserDefaults(file).hasKey(QStringLiteral("SUCheckAtStartup")));
    EXPECT_FALSE(cv::platform::UserDefaults(file).boolean(QStringLiteral("SUCheckAtStartup"), true));

    // Check Now goes to the main controller once there is one.
    checkNow()->click();
    RecordingClient client;
    c.setController(&client);
    checkNow()->click();
    EXPECT_EQ(client.senders, QList<QObject *>{checkNow()});
}
