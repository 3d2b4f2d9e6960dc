// OffsiteSender against real restic repositories: a local folder and a REST
// server (rclone), the password from a real keyring.
#include "OffsiteSender.h"
#include "OffsiteTestSupport.h"
#include "RepositoryCheck.h"
#include "SecretStore.h"

#include "HistoryNames.h"
#include "Home.h"
#include "PropertyList.h"

#include <QJsonObject>

using namespace cv;
using namespace cv::offsite;

namespace {

[[maybe_unused]] auto *const keyring = ::testing::AddGlobalTestEnvironment(new test::KeyringEnvironment);

const QString kPassword = QStringLiteral("correct horse \u00e9 staple");

class OffsiteSend : public ::testing::TestWithParam<bool>
{
protected:
    void SetUp() override
    {
        // Pattern characters in the name: the version store must still be left out.
        destination = home.file(QStringLiteral("Backup [Folder]*"));
        test::writeMailbox(destination, 1);
        test::writeFile(destination + QStringLiteral("/.corvantis-versions/2026-01-01-000000/old"), "old");
        if (GetParam()) {
            server = std::make_unique<test::RestServer>(home.file(QStringLiteral("served")));
            ASSERT_TRUE(server->start());
            repository = server->url(QStringLiteral("mail/"));
        } else {
            repository = home.file(QStringLiteral("off site/repo"));
        }
        ASSERT_EQ(test::restic(repository, kPassword, {QStringLiteral("init")}).exitCode, 0);
        const Result<> kept = secrets.store(repository, kPassword);
        ASSERT_TRUE(kept) << kept.reason().toStdString();
        settings = {true, repository, destination, QStringLiteral("Thunderbird"), 31};
    }

    OffsiteSender::Outcome send(const QDateTime &when = QDateTime::currentDateTime())
    {
        OffsiteSender sender(secrets, QStringLiteral("restic"));
        sender.setNotifier(&notifier);
        sender.setStallLimit(std::chrono::seconds(3));
        return sender.send(settings, when);
    }

