#pragma once
// Which lines of the user's crontab are the program's own. A line is ours
// only when cron would start our program with it; a comment, or a job of the
// user's that merely names the engine or the script, is theirs and is never
// touched.

#include <QString>
#include <QStringList>
#include <QStringView>

#include <optional>

namespace cv::configurator {

// The command of a crontab line as cron hands it to /bin/sh: what follows the
// five time fields, ending at the first % that no backslash escapes ("\%"
// gives "%"). No value for a comment, a blank line, an environment setting,
// an "@" schedule or anything without five time fields.
std::optional<QString> crontabCommand(QStringView line);

// The words at the start of a shell command as /bin/sh splits them, with
// quotes and escapes taken away. It stops at the first operator, comment or
// unfinished quote; complete then tells whether the words were all there was.
struct ShellWords {
    QStringList words;
    bool complete = true;
};
ShellWords leadingShellWords(const QString &command);

// Whether the line is the program's for this marker:
// - a bundle name such as "CVEngine.app": the command starts the bundle's
//   program by a path ending in "CVEngine.app/Contents/MacOS/CVEngine", or
//   is "/usr/bin/open" (or "open") with a path ending in "CVEngine.app";
// - any other name, the script of an earlier version: the command is exactly
//   that file's path in the support folder of the given home.
// An empty marker matches nothing.
bool isProgramLine(QStringView line, const QString &marker, const QString &home);

} // namespace cv::configurator
