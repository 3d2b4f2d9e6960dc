#include "RepositoryCheck.h"

namespace cv::offsite {

QStringList checkArguments() { return {QStringLiteral("cat"), QStringLiteral("config"), QStringLiteral("--no-lock")}; }

QStringList createArguments() { return {QStringLiteral("init")}; }

QString checkSentence(const ResticResult &result)
{
    switch (result.problem) {
    case Problem::None:
        return QStringLiteral("Found a repository that this password opens. Saved.");
    case Problem::NoRepository:
        return QStringLiteral("There is no restic repository there yet. \u201cCreate\u201d makes one with this password.");
    default:
        return result.reason;
    }
}

QString createSentence(const ResticResult &result)
{
    if (result.ok())
        return QStringLiteral("Created a new repository there. Saved.");
    return QStringLiteral("No repository was created: %1").arg(checkSentence(result));
}

} // namespace cv::offsite
