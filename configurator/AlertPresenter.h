#pragma once
// How the configurator's non-window logic shows a modal alert with one "OK"
// button. The main window implements it with a message box; tests capture.

#include <QString>

namespace cv::configurator {

class AlertPresenter
{
public:
    virtual ~AlertPresenter() = default;
    virtual void showAlert(const QString &messageText, const QString &informativeText) = 0;
};

} // namespace cv::configurator
