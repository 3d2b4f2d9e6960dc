// The support folders and the installation of the engine into them.
#include "EngineInstaller.h"
#include "Home.h"
#include "SessionEnvironment.h"
#include "StartupTestSupport.h"
#include "SupportFolders.h"
#include "TestSupport.h"

#include <gtest/gtest.h>

#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>

#include <climits>
#include <sys/stat.h>
#include <unistd.h>

using cv::configurator::EngineInstaller;
using cv::configurator::EngineInstallOutcome;

namespace {

const QString kFolderLine1 = QStringLiteral("Created Tallowmere folder in users Application Support directory.");
const QString kFolderLine2 = QStringLiteral("Created Corvantis folder in users Tallowmere directory.");

mode_t modeOf(const QString &path)
{
    struct stat info {};
    ::lstat(QFile::encodeName(path).constData(), &info);
    return info.st_mode & 07777;
}

QString infoPlist(const QString &version)
{
    return QStringLiteral("<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<plist version=\"1.0\"><dict>"
                          "<key>CFBundleExecutable</key><string>CVEngine</string>%1</dict></plist>\n")
        .arg(version);
}

// A small engine bundle: its Info.plist with the given CFBundleVersion (none
// when version is null), an executable and a file saying which one it is.
void makeBundle(const QString &path, const QString &version, const QByteArray &which)
{
    const QString versionEntry = version.isNull()
        ? QString()
        : QStringLiteral("<key>CFBundleVersion</key><string>%1</string>").arg(version);
    ASSERT_TRUE(cv::test::writeFile(path + QStringLiteral("/Contents/Info.plist"), infoPlist(versionEntry).toUtf8()));
    const QString program = path + QStringLiteral("/Contents/MacOS/CVEngine");
    ASSERT_TRUE(cv::test::writeFile(program, "#!/bin/sh\necho " + which + "\n"));
    ::chmod(QFile::encodeName(program).constData(), 0755);
    ASSERT_TRUE(cv::test::writeFile(path + QStringLiteral("/Contents/Resources/which"), which));
}

QByteArray whichEngine(const QString &bundle)
{
    return cv::test::readFile(bundle + QStringLiteral("/Contents/Resources/which"));
}

// Every entry below a folder with its mode, in order.
QStringList treeOf(const QString &root)
{
    QStringList entries;
    QDirIterator it(root, QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot,
                    QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QString path = it.next();
        entries << QStringLiteral("%1 %2").arg(path.mid(root.size())).arg(modeOf(path), 0, 8);
    }
    entries.sort();
    return entries;
}

// Hidden copies and old engines beside the installed one.
QStringList siblingsOf(const QString &installed)
{
    return QDir(QFileInfo(installed).absolutePath())
        .entryList({QStringLiteral(".CVEngine.app*")}, QDir::AllEntries | QDir::Hidden | QDir::System);
}

class InstallerTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        shipped = home.file(QStringLiteral("shipped/CVEngine.app"));
        installed = cv::installedEnginePath();
        QDir().mkpath(cv::supportFolder());
    }

    EngineInstallOutcome install(QStringList *log = nullptr)
    {
        cv::test::CapturedLog capture;
        const EngineInstallOutcome outcome = EngineInstaller(shipped, installed).checkBackupEngine();
        if (log)
            *log = capture.lines();
        return outcome;
    }

    cv::test::ScopedHome home;
    QString shipped;
    QString installed;
};

} // namespace

