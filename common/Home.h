#pragma once
// Home and the paths built on it. Every path of the system is home followed by
// a fixed literal.

#include <QString>

namespace cv {

// The current user's home folder, never with a trailing "/" (except for "/"
// itself, which would otherwise vanish).
QString homeDirectory();

// "~" alone or a leading "~/" becomes home; anything else is returned as is.
QString expandTilde(const QString &path);

// Replaces every "%@" in a format with home.
QString formatWithHome(const char *format);

// The well-known paths.
QString supportFolder();        // ends in "/"
QString makerSupportFolder();   // ends in "/"
QString configFilePath();
QString scriptFilePath();
QString markerFilePath();
QString scratchCrontabPath();
QString logFilePath();
QString defaultsFilePath();
QString dockPreferencesPath();
QString installedEnginePath();  // the bundle folder
QString installedEngineExecutablePath();
QString sessionFilePath();
QString runLockPath();

} // namespace cv
