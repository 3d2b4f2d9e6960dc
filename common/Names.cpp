#include "Names.h"

namespace cv::names {

QStringList clientNames()
{
    return {kAppleMail, kOutlook2011, kEntourage2008, kEntourage2004,
            kEntourageVX, kThunderbird, kEudora6};
}

bool isNotConfiguredSentence(const QString &sentence)
{
    return sentence == QLatin1String(kNotConfiguredDefault) || sentence == QLatin1String(kNotConfigured);
}

} // namespace cv::names