TEST(SupportFoldersTest, FirstStartOnAnEmptyHomeInstallsARunnableEngine)
{
    cv::test::ScopedHome home;
    const QStringList created = cv::configurator::createLibraryFolders();
    const QString library = home.file(QStringLiteral("Library"));
    EXPECT_EQ(created, (QStringList{library, library + QStringLiteral("/Application Support"),
                                    library + QStringLiteral("/Preferences"), library + QStringLiteral("/Logs")}));
    for (const QString &folder : created)
        EXPECT_EQ(modeOf(folder), 0700u) << qPrintable(folder);

    cv::test::CapturedLog capture;
    cv::configurator::checkForSupportFolders();
    const auto outcome = EngineInstaller(QStringLiteral(CV_ENGINE_BUNDLE), cv::installedEnginePath()).checkBackupEngine();
    EXPECT_EQ(capture.lines(), (QStringList{kFolderLine1, kFolderLine2, QStringLiteral("Moving Backup Engine")}));
    EXPECT_EQ(outcome, EngineInstallOutcome::Installed);

    const QString program = cv::installedEngineExecutablePath();
    EXPECT_EQ(cv::test::readFile(program), cv::test::readFile(QStringLiteral(CV_ENGINE_BUNDLE "/Contents/MacOS/CVEngine")));
    EXPECT_EQ(modeOf(program), modeOf(QStringLiteral(CV_ENGINE_BUNDLE "/Contents/MacOS/CVEngine")));
    EXPECT_EQ(treeOf(cv::installedEnginePath()), treeOf(QStringLiteral(CV_ENGINE_BUNDLE)));
    EXPECT_TRUE(treeOf(cv::installedEnginePath()).contains(QStringLiteral("/Contents/Resources/bin/ditto 755")));
    // Nothing is configured, so the engine starts, finds nothing to do and ends well.
    const auto run = cv::test::runProgram(program, {}, cv::test::engineEnvironment(QStringLiteral("offscreen")), 30000);
    EXPECT_FALSE(run.timedOut);
    EXPECT_EQ(run.exitCode, 0) << run.err.constData();

    // The session file the engine reads when cron starts it is private.
    ASSERT_TRUE(cv::platform::recordSessionEnvironment(cv::sessionFilePath()));
    EXPECT_EQ(modeOf(cv::sessionFilePath()), 0600u);

    // The next start finds everything in place and says nothing.
    cv::test::CapturedLog again;
    EXPECT_TRUE(cv::configurator::createLibraryFolders().isEmpty());
    cv::configurator::checkForSupportFolders();
    EXPECT_EQ(EngineInstaller(QStringLiteral(CV_ENGINE_BUNDLE), cv::installedEnginePath()).checkBackupEngine(),
              EngineInstallOutcome::UpToDate);
    EXPECT_TRUE(again.lines().isEmpty());
}

TEST(SupportFoldersTest, ExistingFoldersAndObstaclesAreLeftAlone)
{
    cv::test::ScopedHome home;
    const QString library = home.file(QStringLiteral("Library"));
    ASSERT_TRUE(QDir().mkpath(library + QStringLiteral("/Preferences")));
    ::chmod(QFile::encodeName(library).constData(), 0755);
    ASSERT_TRUE(cv::test::writeFile(library + QStringLiteral("/Logs"), "a file, not ours"));

    EXPECT_EQ(cv::configurator::createLibraryFolders(), QStringList{library + QStringLiteral("/Application Support")});
    EXPECT_EQ(modeOf(library), 0755u);
    EXPECT_EQ(cv::test::readFile(library + QStringLiteral("/Logs")), "a file, not ours");

    // The product folders never create their parents, and a failure is silent.
    ASSERT_TRUE(QDir(library + QStringLiteral("/Application Support")).removeRecursively());
    cv::test::CapturedLog capture;
    cv::configurator::checkForSupportFolders();
    EXPECT_TRUE(capture.lines().isEmpty());
    EXPECT_FALSE(QFileInfo::exists(cv::makerSupportFolder()));

    // With only the maker folder there, the product folder's line alone.
    ASSERT_TRUE(QDir().mkpath(cv::makerSupportFolder()));
    cv::test::CapturedLog second;
    cv::configurator::checkForSupportFolders();
    EXPECT_EQ(second.lines(), QStringList{kFolderLine2});
    EXPECT_TRUE(QFileInfo(cv::supportFolder()).isDir());
}

