#include "TMCrontabModifier.h"
#include "CrontabLines.h"
#include "Schedule.h"

#include "Home.h"
#include "TestSupport.h"

#include <QDir>
#include <QFile>
#include <gtest/gtest.h>

#include <unistd.h>

using cv::configurator::CommandResult;
using cv::configurator::TMCrontabModifier;

namespace {

const QString kMarker = QStringLiteral("CVEngine.app");
const QString kUser = QStringLiteral("cvcrontest");
const QString kSaveFailed = QStringLiteral("Scheduling Error / Unable to save settings.");
const QString kScheduleFailed = QStringLiteral("Scheduling Error / Unable to schedule backup.");
const QStringList kListOnly{QStringLiteral("-l")};

// Where the editor's crontab goes: the real program for a throwaway user when
// we are root, otherwise the stand-in. Never the real user's crontab.
class Backend
{
public:
    Backend()
    {
        if (qEnvironmentVariableIsSet("CV_CRONTAB_TEST_STANDIN") || ::geteuid() != 0 || !prepareThrowawayUser()) {
            m_program = script(QStringLiteral("fake_crontab"), cv::test::readFile(QStringLiteral(CV_FAKE_CRONTAB_SCRIPT)));
            qputenv("CV_FAKE_CRONTAB_DIR", QFile::encodeName(m_dir.path()));
        }
        std::printf("crontab tests use %s\n", qPrintable(m_program));
    }

    const QString &program() const { return m_program; }

    // A program that answers "-l" with the given shell commands and hands
    // everything else to the backend.
    QString wrapper(const QString &onList, const QString &onOther = {}) const
    {
        return script(QStringLiteral("wrapper"), QStringLiteral("#!/bin/sh\nif [ \"$1\" = -l ]; then %1\nexit $?; fi\n%2\nexec '%3' \"$@\"\n")
                                                     .arg(onList, onOther, m_program).toUtf8());
    }

    // "<none>" when there is no crontab.
    QByteArray listing() const
    {
        const auto r = run(kListOnly);
        if (r.exitCode == 0)
            return r.out;
        EXPECT_TRUE(r.err.contains("no crontab for")) << r.err.constData();
        return "<none>";
    }
    void install(const QByteArray &bytes) const
    {
        cv::test::writeFile(m_dir.filePath(QStringLiteral("install")), bytes);
        ASSERT_EQ(run({m_dir.filePath(QStringLiteral("install"))}).exitCode, 0);
    }
    void clear() const { run({QStringLiteral("-r")}); }

private:
    // Untranslated, so that "no crontab for" can be recognised.
    cv::test::RunResult run(const QStringList &arguments) const
    {
        auto env = QProcessEnvironment::systemEnvironment();
        env.insert(QStringLiteral("LC_ALL"), QStringLiteral("C"));
        return cv::test::runProgram(m_program, arguments, env);
    }

    QString script(const QString &name, const QByteArray &text) const
    {
        const QString path = m_dir.filePath(name);
        cv::test::writeFile(path, text);
        QFile::setPermissions(path, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
        return path;
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
        m_program = script(QStringLiteral("crontab-") + kUser,
                           QStringLiteral("#!/bin/sh\nexec /usr/bin/crontab -u %1 \"$@\"\n").arg(kUser).toUtf8());
        const auto probe = run(kListOnly);
        if (probe.exitCode == 0 || probe.err.contains("no crontab for"))
            return true;
        std::printf("throwaway user unusable (%s), falling back to the stand-in\n", probe.err.constData());
        return false;
    }

    QTemporaryDir m_dir;
    QString m_program;
};

// Runs real processes and notes which argument lists the editor used.
struct RecordingRunner : cv::configurator::ProcessCommandRunner {
    QList<QStringList> *calls;
    explicit RecordingRunner(QList<QStringList> *calls) : calls(calls) {}
    CommandResult run(const QString &program, const QStringList &arguments, const QProcessEnvironment &env) override
    {
        calls->append(arguments);
        return ProcessCommandRunner::run(program, arguments, env);
    }
};

// Also stands in for the alerts, noting each as "message / informative".
class CrontabEditor : public ::testing::Test, public cv::configurator::AlertPresenter
{
protected:
    void showAlert(const QString &message, const QString &informative) override
    {
        alerts << message + QStringLiteral(" / ") + informative;
    }
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
        alerts.clear();
        auto e = std::make_unique<TMCrontabModifier>(*this, program, std::make_unique<RecordingRunner>(&calls));
        e->setScriptName(kMarker);
        return e;
    }
    QByteArray job(int minute = 5) const
    {
        return QStringLiteral("%1\t14\t*\t*\t1,2,3,4,5\t\"%2/Library/Application Support/Tallowmere/Corvantis/CVEngine.app/Contents/MacOS/CVEngine\"\n")
            .arg(minute).arg(home.path()).toUtf8();
    }

