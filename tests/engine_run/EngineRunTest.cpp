#include "Home.h"
#include "Names.h"
#include "PropertyList.h"
#include "TestSupport.h"

#include <QDir>
#include <QDirIterator>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QProcess>
#include <QRegularExpression>
#include <QThread>
#include <gtest/gtest.h>

#include <memory>

using cv::test::readFile;
using cv::test::writeFile;

namespace {

const QString kEngine = QStringLiteral(CV_ENGINE_BUNDLE "/Contents/MacOS/CVEngine");
const QString kNotification = QString::fromUtf8(cv::names::kExecutionCompleteNotification);

bool haveBus() { return !qEnvironmentVariableIsEmpty("DBUS_SESSION_BUS_ADDRESS"); }

// Listens for the completion notice in another process.
class Observer
{
public:
    explicit Observer(int timeoutMs)
    {
        m_process.start(cv::test::testTool(), {QStringLiteral("observe"), kNotification, QString::number(timeoutMs)});
        m_ready = m_process.waitForReadyRead(10000) && m_process.readLine().trimmed() == "ready";
    }
    bool ready() const { return m_ready; }
    bool received()
    {
        m_process.waitForFinished(30000);
        return m_process.exitCode() == 0 && m_process.readAll().contains("received");
    }

private:
    QProcess m_process;
    bool m_ready = false;
};

class EngineRun : public ::testing::Test
{
protected:
    cv::test::ScopedHome home;

    QProcessEnvironment env() const { return cv::test::engineEnvironment(QStringLiteral("offscreen")); }

    // The recording stand-in copy command first on PATH.
    QProcessEnvironment standinEnv() const
    {
        QProcessEnvironment e = cv::test::engineEnvironment(QStringLiteral("offscreen"), QStringLiteral(CV_ENGINE_RUN_STANDINS));
        e.insert(QStringLiteral("CV_DITTO_RECORD"), recordPath());
        return e;
    }

    QString recordPath() const { return home.file(QStringLiteral("ditto-calls")); }
    QString destination() const { return home.file(QStringLiteral("Backups/Mail Copy (daily)")); }
    QString source() const { return home.file(QStringLiteral("Library/Thunderbird")); }

    void setConfigured(const QString &sentence) const { ASSERT_TRUE(cv::test::writeEngineSettings(sentence)); }

    void configureThunderbird(bool createDestination = true) const
    {
        ASSERT_TRUE(cv::test::writeEngineSettings(
            QStringLiteral("Corvantis is currently configured to backup Thunderbird on Run Now only."),
            {{QStringLiteral("Client"), QStringLiteral("Thunderbird")}, {QStringLiteral("Destination"), destination()}}));
        if (createDestination)
            QDir().mkpath(destination());
    }

    void makeSampleMail() const
    {
        ASSERT_TRUE(writeFile(source() + QStringLiteral("/Profiles/abc.default/Mail/Inbox"), "From a@b\nSubject: hi\n\nbody\n"));
        ASSERT_TRUE(writeFile(source() + QStringLiteral("/Profiles/abc.default/prefs.js"), "user_pref(\"x\", 1);\n"));
        ASSERT_TRUE(writeFile(source() + QStringLiteral("/profiles.ini"), "[Profile0]\nPath=Profiles/abc.default\n"));
    }

    cv::test::RunResult runEngine(const QProcessEnvironment &e) const
    {
        return cv::test::runProgram(kEngine, {}, e, 120000);
    }

    QByteArray log() const { return readFile(cv::logFilePath()); }

    // The log's messages, with each line's time stamp and process prefix
    // and the line feed the log adds removed: what the script printed.
    QString loggedOutput() const
    {
        static const QRegularExpression prefix(
            QStringLiteral(R"(^\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\.\d{3} CVEngine\[\d+:\d+\] )"),
            QRegularExpression::MultilineOption);
        QStringList messages = QString::fromUtf8(log()).split(prefix);
        messages.removeFirst(); // whatever came before the first line of ours
        for (QString &message : messages)
            if (message.endsWith(QLatin1Char('\n')))
                message.chop(1);
        return messages.join(QString());
    }
};

} // namespace

