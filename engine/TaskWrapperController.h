#pragma once
#include <QString>

namespace cv::engine {

// The owner of a TaskWrapper: receives the child's output and its start and end.
class TaskWrapperController
{
public:
    virtual ~TaskWrapperController() = default;
    virtual void appendOutput(const QString &output) = 0; // one chunk, decoded from UTF-8
    virtual void processStarted() = 0;                     // once, before the child is created
    virtual void processFinished() = 0;                    // once, after the output has ended
};

} // namespace cv::engine
