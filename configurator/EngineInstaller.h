#pragma once
// Installs the engine that ships inside the configurator into the support
// folder, and updates it by build number, never downgrading.

#include <QString>

#include <system_error>

namespace cv::configurator {

enum class EngineInstallOutcome {
    Installed, // nothing was installed; the shipped engine now is
    Updated,   // an older build was replaced
    UpToDate,  // the installed build is the same or newer; nothing changed
    Failed,    // the copy or the swap failed; the old engine (if any) is still in place
};

class EngineInstaller
{
public:
    // shippedPath: the engine bundle inside the configurator's bundle;
    // installedPath: where cron and Run Now find it.
    EngineInstaller(QString shippedPath, QString installedPath);
    virtual ~EngineInstaller() = default;

    // "Moving Backup Engine" or "Updating Backup Engine" is logged before the
    // attempt. The new engine is copied into a hidden sibling folder first and
    // renamed into place only when complete, so the installed path never holds
    // a half-copied engine; a failure is logged in one line and the next start
    // simply tries again.
    EngineInstallOutcome checkBackupEngine();

    // The leading decimal integer of CFBundleVersion in the bundle's
    // Contents/Info.plist ("12.5" is 12); 0 when the file, the key or a
    // leading number is missing.
    static qint64 buildNumber(const QString &bundlePath);

    const QString &shippedPath() const { return m_shippedPath; }
    const QString &installedPath() const { return m_installedPath; }

protected:
    // Moves an entry within the support folder. Tests make it fail to see
    // that a failed swap puts the old engine back.
    virtual std::error_code renameEntry(const QString &from, const QString &to);

private:
    EngineInstallOutcome install(bool replacing);
    void removeLeftovers() const;

    QString m_shippedPath;
    QString m_installedPath;
};

} // namespace cv::configurator
