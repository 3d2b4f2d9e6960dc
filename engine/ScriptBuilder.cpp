// The backup script's text (static builders of AppController).
//
// Inserted texts (destination, home, source folders) land in two quoting
// contexts: as a bare word (the `test -d` line and the marker path) and
// between double quotes (the ditto lines). Each context has its own escaping
// below, so that whatever a path holds it reaches the shell as one word with
// exactly its own bytes, while ordinary paths keep the classic text.
#include "AppController.h"

#include "ClientData.h"
#include "Clients.h"
#include "Home.h"
#include "Names.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>


namespace cv::engine {
namespace {

// The classic table: these have always been backslash-escaped, and scripts
// of ordinary paths must not change.
constexpr char16_t kClassicTable[] = u" ()&|<>;$`*?'";

// Characters the shell also treats specially in a bare word that the classic
// table misses (braces because a bash playing sh still expands them). A line
// feed is not among them: a backslash before it is a line continuation, so it
// is single-quoted instead.
constexpr char16_t kExtraSpecials[] = u"\\\"!#~[]{}\t";

bool needsBackslash(QChar c)
{
    const char16_t u = c.unicode();
    if (u == u'\n')
        return false;
    if (u < 0x20 || u == 0x7f) // other control characters
        return true;
    for (char16_t t : kClassicTable)
        if (t && t == u)
            return true;
    for (char16_t t : kExtraSpecials)
        if (t && t == u)
            return true;
    return false;
}

const QString kQuotedLineFeed = QStringLiteral("'\n'");

// Between double quotes only these four keep a meaning; a backslash before
// them makes them literal. Line feeds and tabs are literal there already.
QString escapeForDoubleQuotes(const QString &text)
{
    QString out;
    out.reserve(text.size() + 8);
    for (QChar c : text) {
        if (c == u'"' || c == u'\\' || c == u'$' || c == u'`')
            out += u'\\';
        out += c;
    }
    return out;
}

// A quit block: the poll that counts the processes matching `pattern`, the
// quit request, and the wait until the count changes.
QString waitLoop(const QString &pattern, const QString &indent)
{
    return indent + QStringLiteral("while [ $mailResult -eq $mailBase ]\n") + indent
        + QStringLiteral("do\n") + indent + QStringLiteral("\tmailResult=$(/bin/ps ax | grep \"") + pattern
        + QStringLiteral("\" | grep -v grep | wc -l)\n") + indent + QStringLiteral("\tsleep 1\n") + indent
        + QStringLiteral("done\n");
}

QString countLine(const QString &pattern)
{
    return QStringLiteral("\tmailBase=$(/bin/ps ax | grep \"") + pattern
        + QStringLiteral("\" | grep -v grep | wc -l)\n\n");
}

QString osascriptLine(const QString &application, const char *verb)
{
    return QStringLiteral("osascript -e 'tell application \"") + application + QStringLiteral("\"' -e \"")
        + QLatin1String(verb) + QStringLiteral("\" -e 'end tell'\n");
}

// Sends the quit request only when the program runs, then waits.
QString guardedQuit(const QString &pattern, const QString &application)
{
    return QStringLiteral("\techo \"Quiting email application...\"\n") + countLine(pattern)
        + QStringLiteral("\tif [ $mailBase -ne 0 ]\n\t\tthen\n\t\t") + osascriptLine(application, "quit")
        + QStringLiteral("\t\techo \"Waiting for ") + application + QStringLiteral(" to quit\"\n")
        + QStringLiteral("\t\tmailResult=$mailBase\n") + waitLoop(pattern, QStringLiteral("\t\t"))
        + QStringLiteral("\tfi\n\n");
}

// Sends the quit request always and waits only when the program ran.
QString unconditionalQuit(const QString &pattern)
{
    return countLine(pattern) + QStringLiteral("\t") + osascriptLine(pattern, "quit")
        + QStringLiteral("\tif [ $mailBase -ne 0 ]\n\t\tthen\n\t\techo \"Waiting for ") + pattern
        + QStringLiteral(" to quit\"\n\t\tmailResult=$mailBase\n") + waitLoop(pattern, QStringLiteral("\t\t"))
        + QStringLiteral("\tfi\n\n");
}

QString platformThunderbirdFolder(const QString &home)
{
    return cv::choosePlatformThunderbirdFolder(home).folder;
}

// A `ps x` line whose command's first word is "thunderbird" or a path ending
// in "/thunderbird": the name our osascript quits. A file argument of another
// program does not match, nor does a zombie ("[thunderbird] <defunct>"); a
// program path with blanks in it is not recognised, as `ps` cannot tell
// those blanks from the ones between arguments.
// Inside the script's double quotes, so the final "$" is escaped.
const QString kPlatformThunderbirdPattern =
    QStringLiteral(R"pat([0-9] \([^ ]*/\)\{0,1\}thunderbird\( .*\)\{0,1\}\$)pat");

// The platform quit block. It counts this user's processes only (`ps x`) and
// waits until none is left: Thunderbird runs as a main process and several
// content processes, all quit together, and the content processes end first.
// Waiting for the count merely to change would start the copy while the main
// process still writes the mailboxes. Another user's Thunderbird, which we
// cannot quit, must not hold the wait up.
QString platformThunderbirdQuit(const QString &program)
{
    const QString count = QStringLiteral("$(/bin/ps x | grep \"") + kPlatformThunderbirdPattern
        + QStringLiteral("\" | grep -v grep | wc -l)\n");
    return QStringLiteral("\techo \"Quiting email application...\"\n\tmailBase=") + count
        + QStringLiteral("\n\tif [ $mailBase -ne 0 ]\n\t\tthen\n\t\t")
        + osascriptLine(program, "quit") + QStringLiteral("\t\techo \"Waiting for ") + program
        + QStringLiteral(" to quit\"\n\t\tmailResult=$mailBase\n"
                         "\t\twhile [ $mailResult -ne 0 ]\n\t\tdo\n\t\t\tmailResult=")
        + count + QStringLiteral("\t\t\tsleep 1\n\t\tdone\n\tfi\n\n");
}

// A configuration value usable as text: present, a string, not empty.
QString stringValue(const QVariantMap &configuration, const char *key)
{
    const auto it = configuration.constFind(QLatin1String(key));
    if (it == configuration.constEnd() || it->typeId() != QMetaType::QString)
        return {};
    return it->toString();
}

// Why no script can be made of these configuration values; empty when one can.
QString configurationProblem(const QString &destination, const QString &client)
{
    if (destination.isEmpty())
        return QStringLiteral("No backup made: the configuration has no destination folder.");
    // Copying into the root would scatter the mail data over the system.
    if (QDir::cleanPath(destination) == QLatin1String("/"))
        return QStringLiteral("No backup made: \"/\" cannot be the destination folder.");
    if (destination.contains(QChar(u'\0')))
        return QStringLiteral("No backup made: the destination folder's name is not a valid path.");
    if (client.isEmpty())
        return QStringLiteral("No backup made: the configuration names no email client.");
    return {};
}

// The log's word on the Thunderbird folder copied; empty for the classic one.
QString thunderbirdNotice(const cv::ThunderbirdChoice &choice)
{
    if (choice.folder.isEmpty())
        return {};
    QString notice = QStringLiteral("Thunderbird: backing up \"%1\"").arg(choice.folder);
    if (!choice.skipped.isEmpty())
        notice += QStringLiteral(", the profile folder written to most recently; skipped \"%1\"")
                      .arg(choice.skipped.join(QStringLiteral("\", \"")));
    return notice + QLatin1Char('.');
}

// Apple Mail's second wait, on any process of that name, before the copy.
QString mailSecondWait()
{
    const QString program = QString::fromUtf8(cv::clients::find(QLatin1String(cv::names::kAppleMail))->program);
    return QStringLiteral("\techo \"Waiting for ") + program
        + QStringLiteral(" to quit\"\n\tmailResult=1\n\twhile [ $mailResult -eq 1 ]\n\tdo\n"
                         "\t\tmailResult=$(/bin/ps ax | grep ")
        + program + QStringLiteral(" | grep -v grep | wc -l)\n\t\tsleep 1\n\tdone\n\n");
}

// The quit block for `client`; `platformThunderbird` picks Thunderbird's
// platform form, decided once per script with the folder it goes with.
QString quitBlock(const QString &client, bool platformThunderbird)
{
    using namespace cv::names;
    const cv::clients::Client *entry = cv::clients::find(client);
    if (!entry)
        return {};
    const QString program = QString::fromUtf8(entry->program);
    const QString process = QString::fromUtf8(entry->processName());
    if (client == QLatin1String(kAppleMail)) {
        return QStringLiteral("\techo \"Quiting email application...\"\n") + countLine(process)
            + QStringLiteral("\tif [ $mailBase -ne 0 ]\n\t\tthen\n\t\tmailResult=$mailBase\n\t\t")
            + osascriptLine(program, "quit") + QStringLiteral("\t\techo \"Waiting for ") + program
            + QStringLiteral(" to quit\"\n") + waitLoop(process, QStringLiteral("\t\t")) + QStringLiteral("\tfi\n\n");
    }
    // A program with a helper is quit unconditionally, the helper after it.
    if (entry->helper) {
        const QString banner = client == QLatin1String(kOutlook2011) ? QStringLiteral("\techo \"Quiting Outlook...\"\n")
                                                                     : QStringLiteral("\techo \"Quiting email application...\"\n");
        return banner + unconditionalQuit(process) + unconditionalQuit(QString::fromUtf8(entry->helper));
    }
    if (platformThunderbird)
        return platformThunderbirdQuit(program);
    return guardedQuit(process, program);
}

} // namespace

QString AppController::escapeStringForTerminal(const QString &string)
{
    QString out;
    out.reserve(string.size() + 8);
    for (QChar c : string) {
        if (c == u'\n') {
            out += kQuotedLineFeed;
            continue;
        }
        if (needsBackslash(c))
            out += u'\\';
        out += c;
    }
    return out;
}

QString AppController::stripEscapes(const QString &string)
{
    // Undoes exactly what escapeStringForTerminal produces; any other text
    // is kept as it stands.
    QString out;
    out.reserve(string.size());
    for (qsizetype i = 0; i < string.size(); ++i) {
        const QChar c = string.at(i);
        if (c == u'\\' && i + 1 < string.size() && needsBackslash(string.at(i + 1))) {
            out += string.at(++i);
        } else if (c == u'\'' && QStringView(string).mid(i, 3) == kQuotedLineFeed) {
            out += u'\n';
            i += 2;
        } else {
            out += c;
        }
    }
    return out;
}

QString AppController::addAppleScriptTo(const QString &script, const QString &client, bool isHeader)
{
    using namespace cv::names;
    QString out = script;
    if (isHeader) {
        const bool platformThunderbird = client == QLatin1String(kThunderbird)
            && !platformThunderbirdFolder(cv::homeDirectory()).isEmpty();
        return out + quitBlock(client, platformThunderbird);
    }

    out += QStringLiteral("\n\techo \"Launching email application...\"\n");
    if (const cv::clients::Client *entry = cv::clients::find(client))
        out += QStringLiteral("\t") + osascriptLine(QString::fromUtf8(entry->program), "activate") + QStringLiteral("\n");
    return out;
}

QString AppController::shellScriptForMail(const QString &script, const QString &destination)
{
    const QString home = cv::homeDirectory();
    const cv::clients::Client &mail = *cv::clients::find(QLatin1String(cv::names::kAppleMail));
    const QString data = escapeForDoubleQuotes(home + QString::fromUtf8(mail.folders[0]));
    const QString preferences = escapeForDoubleQuotes(home + QString::fromUtf8(mail.preferences));
    const QString dest = escapeForDoubleQuotes(destination);
    return script + QStringLiteral("\techo \"Backing up Mail files\"\n") + QStringLiteral("\tditto -rsrc \"") + data
        + QStringLiteral("\" \"") + dest + QStringLiteral("\"\n\tif [ \"$?\" -eq 0 ]\n\tthen")
        + QStringLiteral("\n\t\tditto -rsrc \"") + preferences + QStringLiteral("\" \"")
        + dest
        + QStringLiteral("\"\n\t\tif [ ! \"$?\" -eq 0 ]\n\t\tthen\n\t\t\terrorCode=1\n\t\tfi\n\telse\n\t\terrorCode=1\n\tfi\n\n\t");
}

QString AppController::shellScript(const QString &script, const QString &sourceFolder, const QString &destination)
{
    return script + QStringLiteral("\techo \"Backing up Mail files\"\n") + QStringLiteral("\tditto -rsrc \"")
        + escapeForDoubleQuotes(sourceFolder) + QStringLiteral("\" \"") + escapeForDoubleQuotes(destination)
        + QStringLiteral("\"\n\tif [ ! \"$?\" -eq 0 ]\n\tthen\n\t\terrorCode=1\n\tfi\n\t");
}

AppController::ScriptBuild AppController::buildShellScript(const std::optional<QVariantMap> &configuration)
{
    using namespace cv::names;
    ScriptBuild result;
    if (!configuration) {
        result.problem = QStringLiteral("No backup made: the configuration file \"%1\" is missing or unreadable.")
                             .arg(cv::configFilePath());
        return result;
    }
    const QString destination = stringValue(*configuration, kDestinationKey);
    const QString client = stringValue(*configuration, kClientKey);
    result.problem = configurationProblem(destination, client);
    if (!result.problem.isEmpty())
        return result;

    const QString home = cv::homeDirectory();
    QString s = QStringLiteral("#!/bin/sh\necho \"Results of the Corvantis:\"\n");
    s += QStringLiteral("echo \"Checking for destination...\"\n");
    s += QStringLiteral("if test -d ");
    s += escapeStringForTerminal(destination);
    s += QStringLiteral("\nthen \n");
    s += QStringLiteral("\terrorCode=0\n\n");
    // Decided once, so that the quit block and the copy agree.
    QString platformFolder;
    if (client == QLatin1String(kThunderbird)) {
        const cv::ThunderbirdChoice choice = cv::choosePlatformThunderbirdFolder(home);
        platformFolder = choice.folder;
        result.notice = thunderbirdNotice(choice);
    }
    s += quitBlock(client, !platformFolder.isEmpty());

    if (client == QLatin1String(kAppleMail)) {
        s += mailSecondWait();
        s += QStringLiteral("\techo \"Creating backup files\"\n");
        s = shellScriptForMail(s, destination);
    } else if (!platformFolder.isEmpty()) {
        s = shellScript(s, platformFolder, destination);
    } else if (const QStringList folders = cv::clientDataFolders(client, home); !folders.isEmpty()) {
        s = shellScript(s, folders.constFirst(), destination);
    }

    if (configuration->contains(QLatin1String(kRelaunchClientKey)))
        s = addAppleScriptTo(s, client, false);
    s += QStringLiteral("\n");
    s += QStringLiteral("\tif [ \"$errorCode\" -eq 0 ]\n\t\tthen\n\t\ttouch ");
    s += escapeStringForTerminal(cv::markerFilePath());
    s += QStringLiteral(
        "\n\t\techo \"`date`: Backup completed successfully.\"\n\telif [ \"$errorCode\" -eq 1 ]\n\t\tthen\n"
        "\t\techo \"`date`: Backup failed. Please see above error messages.\"\n\telse\n"
        "\t\techo \"`date`: Backup completed with errors. Please see log for error messages.\"\n\tfi\n\nelse\n"
        "\techo \"`date`: Backup failed. Destination not available.\"\nfi");
    result.script = s;
    return result;
}

} // namespace cv::engine
