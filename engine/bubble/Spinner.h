#pragma once
// An indeterminate progress spinner: twelve spokes, one bright, turning.
// Painted from a timer of its own so it keeps moving whenever the event loop
// runs; the engine's main thread never blocks during a run (the script's
// output is read as it arrives).

#include <QTimer>
#include <QWidget>

namespace cv::engine {

class Spinner : public QWidget
{
    Q_OBJECT
public:
    explicit Spinner(QWidget *parent = nullptr);

    void startAnimation();
    void stopAnimation();
    bool isAnimating() const { return m_timer.isActive(); }
    int step() const { return m_step; }

    QSize sizeHint() const override { return {24, 24}; }

protected:
    void paintEvent(QPaintEvent *event) override;

private:
    QTimer m_timer;
    int m_step = 0;
};

} // namespace cv::engine
