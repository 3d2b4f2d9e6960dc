#pragma once
// How an engine tells the agent that a run has ended, so that the agent (which
// lives as long as the session) shows or withdraws the failure notice. The
// agent listens on a session socket (SessionSocket.h) of its own name.

#include "Result.h"
#include "UniqueFd.h"

#include <QObject>

class QSocketNotifier;

namespace cv {

class AgentLink : public QObject
{
    Q_OBJECT
public:
    explicit AgentLink(QObject *parent = nullptr);

    // The agent's side. Fails when the name is taken or the socket cannot be set up.
    cv::Result<void> listen();

    // The engine's side: true when an agent took the word.
    static bool tellRunEnded();

signals:
    void runEnded();

private:
    void accept();

    cv::UniqueFd m_listening;
    QSocketNotifier *m_notifier = nullptr;
};

} // namespace cv
