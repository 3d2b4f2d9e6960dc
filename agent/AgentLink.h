#pragma once
// How an engine tells the agent that a run has ended, so that the agent (which
// lives as long as the session) shows or withdraws the failure notice. The
// agent listens on a socket in the abstract namespace named after the user
// and home; both ends check that the other is the same user.

#include <QByteArray>
#include <QObject>

class QSocketNotifier;

namespace cv::agent {

class AgentLink : public QObject
{
    Q_OBJECT
public:
    explicit AgentLink(QObject *parent = nullptr);
    ~AgentLink() override;

    // The agent's side. False when the name is taken or the socket cannot be set up.
    bool listen();

    // The engine's side: true when an agent took the word.
    static bool tellRunEnded();

signals:
    void runEnded();

private:
    void accept();

    int m_listenFd = -1;
    QSocketNotifier *m_notifier = nullptr;
};

} // namespace cv::agent
