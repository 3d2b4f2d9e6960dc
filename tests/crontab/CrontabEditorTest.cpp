#include "TMCrontabModifier.h"

#include "Home.h"
#include "TestSupport.h"

#include <QDir>
#include <QFile>
#include <gtest/gtest.h>

#include <unistd.h>

using cv::configurator::CommandResult;
using cv::configurator::CommandRunner;
using cv::configurator::ProcessCommandRunner;
using cv::configurator::TMCrontabModifier;

namespace {

const QString kMarker = QStringLiteral("CVEngine.app");
const QString kUser = QStringLiteral("cvcrontest");

// Where the editor's crontab goes: the real program for a throwaway user when
// we are root, otherwise the stand-in. Never the real user's crontab.
class Backend
{
public:
    Backend()
    {
        const bool standIn = qEnvironmentVariableIsSet("CV_CRONTAB_TEST_STANDIN") || ::geteuid() != 0
                             || !prepareThrowawayUser();
        if (standIn) {
            QFile::copy(QStringLiteral(CV_FAKE_CRONTAB_SCRIPT), m_dir.filePath(QStringLiteral("fake_crontab")));
            QFile::setPermissions(m_dir.filePath(QStringLiteral("fake_crontab")), QFile::ReadOwner | QFile::ExeOwner);
            qputenv("CV_FAKE_CRONTAB_DIR", QFile::encodeName(m_dir.path()));
            m_program = m_dir.filePath(QStringLiteral("fake_crontab"));
        }
        std::printf("crontab tests use %s\n", qPrintable(m_program));
    }

    const QString &program() const { return m_program; }

    // A program that answers "-l" with the given shell commands and hands
    // everything else to the backend.
    QString wrapper(const QString &name, const QString &onList, const QString &onOther = {}) const
    {
        const QString path = m_dir.filePath(name);
        cv::test::writeFile(path, QStringLiteral("#!/bin/sh\nif [ \"$1\" = -l ]; then %1\nexit $?; fi\n%2\nexec '%3' \"$@\"\n")
                                      .arg(onList, onOther, m_program).toUtf8());
        QFile::setPermissions(path, QFile::ReadOwner | QFile::ExeOwner);
        return path;
    }

    // Empty when there is no crontab.
    std::optional<QByteArray> list() const
    {
        const auto r = cv::test::runProgram(m_program, {QStringLiteral("-l")}, environment());
        if (r.exitCode != 0) {
            EXPECT_TRUE(r.err.contains("no crontab for")) << r.err.constData();
            return std::nullopt;
        }
        return r.out;
    }
    void install(const QByteArray &bytes) const
    {
        const QString file = m_dir.filePath(QStringLiteral("install"));
        cv::test::writeFile(file, bytes);
        ASSERT_EQ(cv::test::runProgram(m_program, {file}, environment()).exitCode, 0);
    }
    void clear() const { cv::test::runProgram(m_program, {QStringLiteral("-r")}, environment()); }

private:
    static QProcessEnvironment environment()
    {
        auto env = QProcessEnvironment::systemEnvironment();
        env.insert(QStringLiteral("LC_ALL"), QStringLiteral("C"));
        return env;
    }

    bool prepareThrowawayUser()
    {
        if (cv::test::runProgram(QStringLiteral("getent"), {QStringLiteral("passwd"), kUser}).exitCode != 0)
            cv::test::runProgram(QStringLiteral("useradd"), {QStringLiteral("--system"), QStringLiteral("--no-create-home"),
                                                              QStringLiteral("--shell"), QStringLiteral("/usr/sbin/nologin"), kUser});
        // When an allow list exists, only the users on it may have a crontab.
        QFile allow(QStringLiteral("/etc/cron.allow"));
        if (allow.exists() && !cv::test::readFile(allow.fileName()).split('\n').contains(kUser.toUtf8())
            && allow.open(QIODevice::Append))
            allow.write((QStringLiteral("\n") + kUser + QStringLiteral("\n")).toUtf8());
        m_program = m_dir.filePath(QStringLiteral("crontab-") + kUser);
        cv::test::writeFile(m_program, QStringLiteral("#!/bin/sh\nexec /usr/bin/crontab -u %1 \"$@\"\n").arg(kUser).toUtf8());
        QFile::setPermissions(m_program, QFile::ReadOwner | QFile::ExeOwner);
        const auto probe = cv::test::runProgram(m_program, {QStringLiteral("-l")}, environment());
        if (probe.exitCode == 0 || probe.err.contains("no crontab for"))
            return true;
        std::printf("throwaway user unusable (%s), falling back to the stand-in\n", probe.err.constData());
        return false;
    }

