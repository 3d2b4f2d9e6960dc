#include "Clients.h"

#include <QString>

namespace cv::clients {

const Client *find(const QString &title)
{
    for (const Client &client : kClients)
        if (title == QLatin1String(client.title))
            return &client;
    return nullptr;
}

} // namespace cv::clients
