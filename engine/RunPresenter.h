#pragma once
#include <QString>

namespace cv::engine {

// What the user sees of a run. The progress bubble implements it; a run
// without a display has none.
class RunPresenter
{
public:
    virtual ~RunPresenter() = default;
    virtual void showRunStarted() = 0;                 // bubble up, spinning
    virtual void showStatus(const QString &chunk) = 0; // latest output
    virtual void showSuccess() = 0;                    // bubble gone
    // The errors presentation. True when the user is shown a way out (the log
    // button) and the process must wait for it; false to quit right away.
    virtual bool showErrors() = 0;
};

} // namespace cv::engine