    QTemporaryDir m_dir;
    QString m_program;
};

struct CapturedAlerts : cv::configurator::AlertPresenter {
    QStringList shown; // "message / informative"
    void showAlert(const QString &message, const QString &informative) override
    {
        shown << message + QStringLiteral(" / ") + informative;
    }
};

// Runs real processes and notes which argument lists the editor used.
struct RecordingRunner : CommandRunner {
    QList<QStringList> *calls;
    explicit RecordingRunner(QList<QStringList> *calls) : calls(calls) {}
    CommandResult run(const QString &program, const QStringList &arguments, const QProcessEnvironment &env) override
    {
        calls->append(arguments);
        return ProcessCommandRunner().run(program, arguments, env);
    }
};

class CrontabEditor : public ::testing::Test
{
protected:
    static void SetUpTestSuite() { backend = new Backend; }
    static void TearDownTestSuite() { delete backend; }

    void SetUp() override
    {
        ASSERT_NE(backend->program(), QStringLiteral("/usr/bin/crontab"));
        QDir().mkpath(cv::makerSupportFolder());
        backend->clear();
        editor = makeEditor(backend->program());
    }
    void TearDown() override { backend->clear(); }

    std::unique_ptr<TMCrontabModifier> makeEditor(const QString &program)
    {
        calls.clear();
        auto e = std::make_unique<TMCrontabModifier>(alerts, program, std::make_unique<RecordingRunner>(&calls));
        e->setScriptName(kMarker);
        return e;
    }
    QByteArray job(int minute = 5) const
    {
        return QStringLiteral("%1\t14\t*\t*\t1,2,3,4,5\t\"%2/Library/Application Support/Tallowmere/Corvantis/CVEngine.app/Contents/MacOS/CVEngine\"\n")
            .arg(minute).arg(home.path()).toUtf8();
    }
    QByteArray listing() const { return backend->list().value_or("<none>"); }

    static inline Backend *backend = nullptr;
    cv::test::ScopedHome home;
    CapturedAlerts alerts;
    QList<QStringList> calls;
    std::unique_ptr<TMCrontabModifier> editor;
};

const QStringList kListOnly{QStringLiteral("-l")};

} // namespace

TEST(CrontabFilter, RemovesEachStepOfTheProgramsLines)
{
    const QString m = kMarker;
    const struct { const char *in, *out; } cases[] = {
        {"1 * * * * a\n2 * * * * CVEngine.app\n3 * * * * c\n", "1 * * * * a\n3 * * * * c\n"},
        {"1 * * * * a\n\n\n  2 * * * * CVEngine.app\n\n3 * * * * c\n", "1 * * * * a\n\n3 * * * * c\n"},
        {"\n2 * * * * CVEngine.app\n1 * * * * a\n", "\n1 * * * * a\n"},
        {"2 * * * * CVEngine.app\n", "\n"},
        {"CVEngine.app at the start\n# mentions CVEngine.app\n", "CVEngine.app at the start\n"},
        {"1 * * * * a\n2 * * * * CVEngine.app", "1 * * * * a"},
        {"2 * * * * CVEngine.app\r\n1 * * * * a\r\n", "\n1 * * * * a\r\n"},
        {"\r\n1 * * * * a\n2 * * * * CVEngine.app\n", "1 * * * * a\n"},
        {"1 * * * * a\n\u00a02 CVEngine.app x\n", "1 * * * * a\n"},
    };
    for (const auto &c : cases)
        EXPECT_EQ(TMCrontabModifier::filterCrontab(QString::fromUtf8(c.in), m), QString::fromUtf8(c.out)) << c.in;
    EXPECT_EQ(TMCrontabModifier::filterCrontab(QStringLiteral("x CVEngine.app\n"), QString()), QStringLiteral("x CVEngine.app\n"));
    EXPECT_EQ(TMCrontabModifier::collapseBlankLines(QStringLiteral("\na\n\n\n\n\nb\r\n\r\n")), QStringLiteral("\na\nb\r\n\r\n"));
}

