#include "Dialogs.h"

#include <QApplication>
#include <QFileDialog>
#include <QMessageBox>
#include <QPushButton>

namespace cv::configurator {

void WidgetDialogs::showAlert(const QString &messageText, const QString &informativeText)
{
    QMessageBox box(QMessageBox::Information, QApplication::applicationName(), messageText, QMessageBox::Ok, m_parent);
    box.setInformativeText(informativeText);
    box.exec();
}

QString WidgetDialogs::chooseFolder(const QString &startFolder)
{
    return QFileDialog::getExistingDirectory(m_parent, QStringLiteral("Choose a Destination Folder"), startFolder,
                                             QFileDialog::ShowDirsOnly);
}

bool WidgetDialogs::confirmQuit()
{
    QMessageBox box(QMessageBox::Question, QStringLiteral("Quit"), QStringLiteral("Are you sure you want to quit?"),
                    QMessageBox::NoButton, m_parent);
    QPushButton *cancel = box.addButton(QStringLiteral("Cancel"), QMessageBox::RejectRole);
    QPushButton *quit = box.addButton(QStringLiteral("Quit"), QMessageBox::AcceptRole);
    box.setDefaultButton(cancel);
    box.setEscapeButton(cancel);
    box.exec();
    return box.clickedButton() == quit;
}

void WidgetDialogs::showAlertPanel(const QString &title, const QString &message)
{
    QMessageBox box(QMessageBox::Warning, title, message, QMessageBox::Ok, m_parent);
    box.exec();
}

} // namespace cv::configurator

namespace cv::configurator {

bool WidgetDialogs::askToSaveAnyway(const QString &messageText, const QString &informativeText)
{
    QMessageBox box(QMessageBox::Question, QApplication::applicationName(), messageText, QMessageBox::NoButton, m_parent);
    box.setInformativeText(informativeText);
    QPushButton *cancel = box.addButton(QStringLiteral("Cancel"), QMessageBox::RejectRole);
    QPushButton *save = box.addButton(QStringLiteral("Save Anyway"), QMessageBox::AcceptRole);
    box.setDefaultButton(cancel);
    box.setEscapeButton(cancel);
    box.exec();
    return box.clickedButton() == save;
}

} // namespace cv::configurator