    static inline Backend *backend = nullptr;
    cv::test::ScopedHome home;
    QStringList alerts;
    QList<QStringList> calls;
    std::unique_ptr<TMCrontabModifier> editor;
};

} // namespace

// E is the engine's command as the configurator writes it for home /h.
TEST(CrontabFilter, OnlyLinesThatStartTheProgramAreItsOwn)
{
    const QString home = QStringLiteral("/h");
    const QString support = QStringLiteral("/h/Library/Application Support/Tallowmere/Corvantis/");
    const auto expand = [&](const char *text) {
        return QString::fromUtf8(text).replace(QLatin1String("{E}"), QLatin1Char('"') + support + QStringLiteral("CVEngine.app/Contents/MacOS/CVEngine\""))
            .replace(QLatin1String("{S}"), support);
    };
    const struct { const char *line; bool engine, oldScript; } lines[] = {
        {"5\t14\t*\t*\t1,2\t{E}", true, false},
        {"  5 14 * * 1   {E} >/dev/null 2>&1", true, false},
        {"0 1 * * * '/opt/x/CVEngine.app/Contents/MacOS/CVEngine'", true, false},
        {"0 1 * * * /opt/my\\ apps/CVEngine.app/Contents/MacOS/CVEngine", true, false},
        {"0 1 * * * /usr/bin/open \"/Users/a b/Library/Application Support/Tallowmere/Corvantis/CVEngine.app\"", true, false},
        {"0 1 * * mon-fri open /x/CVEngine.app", true, false},
        {"# 5 14 * * 1 {E}", false, false},                               // paused by the user
        {"0 1 * * * rsync -a {S}/CVEngine.app /srv/apps/", false, false},  // names the engine
        {"0 1 * * * /opt/x/MyCVEngine.app/Contents/MacOS/MyCVEngine", false, false},
        {"0 1 * * * /opt/x/MyCVEngine.app/Contents/MacOS/CVEngine", false, false}, // another bundle
        {"0 1 * * * open /x/MyCVEngine.app", false, false},
        {"0 1 * * * \"/opt/x/CVEngine.app/Contents/MacOS/CVEngine.old\"", false, false},
        {"0 1 * * * echo {E}", false, false},
        {"0 1 * * * %{E}", false, false},                                  // cron's % ends the command first
        {"@daily {E}", false, false},
        {"CV={E}", false, false},
        {"1 2 3 {E}", false, false},
        {"0 1 * * * \"{S}/CVEngine.app/Contents/MacOS/CVEngine", false, false}, // an unfinished quote never runs
        {"0 2 * * * \"{S}corvantis.sh\"", false, true},
        {"0 2 * * * '{S}'\\corvantis.sh  # old", false, true},
        {"0 2 * * * \"{S}corvantis.sh\" --now", false, false},
        {"0 2 * * * /home/me/bin/archive-corvantis.sh", false, false},
        {"0 2 * * * \"{S}corvantis.sh\"; echo done", false, false},
    };
    for (const auto &l : lines) {
        const QString line = expand(l.line);
        EXPECT_EQ(cv::configurator::isProgramLine(line, kMarker, home), l.engine) << l.line;
        EXPECT_EQ(cv::configurator::isProgramLine(line, QStringLiteral("corvantis.sh"), home), l.oldScript) << l.line;
    }
    EXPECT_FALSE(cv::configurator::isProgramLine(expand("5 14 * * 1 {E}"), QString(), home));

    // The span of a removed line takes the blank lines before it along.
    const struct { const char *in, *out; } texts[] = {
        {"1 * * * * a\n2 * * * * {E}\n3 * * * * c\n", "1 * * * * a\n3 * * * * c\n"},
        {"1 * * * * a\n\n\n  2 * * * * {E}\n\n3 * * * * c\n", "1 * * * * a\n\n3 * * * * c\n"},
        {"\n2 * * * * {E}\n1 * * * * a\n", "\n1 * * * * a\n"},
        {"2 * * * * {E}\n", "\n"},
        {"1 * * * * a\n2 * * * * {E}", "1 * * * * a"},
        {"2 * * * * {E}\r\n1 * * * * a\r\n", "\n1 * * * * a\r\n"},
        {"\r\n1 * * * * a\n2 * * * * {E}\n", "1 * * * * a\n"},
    };
    for (const auto &t : texts)
        EXPECT_EQ(TMCrontabModifier::filterCrontab(expand(t.in), kMarker, home), expand(t.out)) << t.in;
    EXPECT_EQ(TMCrontabModifier::collapseBlankLines(QStringLiteral("\na\n\n\n\n\nb\r\n\r\n")), QStringLiteral("\na\nb\r\n\r\n"));
}

