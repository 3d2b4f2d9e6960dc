#include "DestinationCheck.h"

#include <QDir>
#include <QFileInfo>

namespace cv::configurator {

DestinationCheck checkDestination(const QString &typed, const QString &home)
{
    DestinationCheck check;
    check.path = typed;
    if (typed == QLatin1String("~"))
        check.path = home;
    else if (typed.startsWith(QLatin1String("~/")))
        check.path = home + typed.mid(1);

    using Verdict = DestinationCheck::Verdict;
    if (!QDir::isAbsolutePath(check.path)) {
        check.sentence = QStringLiteral("\"%1\" is not the full path of a folder. Please choose the destination "
                                        "folder with Browse.").arg(typed);
        return check;
    }
    if (QDir::cleanPath(check.path) == QLatin1String("/")) {
        check.sentence = QStringLiteral("The top folder of the disk cannot hold the backup. Please choose a "
                                        "folder for it.");
        return check;
    }
    const QFileInfo info(check.path);
    if (info.exists() && !info.isDir()) {
        check.sentence = QStringLiteral("\"%1\" is a file, not a folder. Please choose a folder for the backup.")
                             .arg(check.path);
        return check;
    }
    if (!info.exists()) {
        check.verdict = Verdict::AskToSave;
        check.sentence = QStringLiteral("The folder \"%1\" does not exist now. If it is on a disk that is not "
                                        "connected, backups fail until it is. Save anyway?").arg(check.path);
        return check;
    }
    check.verdict = Verdict::Accept;
    return check;
}

} // namespace cv::configurator
