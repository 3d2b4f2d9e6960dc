#pragma once
// One Corvantis window per user session: a second `corvantis` asks the first
// to raise its window and ends.

#include <QLocalServer>
#include <QObject>
#include <QString>

#include <functional>

namespace cv::cli {

class SingleInstance : public QObject
{
    Q_OBJECT
public:
    // `name` tells sessions apart; serverName() gives the usual one.
    explicit SingleInstance(QString name, QObject *parent = nullptr);

    // True when a running instance was reached and asked to raise its window.
    bool askRunningToRaise();
    // Listens for later instances; `raise` runs for each. False when the
    // name cannot be taken (the program then runs on alone).
    bool listen(std::function<void()> raise);

    // Per user and home folder.
    static QString serverName();

private:
    QString m_name;
    QLocalServer m_server;
    std::function<void()> m_raise;
};

} // namespace cv::cli
