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

#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

namespace {

// Starts this program again with a process table of its own, however it was
// started: scripts count mail programs with ps and our osascript quits them
// by name, so a test must never see another test's stand-ins.
void ownProcessTable(char **argv)
{
    if (std::getenv("CV_OWN_PROCESS_TABLE") && getpid() == 2)
        return;
    static char self[4096];
    const ssize_t length = readlink("/proc/self/exe", self, sizeof self - 1);
    if (length <= 0) {
        std::perror("/proc/self/exe");
        std::exit(125);
    }
    self[length] = '\0';
    std::vector<char *> args{const_cast<char *>(CV_OWN_PROCESSES), self};
    for (char **arg = argv + 1; *arg; ++arg)
        args.push_back(*arg);
    args.push_back(nullptr);
    execv(args[0], args.data());
    std::fprintf(stderr, "%s: %s\n", CV_OWN_PROCESSES, std::strerror(errno));
    std::exit(125);
}

} // namespace

int main(int argc, char **argv)
{
    ownProcessTable(argv);
    QTemporaryDir home(QDir::tempPath() + QStringLiteral("/cvtest-home-XXXXXX"));
    qputenv("HOME", QFile::encodeName(home.path()));
    // The desktop's config folder (login entries) must follow the private HOME too.
    qunsetenv("XDG_CONFIG_HOME");
    ::testing::InitGoogleTest(&argc, argv);
    TestApplication app(argc, argv);
    return RUN_ALL_TESTS();
}
