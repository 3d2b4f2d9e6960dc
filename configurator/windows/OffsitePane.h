#pragma once
// The "Off-site" preferences pane: the restic repository each backup is also
// sent to, and its password, kept in the Secret Service. "Check" tries the
// repository and says what it found; nothing is saved until a check (or a
// "Create") succeeds. Turning the box off is saved at once.

#include <QObject>
#include <QPointer>
#include <QString>

class QWidget;

namespace cv::platform {
class UserDefaults;
}
namespace cv::offsite {
class ResticRun;
class SecretStore;
struct ResticResult;
}

namespace Ui {
class OffsitePane;
}

namespace cv::configurator::windows {

class OffsitePane : public QObject
{
    Q_OBJECT
public:
    // `secrets` is not owned and must outlive the pane.
    explicit OffsitePane(offsite::SecretStore &secrets, QObject *parent = nullptr);
    ~OffsitePane() override;

    QWidget *view() const { return m_view; }
    void setDefaults(cv::platform::UserDefaults *defaults);
    // For tests: the restic program.
    void setResticProgram(const QString &program) { m_program = program; }
    void refreshControls();

    // The buttons' actions.
    void check();
    void create();

signals:
    // A check or a creation ended (or was refused); the result line says how.
    void finished();
    // The settings were saved.
    void saved();

private:
    enum class Action { Check, Create };
    void start(Action action, const QString &password);
    void onFinished(Action action, const offsite::ResticResult &result);
    void enabledToggled(bool on);
    bool save(const QString &password);
    void setBusy(bool busy);
    void showCreate(bool shown);
    void say(const QString &text);
    // Says and ends the action at once.
    void answer(const QString &text);

    QPointer<QWidget> m_view;
    Ui::OffsitePane *m_ui = nullptr;
    offsite::SecretStore &m_secrets;
    cv::platform::UserDefaults *m_defaults = nullptr;
    offsite::ResticRun *m_run = nullptr;
    QString m_program = QStringLiteral("restic");
    QString m_pendingPassword; // the password of the run in progress
};

} // namespace cv::configurator::windows
