#include "EngineLauncher.h"

#include "PropertyList.h"

#include <QFileInfo>
#include <QProcess>

namespace cv::platform {

namespace {

// The program a bundle names, or why it names none that can be started.
cv::Result<QString> bundleProgram(const QString &bundlePath)
{
    if (!QFileInfo(bundlePath).isDir())
        return cv::fail(QStringLiteral("no application at %1").arg(bundlePath));
    const QString infoPath = bundlePath + QLatin1String("/Contents/Info.plist");
    const auto info = readDictionaryFile(infoPath);
    if (!info)
        return cv::fail(QStringLiteral("cannot read %1").arg(infoPath));
    const QString executable = info->value(QStringLiteral("CFBundleExecutable")).toString();
    // The name must stay inside Contents/MacOS: a plist is no place to point
    // us at some other program.
    if (executable.isEmpty() || executable.contains(QLatin1Char('/')) || executable == QLatin1String(".")
        || executable == QLatin1String(".."))
        return cv::fail(QStringLiteral("%1 names no usable CFBundleExecutable").arg(infoPath));
    const QString program = bundlePath + QLatin1String("/Contents/MacOS/") + executable;
    const QFileInfo programInfo(program);
    if (!programInfo.isFile())
        return cv::fail(QStringLiteral("the program %1 is missing").arg(program));
    if (!programInfo.isExecutable())
        return cv::fail(QStringLiteral("the program %1 is not executable").arg(program));
    return program;
}

} // namespace

cv::Result<qint64> BundleEngineLauncher::launchApplication(const QString &bundlePath)
{
    const cv::Result<QString> program = bundleProgram(bundlePath);
    if (!program)
        return cv::fail(program.reason());
    QProcess process;
    process.setProgram(*program);
    process.setArguments({});
    // The engine reads nothing; it must not hold on to our input.
    process.setStandardInputFile(QProcess::nullDevice());
    qint64 pid = 0;
    if (!process.startDetached(&pid))
        return cv::fail(QStringLiteral("the program %1 could not be started: %2").arg(*program, process.errorString()));
    return pid;
}

} // namespace cv::platform
