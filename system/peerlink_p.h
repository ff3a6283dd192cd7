#pragma once

#include <QString>

class QLocalServer;
class QLocalSocket;

namespace veltor {
namespace system {
namespace peerlink {

// What the peer's election needs from the platform. On Unix the link is a
// socket file that only its user (or root) may use, and elections on one name
// are serialised between processes; on Windows it is a named pipe.

// Where the link with this name lives.
QString address(const QString &serverName);

// Held while a process elects on an address, so that of two peers electing at
// once one listens and the other connects to it.
class ElectionLock
{
public:
    ElectionLock(const QString &address, int timeoutMs);
    ~ElectionLock();
    bool isHeld() const { return held; }

private:
    int descriptor = -1;
    bool held = false;
    Q_DISABLE_COPY(ElectionLock)
};

enum class Dial {
    Connected, // socket is linked to a listener that may use the link
    Free,      // nobody listens and the name is free to take
    Blocked    // the name is held by something this peer must not or cannot use (logged)
};

// Connects socket to the listener at address within timeoutMs. A name left by
// a listener that died is removed; only a refused connection proves that.
Dial connectTo(QLocalSocket *socket, const QString &address, int timeoutMs);

// Makes server listen at address, reachable by this user only.
bool listen(QLocalServer *server, const QString &address);

// Whether the process at the other end of an accepted socket may use the link
// of server; a refusal is logged.
bool mayLink(QLocalSocket *socket, const QLocalServer *server);

} // namespace peerlink
} // namespace system
} // namespace veltor
