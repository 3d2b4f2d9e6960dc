#include "Settings.h"

#include "TimeArchive.h"

namespace cv::settings {

namespace {

// A flag as the configurator stores it (boolean or integer); anything else is off.
bool flag(const QVariant &value)
{
    switch (value.typeId()) {
    case QMetaType::Bool:
        return value.toBool();
    case QMetaType::LongLong:
    case QMetaType::Int:
        return value.toLongLong() != 0;
    default:
        return false;
    }
}

} // namespace

bool SavedSchedule::firesByItself() const
{
    if (!scheduled || runNowOnly || !time)
        return false;
    for (bool day : days)
        if (day)
            return true;
    return false;
}

SavedSchedule savedScheduleFrom(const QVariantMap &settings)
{
    SavedSchedule s;
    const QVariant wanted = settings.value(QLatin1String(kCatchUp));
    s.catchUpWanted = !wanted.isValid() || flag(wanted);
    s.scheduled = flag(settings.value(QLatin1String(kScheduled)));
    s.runNowOnly = flag(settings.value(QLatin1String(kRunNowOnly)));
    for (int i = 0; i < 7; ++i)
        s.days[i] = flag(settings.value(QLatin1String(kDayKeys[i])));
    const QVariant time = settings.value(QLatin1String(kTime));
    if (time.typeId() == QMetaType::QByteArray)
        s.pickerTime = unarchiveDateTime(time.toByteArray());
    if (s.pickerTime)
        s.time = s.pickerTime->time();
    return s;
}

} // namespace cv::settings
