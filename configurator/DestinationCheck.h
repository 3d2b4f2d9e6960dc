#pragma once
// The destination as a save takes it. The engine uses the saved text as a
// path, as it is, so it has to be the full path of a folder: "~/" is written
// out, and "/" or a file is refused. A folder that is missing now may be on a
// disk that is not plugged in, so the user decides.

#include <QString>

namespace cv::configurator {

struct DestinationCheck {
    enum class Verdict {
        Accept,      // path is a folder
        Refuse,      // sentence says why
        AskToSave,   // path does not exist now; sentence is the question
    };
    Verdict verdict = Verdict::Refuse;
    QString path;     // the text to save: a leading "~/" replaced by home
    QString sentence;
};

DestinationCheck checkDestination(const QString &typed, const QString &home);

} // namespace cv::configurator