// Each case starts from the given crontab (or none) and adds a line or
// removes the program's lines; the user's lines must come through intact.
TEST_F(CrontabEditor, AddAndRemoveKeepTheUsersLines)
{
    QByteArray mine;
    for (int i = 0; i < 9999; ++i)
        mine += QByteArray::number(i % 60) + " * * * * echo line " + QByteArray::number(i) + "\n";
    // At the limit: one more line is beyond what crontab takes.
    const QByteArray atLimit = mine + "1 * * * * echo line 9999\n";
    const QByteArray none = "<none>";
    const QStringList list = kListOnly, install{cv::scratchCrontabPath()}, remove{QStringLiteral("-r")};
    const struct {
        QByteArray before;
        std::optional<QByteArray> add; // none: remove
        QByteArray after;
        QList<QStringList> calls;
        QStringList alerted;
    } cases[] = {
        // The "no crontab" message never lands in the new crontab.
        {none, job(), job(), {list, install}, {}},
        {"1 * * * * a\n# crontab: no crontab quoted\n\n# x CVEngine.app old\nCVEngine.app=1\n\n\n2 * * * * b\n" + job(9), job(),
         job() + "1 * * * * a\n# crontab: no crontab quoted\n# x CVEngine.app old\nCVEngine.app=1\n2 * * * * b\n", {list, install}, {}},
        {"1 * * * * a\n" + job(9), QByteArray("99\t14\t*\t*\t1\t\"CVEngine.app\"\n"), // bad minute
         "1 * * * * a\n" + job(9), {list, install}, {kSaveFailed}},
        // A line handed over without its line feed never merges into the user's first line.
        {"1 * * * * a\n", job().chopped(1), job() + "1 * * * * a\n", {list, install}, {}},
        {none, std::nullopt, none, {list}, {}}, // nothing to remove, and no error for it
        {job(), std::nullopt, none, {list, remove}, {}}, // nothing left: the crontab goes
        // Blank lines stay except those right before a removed line.
        {job() + "1 * * * * a\n\n" + job(6) + "\n2 * * * * b\n# see CVEngine.app\n  CVEngine.app=3\n", std::nullopt,
         "\n1 * * * * a\n\n2 * * * * b\n# see CVEngine.app\n  CVEngine.app=3\n", {list, install}, {}},
        {job(9) + mine, job(), job() + mine, {list, install}, {}},
        {job() + mine, std::nullopt, "\n" + mine, {list, install}, {}},
        {atLimit, job(), atLimit, {list, install}, {kSaveFailed}},
        {atLimit, std::nullopt, atLimit, {list, install}, {}},
    };
    for (const auto &c : cases) {
        const std::string what = "case " + std::to_string(&c - cases);
        backend->clear();
        if (c.before != none)
            backend->install(c.before);
        editor = makeEditor(backend->program());
        if (c.add)
            editor->addCronJob(QString::fromUtf8(*c.add));
        else
            editor->removeCronJob();
        EXPECT_EQ(backend->listing(), c.after) << what;
        EXPECT_EQ(calls, c.calls) << what;
        EXPECT_EQ(alerts, c.alerted) << what;
        EXPECT_EQ(editor->lastOutcome(), c.alerted.isEmpty() ? TMCrontabModifier::Outcome::Changed
                                                             : TMCrontabModifier::Outcome::Refused) << what;
        if (c.alerted.isEmpty() && c.calls.contains(install)) {
            EXPECT_EQ(cv::test::readFile(cv::scratchCrontabPath()), c.after) << what;
        }
    }
}

