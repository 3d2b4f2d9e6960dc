#include "UpdateDialogs.h"

#include "Workspace.h"

#include <QApplication>
#include <QMessageBox>
#include <QPushButton>

namespace cv::configurator {
namespace {

QMessageBox *makeBox(QWidget *parent, QMessageBox::Icon icon, const QString &text, const QString &informative)
{
    // In front of the window the user asked from (the preferences, say),
    // not of the main window, which the window system would raise with it.
    if (QWidget *active = QApplication::activeWindow(); active && active->isVisible())
        parent = active;
    auto *box = new QMessageBox(icon, QStringLiteral("Corvantis"), text, QMessageBox::NoButton, parent);
    box->setInformativeText(informative);
    box->setAttribute(Qt::WA_DeleteOnClose);
    box->setWindowModality(Qt::ApplicationModal);
    return box;
}

} // namespace

MessageBoxUpdateDialogs::MessageBoxUpdateDialogs(platform::Workspace &workspace, QWidget *parent)
    : m_workspace(workspace)
    , m_parent(parent)
{
}

void MessageBoxUpdateDialogs::showUpToDate()
{
    auto *box = makeBox(m_parent, QMessageBox::Information, QStringLiteral("Corvantis is up to date"),
                        QStringLiteral("You have the newest version of Corvantis."));
    box->addButton(QMessageBox::Ok);
    box->show();
}

void MessageBoxUpdateDialogs::showNewVersion(const QString &displayVersion, const QUrl &downloadUrl)
{
    auto *box = makeBox(m_parent, QMessageBox::Information, QStringLiteral("A new version is available"),
                        QStringLiteral("Corvantis %1 is available. Download it now?").arg(displayVersion));
    QPushButton *download = box->addButton(QStringLiteral("Download"), QMessageBox::AcceptRole);
    box->addButton(QStringLiteral("Not Now"), QMessageBox::RejectRole);
    box->setDefaultButton(download);
    // The box may outlive this object; the workspace must outlive the box.
    platform::Workspace *workspace = &m_workspace;
    QObject::connect(box, &QMessageBox::buttonClicked, box, [workspace, download, downloadUrl](QAbstractButton *clicked) {
        if (clicked == download)
            workspace->openURL(downloadUrl);
    });
    box->show();
}

void MessageBoxUpdateDialogs::showCheckFailed(const QString &reason)
{
    auto *box = makeBox(m_parent, QMessageBox::Warning, QStringLiteral("Could not check for updates"), reason);
    box->addButton(QMessageBox::Ok);
    box->show();
}

} // namespace cv::configurator
