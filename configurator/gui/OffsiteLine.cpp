#include "OffsiteLine.h"

#include "OffsiteRecord.h"
#include "RunStatusText.h"

#include <QLabel>
#include <QTimer>

namespace cv::configurator {

OffsiteLine::OffsiteLine(QLabel *label, DateFormatter formatDate, std::function<bool()> enabled, QObject *parent)
    : QObject(parent)
    , m_label(label)
    , m_formatDate(std::move(formatDate))
    , m_enabled(std::move(enabled))
    , m_timer(new QTimer(this))
{
    m_timer->setInterval(3000);
    connect(m_timer, &QTimer::timeout, this, &OffsiteLine::refresh);
    m_timer->start();
}

void OffsiteLine::refresh()
{
    const offsite::OffsiteRecord record = offsite::OffsiteRecord::read(offsite::recordPath());
    const auto progress = offsite::OffsiteProgress::readLive(offsite::progressPath());
    const QString text = offsite::offsiteLineText(m_enabled(), record, progress, m_formatDate);
    if (text == m_label->text() && m_label->isVisible() == !text.isEmpty())
        return;
    const bool warning = !progress && !record.succeeded;
    m_label->setText(text);
    m_label->setStyleSheet(warning ? QStringLiteral("color: %1;").arg(kWarningTextColor.name()) : QString());
    m_label->setVisible(!text.isEmpty());
}

} // namespace cv::configurator
