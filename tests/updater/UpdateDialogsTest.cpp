#include "UpdateDialogs.h"

#include "Workspace.h"

#include <QAbstractButton>
#include <QApplication>
#include <QMessageBox>
#include <QTest>
#include <gtest/gtest.h>

namespace {

struct RecordingWorkspace : cv::platform::Workspace {
    QList<QUrl> opened;
    bool openFile(const QString &) override { return false; }
    bool openURL(const QUrl &url) override { return opened << url, true; }
};

// The shown box, its texts, and a click on the named button.
QString answer(const QString &buttonText)
{
    QTest::qWait(20);
    for (QWidget *w : QApplication::topLevelWidgets())
        if (auto *box = qobject_cast<QMessageBox *>(w); box && box->isVisible())
            for (QAbstractButton *b : box->buttons())
                if (b->text().remove('&') == buttonText)
                    return b->click(), box->text() + " / " + box->informativeText();
    return QStringLiteral("no box");
}

} // namespace

TEST(UpdateDialogs, EachShowsItsTextAndOnlyDownloadOpensTheAddress)
{
    RecordingWorkspace workspace;
    cv::configurator::MessageBoxUpdateDialogs dialogs(workspace);
    const QUrl url("https://tallowmere.example/corvantis/C-2.1.zip");
    dialogs.showNewVersion("2.1", url);
    EXPECT_EQ(answer("Not Now"), "A new version is available / Corvantis 2.1 is available. Download it now?");
    EXPECT_TRUE(workspace.opened.isEmpty());
    dialogs.showNewVersion("2.1", url);
    answer("Download");
    EXPECT_EQ(workspace.opened, QList<QUrl>{url});

    dialogs.showUpToDate();
    EXPECT_EQ(answer("OK"), "Corvantis is up to date / You have the newest version of Corvantis.");
    dialogs.showCheckFailed("Connection refused");
    EXPECT_EQ(answer("OK"), "Could not check for updates / Connection refused");
    EXPECT_EQ(answer("OK"), "no box");
}