TEST(BuildNumberTest, LeadingDecimalIntegerOfTheBundleVersion)
{
    cv::test::ScopedHome home;
    const QString bundle = home.file(QStringLiteral("B.app"));
    const QString plist = bundle + QStringLiteral("/Contents/Info.plist");
    EXPECT_EQ(EngineInstaller::buildNumber(bundle), 0) << "no Info.plist";

    const std::pair<QString, qint64> cases[] = {
        {QStringLiteral("<key>CFBundleVersion</key><string>12</string>"), 12},
        {QStringLiteral("<key>CFBundleVersion</key><string>12.5</string>"), 12},
        {QStringLiteral("<key>CFBundleVersion</key><string> 42abc</string>"), 42},
        {QStringLiteral("<key>CFBundleVersion</key><string>-3</string>"), -3},
        {QStringLiteral("<key>CFBundleVersion</key><string>v7</string>"), 0},
        {QStringLiteral("<key>CFBundleVersion</key><string>99999999999</string>"), INT_MAX},
        {QStringLiteral("<key>CFBundleVersion</key><integer>7</integer>"), 7},
        {QStringLiteral("<key>CFBundleVersion</key><real>8.9</real>"), 8},
        {QStringLiteral("<key>CFBundleVersion</key><true/>"), 0},
        {QString(), 0},
    };
    for (const auto &[entry, expected] : cases) {
        ASSERT_TRUE(cv::test::writeFile(plist, infoPlist(entry).toUtf8()));
        EXPECT_EQ(EngineInstaller::buildNumber(bundle), expected) << qPrintable(entry);
    }
    ASSERT_TRUE(cv::test::writeFile(plist, "<plist><dict><key>CFBundleVersion</key><string>1"));
    EXPECT_EQ(EngineInstaller::buildNumber(bundle), 0) << "truncated Info.plist";
}

TEST_F(InstallerTest, NeverDowngradesAndUpdatesOnlyToAHigherBuild)
{
    struct Case {
        QString installedVersion; // null: the installed engine has no Info.plist
        QString shippedVersion;
        EngineInstallOutcome outcome;
    };
    const Case cases[] = {
        {QStringLiteral("12"), QStringLiteral("12"), EngineInstallOutcome::UpToDate},
        {QStringLiteral("12"), QStringLiteral("13"), EngineInstallOutcome::Updated},
        {QStringLiteral("12"), QStringLiteral("11"), EngineInstallOutcome::UpToDate},
        {QStringLiteral("12.5"), QStringLiteral("12"), EngineInstallOutcome::UpToDate},
        {QStringLiteral("12.5"), QStringLiteral("13.0"), EngineInstallOutcome::Updated},
        {QString(), QStringLiteral("1"), EngineInstallOutcome::Updated},
        {QString(), QStringLiteral("0"), EngineInstallOutcome::UpToDate},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(qPrintable(QStringLiteral("installed %1, shipped %2").arg(c.installedVersion, c.shippedVersion)));
        QDir(installed).removeRecursively();
        QDir(shipped).removeRecursively();
        makeBundle(installed, c.installedVersion.isNull() ? QStringLiteral("1") : c.installedVersion, "old");
        if (c.installedVersion.isNull())
            QFile::remove(installed + QStringLiteral("/Contents/Info.plist"));
        makeBundle(shipped, c.shippedVersion, "new");
        QStringList log;
        EXPECT_EQ(install(&log), c.outcome);
        if (c.outcome == EngineInstallOutcome::Updated) {
            EXPECT_EQ(log, QStringList{QStringLiteral("Updating Backup Engine")});
            EXPECT_EQ(whichEngine(installed), "new");
            EXPECT_EQ(modeOf(installed + QStringLiteral("/Contents/MacOS/CVEngine")), 0755u);
        } else {
            EXPECT_TRUE(log.isEmpty()) << qPrintable(log.join(QLatin1Char('|')));
            EXPECT_EQ(whichEngine(installed), "old");
        }
        EXPECT_TRUE(siblingsOf(installed).isEmpty()) << qPrintable(siblingsOf(installed).join(QLatin1Char(' ')));
    }
}

