#pragma once
// The per-user folders the configurator needs before anything else can run.

#include <QStringList>

namespace cv::configurator {

// ~/Library/Application Support, ~/Library/Preferences and ~/Library/Logs are
// always there on the system this product comes from, but not in a fresh home
// here. Creates the missing ones (and ~/Library when needed), each new folder
// with mode 0700; existing folders keep their modes. Runs before the log is
// opened, so it writes no log line. Home itself is never created. Returns the
// folders that were created; afterwards all three exist unless something
// that is not a folder stands in the way, which is left untouched.
QStringList createLibraryFolders();

// The maker folder and the product folder in Application Support, each created
// when missing (parents are not created), each with its log line on success
// only.
void checkForSupportFolders();

} // namespace cv::configurator
