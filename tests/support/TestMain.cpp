// Common main of the test programs. HOME is moved to a private folder before
// anything runs, so that no test can reach the real user's files.
#include <gtest/gtest.h>

#include <QDir>
#include <QTemporaryDir>

#ifdef CV_TEST_GUI
#include <QApplication>
using TestApplication = QApplication;
#else
#include <QCoreApplication>
using TestApplication = QCoreApplication;
#endif

int main(int argc, char **argv)
{
    QTemporaryDir home(QDir::tempPath() + QStringLiteral("/cvtest-home-XXXXXX"));
    qputenv("HOME", QFile::encodeName(home.path()));
    // The desktop's config folder (login entries) must follow the private HOME too.
    qunsetenv("XDG_CONFIG_HOME");
    ::testing::InitGoogleTest(&argc, argv);
    TestApplication app(argc, argv);
    return RUN_ALL_TESTS();
}