TEST_F(CrontabEditor, AddToAnEmptyCrontabInstallsExactlyTheLine)
{
    editor->addCronJob(QString::fromUtf8(job()));
    EXPECT_EQ(listing(), job()); // the "no crontab" message never lands in it
    EXPECT_TRUE(alerts.shown.isEmpty());
    EXPECT_EQ(cv::test::readFile(cv::scratchCrontabPath()), job());
}

TEST_F(CrontabEditor, AddReplacesTheOldLineAndDropsBlankLines)
{
    backend->install("1 * * * * a\n# crontab: no crontab quoted\n\n# x CVEngine.app old\nCVEngine.app=1\n\n\n2 * * * * b\n" + job(9));
    editor->addCronJob(QString::fromUtf8(job()));
    EXPECT_EQ(listing(), job() + "1 * * * * a\n# crontab: no crontab quoted\nCVEngine.app=1\n2 * * * * b\n");
    EXPECT_TRUE(alerts.shown.isEmpty());
}

TEST_F(CrontabEditor, RemoveKeepsEveryOtherLineAsItWas)
{
    // No crontab: nothing to remove, and no error for it.
    editor->removeCronJob();
    EXPECT_EQ(calls, QList<QStringList>{kListOnly});

    // Only line: nothing left, so the crontab is removed.
    backend->install(job());
    editor->removeCronJob();
    EXPECT_EQ(calls.last(), QStringList{QStringLiteral("-r")});
    EXPECT_FALSE(backend->list().has_value());

    // Several at once; blank lines stay except those right before a removed line.
    backend->install(job() + "1 * * * * a\n\n" + job(6) + "\n2 * * * * b\n# see CVEngine.app\n  CVEngine.app=3\n");
    editor->removeCronJob();
    EXPECT_EQ(listing(), "\n1 * * * * a\n\n2 * * * * b\n  CVEngine.app=3\n");
    EXPECT_TRUE(alerts.shown.isEmpty());
}

TEST_F(CrontabEditor, CheckForJobLooksAtTheListingOnly)
{
    EXPECT_FALSE(editor->checkForJob(kMarker));
    backend->install("1 * * * * corvantis.sh\n");
    EXPECT_TRUE(editor->checkForJob(QStringLiteral("corvantis.sh")));
    EXPECT_FALSE(editor->checkForJob(kMarker));
    EXPECT_EQ(calls, (QList<QStringList>{kListOnly, kListOnly, kListOnly}));
}

TEST_F(CrontabEditor, AListingWithoutFinalLineFeedStillInstalls)
{
    cv::test::writeFile(home.file(QStringLiteral("listing")), "1 * * * * a\n2 * * * * b");
    const QString program = backend->wrapper(QStringLiteral("unterminated"), QStringLiteral("[ \"$LC_ALL\" = C ] && cat '%1'").arg(home.file(QStringLiteral("listing"))));
    editor = makeEditor(program);
    editor->addCronJob(QString::fromUtf8(job()));
    EXPECT_EQ(listing(), job() + "1 * * * * a\n2 * * * * b\n");
    backend->clear();
    editor->removeCronJob();
    EXPECT_EQ(listing(), "1 * * * * a\n2 * * * * b\n");
    EXPECT_TRUE(alerts.shown.isEmpty());
}

