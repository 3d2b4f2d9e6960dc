// The backup script's text (static builders of AppController).
//
// Inserted texts (destination, home, source folders) land in two quoting
// contexts: as a bare word (the `test -d` line and the marker path) and
// between double quotes (the ditto lines). Each context has its own escaping
// below, so that whatever a path holds it reaches the shell as one word with
// exactly its own bytes, while ordinary paths keep the classic text.
#include "AppController.h"

#include "ClientData.h"
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

QString sourceFolderFormat(const QString &client)
{
    using namespace cv::names;
    if (client == QLatin1String(kOutlook2011))
        return QStringLiteral("%@/Documents/Microsoft User Data/Office 2011 Identities");
    if (client == QLatin1String(kEntourage2008))
        return QStringLiteral("%@/Documents/Microsoft User Data/Office 2008 Identities");
    if (client == QLatin1String(kEntourage2004))
        return QStringLiteral("%@/Documents/Microsoft User Data/Office 2004 Identities");
    if (client == QLatin1String(kEntourageVX))
        return QStringLiteral("%@/Documents/Microsoft User Data/Office X Identities");
    if (client == QLatin1String(kThunderbird))
        return QStringLiteral("%@/Library/Thunderbird");
    if (client == QLatin1String(kEudora6))
        return QStringLiteral("%@/Documents/Eudora Folder");
    return {};
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
QString platformThunderbirdQuit()
{
    const QString count = QStringLiteral("$(/bin/ps x | grep \"") + kPlatformThunderbirdPattern
        + QStringLiteral("\" | grep -v grep | wc -l)\n");
    return QStringLiteral("\techo \"Quiting email application...\"\n\tmailBase=") + count
        + QStringLiteral("\n\tif [ $mailBase -ne 0 ]\n\t\tthen\n\t\t")
        + osascriptLine(QStringLiteral("Thunderbird"), "quit")
        + QStringLiteral("\t\techo \"Waiting for Thunderbird to quit\"\n\t\tmailResult=$mailBase\n"
                         "\t\twhile [ $mailResult -ne 0 ]\n\t\tdo\n\t\t\tmailResult=")
        + count + QStringLiteral("\t\t\tsleep 1\n\t\tdone\n\tfi\n\n");
}

bool isEntourage(const QString &client)
{
    using namespace cv::names;
    return client == QLatin1String(kEntourage2008) || client == QLatin1String(kEntourage2004)
        || client == QLatin1String(kEntourageVX);
}

// A configuration value usable as text: present, a string, not empty.
QString stringValue(const QVariantMap &configuration, const char *key)
{
    const auto it = configuration.constFind(QLatin1String(key));
    if (it == configuration.constEnd() || it->typeId() != QMetaType::QString)
        return {};
    return it->toString();
}

// The quit block for `client`; `platformThunderbird` picks Thunderbird's
// platform form, decided once per script with the folder it goes with.
QString quitBlock(const QString &client, bool platformThunderbird)
{
    using namespace cv::names;
    if (client == QLatin1String(kAppleMail)) {
        return QStringLiteral("\techo \"Quiting email application...\"\n") + countLine(QStringLiteral("Mail.app/"))
            + QStringLiteral("\tif [ $mailBase -ne 0 ]\n\t\tthen\n\t\tmailResult=$mailBase\n\t\t")
            + osascriptLine(QStringLiteral("Mail"), "quit") + QStringLiteral("\t\techo \"Waiting for Mail to quit\"\n")
            + waitLoop(QStringLiteral("Mail.app/"), QStringLiteral("\t\t")) + QStringLiteral("\tfi\n\n");
    }
    if (client == QLatin1String(kOutlook2011)) {
        return QStringLiteral("\techo \"Quiting Outlook...\"\n") + unconditionalQuit(QStringLiteral("Microsoft Outlook"))
            + unconditionalQuit(QStringLiteral("Microsoft Database Daemon"));
    }
    if (isEntourage(client)) {
        return QStringLiteral("\techo \"Quiting email application...\"\n")
            + unconditionalQuit(QStringLiteral("Microsoft Entourage"))
            + unconditionalQuit(QStringLiteral("Microsoft Database Daemon"));
    }
    if (client == QLatin1String(kThunderbird)) {
        return platformThunderbird ? platformThunderbirdQuit()
                                   : guardedQuit(QStringLiteral("Thunderbird"), QStringLiteral("Thunderbird"));
    }
    if (client == QLatin1String(kEudora6))
        return guardedQuit(QStringLiteral("Eudora"), QStringLiteral("Eudora"));
    return {};
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
    QString application;
    if (client == QLatin1String(kAppleMail))
        application = QStringLiteral("Mail");
    else if (client == QLatin1String(kOutlook2011))
        application = QStringLiteral("Microsoft Outlook");
    else if (isEntourage(client))
        application = QStringLiteral("Microsoft Entourage");
    else if (client == QLatin1String(kThunderbird))
        application = QStringLiteral("Thunderbird");
    else if (client == QLatin1String(kEudora6))
        application = QStringLiteral("Eudora");
    if (!application.isEmpty())
        out += QStringLiteral("\t") + osascriptLine(application, "activate") + QStringLiteral("\n");
    return out;
}

QString AppController::shellScriptForMail(const QString &script, const QString &destination)
{
    const QString home = escapeForDoubleQuotes(cv::homeDirectory());
    const QString dest = escapeForDoubleQuotes(destination);
    return script + QStringLiteral("\techo \"Backing up Mail files\"\n") + QStringLiteral("\tditto -rsrc \"") + home
        + QStringLiteral("/Library/Mail\" \"") + dest + QStringLiteral("\"\n\tif [ \"$?\" -eq 0 ]\n\tthen")
        + QStringLiteral("\n\t\tditto -rsrc \"") + home + QStringLiteral("/Library/Preferences/com.apple.mail.plist\" \"")
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
    if (destination.isEmpty()) {
        result.problem = QStringLiteral("No backup made: the configuration has no destination folder.");
        return result;
    }
    // Copying into the root would scatter the mail data over the system.
    if (QDir::cleanPath(destination) == QLatin1String("/")) {
        result.problem = QStringLiteral("No backup made: \"/\" cannot be the destination folder.");
        return result;
    }
    if (destination.contains(QChar(u'\0'))) {
        result.problem = QStringLiteral("No backup made: the destination folder's name is not a valid path.");
        return result;
    }
    if (client.isEmpty()) {
        result.problem = QStringLiteral("No backup made: the configuration names no email client.");
        return result;
    }

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
        if (!platformFolder.isEmpty()) {
            result.notice = QStringLiteral("Thunderbird: backing up \"%1\"").arg(platformFolder);
            if (!choice.skipped.isEmpty())
                result.notice += QStringLiteral(", the profile folder written to most recently; skipped \"%1\"")
                                     .arg(choice.skipped.join(QStringLiteral("\", \"")));
            result.notice += QLatin1Char('.');
        }
    }
    s += quitBlock(client, !platformFolder.isEmpty());

    if (client == QLatin1String(kAppleMail)) {
        s += QStringLiteral("\techo \"Waiting for Mail to quit\"\n\tmailResult=1\n\twhile [ $mailResult -eq 1 ]\n\tdo\n"
                            "\t\tmailResult=$(/bin/ps ax | grep Mail | grep -v grep | wc -l)\n\t\tsleep 1\n\tdone\n\n");
        s += QStringLiteral("\techo \"Creating backup files\"\n");
        s = shellScriptForMail(s, destination);
    } else if (!platformFolder.isEmpty()) {
        s = shellScript(s, platformFolder, destination);
    } else if (const QString format = sourceFolderFormat(client); !format.isEmpty()) {
        s = shellScript(s, QString(format).replace(QLatin1String("%@"), home), destination);
    }

    if (configuration->contains(QLatin1String(kRelaunchClientKey)))
        s = addAppleScriptTo(s, client, false);
    s += QStringLiteral("\n");
    s += QStringLiteral("\tif [ \"$errorCode\" -eq 0 ]\n\t\tthen\n\t\ttouch ");
    // The blank of "Application Support" is escaped by the literal itself.
    s += escapeStringForTerminal(home) + QStringLiteral("/Library/Application\\ Support/Tallowmere/Corvantis/lastbackup");
    s += QStringLiteral(
        "\n\t\techo \"`date`: Backup completed successfully.\"\n\telif [ \"$errorCode\" -eq 1 ]\n\t\tthen\n"
        "\t\techo \"`date`: Backup failed. Please see above error messages.\"\n\telse\n"
        "\t\techo \"`date`: Backup completed with errors. Please see log for error messages.\"\n\tfi\n\nelse\n"
        "\techo \"`date`: Backup failed. Destination not available.\"\nfi");
    result.script = s;
    return result;
}

} // namespace cv::engine
