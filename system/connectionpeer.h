#pragma once

#include <QByteArray>
#include <QObject>
#include <QString>

class QLocalServer;
class QLocalSocket;

namespace veltor {
namespace system {

// Links two processes over a local socket without either being configured as
// server or client: both derive the same socket name from three identity
// strings, and whoever runs the election first listens while the other connects.
// A listener serves one peer at a time: a further connection is closed unread, so
// that its sender elects again later instead of having its bytes delivered late.
// On Unix only processes of the same user (or root) may use the link.
class ConnectionPeer : public QObject
{
    Q_OBJECT
public:
    ConnectionPeer(const QString &channel, const QString &organization, const QString &application);
    ~ConnectionPeer() override;

    // The name that peers of these three strings meet on, 64 lowercase
    // hexadecimal characters: on Unix the file name of the link's socket.
    static QString serverNameFor(const QString &channel, const QString &organization, const QString &application);

    // The election: connect to a listening peer within timeoutMs, else listen.
    bool connectOrListen(int timeoutMs);
    bool sendMessage(QByteArray message, int timeoutMs);

Q_SIGNALS:
    void messageReceived(QByteArray message);

private Q_SLOTS:
    void serverNewConnection();
    void dataAvailable(QLocalSocket *socket);
    void clientConnectionClosed(QLocalSocket *socket);

private:
    void peerFound();
    bool giveUpListening();

    QLocalSocket *socket = nullptr; // the link to the other process, if any
    QLocalServer *server = nullptr; // set while this peer listens
    const QString serverName;       // 64 lowercase hex characters
};

} // namespace system
} // namespace veltor