TEST_F(CrontabEditor, UnwritableScratchFileChangesNothingSilently)
{
    const QByteArray before = "1 * * * * a\n" + job(9);
    backend->install(before);
    QDir(cv::makerSupportFolder()).removeRecursively();
    cv::test::writeFile(home.file(QStringLiteral("Library/Application Support/Tallowmere")), "a file, not a folder");
    editor->addCronJob(QString::fromUtf8(job()));
    editor->removeCronJob();
    EXPECT_EQ(listing(), before);
    EXPECT_TRUE(alerts.shown.isEmpty());
    EXPECT_EQ(calls, (QList<QStringList>{kListOnly, kListOnly}));
}

TEST_F(CrontabEditor, RefusedInstallsShowTheOperationsAlert)
{
    backend->install("1 * * * * a\n" + job(9));
    editor->addCronJob(QStringLiteral("99\t14\t*\t*\t1\t\"CVEngine.app\"\n")); // bad minute
    EXPECT_EQ(alerts.shown, QStringList{QStringLiteral("Scheduling Error / Unable to save settings.")});
    EXPECT_EQ(listing(), "1 * * * * a\n" + job(9));

    alerts.shown.clear();
    editor = makeEditor(backend->wrapper(QStringLiteral("refusing"), QStringLiteral("exec '%1' -l").arg(backend->program()),
                                         QStringLiteral("echo refused >&2; exit 1")));
    editor->removeCronJob();
    EXPECT_EQ(alerts.shown, QStringList{QStringLiteral("Scheduling Error / Unable to schedule backup.")});
}

TEST_F(CrontabEditor, AFailingListingNeverCostsTheUsersLines)
{
    const QByteArray before = "1 * * * * a\n# mine\n" + job(9);
    backend->install(before);
    const QString failures[] = {
        QStringLiteral("echo 'crontab: cannot open spool directory' >&2; exit 1"),
        QStringLiteral("echo '1 * * * * a'; echo 'no crontab for you' >&2; exit 1"),
        QStringLiteral("printf '1 * * * * a \\377\\n'"), // not UTF-8
        QStringLiteral("kill -9 $$"),
    };
    for (const QString &failure : failures) {
        alerts.shown.clear();
        editor = makeEditor(backend->wrapper(QStringLiteral("failing"), failure));
        EXPECT_FALSE(editor->checkForJob(QStringLiteral("a")));
        editor->addCronJob(QString::fromUtf8(job()));
        editor->removeCronJob();
        EXPECT_EQ(alerts.shown, (QStringList{QStringLiteral("Scheduling Error / Unable to save settings."),
                                             QStringLiteral("Scheduling Error / Unable to schedule backup.")})) << qPrintable(failure);
        EXPECT_EQ(calls, (QList<QStringList>{kListOnly, kListOnly, kListOnly}));
        EXPECT_EQ(listing(), before);
    }
    editor = makeEditor(QStringLiteral("/nonexistent/crontab"));
    editor->addCronJob(QString::fromUtf8(job()));
    EXPECT_EQ(alerts.shown.size(), 3);
}

TEST_F(CrontabEditor, TenThousandUserLinesSurviveAnAddAndARemove)
{
    QByteArray mine;
    for (int i = 0; i < 9999; ++i)
        mine += QByteArray::number(i % 60) + " * * * * echo line " + QByteArray::number(i) + "\n";
    backend->install(job(9) + mine);
    editor->addCronJob(QString::fromUtf8(job()));
    EXPECT_EQ(listing(), job() + mine);
    editor->removeCronJob();
    EXPECT_EQ(listing(), "\n" + mine);
    EXPECT_TRUE(alerts.shown.isEmpty());

    // One more is beyond what crontab takes: the add is refused, nothing is lost.
    mine += "1 * * * * echo line 9999\n";
    backend->install(mine);
    editor->addCronJob(QString::fromUtf8(job()));
    EXPECT_EQ(alerts.shown, QStringList{QStringLiteral("Scheduling Error / Unable to save settings.")});
    editor->removeCronJob();
    EXPECT_EQ(listing(), mine);
    EXPECT_EQ(alerts.shown.size(), 1);
}
