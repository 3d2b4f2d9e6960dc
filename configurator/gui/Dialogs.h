#pragma once
// The configurator's modal questions and panels. The window uses message
// boxes and the folder dialog; tests substitute a scripted set.

#include "AlertPresenter.h"

#include <QPointer>
#include <QString>
#include <QWidget>

namespace cv::configurator {

class Dialogs : public AlertPresenter
{
public:
    // A folder the user chose, or empty when they cancelled.
    virtual QString chooseFolder(const QString &startFolder) = 0;
    // The quit question: true for "Quit", false for "Cancel" (the default).
    virtual bool confirmQuit() = 0;
    // An alert panel with a title, a message and one "OK" button.
    virtual void showAlertPanel(const QString &title, const QString &message) = 0;
    // A question with "Save Anyway" and "Cancel" (the default): true for
    // "Save Anyway". Unless a set of dialogs can ask, the answer is no.
    virtual bool askToSaveAnyway(const QString &messageText, const QString &informativeText)
    {
        (void)messageText;
        (void)informativeText;
        return false;
    }
};

class WidgetDialogs : public Dialogs
{
public:
    // The window the dialogs are modal to; may be set later.
    void setParentWindow(QWidget *window) { m_parent = window; }

    void showAlert(const QString &messageText, const QString &informativeText) override;
    QString chooseFolder(const QString &startFolder) override;
    bool confirmQuit() override;
    void showAlertPanel(const QString &title, const QString &message) override;
    bool askToSaveAnyway(const QString &messageText, const QString &informativeText) override;

private:
    QPointer<QWidget> m_parent;
};

} // namespace cv::configurator