TEST_F(InstallerTest, CopyKeepsModesAndLinks)
{
    makeBundle(shipped, QStringLiteral("5"), "new");
    const QString data = shipped + QStringLiteral("/Contents/Resources/private.txt");
    ASSERT_TRUE(cv::test::writeFile(data, "x"));
    ::chmod(QFile::encodeName(data).constData(), 0640);
    ASSERT_TRUE(QFile::link(QStringLiteral("../MacOS/CVEngine"), shipped + QStringLiteral("/Contents/Resources/engine")));

    EXPECT_EQ(install(), EngineInstallOutcome::Installed);
    EXPECT_EQ(modeOf(installed + QStringLiteral("/Contents/MacOS/CVEngine")), 0755u);
    EXPECT_EQ(modeOf(installed + QStringLiteral("/Contents/Resources/private.txt")), 0640u);
    const QFileInfo link(installed + QStringLiteral("/Contents/Resources/engine"));
    EXPECT_TRUE(link.isSymLink());
    EXPECT_EQ(link.canonicalFilePath(), QFileInfo(installed + QStringLiteral("/Contents/MacOS/CVEngine")).canonicalFilePath());
}

TEST_F(InstallerTest, AFailedCopyKeepsTheOldEngineAndTheNextStartRetries)
{
    makeBundle(installed, QStringLiteral("12"), "old");
    makeBundle(shipped, QStringLiteral("13"), "new");
    // Something a copy cannot carry, half way through the bundle.
    const QString fifo = shipped + QStringLiteral("/Contents/Resources/pipe");
    ASSERT_EQ(::mkfifo(QFile::encodeName(fifo).constData(), 0600), 0);

    QStringList log;
    EXPECT_EQ(install(&log), EngineInstallOutcome::Failed);
    ASSERT_EQ(log.size(), 2) << qPrintable(log.join(QLatin1Char('|')));
    EXPECT_EQ(log[0], QStringLiteral("Updating Backup Engine"));
    EXPECT_TRUE(log[1].startsWith(QStringLiteral("Could not install the Backup Engine"))) << qPrintable(log[1]);
    EXPECT_EQ(whichEngine(installed), "old");
    EXPECT_EQ(EngineInstaller::buildNumber(installed), 12);
    EXPECT_TRUE(siblingsOf(installed).isEmpty());

    // Without the obstacle, the next start updates.
    ASSERT_TRUE(QFile::remove(fifo));
    EXPECT_EQ(install(), EngineInstallOutcome::Updated);
    EXPECT_EQ(whichEngine(installed), "new");
}

TEST_F(InstallerTest, AFailedFirstInstallLeavesNothingHalfCopied)
{
    makeBundle(shipped, QStringLiteral("13"), "new");
    const QString secret = shipped + QStringLiteral("/Contents/Resources/secret");
    ASSERT_TRUE(cv::test::writeFile(secret, "x"));
    ::chmod(QFile::encodeName(secret).constData(), 0);
    if (::geteuid() == 0) { // root reads anything; a fifo stops the copy instead
        ASSERT_EQ(::mkfifo(QFile::encodeName(secret + QStringLiteral("-pipe")).constData(), 0600), 0);
    }

    QStringList log;
    EXPECT_EQ(install(&log), EngineInstallOutcome::Failed);
    EXPECT_EQ(log.value(0), QStringLiteral("Moving Backup Engine"));
    EXPECT_EQ(log.size(), 2);
    EXPECT_FALSE(QFileInfo::exists(installed));
    EXPECT_TRUE(siblingsOf(installed).isEmpty());

    // No shipped engine at all: one line, nothing installed.
    QDir(home.file(QStringLiteral("shipped"))).removeRecursively();
    EXPECT_EQ(install(&log), EngineInstallOutcome::Failed);
    EXPECT_EQ(log.size(), 2);
    EXPECT_FALSE(QFileInfo::exists(installed));
}

TEST_F(InstallerTest, LeftoversOfAnInterruptedStartAreCleared)
{
    makeBundle(shipped, QStringLiteral("3"), "new");
    const QString folder = cv::supportFolder();
    makeBundle(folder + QStringLiteral(".CVEngine.app.incoming-abc"), QStringLiteral("3"), "half");
    makeBundle(folder + QStringLiteral(".CVEngine.app.outgoing-def"), QStringLiteral("2"), "old");
    ASSERT_TRUE(cv::test::writeFile(folder + QStringLiteral(".CVEngine.app.notes"), "the user's"));

    EXPECT_EQ(install(), EngineInstallOutcome::Installed);
    EXPECT_EQ(whichEngine(installed), "new");
    EXPECT_EQ(siblingsOf(installed), QStringList{QStringLiteral(".CVEngine.app.notes")});
}
