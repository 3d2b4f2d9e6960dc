#include "RestoreDialogs.h"

#include <QDir>
#include <QFileDialog>
#include <QMessageBox>
#include <QPushButton>

namespace cv::configurator::windows {

QString WidgetRestoreDialogs::chooseRestoreFolder(QWidget *parent, const QString &offered)
{
    QMessageBox box(QMessageBox::Question, QStringLiteral("Restore To"),
                    QStringLiteral("Restore the selected items into a new folder?"), QMessageBox::NoButton, parent);
    box.setInformativeText(QDir::toNativeSeparators(offered));
    QPushButton *restore = box.addButton(QStringLiteral("Restore"), QMessageBox::AcceptRole);
    QPushButton *other = box.addButton(QStringLiteral("Choose Another Folder…"), QMessageBox::ActionRole);
    box.addButton(QMessageBox::Cancel);
    box.setDefaultButton(restore);
    box.exec();
    if (box.clickedButton() == restore)
        return offered;
    if (box.clickedButton() == other)
        return QFileDialog::getExistingDirectory(parent, QStringLiteral("Restore To"), QDir::homePath());
    return {};
}

bool WidgetRestoreDialogs::confirmOriginalPlace(QWidget *parent, const QString &message)
{
    QMessageBox box(QMessageBox::Warning, QStringLiteral("Restore to Original Place"), message, QMessageBox::NoButton,
                    parent);
    QPushButton *restore = box.addButton(QStringLiteral("Restore"), QMessageBox::AcceptRole);
    box.addButton(QMessageBox::Cancel);
    box.setDefaultButton(QMessageBox::Cancel);
    box.exec();
    return box.clickedButton() == restore;
}

bool WidgetRestoreDialogs::showSummary(QWidget *parent, const QString &message, bool offerShowInFolder)
{
    QMessageBox box(QMessageBox::Information, QStringLiteral("Restore"), message, QMessageBox::NoButton, parent);
    QPushButton *show = offerShowInFolder ? box.addButton(QStringLiteral("Show in Folder"), QMessageBox::ActionRole)
                                          : nullptr;
    box.setDefaultButton(box.addButton(QMessageBox::Ok));
    box.exec();
    return show && box.clickedButton() == show;
}

void WidgetRestoreDialogs::showProblem(QWidget *parent, const QString &title, const QString &message)
{
    QMessageBox::warning(parent, title, message);
}

} // namespace cv::configurator::windows
