#include "TimeArchive.h"

#include <QDataStream>
#include <QIODevice>

namespace cv {

QByteArray archiveDateTime(const QDateTime &when)
{
    QByteArray data;
    QDataStream out(&data, QIODevice::WriteOnly);
    out.setVersion(QDataStream::Qt_6_0);
    out << when;
    return data;
}

std::optional<QDateTime> unarchiveDateTime(const QByteArray &data)
{
    if (data.isEmpty())
        return std::nullopt;
    QDataStream in(data);
    in.setVersion(QDataStream::Qt_6_0);
    QDateTime when;
    in >> when;
    if (in.status() != QDataStream::Ok || !when.isValid())
        return std::nullopt;
    return when;
}

} // namespace cv
