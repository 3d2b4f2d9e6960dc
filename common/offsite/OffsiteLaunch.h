#pragma once
// Starting CVOffsite: by the engine after a successful run, by the catch-up
// agent for an attempt that waits. Qt Core and the property-list reader only,
// so the agent can build it in.

#include <QString>

namespace cv::offsite {

// Off-site copies are turned on in the configurator's settings.
bool offsiteEnabled(const QString &defaultsPath);
// The last attempt failed or waits for a session, so a new one is due.
bool offsiteAttemptDue(const QString &recordPath);
// Starts `<programFolder>/CVOffsite`, detached; it makes its own process
// group. False, with `error` set, when it could not be started.
bool startOffsiteSender(const QString &programFolder, QString *error);

} // namespace cv::offsite
