// The backup script's text: exact for ordinary paths, and safe whatever a
// path holds.
#include "AppController.h"
#include "EngineTestSupport.h"
#include "TestSupport.h"

#include <gtest/gtest.h>


using cv::engine::AppController;

namespace {

// HOME as given for the lifetime of the object; the folder need not exist.
class FixedHome
{
public:
    explicit FixedHome(const QByteArray &home) : m_previous(qgetenv("HOME")) { qputenv("HOME", home); }
    ~FixedHome() { qputenv("HOME", m_previous); }

private:
    QByteArray m_previous;
};

QVariantMap configuration(const QString &client, bool relaunch, const QVariant &relaunchValue)
{
    QVariantMap map;
    map.insert(QStringLiteral("Destination"), QStringLiteral("/Volumes/Backup Drive (2)/Mail Backups"));
    map.insert(QStringLiteral("Client"), client);
    if (relaunch)
        map.insert(QStringLiteral("Relaunch Client"), relaunchValue);
    return map;
}

QString golden(const QString &name)
{
    return QString::fromUtf8(cv::test::readFile(QStringLiteral(CV_GOLDEN_DIR "/") + name + QStringLiteral(".expected")));
}

} // namespace

TEST(ScriptText, MatchesGoldenForEveryClientWithAndWithoutRelaunch)
{
    FixedHome home("/Users/jane");
    const QList<QPair<QString, QString>> clients = {
        {QStringLiteral("Apple Mail"), QStringLiteral("apple-mail")},
        {QStringLiteral("Microsoft Outlook 2011"), QStringLiteral("outlook-2011")},
        {QStringLiteral("Microsoft Entourage 2008"), QStringLiteral("entourage-2008")},
        {QStringLiteral("Microsoft Entourage 2004"), QStringLiteral("entourage-2004")},
        {QStringLiteral("Microsoft Entourage v.X"), QStringLiteral("entourage-vx")},
        {QStringLiteral("Thunderbird"), QStringLiteral("thunderbird")},
        {QStringLiteral("Eudora 6"), QStringLiteral("eudora-6")},
        {QStringLiteral("Pegasus"), QStringLiteral("unrecognised")},
        {QStringLiteral("thunderbird"), QStringLiteral("unrecognised")}, // names are case-sensitive
    };
    for (const auto &[client, file] : clients) {
        for (bool relaunch : {false, true}) {
            const QString expected = golden(file + (relaunch ? QStringLiteral("-relaunch") : QString()));
            ASSERT_FALSE(expected.isEmpty()) << file.toStdString();
            // The key alone asks for the relaunch, whatever its value.
            const auto build = AppController::buildShellScript(configuration(client, relaunch, 0));
            ASSERT_TRUE(build.ok()) << build.problem.toStdString();
            EXPECT_EQ(build.script.toStdString(), expected.toStdString())
                << client.toStdString() << (relaunch ? " with relaunch" : "");
        }
    }
}

TEST(ScriptText, UnusableConfigurationGivesAProblemAndNoScript)
{
    FixedHome home("/Users/jane");
    auto withDestination = [](const QVariant &destination) {
        QVariantMap map = configuration(QStringLiteral("Thunderbird"), false, {});
        if (destination.isValid())
            map.insert(QStringLiteral("Destination"), destination);
        else
            map.remove(QStringLiteral("Destination"));
        return map;
    };
    auto withClient = [](const QVariant &client) {
        QVariantMap map = configuration(QStringLiteral("Thunderbird"), false, {});
        if (client.isValid())
            map.insert(QStringLiteral("Client"), client);
        else
            map.remove(QStringLiteral("Client"));
        return map;
    };
    const QList<std::optional<QVariantMap>> cases = {
        std::nullopt,
        QVariantMap{},
        withDestination(QVariant()),
        withDestination(QString()),
        withDestination(QStringLiteral("/")),
        withDestination(QStringLiteral("//")),
        withDestination(QStringLiteral("/./")),
        withDestination(42),
        withDestination(QVariantList{QStringLiteral("/Volumes/Backup")}),
        withDestination(QStringLiteral("/Volumes/a") + QChar(u'\0') + QStringLiteral("b")),
        withClient(QVariant()),
        withClient(QString()),
        withClient(1),
    };
    int index = 0;
    for (const auto &config : cases) {
        const auto build = AppController::buildShellScript(config);
        EXPECT_FALSE(build.ok()) << "case " << index;
        EXPECT_TRUE(build.script.isEmpty()) << "case " << index;
        EXPECT_FALSE(build.problem.contains(u'\n')) << "case " << index;
        ++index;
    }
}

// ---- escapeStringForTerminal / stripEscapes

TEST(TerminalEscaping, ClassicTableKeepsItsText)
{
    EXPECT_EQ(AppController::escapeStringForTerminal(QStringLiteral("/a b(c)&d|e<f>g;h$i`j*k?l'm")),
              QStringLiteral("/a\\ b\\(c\\)\\&d\\|e\\<f\\>g\\;h\\$i\\`j\\*k\\?l\\'m"));
    EXPECT_EQ(AppController::escapeStringForTerminal(QStringLiteral("/Users/jane/Backups-2.0_x@y,z:1+2")),
              QStringLiteral("/Users/jane/Backups-2.0_x@y,z:1+2"));
}

TEST(TerminalEscaping, StripIsTheExactInverseAndTheShellSeesOneWord)
{
    std::mt19937 random(20240611);
    QStringList texts = {QStringLiteral("a\\ b"), QStringLiteral("\\"), QStringLiteral("'"),
                         QStringLiteral("\n"), QStringLiteral("'\n'"), QStringLiteral("\\'\n'"),
                         QStringLiteral("{a,b}"), QStringLiteral("~root"), QStringLiteral("#x"),
                         QStringLiteral("!"), QStringLiteral("[ab]"), QStringLiteral("$HOME"),
                         QStringLiteral("\"q\""), QStringLiteral("a/b c")};
    for (int i = 0; i < 400; ++i)
        texts += cv::test::awkwardName(random, 20);

    QString command = QStringLiteral("printf '%s\\0'");
    for (const QString &text : std::as_const(texts)) {
        const QString escaped = AppController::escapeStringForTerminal(text);
        ASSERT_EQ(AppController::stripEscapes(escaped), text) << text.toStdString();
        command += u' ' + escaped;
    }
    QByteArray expected;
    for (const QString &text : std::as_const(texts))
        expected += text.toUtf8() + '\0';

    QStringList shells = {QStringLiteral("/bin/sh")};
    if (QFile::exists(QStringLiteral("/bin/bash")))
        shells += QStringLiteral("/bin/bash");
    for (const QString &shell : std::as_const(shells)) {
        const auto run = cv::test::runProgram(shell, {QStringLiteral("-c"), command});
        EXPECT_EQ(run.exitCode, 0) << shell.toStdString() << run.err.toStdString();
        EXPECT_EQ(run.out, expected) << shell.toStdString();
    }
}
