#pragma once
// The "History" preferences pane: whether runs keep earlier versions and for
// how long. Both controls write through to the configurator's user defaults
// at once; the engine reads them at its next run.

#include <QObject>
#include <QPointer>

class QWidget;

namespace cv::platform {
class UserDefaults;
}

namespace Ui {
class HistoryPane;
}

namespace cv::configurator::windows {

class HistoryPane : public QObject
{
    Q_OBJECT
public:
    explicit HistoryPane(QObject *parent = nullptr);
    ~HistoryPane() override;

    QWidget *view() const { return m_view; }
    // The store the controls are bound to (not owned); shows its values.
    void setDefaults(cv::platform::UserDefaults *defaults);
    void refreshControls();

private:
    void keepChosen(int index);
    void enabledToggled(bool on);

    QPointer<QWidget> m_view;
    Ui::HistoryPane *m_ui = nullptr;
    cv::platform::UserDefaults *m_defaults = nullptr;
};

} // namespace cv::configurator::windows
