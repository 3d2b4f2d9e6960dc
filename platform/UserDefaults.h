#pragma once
// The user-defaults store of one domain, kept as an XML property list. Other
// writers' keys survive a save: synchronize re-reads the file and applies only
// this store's own changes on top of it.

#include <QByteArray>
#include <QSet>
#include <QString>
#include <QVariantMap>

namespace cv::platform {

class UserDefaults
{
public:
    // The path of the file; defaults to the configurator's defaults file.
    explicit UserDefaults(QString path);

    bool hasKey(const QString &key) const;
    QVariant value(const QString &key) const;

    QString string(const QString &key, const QString &fallback = {}) const;
    qlonglong integer(const QString &key, qlonglong fallback = 0) const;
    bool boolean(const QString &key, bool fallback = false) const;
    QByteArray data(const QString &key) const;

    void setString(const QString &key, const QString &value);
    void setInteger(const QString &key, qlonglong value);
    void setBoolean(const QString &key, bool value);
    void setData(const QString &key, const QByteArray &value);
    void remove(const QString &key);

    // Writes the whole file atomically. A file there that could not be read
    // is first moved aside, never written over. False when it could not be
    // written; the changes are then kept for the next try.
    bool synchronize();

    // Re-reads the file, keeping unsaved changes of this store.
    void reload();

    const QString &path() const { return m_path; }

private:
    void set(const QString &key, const QVariant &value);
    QVariantMap readFile(bool logDamage) const;

    QString m_path;
    QVariantMap m_values;
    QVariantMap m_changed;   // keys set since the last synchronize
    QSet<QString> m_removed; // keys removed since the last synchronize
};

} // namespace cv::platform
