#pragma once
// Starting CVOffsite: by the engine after a successful run, by the catch-up
// agent for an attempt that waits. Qt Core and the property-list reader only
// (a library of its own), so the agent needs no restic and no keyring.

#include "Result.h"

#include <QString>

namespace cv::offsite {

// Off-site copies are turned on in the configurator's settings.
bool offsiteEnabled(const QString &defaultsPath);
// The last attempt failed or waits for a session, so a new one is due.
bool offsiteAttemptDue(const QString &recordPath);
// Starts `<programFolder>/CVOffsite`, detached; it makes its own process
// group.
cv::Result<void> startOffsiteSender(const QString &programFolder);

} // namespace cv::offsite
