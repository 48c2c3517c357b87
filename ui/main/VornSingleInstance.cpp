#include "ui/main/VornSingleInstance.h"

#include <QDir>
#include <QLocalServer>
#include <QLocalSocket>

#include <memory>

namespace {

constexpr int kConnectMillis = 1000;

} // namespace

VornSingleInstance::VornSingleInstance(QObject* parent) : QObject(parent), m_server(new QLocalServer(this)) {
    connect(m_server, &QLocalServer::newConnection, this, &VornSingleInstance::Accept);
}

VornSingleInstance::~VornSingleInstance() = default;

QString VornSingleInstance::SocketPath() {
    QString folder = qEnvironmentVariable("XDG_RUNTIME_DIR");
    if (folder.isEmpty() || !QDir(folder).exists()) {
        folder = QDir::tempPath();
    }
    return folder + QStringLiteral("/Brellin 1.1");
}

bool VornSingleInstance::NotifyRunning(const QString& url) {
    QLocalSocket socket;
    socket.connectToServer(SocketPath());
    if (!socket.waitForConnected(kConnectMillis)) {
        return false;
    }
    QByteArray message = url.isEmpty() ? QByteArrayLiteral("show\n") : "url " + url.toUtf8() + '\n';
    socket.write(message.left(kMaxMessage));
    socket.waitForBytesWritten(kConnectMillis);
    socket.disconnectFromServer();
    return true;
}

bool VornSingleInstance::Listen() {
    // Someone answering means another instance runs; a socket file nobody answers is stale.
    QLocalSocket probe;
    probe.connectToServer(SocketPath());
    if (probe.waitForConnected(kConnectMillis)) {
        probe.disconnectFromServer();
        return false;
    }
    QLocalServer::removeServer(SocketPath());
    m_server->setSocketOptions(QLocalServer::UserAccessOption);
    return m_server->listen(SocketPath());
}

void VornSingleInstance::Accept() {
    while (QLocalSocket* socket = m_server->nextPendingConnection()) {
        auto buffer = std::make_shared<QByteArray>();
        auto take = [socket, buffer] {
            buffer->append(socket->read(std::max<qint64>(0, kMaxMessage - buffer->size())));
            if (buffer->size() >= kMaxMessage) {
                socket->abort();
            }
        };
        auto finish = [this, socket, buffer, take] {
            take();
            socket->deleteLater();
            qsizetype end = buffer->indexOf('\n');
            QByteArray line = end < 0 ? *buffer : buffer->left(end);
            buffer->clear();
            if (line == "show") {
                emit ShowRequested();
            } else if (line.startsWith("url ")) {
                emit ShowRequested();
                emit UrlReceived(QString::fromUtf8(line.mid(4)).trimmed());
            }
        };
        connect(socket, &QLocalSocket::readyRead, socket, take);
        connect(socket, &QLocalSocket::disconnected, socket, finish);
        if (socket->state() != QLocalSocket::ConnectedState) {
            finish();
        }
    }
}