TEST_F(CrontabEditor, CheckForJobLooksAtTheListingOnly)
{
    EXPECT_FALSE(editor->checkForJob(kMarker));
    backend->install("1 * * * * \"" + cv::supportFolder().toUtf8() + "corvantis.sh\"\n# " + job());
    EXPECT_TRUE(editor->checkForJob(QStringLiteral("corvantis.sh")));
    EXPECT_FALSE(editor->checkForJob(kMarker));
    EXPECT_EQ(calls, (QList<QStringList>{kListOnly, kListOnly, kListOnly}));
}

// What start-up, a save and a removal do to a crontab full of the user's own
// lines that mention our names: exactly our line comes and goes.
TEST_F(CrontabEditor, TheUsersLinesAroundOursStayByteForByte)
{
    const QByteArray oldScript = "15 3 * * 2 \"" + cv::supportFolder().toUtf8() + "corvantis.sh\"\n";
    const QByteArray users = "# my jobs; CVEngine.app and corvantis.sh are mentioned here\n"
                             "0 1 * * * rsync -a '" + cv::supportFolder().toUtf8() + "CVEngine.app' /srv/apps/\n"
                             "\n"
                             "30 2 * * * $HOME/bin/archive-corvantis.sh\t# keeps corvantis.sh logs\n"
                             "# paused: " + job(45) +
                             "MAILTO=me@example.org\n";
    backend->install(users + oldScript + job(9));

    // Start-up: the old script's line goes, the engine's line is seen.
    ASSERT_TRUE(editor->checkForJob(QStringLiteral("corvantis.sh")));
    editor->setScriptName(QStringLiteral("corvantis.sh"));
    editor->removeCronJob();
    EXPECT_EQ(backend->listing(), users + job(9));
    editor->setScriptName(kMarker);
    EXPECT_TRUE(editor->checkForJob(kMarker));

    // A save puts our new line first and drops the old one; a save always
    // collapses blank lines.
    QByteArray collapsed = users;
    collapsed.replace("\n\n", "\n");
    editor->addCronJob(QString::fromUtf8(job()));
    EXPECT_EQ(backend->listing(), job() + collapsed);

    // Removal leaves the rest exactly.
    editor->removeCronJob();
    EXPECT_EQ(backend->listing(), "\n" + collapsed);
    EXPECT_FALSE(editor->checkForJob(kMarker));
    EXPECT_TRUE(alerts.isEmpty()) << qPrintable(alerts.join(QLatin1Char('\n')));
}

TEST_F(CrontabEditor, AnUntranslatedListingWithoutFinalLineFeedStillInstalls)
{
    cv::test::writeFile(home.file(QStringLiteral("listing")), "1 * * * * a\n2 * * * * b");
    editor = makeEditor(backend->wrapper(QStringLiteral("[ \"$LC_ALL\" = C ] && cat '%1'").arg(home.file(QStringLiteral("listing")))));
    editor->addCronJob(QString::fromUtf8(job()));
    EXPECT_EQ(backend->listing(), job() + "1 * * * * a\n2 * * * * b\n");
    backend->clear();
    editor->removeCronJob();
    EXPECT_EQ(backend->listing(), "1 * * * * a\n2 * * * * b\n");
    EXPECT_TRUE(alerts.isEmpty());
}

