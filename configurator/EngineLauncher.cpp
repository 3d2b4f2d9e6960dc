#include "EngineLauncher.h"

#include "PropertyList.h"

#include <QFileInfo>
#include <QProcess>

namespace cv::configurator {

bool BundleEngineLauncher::launchApplication(const QString &bundlePath, QString &whyNot)
{
    if (!QFileInfo(bundlePath).isDir()) {
        whyNot = QStringLiteral("no application at %1").arg(bundlePath);
        return false;
    }
    const QString infoPath = bundlePath + QLatin1String("/Contents/Info.plist");
    const auto info = platform::readDictionaryFile(infoPath);
    if (!info) {
        whyNot = QStringLiteral("cannot read %1").arg(infoPath);
        return false;
    }
    const QString executable = info->value(QStringLiteral("CFBundleExecutable")).toString();
    // The name must stay inside Contents/MacOS: a plist is no place to point
    // us at some other program.
    if (executable.isEmpty() || executable.contains(QLatin1Char('/')) || executable == QLatin1String(".")
        || executable == QLatin1String("..")) {
        whyNot = QStringLiteral("%1 names no usable CFBundleExecutable").arg(infoPath);
        return false;
    }
    const QString program = bundlePath + QLatin1String("/Contents/MacOS/") + executable;
    const QFileInfo programInfo(program);
    if (!programInfo.isFile()) {
        whyNot = QStringLiteral("the program %1 is missing").arg(program);
        return false;
    }
    if (!programInfo.isExecutable()) {
        whyNot = QStringLiteral("the program %1 is not executable").arg(program);
        return false;
    }
    QProcess process;
    process.setProgram(program);
    process.setArguments({});
    // The engine reads nothing; it must not hold on to our input.
    process.setStandardInputFile(QProcess::nullDevice());
    m_pid = 0;
    if (!process.startDetached(&m_pid)) {
        whyNot = QStringLiteral("the program %1 could not be started: %2").arg(program, process.errorString());
        return false;
    }
    return true;
}

} // namespace cv::configurator
