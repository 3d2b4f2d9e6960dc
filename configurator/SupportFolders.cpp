#include "SupportFolders.h"

#include "Home.h"
#include "Log.h"
#include "Names.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <sys/stat.h>

namespace cv::configurator {
namespace {

// mkdir with an exact 0700, whatever the umask says.
bool makePrivateFolder(const QString &path)
{
    const QByteArray native = QFile::encodeName(path);
    if (::mkdir(native.constData(), 0700) != 0)
        return false;
    ::chmod(native.constData(), 0700);
    return true;
}

bool isFolder(const QString &path)
{
    return QFileInfo(path).isDir();
}

// The maker and product folders are tested with their trailing "/" and made
// without it, as the folder literals are written.
bool createWithDefaultAttributes(const QString &folderWithSlash)
{
    if (isFolder(folderWithSlash))
        return false;
    QString path = folderWithSlash;
    while (path.endsWith(QLatin1Char('/')))
        path.chop(1);
    // QDir::mkdir makes exactly one folder and never its parents.
    return QDir().mkdir(path);
}

} // namespace

QStringList createLibraryFolders()
{
    QStringList created;
    const QString home = homeDirectory();
    if (home.isEmpty() || !isFolder(home))
        return created;
    const QString library = home + QLatin1String("/Library");
    if (!isFolder(library)) {
        if (!makePrivateFolder(library))
            return created;
        created << library;
    }
    for (const char *name : {"Application Support", "Preferences", "Logs"}) {
        const QString folder = library + QLatin1Char('/') + QLatin1String(name);
        if (!isFolder(folder) && makePrivateFolder(folder))
            created << folder;
    }
    return created;
}

void checkForSupportFolders()
{
    if (createWithDefaultAttributes(makerSupportFolder()))
        platform::NSLog(QStringLiteral("Created Tallowmere folder in users Application Support directory."));
    if (createWithDefaultAttributes(supportFolder()))
        platform::NSLog(QStringLiteral("Created Corvantis folder in users Tallowmere directory."));
}

} // namespace cv::configurator
