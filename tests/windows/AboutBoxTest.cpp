// The about box: its texts and pictures, the
// sheet on the main window and the self-closing timer with its restart.
#include "TMAboutBox.h"
#include "TestSupport.h"

#include "PropertyList.h"

#include <gtest/gtest.h>

#include <QElapsedTimer>
#include <QLabel>
#include <QMainWindow>
#include <QTest>
#include <QTimer>

using namespace cv::configurator::windows;

namespace {

const char *kAboutText =
    "Version %1 (Build %2)\n\nRequires supported email client:\nMicrosoft Entourage v.X or later, "
    "Outlook 2011, Apple Mail, Eudora 6, Thunderbird 2 or later";

// A bundle whose pictures are the built ones and whose name is not the
// configured one, so the configuration visibly wins.
class AboutBox : public ::testing::Test
{
protected:
    void SetUp() override
    {
        const QString contents = home.file(QStringLiteral("Test.app/Contents"));
        QVariantMap info{{"CFBundleName", "BuiltName"}, {"CFBundleIconFile", "Corvantis.png"},
                         {"CFBundleShortVersionString", "2.0"}, {"CFBundleVersion", "200"}};
        QDir().mkpath(contents);
        ASSERT_TRUE(cv::platform::writeDictionaryXmlAtomically(contents + "/Info.plist", info));
        QDir().mkpath(contents + "/Resources");
        for (const char *name : {"Corvantis.png", "splash_bkg.png", "universal.png"})
            QFile::copy(QStringLiteral(CV_CONFIGURATOR_BUNDLE "/Contents/Resources/") + name,
                        contents + "/Resources/" + name);
        box = std::make_unique<TMAboutBox>(contents);
        main.resize(640, 420);
        main.show();
    }

    void configure()
    {
        box->supplyConfiguration({{"Application Name", "Corvantis"},
                                  {"About Content", QString::fromLatin1(kAboutText).arg("2.0", "200")},
                                  {"Attachment Window", QVariant::fromValue<QObject *>(&main)}});
    }

    QLabel *view(const char *name) { return box->aboutWindow()->findChild<QLabel *>(name); }

    cv::test::ScopedHome home;
    QMainWindow main;
    std::unique_ptr<TMAboutBox> box;
};

} // namespace

TEST_F(AboutBox, ConfiguredTextsReplaceTheBundleNameAndThePicturesLoad)
{
    for (const char *picture : {"background", "icon", "badge"})
        EXPECT_FALSE(view(picture)->pixmap().isNull()) << picture;
    EXPECT_EQ(box->appNameTextField()->text(), QStringLiteral("BuiltName"));
    configure();
    EXPECT_EQ(box->appNameTextField()->text(), QStringLiteral("Corvantis"));
    EXPECT_TRUE(box->aboutContent()->text().startsWith(QStringLiteral("Version 2.0 (Build 200)\n\n")));
}

TEST_F(AboutBox, ShowsAsASheetAndClosesItselfThatLongAfterTheLastRequest)
{
    configure();
    box->displayWindow(nullptr);
    QWidget *sheet = box->aboutWindow();
    EXPECT_TRUE(sheet->isVisible());
    EXPECT_EQ(sheet->parentWidget(), &main);
    EXPECT_EQ(sheet->windowModality(), Qt::WindowModal);
    EXPECT_EQ(box->timerInUse(), 1);
    EXPECT_GE(box->statusTimer()->remainingTime(), 7900); // eight seconds

    // Started again by each request: it closes that long after the last.
    box->setCloseInterval(400);
    box->displayWindow(nullptr);
    QTest::qWait(250);
    QElapsedTimer sinceSecond;
    sinceSecond.start();
    box->displayWindow(nullptr);
    QTRY_VERIFY_WITH_TIMEOUT(!sheet->isVisible(), 5000);
    EXPECT_GE(sinceSecond.elapsed(), 390);
    EXPECT_EQ(box->timerInUse(), 0);
    EXPECT_FALSE(box->statusTimer()->isActive());
}

TEST_F(AboutBox, ShowsEvenWithoutOrAfterLosingItsWindow)
{
    box->setCloseInterval(100);
    box->displayWindow(nullptr); // never configured: an ordinary window
    EXPECT_TRUE(box->aboutWindow()->isVisible());
    EXPECT_EQ(box->aboutWindow()->windowModality(), Qt::NonModal);
    QTRY_VERIFY_WITH_TIMEOUT(!box->aboutWindow()->isVisible(), 5000);

    auto *gone = new QMainWindow;
    box->supplyConfiguration({{"Attachment Window", QVariant::fromValue<QObject *>(gone)}});
    gone->show();
    box->displayWindow(nullptr);
    ASSERT_EQ(box->aboutWindow()->parentWidget(), gone);
    // The sheet hangs from the window while it shows; it must outlive it.
    delete gone;
    ASSERT_NE(box->aboutWindow(), nullptr);
    box->displayWindow(nullptr);
    EXPECT_TRUE(box->aboutWindow()->isVisible());
    box->closeWindow(nullptr);
}
