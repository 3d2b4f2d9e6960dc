// The support folders and the installation of the engine into them.
#include "EngineInstaller.h"
#include "Home.h"
#include "SessionEnvironment.h"
#include "SupportFolders.h"
#include "TestSupport.h"

#include <gtest/gtest.h>

#include <QDir>
#include <QDirIterator>
#include <QFileInfo>

#include <climits>
#include <sys/stat.h>

using cv::configurator::EngineInstaller;
using Outcome = cv::configurator::EngineInstallOutcome;

namespace {

const QString kFolderLine1 = QStringLiteral("Created Tallowmere folder in users Application Support directory.");
const QString kFolderLine2 = QStringLiteral("Created Corvantis folder in users Tallowmere directory.");

mode_t modeOf(const QString &path)
{
    struct stat info {};
    ::lstat(QFile::encodeName(path).constData(), &info);
    return info.st_mode & 07777;
}

QByteArray infoPlist(const QString &entries)
{
    return (QStringLiteral("<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<plist version=\"1.0\"><dict>")
            + entries + QStringLiteral("</dict></plist>\n")).toUtf8();
}

// A small engine bundle with the given CFBundleVersion (no Info.plist when
// null) and a file saying which one it is.
void makeBundle(const QString &path, const QString &version, const QByteArray &which)
{
    if (!version.isNull()) {
        ASSERT_TRUE(cv::test::writeFile(path + QStringLiteral("/Contents/Info.plist"),
                                        infoPlist(QStringLiteral("<key>CFBundleVersion</key><string>%1</string>").arg(version))));
    }
    const QString program = path + QStringLiteral("/Contents/MacOS/CVEngine");
    ASSERT_TRUE(cv::test::writeFile(program, "#!/bin/sh\n"));
    ::chmod(QFile::encodeName(program).constData(), 0755);
    ASSERT_TRUE(cv::test::writeFile(path + QStringLiteral("/Contents/Resources/which"), which));
}

QByteArray whichEngine(const QString &bundle) { return cv::test::readFile(bundle + QStringLiteral("/Contents/Resources/which")); }

// Every entry below a folder with its mode, in order.
QStringList treeOf(const QString &root)
{
    QStringList entries;
    QDirIterator it(root, QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot, QDirIterator::Subdirectories);
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
    return QDir(QFileInfo(installed).absolutePath()).entryList({QStringLiteral(".CVEngine.app*")}, QDir::AllEntries | QDir::Hidden);
}

// Refuses to move the new engine into place, as a full disk or a folder that
// turned read-only mid-way would.
struct RefusingSwap : EngineInstaller {
    using EngineInstaller::EngineInstaller;
    std::error_code renameEntry(const QString &from, const QString &to) override
    {
        if (from.contains(QLatin1String(".incoming-")))
            return std::make_error_code(std::errc::read_only_file_system);
        return EngineInstaller::renameEntry(from, to);
    }
};

Outcome installWithLog(const QString &shipped, QStringList &log, bool refuseSwap = false)
{
    cv::test::CapturedStderr capture;
    const Outcome outcome = refuseSwap ? RefusingSwap(shipped, cv::installedEnginePath()).checkBackupEngine()
                                       : EngineInstaller(shipped, cv::installedEnginePath()).checkBackupEngine();
    log = capture.takeMessages();
    return outcome;
}

} // namespace

TEST(SupportFoldersTest, FirstStartOnAnEmptyHomeInstallsARunnableEngine)
{
    cv::test::ScopedHome home;
    const QString library = home.file(QStringLiteral("Library"));
    const QStringList created = cv::configurator::createLibraryFolders();
    EXPECT_EQ(created, (QStringList{library, library + QStringLiteral("/Application Support"),
                                    library + QStringLiteral("/Preferences"), library + QStringLiteral("/Logs")}));
    for (const QString &folder : created)
        EXPECT_EQ(modeOf(folder), 0700u) << qPrintable(folder);

    cv::test::CapturedStderr capture;
    cv::configurator::checkForSupportFolders();
    const QString shipped = QStringLiteral(CV_ENGINE_BUNDLE);
    EXPECT_EQ(EngineInstaller(shipped, cv::installedEnginePath()).checkBackupEngine(), Outcome::Installed);
    EXPECT_EQ(capture.takeMessages(), (QStringList{kFolderLine1, kFolderLine2, QStringLiteral("Moving Backup Engine")}));

    // A complete copy, modes included, that runs: with nothing configured it
    // finds nothing to do and ends well.
    EXPECT_EQ(treeOf(cv::installedEnginePath()), treeOf(shipped));
    EXPECT_TRUE(treeOf(shipped).contains(QStringLiteral("/Contents/Resources/bin/ditto 755")));
    const auto run = cv::test::runProgram(cv::installedEngineExecutablePath(), {},
                                          cv::test::engineEnvironment(QStringLiteral("offscreen")), 30000);
    EXPECT_EQ(run.exitCode, 0) << run.err.constData();

    // The session file the engine reads when cron starts it is private.
    ASSERT_TRUE(cv::platform::recordSessionEnvironment(cv::sessionFilePath()));
    EXPECT_EQ(modeOf(cv::sessionFilePath()), 0600u);

    // The next start finds everything in place and says nothing.
    cv::test::CapturedStderr again;
    EXPECT_TRUE(cv::configurator::createLibraryFolders().isEmpty());
    cv::configurator::checkForSupportFolders();
    EXPECT_EQ(EngineInstaller(shipped, cv::installedEnginePath()).checkBackupEngine(), Outcome::UpToDate);
    EXPECT_TRUE(again.takeMessages().isEmpty());
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

    // The product folders never create their parents; failing is silent.
    ASSERT_TRUE(QDir(library + QStringLiteral("/Application Support")).removeRecursively());
    cv::test::CapturedStderr capture;
    cv::configurator::checkForSupportFolders();
    EXPECT_TRUE(capture.takeMessages().isEmpty());
    EXPECT_FALSE(QFileInfo::exists(cv::makerSupportFolder()));
}