    test::ScopedHome home;
    QString destination, repository;
    std::unique_ptr<test::RestServer> server;
    LibsecretStore secrets;
    SendSettings settings;
    test::RecordingNotifier notifier;
};

TEST_P(OffsiteSend, ThreeRunsGiveThreeSnapshotsThatEachRestoreByteForByte)
{
    QStringList expected[3];
    QStringList ids;
    QDateTime when = QDateTime::currentDateTime();
    for (int run = 0; run < 3; ++run) {
        test::writeMailbox(destination, 10 + run);
        expected[run] = test::mirrorListing(destination);
        ASSERT_EQ(send(when.addDays(run)), OffsiteSender::Outcome::Sent);
        const OffsiteRecord record = OffsiteRecord::read(recordPath());
        EXPECT_TRUE(record.succeeded);
        EXPECT_GT(record.bytesAdded, 0);
        ids << record.snapshotId;
    }
    EXPECT_TRUE(notifier.notices.empty());
    EXPECT_FALSE(QFile::exists(progressPath()));
    ASSERT_EQ(test::snapshotCount(repository, kPassword), 3);
    for (int run = 0; run < 3; ++run) {
        const QString target = home.file(QStringLiteral("restored-%1").arg(run));
        ASSERT_EQ(test::restic(repository, kPassword, {QStringLiteral("restore"), ids[run], QStringLiteral("--target"), target}).exitCode, 0);
        // The version store stays local: restic keeps its own snapshots.
        EXPECT_EQ(test::treeListing(target + destination), expected[run]) << "run " << run;
    }
    const auto tags = test::restic(repository, kPassword, {QStringLiteral("snapshots"), QStringLiteral("--json"),
                                                           QStringLiteral("-q"), QStringLiteral("--tag"), QStringLiteral("Thunderbird")});
    EXPECT_EQ(QJsonDocument::fromJson(tags.out).array().size(), 3);
    const auto check = test::restic(repository, kPassword, {QStringLiteral("check"), QStringLiteral("--read-data")});
    EXPECT_EQ(check.exitCode, 0) << check.err.toStdString();
    // The first run also checked a twelfth of the data; the rota moved on.
    EXPECT_EQ(OffsiteRecord::read(recordPath()).nextCheckSlice, 2);
}

INSTANTIATE_TEST_SUITE_P(Repositories, OffsiteSend, ::testing::Values(false, true),
                         [](const auto &info) { return info.param ? "Rest" : "LocalFolder"; });

class OffsiteInterrupted : public OffsiteSend {};

// The REST server goes away during an upload: the attempt fails within its
// bound with a reason and a notice, and the next attempt completes.
TEST_P(OffsiteInterrupted, ServerEndedMidUploadFailsThenNextRunCompletes)
{
    test::writeMailbox(destination, 7, 20 * 1000 * 1000);
    server->stop();
    ASSERT_TRUE(server->start(QStringLiteral("4M")));
    QTimer killer;
    QObject::connect(&killer, &QTimer::timeout, [&] {
        const auto progress = OffsiteProgress::readLive(progressPath());
        if (progress && progress->bytesDone > 0) {
            server->stop();
            killer.stop();
        }
    });
    killer.start(10);
    QElapsedTimer clock;
    clock.start();
    EXPECT_EQ(send(), OffsiteSender::Outcome::Failed);
    EXPECT_LT(clock.elapsed(), 60000);
    ASSERT_FALSE(killer.isActive()) << "the upload ended before the server could be stopped";
    const OffsiteRecord failed = OffsiteRecord::read(recordPath());
    EXPECT_FALSE(failed.succeeded);
    EXPECT_FALSE(failed.reason.isEmpty());
    ASSERT_EQ(notifier.notices.size(), 1u);
    EXPECT_EQ(notifier.notices[0].summary, QStringLiteral("Off-site copy failed"));
    EXPECT_EQ(notifier.notices[0].body, failed.reason);
    EXPECT_EQ(notifier.notices[0].actions, (QStringList{QStringLiteral("open-log"), QStringLiteral("Open Log")}));

    ASSERT_TRUE(server->start());
    EXPECT_EQ(send(), OffsiteSender::Outcome::Sent);
    EXPECT_TRUE(OffsiteRecord::read(recordPath()).succeeded);
    EXPECT_EQ(test::snapshotCount(repository, kPassword), 1);
    EXPECT_EQ(test::restic(repository, kPassword, {QStringLiteral("check")}).exitCode, 0);
}

INSTANTIATE_TEST_SUITE_P(Rest, OffsiteInterrupted, ::testing::Values(true));

// From cron with nobody logged in the Secret Service cannot be reached: the
// upload waits for a session, quietly, and touches nothing.
class UnreachableSecrets : public SecretStore
{
public:
    Lookup lookup(const QString &) override { return {Status::Unavailable, {}, QStringLiteral("no session bus")}; }
    Result<> store(const QString &, const QString &) override { return fail(QStringLiteral("no session bus")); }
};

TEST(OffsiteWaiting, NoSecretServiceWaitsForASession)
{
    test::ScopedHome home;
    const QString repository = home.file(QStringLiteral("repo"));
    test::writeMailbox(home.file(QStringLiteral("Backup")), 4);
    UnreachableSecrets secrets;
    test::RecordingNotifier notifier;
    OffsiteSender sender(secrets, QStringLiteral("restic"));
    sender.setNotifier(&notifier);
    const SendSettings settings{true, repository, home.file(QStringLiteral("Backup")), QStringLiteral("Thunderbird"), 31};
    EXPECT_EQ(sender.send(settings, QDateTime::currentDateTime()), OffsiteSender::Outcome::Waiting);
    EXPECT_TRUE(OffsiteRecord::read(recordPath()).pending);
    EXPECT_TRUE(notifier.notices.empty());
    EXPECT_FALSE(QFileInfo::exists(repository));
}

// What "Check" says for each kind of trouble, within its bound, creating nothing.
TEST(OffsiteCheck, EachTroubleGetsItsSentenceWithinTheBoundAndCreatesNothing)
{
    test::ScopedHome home;
    const QString repository = home.file(QStringLiteral("repo"));
    ASSERT_EQ(test::restic(repository, kPassword, {QStringLiteral("init")}).exitCode, 0);
    test::RestServer server(home.file(QStringLiteral("served")));
    ASSERT_TRUE(server.start());
    const struct {
        const char *name;
        QString program, repository, password;
        Problem problem;
        QString sentence;
    } cases[] = {
        {"existing", "restic", repository, kPassword, Problem::None, "Found a repository that this password opens. Saved."},
        {"wrong password", "restic", repository, "not it", Problem::WrongPassword, "The password does not open this repository."},
        {"missing folder", "restic", home.file("nothing/here"), kPassword, Problem::NoRepository,
         "There is no restic repository there yet. \u201cCreate\u201d makes one with this password."},
        {"missing on server", "restic", server.url("none/"), kPassword, Problem::NoRepository,
         "There is no restic repository there yet. \u201cCreate\u201d makes one with this password."},
        {"closed port", "restic", QStringLiteral("rest:http://127.0.0.1:%1/").arg(test::freeLoopbackPort()), kPassword,
         Problem::Unreachable, "The repository could not be reached (connection refused)."},
        {"no restic", home.file("bin/restic"), repository, kPassword, Problem::NotInstalled,
         "restic is not installed. Install the Debian package \"restic\" (sudo apt install restic)."},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        ResticRun run(c.program);
        run.setTimeLimit(kCheckLimit);
        QElapsedTimer clock;
        clock.start();
        const ResticResult result = run.run(c.repository, c.password, checkArguments());
        EXPECT_LT(clock.elapsed(), 30000);
        EXPECT_EQ(result.problem, c.problem) << result.errors.toStdString();
        EXPECT_EQ(checkSentence(result), c.sentence);
    }
    EXPECT_FALSE(QFileInfo::exists(home.file("nothing")));
    EXPECT_FALSE(QFileInfo::exists(home.file("served/none")));
}

// A host that never answers: the check gives up at its bound.
TEST(OffsiteCheck, SilentHostEndsAtTheTimeLimit)
{
    QTcpServer silent; // accepts, never answers
    ASSERT_TRUE(silent.listen(QHostAddress::LocalHost, 0));
    ResticRun run(QStringLiteral("restic"));
    run.setTimeLimit(std::chrono::seconds(2));
    QElapsedTimer clock;
    clock.start();
    const ResticResult result =
        run.run(QStringLiteral("rest:http://127.0.0.1:%1/").arg(silent.serverPort()), kPassword, checkArguments());
    EXPECT_LT(clock.elapsed(), 20000);
    EXPECT_EQ(result.problem, Problem::Unreachable);
    EXPECT_EQ(result.reason, QStringLiteral("The repository did not answer within 2 seconds."));
}

} // namespace
