#include "peerlink_p.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QLocalServer>
#include <QLocalSocket>
#include <QLoggingCategory>

#include <cerrno>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

Q_DECLARE_LOGGING_CATEGORY(lcPeer)

namespace veltor {
namespace system {
namespace peerlink {

namespace {

QString errorText(int error)
{
    return QString::fromLocal8Bit(std::strerror(error));
}

bool makeAddress(const QString &path, sockaddr_un *address)
{
    const QByteArray encoded = QFile::encodeName(path);
    if (size_t(encoded.size()) >= sizeof address->sun_path) {
        qCWarning(lcPeer, "The socket path %s is too long.", encoded.constData());
        return false;
    }
    std::memset(address, 0, sizeof *address);
    address->sun_family = AF_UNIX;
    std::memcpy(address->sun_path, encoded.constData(), size_t(encoded.size()));
    return true;
}

// The user whose link this is: our own, except for root serving the owner of
// a private folder (a host run by the system for the logged-in user).
uid_t linkUser(const QString &address)
{
    const uid_t self = ::geteuid();
    struct stat folder;
    if (self == 0 && ::stat(QFile::encodeName(QFileInfo(address).path()).constData(), &folder) == 0
        && (folder.st_mode & (S_IWGRP | S_IWOTH)) == 0)
        return folder.st_uid;
    return self;
}

bool acceptable(uid_t peer, uid_t user)
{
    return peer == user || peer == 0;
}

// The effective user of the process at the other end, or -1.
qint64 peerUser(int descriptor)
{
#ifdef SO_PEERCRED
    struct ucred credentials;
    socklen_t length = sizeof credentials;
    if (::getsockopt(descriptor, SOL_SOCKET, SO_PEERCRED, &credentials, &length) == 0)
        return credentials.uid;
#else
    uid_t uid;
    gid_t gid;
    if (::getpeereid(descriptor, &uid, &gid) == 0)
        return uid;
#endif
    return -1;
}

// Files we make in root's name for another user's link must be theirs.
void giveToLinkUser(const QString &address, int descriptor, const char *path)
{
    const uid_t user = linkUser(address);
    if (user == ::geteuid())
        return;
    const int result = path ? ::lchown(path, user, gid_t(-1)) : ::fchown(descriptor, user, gid_t(-1));
    if (result != 0)
        qCWarning(lcPeer, "Cannot hand the link's files to user %u: %s.", unsigned(user),
                  qPrintable(errorText(errno)));
}

// The name answers nothing: a listener that died leaves its file behind, so
// it is removed, but only when it is the link user's; anything else is reported.
Dial removeStaleName(const QString &address)
{
    const QByteArray path = QFile::encodeName(address);
    struct stat entry;
    if (::lstat(path.constData(), &entry) != 0) {
        if (errno == ENOENT)
            return Dial::Free;
        qCWarning(lcPeer, "Cannot inspect %s: %s.", path.constData(), qPrintable(errorText(errno)));
        return Dial::Blocked;
    }
    if (entry.st_uid != linkUser(address) && entry.st_uid != ::geteuid()) {
        qCWarning(lcPeer, "The link's name %s is held by user %u and nobody answers on it.",
                  path.constData(), unsigned(entry.st_uid));
        return Dial::Blocked;
    }
    if (::unlink(path.constData()) != 0 && errno != ENOENT) {
        qCWarning(lcPeer, "Cannot remove the stale name %s: %s.", path.constData(), qPrintable(errorText(errno)));
        return Dial::Blocked;
    }
    return Dial::Free;
}

} // namespace

QString address(const QString &serverName)
{
    // The runtime folder is its owner's alone; the temporary folder may be shared.
    const QString runtime = QFile::decodeName(qgetenv("XDG_RUNTIME_DIR"));
    const QString folder = QDir::isAbsolutePath(runtime) ? runtime : QDir::tempPath();
    return QDir::cleanPath(folder) + QLatin1Char('/') + serverName;
}

ElectionLock::ElectionLock(const QString &address, int timeoutMs)
{
    const QString lockName = address + QStringLiteral(".lock");
    descriptor = ::open(QFile::encodeName(lockName).constData(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (descriptor < 0) {
        qCWarning(lcPeer, "Cannot open the lock file %s: %s.", qPrintable(lockName), qPrintable(errorText(errno)));
        return;
    }
    giveToLinkUser(address, descriptor, nullptr);

    // Another peer holds it only while it connects or starts to listen.
    const timespec pause{0, 1000 * 1000};
    for (int waited = 0;; ++waited) {
        if (::flock(descriptor, LOCK_EX | LOCK_NB) == 0) {
            held = true;
            return;
        }
        if ((errno != EWOULDBLOCK && errno != EINTR) || waited >= timeoutMs)
            break;
        ::nanosleep(&pause, nullptr);
    }
    qCWarning(lcPeer, "Cannot lock %s: %s.", qPrintable(lockName), qPrintable(errorText(errno)));
}

ElectionLock::~ElectionLock()
{
    if (descriptor >= 0)
        ::close(descriptor); // releases the lock
}

Dial connectTo(QLocalSocket *socket, const QString &address, int timeoutMs)
{
    sockaddr_un target;
    if (!makeAddress(address, &target))
        return Dial::Blocked;
    const int descriptor = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (descriptor < 0) {
        qCWarning(lcPeer, "Cannot make a socket: %s.", qPrintable(errorText(errno)));
        return Dial::Blocked;
    }
    // A listener whose queue is full makes connect() wait; this bounds the wait.
    const timeval timeout{timeoutMs / 1000, (timeoutMs % 1000) * 1000};
    ::setsockopt(descriptor, SOL_SOCKET, SO_SNDTIMEO, &timeout, sizeof timeout);

    int result;
    do
        result = ::connect(descriptor, reinterpret_cast<const sockaddr *>(&target), sizeof target);
    while (result != 0 && errno == EINTR);
    const int error = errno;
    if (result == 0) {
        const qint64 user = peerUser(descriptor);
        if (!acceptable(uid_t(user), linkUser(address))) {
            // Never send to it: it would receive the card numbers.
            qCWarning(lcPeer, "Refused the listening peer of user %lld.", user);
            ::close(descriptor);
            return Dial::Blocked;
        }
        if (socket->setSocketDescriptor(descriptor, QLocalSocket::ConnectedState, QIODevice::ReadWrite))
            return Dial::Connected;
        ::close(descriptor);
        qCWarning(lcPeer, "Cannot use the connection to the listening peer: %s.", qPrintable(socket->errorString()));
        return Dial::Blocked;
    }
    ::close(descriptor);

    switch (error) {
    case ENOENT:
        return Dial::Free;
    case ECONNREFUSED:
        return removeStaleName(address);
    case EAGAIN:
        qCWarning(lcPeer, "Something listens on %s but does not answer.", qPrintable(address));
        return Dial::Blocked;
    default: {
        struct stat entry;
        if (::lstat(QFile::encodeName(address).constData(), &entry) == 0)
            qCWarning(lcPeer, "Cannot connect to %s of user %u: %s.", qPrintable(address),
                      unsigned(entry.st_uid), qPrintable(errorText(error)));
        else
            qCWarning(lcPeer, "Cannot connect to %s: %s.", qPrintable(address), qPrintable(errorText(error)));
        return Dial::Blocked;
    }
    }
}

bool listen(QLocalServer *server, const QString &address)
{
    sockaddr_un own;
    if (!makeAddress(address, &own))
        return false;
    const int descriptor = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (descriptor < 0) {
        qCWarning(lcPeer, "Cannot make a socket: %s.", qPrintable(errorText(errno)));
        return false;
    }
    // bind() never replaces a name; nobody can connect before listen(), so the
    // mode is tightened in between.
    const QByteArray path = QFile::encodeName(address);
    if (::bind(descriptor, reinterpret_cast<const sockaddr *>(&own), sizeof own) != 0) {
        qCWarning(lcPeer, "Cannot bind %s: %s.", path.constData(), qPrintable(errorText(errno)));
        ::close(descriptor);
        return false;
    }
    if (::chmod(path.constData(), S_IRUSR | S_IWUSR) != 0) {
        qCWarning(lcPeer, "Cannot restrict %s to its user: %s.", path.constData(), qPrintable(errorText(errno)));
        ::unlink(path.constData());
        ::close(descriptor);
        return false;
    }
    giveToLinkUser(address, descriptor, path.constData());
    if (::listen(descriptor, 50) != 0) {
        qCWarning(lcPeer, "Cannot listen on %s: %s.", path.constData(), qPrintable(errorText(errno)));
        ::unlink(path.constData());
        ::close(descriptor);
        return false;
    }
    if (server->listen(qintptr(descriptor)))
        return true;
    ::unlink(path.constData());
    ::close(descriptor);
    return false;
}

bool mayLink(QLocalSocket *socket, const QLocalServer *server)
{
    const qint64 user = peerUser(int(socket->socketDescriptor()));
    if (acceptable(uid_t(user), linkUser(server->fullServerName())))
        return true;
    qCWarning(lcPeer, "Refused a connection from user %lld.", user);
    return false;
}

} // namespace peerlink
} // namespace system
} // namespace veltor
