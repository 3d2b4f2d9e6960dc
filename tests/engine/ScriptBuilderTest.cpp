// The backup script's text: exact for ordinary paths, and safe whatever a
// path holds.
#include "AppController.h"
#include "EngineTestSupport.h"
#include "TestSupport.h"

#include <gtest/gtest.h>

using cv::engine::AppController;

namespace {

// The key alone asks for the relaunch, whatever its value: it is 0 here.
QVariantMap configuration(const QString &client, bool relaunch)
{
    QVariantMap map{{QStringLiteral("Destination"), QStringLiteral("/Volumes/Backup Drive (2)/Mail Backups")},
                    {QStringLiteral("Client"), client}};
    if (relaunch)
        map.insert(QStringLiteral("Relaunch Client"), 0);
    return map;
}

QString golden(const QString &name)
{
    return QString::fromUtf8(cv::test::readFile(QStringLiteral(CV_GOLDEN_DIR "/") + name + QStringLiteral(".expected")));
}

} // namespace

TEST(ScriptText, MatchesGoldenForEveryClientWithAndWithoutRelaunch)
{
    cv::test::FixedHome home("/Users/jane");
    // The last two have no script of their own: names are exact and case-sensitive.
    const std::pair<const char *, const char *> clients[] = {
        {"Apple Mail", "apple-mail"}, {"Microsoft Outlook 2011", "outlook-2011"},
        {"Microsoft Entourage 2008", "entourage-2008"}, {"Microsoft Entourage 2004", "entourage-2004"},
        {"Microsoft Entourage v.X", "entourage-vx"}, {"Thunderbird", "thunderbird"}, {"Eudora 6", "eudora-6"},
        {"Pegasus", "unrecognised"}, {"thunderbird", "unrecognised"}};
    for (const auto &[client, file] : clients) {
        for (bool relaunch : {false, true}) {
            const QString expected = golden(QLatin1String(file) + (relaunch ? QStringLiteral("-relaunch") : QString()));
            ASSERT_FALSE(expected.isEmpty()) << file;
            const auto build = AppController::buildShellScript(configuration(QString::fromUtf8(client), relaunch));
            ASSERT_TRUE(build.ok()) << build.problem.toStdString();
            EXPECT_EQ(build.script.toStdString(), expected.toStdString()) << client << (relaunch ? " with relaunch" : "");
        }
    }
}

TEST(ScriptText, UnusableConfigurationGivesAProblemAndNoScript)
{
    cv::test::FixedHome home("/Users/jane");
    auto with = [](const QString &key, const QVariant &value) {
        QVariantMap map = configuration(QStringLiteral("Thunderbird"), false);
        if (value.isValid())
            map.insert(key, value);
        else
            map.remove(key);
        return map;
    };
    const QString destination = QStringLiteral("Destination"), client = QStringLiteral("Client");
    const QList<std::optional<QVariantMap>> cases = {
        std::nullopt, QVariantMap{}, with(destination, QVariant()), with(destination, QString()),
        with(destination, QStringLiteral("/")), with(destination, QStringLiteral("//")),
        with(destination, QStringLiteral("/./")), with(destination, 42),
        with(destination, QVariantList{QStringLiteral("/Volumes/Backup")}),
        with(destination, QStringLiteral("/Volumes/a") + QChar(u'\0') + QStringLiteral("b")),
        with(client, QVariant()), with(client, QString()), with(client, 1),
    };
    for (int i = 0; i < cases.size(); ++i) {
        const auto build = AppController::buildShellScript(cases[i]);
        EXPECT_FALSE(build.ok() || !build.script.isEmpty() || build.problem.contains(u'\n')) << "case " << i;
    }
}

TEST(TerminalEscaping, KeepsItsTextInvertsExactlyAndTheShellSeesOneWord)
{
    EXPECT_EQ(AppController::escapeStringForTerminal(QStringLiteral("/a b(c)&d|e<f>g;h$i`j*k?l'm")),
              QStringLiteral("/a\\ b\\(c\\)\\&d\\|e\\<f\\>g\\;h\\$i\\`j\\*k\\?l\\'m"));
    EXPECT_EQ(AppController::escapeStringForTerminal(QStringLiteral("/Users/jane/Backups-2.0_x@y,z:1+2")),
              QStringLiteral("/Users/jane/Backups-2.0_x@y,z:1+2"));

    const QStringList texts = cv::test::awkwardSamples(20240611, 400, 20);
    QString command = QStringLiteral("printf '%s\\0'");
    QByteArray expected;
    for (const QString &text : std::as_const(texts)) {
        const QString escaped = AppController::escapeStringForTerminal(text);
        ASSERT_EQ(AppController::stripEscapes(escaped), text) << text.toStdString();
        command += u' ' + escaped;
        expected += text.toUtf8() + '\0';
    }
    for (const QString &shell : {QStringLiteral("/bin/sh"), QStringLiteral("/bin/bash")}) {
        if (!QFile::exists(shell))
            continue;
        const auto run = cv::test::runProgram(shell, {QStringLiteral("-c"), command});
        EXPECT_EQ(run.exitCode, 0) << shell.toStdString() << run.err.toStdString();
        EXPECT_EQ(run.out, expected) << shell.toStdString();
    }
}
