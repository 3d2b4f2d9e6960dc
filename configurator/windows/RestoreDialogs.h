#pragma once
// The Restore window's questions and panels, as message boxes.

#include <QString>

class QWidget;

namespace cv::configurator::windows {

// The window's questions and panels; tests substitute scripted answers.
class RestoreDialogs
{
public:
    virtual ~RestoreDialogs() = default;
    // A folder to restore into, starting at `offered` (which may not exist
    // yet); empty when the user cancelled.
    virtual QString chooseRestoreFolder(QWidget *parent, const QString &offered) = 0;
    // True for "Restore", false for "Cancel".
    virtual bool confirmOriginalPlace(QWidget *parent, const QString &message) = 0;
    // The summary; true when the user asked to see the folder.
    virtual bool showSummary(QWidget *parent, const QString &message, bool offerShowInFolder) = 0;
    virtual void showProblem(QWidget *parent, const QString &title, const QString &message) = 0;
};

class WidgetRestoreDialogs : public RestoreDialogs
{
public:
    QString chooseRestoreFolder(QWidget *parent, const QString &offered) override;
    bool confirmOriginalPlace(QWidget *parent, const QString &message) override;
    bool showSummary(QWidget *parent, const QString &message, bool offerShowInFolder) override;
    void showProblem(QWidget *parent, const QString &title, const QString &message) override;
};

} // namespace cv::configurator::windows
