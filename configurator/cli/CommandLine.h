#pragma once
// The command line of `corvantis`: the same history model as the Restore
// window, for scripts and for a user without a desktop. Every failure is one
// line on stderr and a non-zero exit status.

#include <QByteArray>
#include <QList>
#include <QString>

#include <cstdio>
#include <optional>

namespace cv::cli {

enum ExitStatus { kOk = 0, kFailed = 1, kUsage = 2 };

struct Streams {
    std::FILE *out = stdout;
    std::FILE *err = stderr;
};

// What the arguments ask for.
enum class Mode { Window, Help, Version, Points, List, Restore };

struct Request {
    Mode mode = Mode::Window;
    bool json = false;
    QString destination; // --destination, else the saved settings'
    QString point;
    QList<QByteArray> paths; // relative to the destination, as given (bytes)
    QString target;          // restore --to
    QString problem;         // a usage error, said as is
};

// argv[1..] as bytes; argv[0] is left out.
Request parseArguments(const QList<QByteArray> &arguments);

// Runs a request other than Mode::Window; the exit status.
int run(const Request &request, const Streams &streams = {});

// The destination the saved settings name; empty when none.
QString savedDestination();

} // namespace cv::cli
