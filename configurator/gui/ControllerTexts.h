#pragma once
// Texts and a helper that the controller's files share.

#include <QLatin1String>
#include <QString>

namespace cv::configurator::detail {

inline QLatin1String kL(const char *s) { return QLatin1String(s); }

inline const QString kNoDestination = QStringLiteral("No Destination Selected");
inline const QString kConfigurationError = QStringLiteral("Configuration Error");
inline const QString kSchedulingError = QStringLiteral("Scheduling Error");

} // namespace cv::configurator::detail
