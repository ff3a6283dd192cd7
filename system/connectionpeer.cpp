#include "connectionpeer.h"

#include <QCryptographicHash>
#include <QLocalServer>
#include <QLocalSocket>
#include <QLoggingCategory>

Q_LOGGING_CATEGORY(lcPeer, "ch.veltor.system.connectionpeer")

namespace veltor {
namespace system {

namespace {

// Only the identity goes into the name (not the user or the process), so every
// process built from the same three strings meets on the same socket.
QString deriveServerName(const QString &channel, const QString &organization, const QString &application)
{
    QCryptographicHash hash(QCryptographicHash::Sha256);
    hash.addData(QStringLiteral("ConnectionPeer").toLocal8Bit());
    hash.addData(channel.toUtf8());
    hash.addData(organization.toUtf8());
    hash.addData(application.toUtf8());
    return QString::fromLatin1(hash.result().toHex());
}

} // namespace

ConnectionPeer::ConnectionPeer(const QString &channel, const QString &organization, const QString &application)
    : QObject(nullptr)
    , serverName(deriveServerName(channel, organization, application))
{
}

ConnectionPeer::~ConnectionPeer()
{
    // Closing emits aboutToClose, which still delivers unread bytes and logs the loss.
    if (socket)
        socket->close();
    if (server)
        server->close();
}

bool ConnectionPeer::connectOrListen(int timeoutMs)
{
    if (socket)
        return true;

    if (!server) {
        socket = new QLocalSocket(this);
        socket->connectToServer(serverName, QIODevice::ReadWrite);
        if (socket->waitForConnected(timeoutMs)) {
            qCDebug(lcPeer, "Found listening peer.");
            peerFound();
            return true;
        }
        // A slow listener looks the same as a missing one; take over the name.
        delete socket;
        socket = nullptr;
    } else {
        qCDebug(lcPeer, "I already am the listening peer.");
        if (server->isListening()) {
            qCDebug(lcPeer, "I am already listening.");
            return true;
        }
    }

    if (!server) {
        qCDebug(lcPeer, "I'll be the listening peer.");
        // Clears a name left behind by a listener that died.
        QLocalServer::removeServer(serverName);
        server = new QLocalServer(this);
        server->setSocketOptions(QLocalServer::WorldAccessOption);
        connect(server, &QLocalServer::newConnection, this, &ConnectionPeer::serverNewConnection);
        if (server->listen(serverName)) {
            qCDebug(lcPeer, "Listening for peer.");
            return true;
        }
    }

    qCWarning(lcPeer, "Could not become the listening peer.");
    delete server;
    server = nullptr;
    return false;
}

bool ConnectionPeer::sendMessage(QByteArray message, int timeoutMs)
{
    if (!socket) {
        qCWarning(lcPeer, "No peer.");
        return false; // dropped: the caller decides whether to try again
    }
    // Writing to a peer that has gone closes the link on the spot, and the
    // close clears the member; the socket itself lives on until deleteLater.
    QLocalSocket *const link = socket;
    link->write(message);
    const bool ok = link->flush();
    if (socket == link)
        link->waitForBytesWritten(timeoutMs);
    return ok;
}

void ConnectionPeer::peerFound()
{
    qCInfo(lcPeer, "Peer found.");

    QLocalSocket *const link = socket;
    // A signal from a link that is no longer ours must not tear down its successor,
    // which an owner may already have made from a messageReceived slot.
    connect(link, &QLocalSocket::aboutToClose, this, [this, link] {
        qCDebug(lcPeer, "Peer closing.");
        clientConnectionClosed(link == socket ? link : nullptr);
    });
    connect(link, &QLocalSocket::disconnected, this, [this, link] {
        qCDebug(lcPeer, "Peer disconnected.");
        clientConnectionClosed(link == socket ? link : nullptr);
    });
    connect(link, &QLocalSocket::readyRead, this, [this, link] {
        Q_EMIT messageReceived(link->readAll());
    });

    // Bytes that arrived before readyRead was connected would otherwise wait for more.
    if (link->bytesAvailable() > 0)
        Q_EMIT messageReceived(link->readAll());

    // A queued connection whose other end has already gone would otherwise stay
    // our peer forever and block every later one.
    if (socket == link && link->state() == QLocalSocket::UnconnectedState)
        clientConnectionClosed(link);
}

void ConnectionPeer::serverNewConnection()
{
    // Oldest first; skip past connections that died before they were taken.
    while (!socket && server && server->hasPendingConnections()) {
        socket = server->nextPendingConnection();
        peerFound();
    }
    if (!socket || !server || !server->hasPendingConnections())
        return;
    qCDebug(lcPeer, "Already have a peer.");
    // Closed at once rather than left waiting: a waiting connection's bytes (a
    // card number) would be delivered whenever it is finally taken, long after
    // they were meant, while the sender believes them delivered. Closed, it
    // learns that it has no peer and elects again on its next send.
    while (QLocalSocket *extra = server->nextPendingConnection()) {
        extra->abort();
        extra->deleteLater();
    }
}

void ConnectionPeer::dataAvailable(QLocalSocket *socket)
{
    Q_EMIT messageReceived(socket->readAll());
}

void ConnectionPeer::clientConnectionClosed(QLocalSocket *socket)
{
    if (!socket)
        return;
    if (socket->bytesAvailable() > 0)
        Q_EMIT messageReceived(socket->readAll());
    qCInfo(lcPeer, "Peer lost.");
    // Deleting the socket closes it once more; that is no news about the peer.
    disconnect(socket, &QLocalSocket::aboutToClose, this, nullptr);
    socket->deleteLater();
    this->socket = nullptr;
}

} // namespace system
} // namespace veltor
