#pragma once
// The update check's three dialogs as message boxes. They do not block: each
// opens and the event loop runs on, so a check that ends during start-up
// never nests a loop inside a network callback.

#include "Updater.h"

#include <QPointer>
#include <QWidget>

namespace cv::platform {
class Workspace;
}

namespace cv::configurator {

class MessageBoxUpdateDialogs : public UpdateDialogs
{
public:
    // Download opens the address through the workspace. parent may be null.
    explicit MessageBoxUpdateDialogs(platform::Workspace &workspace, QWidget *parent = nullptr);

    void showUpToDate() override;
    void showNewVersion(const QString &displayVersion, const QUrl &downloadUrl) override;
    void showCheckFailed(const QString &reason) override;

private:
    platform::Workspace &m_workspace;
    QPointer<QWidget> m_parent;
};

} // namespace cv::configurator
