#pragma once
// The settings' "time" value: the time picker's full date and time, archived.
// The configurator writes it; the configurator and the catch-up agent read it.

#include <QByteArray>
#include <QDateTime>

#include <optional>

namespace cv {

QByteArray archiveDateTime(const QDateTime &when);
// None for empty or unreadable data.
std::optional<QDateTime> unarchiveDateTime(const QByteArray &data);

} // namespace cv
