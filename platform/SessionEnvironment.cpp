#include "SessionEnvironment.h"

#include "PropertyList.h"

#include <QFile>

#include <sys/stat.h>
#include <unistd.h>

namespace cv::platform {

const QStringList &sessionVariableNames()
{
    static const QStringList names{QStringLiteral("DISPLAY"), QStringLiteral("WAYLAND_DISPLAY"),
                                   QStringLiteral("XAUTHORITY"), QStringLiteral("DBUS_SESSION_BUS_ADDRESS"),
                                   QStringLiteral("XDG_RUNTIME_DIR")};
    return names;
}

bool recordSessionEnvironment(const QString &path)
{
    QByteArray text;
    for (const QString &name : sessionVariableNames()) {
        const QByteArray value = qgetenv(name.toLatin1().constData());
        if (value.isEmpty() || value.contains('\n'))
            continue;
        text += name.toLatin1() + '=' + value + '\n';
    }
    if (!writeFileAtomically(path, text))
        return false;
    return QFile::setPermissions(path, QFile::ReadOwner | QFile::WriteOwner);
}

QStringList loadSessionEnvironment(const QString &path)
{
    if (!qEnvironmentVariableIsEmpty("DISPLAY") || !qEnvironmentVariableIsEmpty("WAYLAND_DISPLAY"))
        return {};
    const QByteArray native = QFile::encodeName(path);
    struct stat st {};
    if (::stat(native.constData(), &st) != 0 || !S_ISREG(st.st_mode) || st.st_uid != ::getuid()
        || (st.st_mode & (S_IWGRP | S_IWOTH)) != 0 || st.st_size > 64 * 1024)
        return {};
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return {};
    QStringList set;
    const QList<QByteArray> lines = file.readAll().split('\n');
    for (const QByteArray &line : lines) {
        const qsizetype eq = line.indexOf('=');
        if (eq <= 0)
            continue;
        const QString name = QString::fromLatin1(line.left(eq));
        const QByteArray value = line.mid(eq + 1);
        if (!sessionVariableNames().contains(name) || value.isEmpty())
            continue;
        if (!qEnvironmentVariableIsEmpty(name.toLatin1().constData()))
            continue;
        qputenv(name.toLatin1().constData(), value);
        set.append(name);
    }
    return set;
}

void ensureSessionBusAddress()
{
    if (!qEnvironmentVariableIsEmpty("DBUS_SESSION_BUS_ADDRESS"))
        return;
    QStringList candidates;
    const QByteArray runtime = qgetenv("XDG_RUNTIME_DIR");
    if (!runtime.isEmpty())
        candidates << QString::fromLocal8Bit(runtime) + QStringLiteral("/bus");
    candidates << QStringLiteral("/run/user/%1/bus").arg(::getuid());
    for (const QString &candidate : candidates) {
        struct stat st {};
        if (::stat(QFile::encodeName(candidate).constData(), &st) == 0 && S_ISSOCK(st.st_mode)) {
            qputenv("DBUS_SESSION_BUS_ADDRESS", "unix:path=" + QFile::encodeName(candidate));
            return;
        }
    }
}

} // namespace cv::platform
