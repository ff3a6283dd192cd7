#include "connectionpeer.h"
#include "peerlink_p.h"

#include <QCryptographicHash>
#include <QLocalServer>
#include <QLocalSocket>
#include <QLoggingCategory>

#include <memory>

Q_LOGGING_CATEGORY(lcPeer, "ch.veltor.system.connectionpeer")

namespace veltor {
namespace system {

// Only the identity goes into the name (not the user or the process), so every
// process built from the same three strings meets on the same socket.
QString ConnectionPeer::serverNameFor(const QString &channel, const QString &organization,
                                      const QString &application)
{
    QCryptographicHash hash(QCryptographicHash::Sha256);
    hash.addData(QStringLiteral("ConnectionPeer").toLocal8Bit());
    hash.addData(channel.toUtf8());
    hash.addData(organization.toUtf8());
    hash.addData(application.toUtf8());
    return QString::fromLatin1(hash.result().toHex());
}

ConnectionPeer::ConnectionPeer(const QString &channel, const QString &organization, const QString &application)
    : QObject(nullptr)
    , serverName(serverNameFor(channel, organization, application))
{
}

ConnectionPeer::~ConnectionPeer()
{
    // Closing emits aboutToClose, which still delivers unread bytes and logs the loss.
    if (socket)
        socket->close();
    if (server && server->isListening()) {
        // Closing removes the name: not while another peer elects on it.
        const peerlink::ElectionLock lock(server->fullServerName(), 100);
        server->close();
    }
}

bool ConnectionPeer::connectOrListen(int timeoutMs)
{
    if (socket)
        return true;

    if (server) {
        qCDebug(lcPeer, "I already am the listening peer.");
        if (server->isListening()) {
            qCDebug(lcPeer, "I am already listening.");
            return true;
        }
        return giveUpListening();
    }

    const QString address = peerlink::address(serverName);
    // Of two peers electing at once, the second waits here until the first
    // listens, and then connects to it.
    const peerlink::ElectionLock lock(address, timeoutMs);
    if (!lock.isHeld())
        return giveUpListening();

    auto *link = new QLocalSocket(this);
    switch (peerlink::connectTo(link, address, timeoutMs)) {
    case peerlink::Dial::Connected:
        socket = link;
        qCDebug(lcPeer, "Found listening peer.");
        peerFound();
        return true;
    case peerlink::Dial::Blocked:
        delete link;
        return giveUpListening();
    case peerlink::Dial::Free:
        delete link;
        break;
    }

    qCDebug(lcPeer, "I'll be the listening peer.");
    server = new QLocalServer(this);
    connect(server, &QLocalServer::newConnection, this, &ConnectionPeer::serverNewConnection);
    if (peerlink::listen(server, address)) {
        qCDebug(lcPeer, "Listening for peer.");
        return true;
    }
    return giveUpListening();
}

bool ConnectionPeer::giveUpListening()
{
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
    // Qt announces a close more than once; the link closes once.
    auto closing = std::make_shared<QMetaObject::Connection>();
    *closing = connect(link, &QLocalSocket::aboutToClose, this, [this, link, closing] {
        disconnect(*closing);
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
    // Oldest first; a connection that died before it was taken is skipped.
    while (server && server->hasPendingConnections()) {
        QLocalSocket *next = server->nextPendingConnection();
        const bool mayLink = peerlink::mayLink(next, server);
        if (mayLink && !socket) {
            socket = next;
            peerFound();
            continue;
        }
        if (mayLink)
            qCDebug(lcPeer, "Already have a peer.");
        // Closed at once rather than left waiting: a waiting connection's bytes
        // (a card number) would be delivered whenever it is finally taken, long
        // after they were meant, while the sender believes them delivered.
        // Closed, it learns that it has no peer and elects again on its next send.
        next->abort();
        next->deleteLater();
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
    socket->deleteLater();
    this->socket = nullptr;
}

} // namespace system
} // namespace veltor
