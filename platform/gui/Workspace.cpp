#include "Workspace.h"

#include <QDesktopServices>

namespace cv::platform {

bool DesktopWorkspace::openFile(const QString &path)
{
    return QDesktopServices::openUrl(QUrl::fromLocalFile(path));
}

bool DesktopWorkspace::openURL(const QUrl &url)
{
    return QDesktopServices::openUrl(url);
}

} // namespace cv::platform
