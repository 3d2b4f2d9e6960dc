#pragma once
// The configurator's about box: a small fixed window built in code, shown as
// a sheet on the main window, that closes itself 8 seconds after it was last
// asked to show. It has no button; clicking it does nothing.

#include <QObject>
#include <QPointer>
#include <QString>
#include <QVariantMap>

class QLabel;
class QTimer;
class QWidget;

namespace cv::configurator::windows {

class TMAboutBox : public QObject
{
    Q_OBJECT

public:
    static constexpr int kContentWidth = 400;
    static constexpr int kContentHeight = 250;
    static constexpr int kCloseIntervalMs = 8000;

    // bundleContents is the Contents folder whose Info.plist and Resources/
    // supply the name and the pictures; the program's own bundle by default.
    explicit TMAboutBox(const QString &bundleContents = {}, QObject *parent = nullptr);
    ~TMAboutBox() override;

    // "Application Name", "About Content" and "Attachment Window" (a QWidget
    // stored with QVariant::fromValue<QObject *>). The map itself is not kept.
    void supplyConfiguration(const QVariantMap &configuration);

    // Shows the sheet and (re)starts the close timer.
    void displayWindow(QObject *sender);
    // Ends the sheet and cancels the timer.
    void closeWindow(QObject *sender);
    void didEndSheet(QWidget *sheet, int returnCode, void *contextInfo);

    // Tests shorten the 8 seconds.
    void setCloseInterval(int milliseconds) { m_closeInterval = milliseconds; }

    QWidget *aboutWindow() const { return m_aboutWindow; }
    QWidget *attachmentWindow() const { return m_attachmentWindow; }
    QLabel *appNameTextField() const { return m_appNameTextField; }
    QLabel *aboutContent() const { return m_aboutContent; }
    const QTimer *statusTimer() const { return m_statusTimer; }
    int timerInUse() const { return m_timerInUse; }

private:
    QLabel *addImageView(const QString &resource, int x, int y, int width, int height);
    QLabel *addTextField(int x, int y, int width, int height);
    void placeSheet();
    void detachSheet();

    QPointer<QWidget> m_aboutWindow;
    QPointer<QWidget> m_attachmentWindow;
    QLabel *m_appNameTextField = nullptr;
    QLabel *m_aboutContent = nullptr;
    QTimer *m_statusTimer = nullptr;
    int m_timerInUse = 0;

    QString m_bundleContents;
    QVariantMap m_infoPlist;
    int m_closeInterval = kCloseIntervalMs;
};

} // namespace cv::configurator::windows
