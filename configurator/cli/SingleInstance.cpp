#include "SingleInstance.h"

#include <QCryptographicHash>
#include <QDir>
#include <QLocalSocket>

#include <unistd.h>

namespace cv::cli {

namespace {
constexpr QByteArrayView kRaise = "raise\n";
}

SingleInstance::SingleInstance(QString name, QObject *parent)
    : QObject(parent)
    , m_name(std::move(name))
{
}

QString SingleInstance::serverName()
{
    const QByteArray home = qgetenv("HOME");
    return QStringLiteral("com.tallowmere.Corvantis-%1-%2")
        .arg(getuid())
        .arg(QString::fromLatin1(QCryptographicHash::hash(home, QCryptographicHash::Sha1).toHex().left(12)));
}

bool SingleInstance::askRunningToRaise()
{
    QLocalSocket socket;
    socket.connectToServer(m_name);
    if (!socket.waitForConnected(1000))
        return false;
    socket.write(kRaise.data(), kRaise.size());
    socket.waitForBytesWritten(1000);
    // The answer says the window took it; a dead listener says nothing.
    return socket.waitForReadyRead(2000) && socket.readAll().startsWith("ok");
}

bool SingleInstance::listen(std::function<void()> raise)
{
    m_raise = std::move(raise);
    m_server.setSocketOptions(QLocalServer::UserAccessOption);
    if (!m_server.listen(m_name)) {
        // A name left by an instance that died: no one answers on it.
        QLocalServer::removeServer(m_name);
        if (!m_server.listen(m_name))
            return false;
    }
    connect(&m_server, &QLocalServer::newConnection, this, [this] {
        while (QLocalSocket *socket = m_server.nextPendingConnection()) {
            connect(socket, &QLocalSocket::disconnected, socket, &QObject::deleteLater);
            const auto answer = [this, socket] {
                if (!socket->canReadLine() || !socket->readLine().startsWith("raise"))
                    return;
                if (m_raise)
                    m_raise();
                socket->write("ok\n");
                socket->flush();
            };
            connect(socket, &QLocalSocket::readyRead, socket, answer);
            answer(); // what came before the connection was taken

        }
    });
    return true;
}

} // namespace cv::cli