TEST(BuildNumberTest, LeadingDecimalIntegerOfTheBundleVersion)
{
    cv::test::ScopedHome home;
    const QString bundle = home.file(QStringLiteral("B.app"));
    EXPECT_EQ(EngineInstaller::buildNumber(bundle), 0) << "no Info.plist";
    const std::pair<const char *, qint64> cases[] = {
        {"<string>12.5</string>", 12}, {"<string> 42abc</string>", 42}, {"<string>v7</string>", 0},
        {"<string>99999999999</string>", INT_MAX}, {"<integer>7</integer>", 7}, {"<true/>", 0},
    };
    for (const auto &[value, expected] : cases) {
        ASSERT_TRUE(cv::test::writeFile(bundle + QStringLiteral("/Contents/Info.plist"),
                                        infoPlist(QStringLiteral("<key>CFBundleVersion</key>") + QLatin1String(value))));
        EXPECT_EQ(EngineInstaller::buildNumber(bundle), expected) << value;
    }
    ASSERT_TRUE(cv::test::writeFile(bundle + QStringLiteral("/Contents/Info.plist"), infoPlist({})));
    EXPECT_EQ(EngineInstaller::buildNumber(bundle), 0) << "no CFBundleVersion";
}

TEST(EngineInstallerTest, NeverDowngradesAndUpdatesOnlyToAHigherBuild)
{
    cv::test::ScopedHome home;
    const QString shipped = home.file(QStringLiteral("shipped/CVEngine.app"));
    const QString installed = cv::installedEnginePath();
    struct Case { QString installed, shipped; Outcome outcome; }; // null: no Info.plist
    const Case cases[] = {
        {QStringLiteral("12"), QStringLiteral("12"), Outcome::UpToDate},
        {QStringLiteral("12"), QStringLiteral("13"), Outcome::Updated},
        {QStringLiteral("12.5"), QStringLiteral("12"), Outcome::UpToDate},
        {QString(), QStringLiteral("1"), Outcome::Updated},
        {QString(), QStringLiteral("0"), Outcome::UpToDate},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(qPrintable(c.installed + QStringLiteral(" against ") + c.shipped));
        QDir(installed).removeRecursively();
        QDir(shipped).removeRecursively();
        makeBundle(installed, c.installed, "old");
        makeBundle(shipped, c.shipped, "new");
        QStringList log;
        EXPECT_EQ(installWithLog(shipped, log), c.outcome);
        const bool updated = c.outcome == Outcome::Updated;
        EXPECT_EQ(log, updated ? QStringList{QStringLiteral("Updating Backup Engine")} : QStringList());
        EXPECT_EQ(whichEngine(installed), updated ? "new" : "old");
        EXPECT_TRUE(siblingsOf(installed).isEmpty());
    }
}

TEST(EngineInstallerTest, AFailedCopyOrSwapKeepsTheOldEngineAndTheNextStartRetries)
{
    cv::test::ScopedHome home;
    const QString shipped = home.file(QStringLiteral("shipped/CVEngine.app"));
    const QString installed = cv::installedEnginePath();
    makeBundle(installed, QStringLiteral("12"), "old");
    makeBundle(shipped, QStringLiteral("13"), "new");
    // Something no copy can carry (unlike an unreadable file, also as root).
    const QString fifo = shipped + QStringLiteral("/Contents/Resources/pipe");
    ASSERT_EQ(::mkfifo(QFile::encodeName(fifo).constData(), 0600), 0);

    QStringList log;
    for (const bool refuseSwap : {false, true}) { // the copy is whole once the FIFO is gone
        SCOPED_TRACE(refuseSwap ? "refused swap" : "failed copy");
        EXPECT_EQ(installWithLog(shipped, log, refuseSwap), Outcome::Failed);
        ASSERT_EQ(log.size(), 2);
        EXPECT_EQ(log[0], QStringLiteral("Updating Backup Engine"));
        EXPECT_TRUE(log[1].startsWith(QStringLiteral("Could not install the Backup Engine"))) << qPrintable(log[1]);
        EXPECT_EQ(whichEngine(installed), "old");
        EXPECT_EQ(EngineInstaller::buildNumber(installed), 12);
        EXPECT_TRUE(siblingsOf(installed).isEmpty());
        QFile::remove(fifo);
    }

    // Without the obstacle the next start updates, clearing what a start
    // that died half way left behind, and nothing of the user's.
    makeBundle(cv::supportFolder() + QStringLiteral(".CVEngine.app.incoming-abc"), QStringLiteral("13"), "half");
    ASSERT_TRUE(cv::test::writeFile(cv::supportFolder() + QStringLiteral(".CVEngine.app.notes"), "the user's"));
    EXPECT_EQ(installWithLog(shipped, log), Outcome::Updated);
    EXPECT_EQ(whichEngine(installed), "new");
    EXPECT_EQ(siblingsOf(installed), QStringList{QStringLiteral(".CVEngine.app.notes")});

    // No shipped engine at all: one line, and no engine appears.
    QDir(installed).removeRecursively();
    EXPECT_EQ(installWithLog(home.file(QStringLiteral("nowhere.app")), log), Outcome::Failed);
    EXPECT_EQ(log.size(), 2);
    EXPECT_FALSE(QFileInfo::exists(installed));
}