TEST_F(CrontabEditor, UnwritableScratchFileChangesNothingSilently)
{
    const QByteArray before = "1 * * * * a\n" + job(9);
    backend->install(before);
    QDir(cv::makerSupportFolder()).removeRecursively();
    cv::test::writeFile(home.file(QStringLiteral("Library/Application Support/Tallowmere")), "a file, not a folder");
    editor->addCronJob(QString::fromUtf8(job()));
    EXPECT_EQ(editor->lastOutcome(), TMCrontabModifier::Outcome::NotWritten);
    editor->removeCronJob();
    EXPECT_EQ(editor->lastOutcome(), TMCrontabModifier::Outcome::NotWritten);
    EXPECT_EQ(backend->listing(), before);
    EXPECT_TRUE(alerts.isEmpty());
    EXPECT_EQ(calls, (QList<QStringList>{kListOnly, kListOnly}));
}

TEST_F(CrontabEditor, FailingProgramsNeverCostTheUsersLines)
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
        editor = makeEditor(backend->wrapper(failure));
        EXPECT_FALSE(editor->checkForJob(QStringLiteral("a")));
        editor->addCronJob(QString::fromUtf8(job()));
        editor->removeCronJob();
        EXPECT_EQ(alerts, (QStringList{kSaveFailed, kScheduleFailed})) << qPrintable(failure);
        EXPECT_EQ(calls, (QList<QStringList>{kListOnly, kListOnly, kListOnly}));
        EXPECT_EQ(backend->listing(), before);
    }
    editor = makeEditor(QStringLiteral("/nonexistent/crontab"));
    editor->addCronJob(QString::fromUtf8(job()));
    EXPECT_EQ(alerts, QStringList{kSaveFailed});

    // A refused install is reported, not passed off as done.
    editor = makeEditor(backend->wrapper(QStringLiteral("exec '%1' -l").arg(backend->program()),
                                         QStringLiteral("echo refused >&2; exit 1")));
    editor->removeCronJob();
    EXPECT_EQ(alerts, QStringList{kScheduleFailed});
    EXPECT_EQ(backend->listing(), before);
}

namespace {

// The command of a crontab line as cron hands it to /bin/sh: every % that is
// not escaped by a backslash ends the command; "\\%" gives "%".
QString commandAsCronRunsIt(const QString &line)
{
    const QString field = line.section(QLatin1Char('\t'), 5).chopped(1);
    QString command;
    bool escaped = false;
    for (QChar c : field) {
        if (escaped) {
            if (c == QLatin1Char('%'))
                command.chop(1);
            command += c;
            escaped = false;
            continue;
        }
        if (c == QLatin1Char('%'))
            break;
        escaped = c == QLatin1Char('\\');
        command += c;
    }
    return command;
}

} // namespace

TEST_F(CrontabEditor, AnAwkwardHomeStillStartsExactlyTheInstalledEngine)
{
    const QString awkward = home.file(QStringLiteral("a%b $c`d\"e\\f%%g"));
    const QString engine = awkward + QStringLiteral("/Library/Application Support/Tallowmere/Corvantis/CVEngine.app/Contents/MacOS/CVEngine");
    ASSERT_TRUE(cv::test::writeFile(engine, "#!/bin/sh\nprintf '%s' \"$0\" > \"$(dirname \"$0\")/ran\"\n"));
    QFile::setPermissions(engine, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);

    cv::configurator::DayFlags days{};
    days[2] = days[6] = true;
    const QString line = cv::configurator::formulateCronJob(QTime(3, 4), days, awkward);
    editor->addCronJob(line);
    EXPECT_TRUE(alerts.isEmpty()) << qPrintable(alerts.join(QLatin1Char('\n')));
    EXPECT_EQ(backend->listing(), line.toUtf8());

    const auto ran = cv::test::runProgram(QStringLiteral("/bin/sh"), {QStringLiteral("-c"), commandAsCronRunsIt(line)});
    EXPECT_EQ(ran.exitCode, 0) << ran.err.constData();
    EXPECT_EQ(QString::fromUtf8(cv::test::readFile(QFileInfo(engine).absolutePath() + QStringLiteral("/ran"))), engine);

    // And the line is still known as ours.
    editor->removeCronJob();
    EXPECT_EQ(backend->listing(), "<none>");
}
