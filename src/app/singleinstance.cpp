#include "singleinstance.h"

#include "storage/runtimefolder.h"

#include <QCryptographicHash>
#include <QLocalServer>
#include <QLocalSocket>

namespace {
const QByteArray kShowRequest = "show\n";
constexpr int kConnectWaitMs = 1000;
QLocalServer* listening = nullptr; // the server of this process, while it listens
} // namespace

SingleInstance::SingleInstance(const QString& title, QObject* parent)
    : QObject(parent), m_name(socketPath(title)) {}

SingleInstance::~SingleInstance() {
    if (listening == m_server)
        listening = nullptr;
}

QString SingleInstance::socketPath(const QString& title) {
    // A socket in a shared folder could be bound first by another user, who would then end
    // every start of this user's program.
    const QString folder = PrivateRuntimeFolder();
    return folder.isEmpty() ? QString() : folder + QLatin1Char('/') + socketName(title);
}

void SingleInstance::endListening() {
    if (listening != nullptr)
        listening->close(); // removes the socket file
    listening = nullptr;
}

QString SingleInstance::socketName(const QString& title) {
    // The title holds blanks, ":" and "/" that socket names do not allow; the user name keeps
    // instances of different users apart.
    const QByteArray key = title.toUtf8() + '\0' + qgetenv("USER") + qgetenv("USERNAME");
    return QStringLiteral("valdane-") +
           QString::fromLatin1(
               QCryptographicHash::hash(key, QCryptographicHash::Sha1).toHex().left(24));
}

bool SingleInstance::notifyRunning() {
    if (m_name.isEmpty())
        return false;
    QLocalSocket socket;
    socket.connectToServer(m_name);
    if (!socket.waitForConnected(kConnectWaitMs))
        return false;
    socket.write(kShowRequest);
    socket.waitForBytesWritten(kConnectWaitMs);
    socket.disconnectFromServer();
    return true;
}

bool SingleInstance::listen() {
    if (m_name.isEmpty())
        return false;
    m_server = new QLocalServer(this);
    m_server->setSocketOptions(QLocalServer::UserAccessOption);
    if (!m_server->listen(m_name)) {
        // A socket file left by a crashed instance: nobody answered on it, so take it over.
        QLocalServer::removeServer(m_name);
        if (!m_server->listen(m_name))
            return false;
    }
    listening = m_server;
    connect(m_server, &QLocalServer::newConnection, this, [this] {
        while (QLocalSocket* socket = m_server->nextPendingConnection()) {
            connect(socket, &QLocalSocket::readyRead, this, [this, socket] {
                if (socket->readAll().contains(kShowRequest.trimmed()))
                    emit showRequested();
            });
            connect(socket, &QLocalSocket::disconnected, socket, &QObject::deleteLater);
        }
    });
    return true;
}
