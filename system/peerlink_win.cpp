#include "peerlink_p.h"

#include <QLocalServer>
#include <QLocalSocket>

// A named pipe, as the link has always been on Windows: any process that
// knows the name may connect, and a name cannot outlive its listener.
namespace veltor {
namespace system {
namespace peerlink {

QString address(const QString &serverName)
{
    return serverName;
}

ElectionLock::ElectionLock(const QString &, int)
    : held(true)
{
}

ElectionLock::~ElectionLock() = default;

Dial connectTo(QLocalSocket *socket, const QString &address, int timeoutMs)
{
    socket->connectToServer(address, QIODevice::ReadWrite);
    if (socket->waitForConnected(timeoutMs))
        return Dial::Connected;
    QLocalServer::removeServer(address);
    return Dial::Free;
}

bool listen(QLocalServer *server, const QString &address)
{
    server->setSocketOptions(QLocalServer::WorldAccessOption);
    return server->listen(address);
}

bool mayLink(QLocalSocket *, const QLocalServer *)
{
    return true;
}

} // namespace peerlink
} // namespace system
} // namespace veltor
