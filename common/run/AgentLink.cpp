#include "AgentLink.h"

#include "Home.h"
#include "SessionSocket.h"

#include <QSocketNotifier>

#include <cstring>
#include <sys/socket.h>

namespace cv {
namespace {

constexpr char kRunEnded[] = "run-ended\n";
constexpr qsizetype kRunEndedSize = sizeof kRunEnded - 1;

QByteArray socketName()
{
    return platform::sessionSocketName("com.tallowmere.CVAgent", cv::homeDirectory());
}

} // namespace

AgentLink::AgentLink(QObject *parent)
    : QObject(parent)
{
}

cv::Result<void> AgentLink::listen()
{
    if (m_listening)
        return {};
    auto listening = platform::listenOn(socketName(), 8);
    if (!listening)
        return cv::fail(QString::fromLocal8Bit(std::strerror(listening.reason())));
    m_listening = std::move(listening).value();
    m_notifier = new QSocketNotifier(m_listening.get(), QSocketNotifier::Read, this);
    connect(m_notifier, &QSocketNotifier::activated, this, &AgentLink::accept);
    return {};
}

void AgentLink::accept()
{
    bool ended = false;
    while (const cv::UniqueFd peer = platform::acceptFromThisUser(m_listening.get())) {
        if (platform::readPromptly(peer.get(), kRunEndedSize) == QByteArray(kRunEnded, kRunEndedSize))
            ended = true;
    }
    if (ended)
        emit runEnded();
}

bool AgentLink::tellRunEnded()
{
    // Non-blocking: an agent that stopped accepting (its backlog full) must
    // not hold the engine, which may still hold the run lock.
    const cv::UniqueFd agent = platform::connectTo(socketName(), true);
    // MSG_NOSIGNAL: an agent that went away meanwhile must not end the engine.
    return agent && ::send(agent.get(), kRunEnded, size_t(kRunEndedSize), MSG_NOSIGNAL) == kRunEndedSize;
}

} // namespace cv
