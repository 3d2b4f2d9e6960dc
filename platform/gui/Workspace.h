#pragma once
// Opening files and addresses with the desktop's default applications.
// Callers hold the interface so tests can substitute a recording one.

#include <QString>
#include <QUrl>

namespace cv::platform {

class Workspace
{
public:
    virtual ~Workspace() = default;
    // Opens the file with the desktop's default viewer; true when the request
    // was accepted.
    virtual bool openFile(const QString &path) = 0;
    virtual bool openURL(const QUrl &url) = 0;
};

class DesktopWorkspace : public Workspace
{
public:
    bool openFile(const QString &path) override;
    bool openURL(const QUrl &url) override;
};

} // namespace cv::platform
