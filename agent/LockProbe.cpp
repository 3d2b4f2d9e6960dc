#include "LockProbe.h"

#include <QFile>

#include <sys/stat.h>
#include <sys/sysmacros.h>

namespace cv::agent {

bool lockHeld(const QString &path, const QString &lockTable)
{
    struct stat st {};
    if (::stat(QFile::encodeName(path).constData(), &st) != 0)
        return false;
    // "1: FLOCK  ADVISORY  WRITE 1234 fd:01:5678 0 EOF"; waiters' lines carry "->".
    const QByteArray id = QByteArray::number(major(st.st_dev), 16).rightJustified(2, '0') + ':'
        + QByteArray::number(minor(st.st_dev), 16).rightJustified(2, '0') + ':' + QByteArray::number(qulonglong(st.st_ino));
    QFile table(lockTable);
    if (!table.open(QIODevice::ReadOnly | QIODevice::Text))
        return false;
    // /proc files report no size (atEnd() is true at once): read until a read gives nothing.
    for (QByteArray line = table.readLine(512); !line.isEmpty(); line = table.readLine(512)) {
        const QList<QByteArray> fields = line.simplified().split(' ');
        if (fields.size() >= 6 && fields[1] != "->" && fields[5] == id)
            return true;
    }
    return false;
}

} // namespace cv::agent