// Without its destination the run ends in errors, cleaned up and announced.
// With it the mail is copied, marked, logged and announced, even by an engine
// started without a session (as cron starts it), through the recorded bus.
TEST_F(EngineRun, ConfiguredThunderbirdIsCopiedMarkedLoggedAndAnnounced)
{
    if (!haveBus())
        GTEST_SKIP() << "needs the private session bus";
    makeSampleMail();
    configureThunderbird(false);
    {
        Observer observer(60000);
        ASSERT_TRUE(observer.ready());
        EXPECT_EQ(runEngine(env()).exitCode, 1);
        EXPECT_TRUE(observer.received());
    }
    EXPECT_TRUE(loggedOutput().contains(QStringLiteral(": Backup failed. Destination not available.")));
    EXPECT_FALSE(QFileInfo::exists(cv::scriptFilePath()));
    EXPECT_FALSE(QFileInfo::exists(destination()));
    EXPECT_FALSE(QFileInfo::exists(cv::markerFilePath()));

    QDir().mkpath(destination());
    QFile::remove(cv::logFilePath());
    QProcessEnvironment e = env();
    const QString bus = e.value(QStringLiteral("DBUS_SESSION_BUS_ADDRESS"));
    e.remove(QStringLiteral("DBUS_SESSION_BUS_ADDRESS"));
    e.remove(QStringLiteral("XDG_RUNTIME_DIR"));
    ASSERT_TRUE(writeFile(cv::sessionFilePath(), "DBUS_SESSION_BUS_ADDRESS=" + bus.toUtf8() + "\n"));
    QFile::setPermissions(cv::sessionFilePath(), QFile::ReadOwner | QFile::WriteOwner);
    Observer observer(60000);
    ASSERT_TRUE(observer.ready());
    const auto r = runEngine(e);
    EXPECT_FALSE(r.crashed);
    EXPECT_EQ(r.exitCode, 0) << log().constData();
    EXPECT_EQ(cv::test::treeListing(destination()), cv::test::treeListing(source()));
    EXPECT_FALSE(cv::test::treeListing(source()).isEmpty());
    EXPECT_TRUE(QFileInfo::exists(cv::markerFilePath()));
    EXPECT_FALSE(QFileInfo::exists(cv::scriptFilePath()));
    EXPECT_TRUE(observer.received());
    const QRegularExpression expected(QStringLiteral(
        "^Results of the Corvantis:\nChecking for destination...\nQuiting email application...\n"
        "Backing up Mail files\n[^\n]+: Backup completed successfully.\n$"));
    const QString output = loggedOutput();
    EXPECT_TRUE(expected.match(output).hasMatch()) << output.toStdString();
}

TEST_F(EngineRun, NotConfiguredExitsAtOnceWritingAndPostingNothing)
{
    if (!haveBus())
        GTEST_SKIP() << "needs the private session bus";
    makeSampleMail();
    configureThunderbird();
    const QString notConfigured[] = {QString(), QString::fromUtf8(cv::names::kNotConfiguredDefault),
                                     QString::fromUtf8(cv::names::kNotConfigured)};
    for (const QString &sentence : notConfigured) {
        if (sentence.isNull()) {
            QFile::remove(cv::defaultsFilePath()); // no defaults file at all
        } else {
            setConfigured(sentence);
        }
        Observer observer(1500);
        ASSERT_TRUE(observer.ready());
        QElapsedTimer timer;
        timer.start();
        const auto r = runEngine(env());
        EXPECT_EQ(r.exitCode, 0);
        EXPECT_LT(timer.elapsed(), 20000);
        EXPECT_FALSE(observer.received()) << sentence.toStdString();
        // No line of the engine's own; the platform's start-up warnings
        // (say, about a missing runtime folder) may be there.
        EXPECT_FALSE(log().contains("CVEngine[")) << log().constData();
        EXPECT_FALSE(QFileInfo::exists(cv::scriptFilePath()));
        EXPECT_TRUE(cv::test::treeListing(destination()).isEmpty());
    }
}

