#include "shell/instance_channel.h"

#include "shell/instance_lock.h"

#include <QLocalServer>
#include <QLocalSocket>
#include <QMetaObject>

namespace tvn {
namespace {

// A command line is a few digits; anything longer is not ours.
constexpr qint64 kMaxLine = 32;
constexpr int kWaitMs = 1000;

} // namespace

std::string InstanceChannelPath() { return InstanceFilePath(".socket"); }

CInstanceChannel::CInstanceChannel(std::string socketPath, std::function<void(int)> handler)
    : path(std::move(socketPath)), onCommand(std::move(handler)),
      server(std::make_unique<QLocalServer>()) {
    server->setSocketOptions(QLocalServer::UserAccessOption);
    QObject::connect(server.get(), &QLocalServer::newConnection, server.get(),
                     [this] { OnNewConnection(); });
}

CInstanceChannel::~CInstanceChannel() = default;

bool CInstanceChannel::Listen() {
    const QString name = QString::fromLocal8Bit(path.c_str());
    QLocalServer::removeServer(name);
    return server->listen(name);
}

void CInstanceChannel::OnNewConnection() {
    while (QLocalSocket* socket = server->nextPendingConnection()) {
        QObject::connect(socket, &QLocalSocket::disconnected, socket, &QObject::deleteLater);
        QObject::connect(socket, &QLocalSocket::readyRead, socket, [this, socket] {
            if (!socket->canReadLine()) {
                if (socket->bytesAvailable() > kMaxLine)
                    socket->abort();
                return;
            }
            bool ok = false;
            const int command = socket->readLine(kMaxLine).trimmed().toInt(&ok);
            socket->disconnectFromServer();
            if (!ok || (command != kCommandShowWindow && command != kCommandExit))
                return;
            // The handler may end the program: let this slot return first.
            QMetaObject::invokeMethod(
                server.get(), [this, command] { onCommand(command); }, Qt::QueuedConnection);
        });
    }
}

bool SendInstanceCommand(const std::string& path, int command) {
    QLocalSocket socket;
    socket.connectToServer(QString::fromLocal8Bit(path.c_str()));
    if (!socket.waitForConnected(kWaitMs))
        return false;
    socket.write(QByteArray::number(command) + '\n');
    while (socket.bytesToWrite() > 0 && socket.waitForBytesWritten(kWaitMs)) {
    }
    const bool sent = socket.bytesToWrite() == 0;
    socket.disconnectFromServer();
    if (socket.state() != QLocalSocket::UnconnectedState)
        socket.waitForDisconnected(kWaitMs);
    return sent;
}

} // namespace tvn
