#pragma once
// The user-defaults store of one domain, kept as an XML property list. Other
// writers' keys survive a save: synchronize re-reads the file and applies only
// this store's own changes on top of it.

#include "Result.h"

#include <QByteArray>
#include <QSet>
#include <QString>
#include <QVariantMap>

namespace cv::platform {

class UserDefaults
{
public:
    // Reads the file without a word: the owner may not have pointed standard
    // error at its log yet. reload() says when the file cannot be read.
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
    // is first moved aside, never written over. When it could not be written
    // (a log line says so) the changes are kept for the next try, and the
    // reason is a sentence for the user.
    Result<> synchronize();

    // Re-reads the file, keeping unsaved changes of this store, and logs a
    // file there that cannot be read.
    void reload();

    // Everything this store holds in memory, so that a failed save can go
    // back to what was there before it.
    struct Snapshot {
        QVariantMap values;
        QVariantMap changed;
        QSet<QString> removed;
    };
    Snapshot snapshot() const { return {m_values, m_changed, m_removed}; }
    void restore(const Snapshot &snapshot);

    const QString &path() const { return m_path; }

private:
    void set(const QString &key, const QVariant &value);
    QVariantMap readFile(bool logDamage) const;
    void merge(QVariantMap fresh);
    Result<> write(const QByteArray &xml);

    QString m_path;
    QVariantMap m_values;
    QVariantMap m_changed;   // keys set since the last synchronize
    QSet<QString> m_removed; // keys removed since the last synchronize
};

} // namespace cv::platform