TEST_F(EngineRun, UnusableConfigurationCopiesNothingAndSaysWhy)
{
    makeSampleMail();
    setConfigured(QStringLiteral("Corvantis is currently configured to backup Thunderbird on Run Now only."));
    QDir().mkpath(destination());
    struct Case {
        const char *name;
        QByteArray file; // empty: no configuration file at all
    };
    // Which values are unusable is the builder's table; here the file itself.
    const QVariantMap noClient{{QStringLiteral("Destination"), destination()}};
    const Case cases[] = {
        {"missing", QByteArray()},
        {"no client", cv::platform::serializeXml(noClient)},
        {"not a property list", QByteArray("Destination=/tmp\nClient=Thunderbird\n")},
    };
    for (const Case &c : cases) {
        QFile::remove(cv::configFilePath());
        QFile::remove(cv::logFilePath());
        if (!c.file.isEmpty()) {
            ASSERT_TRUE(writeFile(cv::configFilePath(), c.file));
        }
        const auto r = runEngine(standinEnv());
        EXPECT_EQ(r.exitCode, 1) << c.name;
        EXPECT_FALSE(QFileInfo::exists(recordPath())) << c.name;
        EXPECT_FALSE(QFileInfo::exists(cv::scriptFilePath())) << c.name;
        EXPECT_FALSE(QFileInfo::exists(cv::markerFilePath())) << c.name;
        EXPECT_TRUE(cv::test::treeListing(destination()).isEmpty()) << c.name;
        const QString logged = loggedOutput();
        EXPECT_TRUE(logged.contains(QStringLiteral("Config.plist")) || logged.contains(QStringLiteral("configuration")))
            << c.name << ": " << logged.toStdString();
        EXPECT_TRUE(logged.contains(QStringLiteral("Backup had errors"))) << c.name;
    }
}

// Any status text but the two of an unconfigured engine runs the backup; what
// the copy says reaches the log verbatim. A second engine meanwhile starts no
// backup of its own, and the lock goes with its holder.
TEST_F(EngineRun, AnyOtherStatusTextRunsTheBackupAndASecondEngineMeanwhileDoesNot)
{
    makeSampleMail();
    configureThunderbird();
    setConfigured(QStringLiteral("x"));
    QProcessEnvironment e = standinEnv();
    e.insert(QStringLiteral("CV_DITTO_SLEEP"), QStringLiteral("3"));
    const QString said = QStringLiteral("copied 100% of %@ %s %n %d\\n files");
    e.insert(QStringLiteral("CV_DITTO_SAY"), said);
    QProcess first;
    first.setProcessEnvironment(e);
    first.start(kEngine, {});
    ASSERT_TRUE(first.waitForStarted());
    // Wait until the first run is copying.
    QElapsedTimer timer;
    timer.start();
    while (!QFileInfo::exists(recordPath()) && timer.elapsed() < 30000)
        QThread::msleep(20);
    ASSERT_TRUE(QFileInfo::exists(recordPath()));

    const auto second = runEngine(e);
    EXPECT_EQ(second.exitCode, 0);
    EXPECT_TRUE(log().contains("Another backup is already running"));
    ASSERT_TRUE(first.waitForFinished(60000));
    EXPECT_EQ(first.exitCode(), 0) << log().constData();
    EXPECT_EQ(readFile(recordPath()), ("-rsrc|" + source() + "|" + destination() + "|\n").toUtf8());
    EXPECT_TRUE(loggedOutput().contains(said + QLatin1Char('\n'))) << loggedOutput().toStdString();

    // The lock goes with its holder: a later run goes ahead.
    EXPECT_EQ(runEngine(standinEnv()).exitCode, 0);
    EXPECT_EQ(readFile(recordPath()).count('\n'), 2);
}
