// The real engine starts the real CVOffsite after its run: the local backup
// succeeds whatever happens off-site, and the password shows up in no
// process's arguments or environment, no file of the home and not the log.
#include "Home.h"
#include "OffsiteRecord.h"
#include "OffsiteTestSupport.h"
#include "PropertyList.h"
#include "SecretStore.h"

#include <QDirIterator>

using namespace cv;

namespace {

[[maybe_unused]] auto *const keyring = ::testing::AddGlobalTestEnvironment(new test::KeyringEnvironment);

const QByteArray kPassword = "Pw-that-must-stay-secret-4711";
const QString kEngine = QStringLiteral(CV_ENGINE_BUNDLE "/Contents/MacOS/CVEngine");

// Every process's command line and environment that holds the needle.
QStringList processesShowing(const QByteArray &needle)
{
    QStringList found;
    const QStringList pids = QDir(QStringLiteral("/proc")).entryList({QStringLiteral("[0-9]*")}, QDir::Dirs);
    for (const QString &pid : pids) {
        for (const char *part : {"cmdline", "environ"}) {
            QFile file(QStringLiteral("/proc/%1/%2").arg(pid, QLatin1String(part)));
            if (file.open(QIODevice::ReadOnly) && file.readAll().contains(needle))
                found << pid + QLatin1Char('/') + QLatin1String(part);
        }
    }
    return found;
}

QStringList filesHolding(const QString &root, const QByteArray &needle)
{
    QStringList found;
    QDirIterator it(root, QDir::Files | QDir::Hidden | QDir::System, QDirIterator::Subdirectories);
    while (it.hasNext()) {
        QFile file(it.next());
        if (file.open(QIODevice::ReadOnly) && file.readAll().contains(needle))
            found << it.filePath();
    }
    return found;
}

class OffsiteProcess : public ::testing::Test
{
protected:
    void configure(const QString &repository)
    {
        test::writeMailbox(home.file(QStringLiteral("Library/Thunderbird")), 3, 20 * 1000 * 1000);
        QDir().mkpath(destination);
        ASSERT_TRUE(test::writeEngineSettings(
            QStringLiteral("Corvantis is currently configured to backup Thunderbird on Run Now only."),
            {{QStringLiteral("Client"), QStringLiteral("Thunderbird")}, {QStringLiteral("Destination"), destination}}));
        auto defaults = platform::readDictionaryFile(defaultsFilePath()).value_or(QVariantMap{});
        defaults.insert(QLatin1String(offsite::kEnabledKey), true);
        defaults.insert(QLatin1String(offsite::kRepositoryKey), repository);
        ASSERT_TRUE(platform::writeDictionaryXmlAtomically(defaultsFilePath(), defaults));
        ASSERT_TRUE(offsite::LibsecretStore().store(repository, QString::fromLatin1(kPassword)));
    }
    // Runs the engine, then waits for the off-site record, watching /proc.
    void runEngineAndSender()
    {
        QProcess engine;
        engine.setProcessEnvironment(test::engineEnvironment(QStringLiteral("offscreen")));
        engine.start(kEngine, {});
        ASSERT_TRUE(engine.waitForStarted());
        QElapsedTimer clock;
        clock.start();
        while (!QFile::exists(offsite::recordPath()) && clock.elapsed() < 120000) {
            seen += processesShowing(kPassword);
            if (engine.state() != QProcess::NotRunning)
                engine.waitForFinished(20);
            else
                QThread::msleep(20);
        }
        engine.waitForFinished(60000);
        EXPECT_EQ(engine.exitCode(), 0) << "the local backup must succeed";
        ASSERT_TRUE(QFile::exists(offsite::recordPath()));
        // The sender writes its record before its last log line.
        test::waitUntil([] {
            const QByteArray log = test::readFile(logFilePath());
            return log.contains("Off-site copy sent") || log.contains("Off-site copy failed");
        }, 20000);
    }

    test::ScopedHome home;
    QString destination = home.file(QStringLiteral("Backups/Mail"));
    QStringList seen;
};

TEST_F(OffsiteProcess, EngineRunSendsWithThePasswordNowhereToBeSeen)
{
    const QString repository = home.file(QStringLiteral("repo"));
    ASSERT_EQ(test::restic(repository, QString::fromLatin1(kPassword), {QStringLiteral("init")}).exitCode, 0);
    configure(repository);
    runEngineAndSender();
    const offsite::OffsiteRecord record = offsite::OffsiteRecord::read(offsite::recordPath());
    EXPECT_TRUE(record.succeeded) << record.reason.toStdString();
    EXPECT_EQ(test::snapshotCount(repository, QString::fromLatin1(kPassword)), 1);
    EXPECT_EQ(seen, QStringList());
    EXPECT_EQ(filesHolding(home.path(), kPassword), QStringList());
    EXPECT_TRUE(test::readFile(logFilePath()).contains("Off-site copy sent"));
}

TEST_F(OffsiteProcess, UnreachableRepositoryLeavesTheLocalBackupSuccessful)
{
    configure(QStringLiteral("rest:http://127.0.0.1:%1/").arg(test::freeLoopbackPort()));
    runEngineAndSender();
    const offsite::OffsiteRecord record = offsite::OffsiteRecord::read(offsite::recordPath());
    EXPECT_FALSE(record.succeeded);
    EXPECT_EQ(record.reason, QStringLiteral("The repository could not be reached (connection refused)."));
    EXPECT_TRUE(test::readFile(logFilePath()).contains("Off-site copy failed: The repository could not be reached"));
    EXPECT_EQ(seen, QStringList());
}

// SIGTERM (a logout, a shutdown) during an upload: restic is ended cleanly,
// the attempt is recorded, and the repository stays usable for the next one.
TEST_F(OffsiteProcess, SigtermEndsTheUploadAndLeavesTheRepositoryUsable)
{
    test::RestServer server(home.file(QStringLiteral("served")));
    ASSERT_TRUE(server.start(QStringLiteral("4M")));
    const QString repository = server.url(QStringLiteral("repo/"));
    ASSERT_EQ(test::restic(repository, QString::fromLatin1(kPassword), {QStringLiteral("init")}).exitCode, 0);
    configure(repository);
    test::writeMailbox(destination, 9, 20 * 1000 * 1000);
    QProcess sender;
    sender.setProcessEnvironment(test::engineEnvironment(QStringLiteral("offscreen")));
    sender.start(QStringLiteral(CV_ENGINE_BUNDLE "/Contents/MacOS/CVOffsite"), {});
    ASSERT_TRUE(sender.waitForStarted());
    test::waitUntil([] { return offsite::OffsiteProgress::readLive(offsite::progressPath()).has_value(); }, 30000);
    ASSERT_EQ(sender.state(), QProcess::Running) << "the upload ended before it could be interrupted";
    QElapsedTimer clock;
    clock.start();
    sender.terminate();
    ASSERT_TRUE(sender.waitForFinished(30000));
    EXPECT_LT(clock.elapsed(), 20000);
    const offsite::OffsiteRecord record = offsite::OffsiteRecord::read(offsite::recordPath());
    EXPECT_FALSE(record.succeeded);
    EXPECT_EQ(record.reason, QStringLiteral("The upload was interrupted; it goes on at the next try.")) << test::readFile(logFilePath()).toStdString();
    // restic removed its own lock: an exclusive command runs without unlock.
    const auto check = test::restic(repository, QString::fromLatin1(kPassword), {QStringLiteral("check")});
    EXPECT_EQ(check.exitCode, 0) << check.err.toStdString();
}

} // namespace
