#pragma once
// The configurator's own update check. It reads the update feed, compares the
// highest build it lists with ours and tells the user; it never downloads or
// installs anything itself. The Download button of the new-version dialog only
// opens the address in the browser.

#include <QObject>
#include <QString>
#include <QUrl>

#include <chrono>

class QNetworkAccessManager;
class QNetworkReply;
class QTimer;

namespace cv::configurator {

// The three dialogs of a check. The window code shows message boxes; tests capture.
class UpdateDialogs
{
public:
    virtual ~UpdateDialogs() = default;
    // "Corvantis is up to date"
    virtual void showUpToDate() = 0;
    // "A new version is available", with a Download button for downloadUrl.
    virtual void showNewVersion(const QString &displayVersion, const QUrl &downloadUrl) = 0;
    // "Could not check for updates", with the reason.
    virtual void showCheckFailed(const QString &reason) = 0;
};

// What the updater needs from a bundle's Info.plist.
struct UpdateSettings {
    QUrl feedUrl;             // "SUFeedURL"; empty when missing
    qlonglong currentBuild = 0; // leading integer of "CFBundleVersion"; 0 when missing
};

class Updater : public QObject
{
    Q_OBJECT
public:
    // A larger answer is not a feed of ours; reading stops there.
    static constexpr qint64 kMaxFeedBytes = 1024 * 1024;
    static constexpr std::chrono::milliseconds kDefaultTimeout{30000};

    Updater(QUrl feedUrl, qlonglong currentBuild, UpdateDialogs &dialogs, QObject *parent = nullptr);
    ~Updater() override;

    // Reads <bundlePath>/Contents/Info.plist.
    static UpdateSettings readBundleSettings(const QString &bundlePath);

    // The whole check, from the request to the last byte, must end within this.
    void setTimeout(std::chrono::milliseconds timeout) { m_timeout = timeout; }

    // The user asked: exactly one of the three dialogs follows. The sender is
    // the control that asked; it is not needed beyond that.
    void checkForUpdates(QObject *sender);

    // At start-up: only a newer version is shown. A failure is one log line.
    void checkQuietlyAtStartup();

    bool isChecking() const { return m_busy; }
    // Whether this build names an update feed at all.
    bool hasFeed() const { return !m_feedUrl.isEmpty(); }

signals:
    // After every check, whatever its outcome and whether it showed anything.
    void checkFinished();

private:
    void start(bool userStarted);
    void readAvailable();
    void onFinished();
    void fail(const QString &reason);
    void finish(); // drops the reply without letting it report anything more
    void report(const QByteArray &document, const QUrl &base);

    QUrl m_feedUrl;
    qlonglong m_currentBuild;
    UpdateDialogs &m_dialogs;
    std::chrono::milliseconds m_timeout = kDefaultTimeout;
    QNetworkAccessManager *m_network = nullptr;
    QNetworkReply *m_reply = nullptr;
    QTimer *m_deadline = nullptr;
    QByteArray m_body;
    bool m_userStarted = false;
    bool m_busy = false; // from the start of a check until its outcome is told
};

} // namespace cv::configurator
