#include "Names.h"

#include "Clients.h"

namespace cv::names {

QStringList clientNames()
{
    QStringList titles;
    for (const clients::Client &client : clients::kClients)
        titles << QString::fromUtf8(client.title);
    return titles;
}

bool isNotConfiguredSentence(const QString &sentence)
{
    return sentence == QLatin1String(kNotConfiguredDefault) || sentence == QLatin1String(kNotConfigured);
}

} // namespace cv::names
