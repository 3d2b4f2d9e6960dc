#include "UpdateDialogs.h"

#include "Workspace.h"

#include <QApplication>
#include <QMessageBox>
#include <QPushButton>
#include <QTest>
#include <gtest/gtest.h>

namespace {

struct RecordingWorkspace : cv::platform::Workspace {
    QList<QUrl> opened;
    bool openFile(const QString &) override { return false; }
    bool openURL(const QUrl &url) override { opened << url; return true; }
};

QMessageBox *openBox()
{
    QTest::qWait(20);
    for (QWidget *w : QApplication::topLevelWidgets())
        if (auto *box = qobject_cast<QMessageBox *>(w); box && box->isVisible())
            return box;
    return nullptr;
}

QAbstractButton *button(QMessageBox *box, const QString &text)
{
    for (QAbstractButton *b : box->buttons())
        if (b->text() == text)
            return b;
    return nullptr;
}

} // namespace

TEST(UpdateDialogs, EachShowsItsTextAndOnlyDownloadOpensTheAddress)
{
    RecordingWorkspace workspace;
    cv::configurator::MessageBoxUpdateDialogs dialogs(workspace);
    const QUrl url(QStringLiteral("https://tallowmere.example/corvantis/Corvantis-2.1.zip"));

    for (const QString &choice : {QStringLiteral("Not Now"), QStringLiteral("Download")}) {
        dialogs.showNewVersion(QStringLiteral("2.1"), url);
        QMessageBox *box = openBox();
        ASSERT_TRUE(box);
        EXPECT_EQ(box->text(), QStringLiteral("A new version is available"));
        EXPECT_TRUE(box->informativeText().contains(QStringLiteral("2.1")));
        ASSERT_TRUE(button(box, choice));
        button(box, choice)->click();
        QTest::qWait(20);
    }
    EXPECT_EQ(workspace.opened, QList<QUrl>{url});

    dialogs.showUpToDate();
    ASSERT_TRUE(openBox());
    EXPECT_EQ(openBox()->text(), QStringLiteral("Corvantis is up to date"));
    openBox()->buttons().value(0)->click();

    dialogs.showCheckFailed(QStringLiteral("Connection refused"));
    ASSERT_TRUE(openBox());
    EXPECT_EQ(openBox()->text(), QStringLiteral("Could not check for updates"));
    EXPECT_EQ(openBox()->informativeText(), QStringLiteral("Connection refused"));
    openBox()->buttons().value(0)->click();
    EXPECT_TRUE(workspace.opened.size() == 1);
}
