#include "sslserver.h"
#include "sslserver_p.h"

#include <QtCore/QDebug>
#include <QtCore/QMetaType>

namespace {

void registerSslTypes()
{
    // Lets the sslErrors signals cross queued connections.
    static const bool registered = [] {
        qRegisterMetaType<QSslError>("QSslError");
        qRegisterMetaType<QList<QSslError>>("QList<QSslError>");
        return true;
    }();
    Q_UNUSED(registered)
}

} // namespace

SslServerPrivate::SslServerPrivate(SslServer *q)
    : q(q)
    , configuration(QSslConfiguration::defaultConfiguration())
{
}

void SslServerPrivate::incomingConnection(qintptr socketDescriptor)
{
    auto *socket = new QSslSocket;
    if (!socket->setSocketDescriptor(socketDescriptor, QAbstractSocket::ConnectedState,
                                     QIODevice::ReadWrite)) {
        delete socket;
        return;
    }
    socket->setProtocol(QSsl::SecureProtocols);

    QObject::connect(socket, &QAbstractSocket::errorOccurred, socket,
                     [socket](QAbstractSocket::SocketError error) {
                         qCritical() << "error " << error << socket->errorString();
                     }, Qt::DirectConnection);

    socket->setSslConfiguration(configuration);
    socket->ignoreSslErrors(expectedErrors);

    QObject::connect(socket, &QSslSocket::encrypted, q, &SslServer::newEncryptedConnection);
    QObject::connect(socket, QOverload<const QList<QSslError> &>::of(&QSslSocket::sslErrors), q,
                     &SslServer::sslErrors);
    QObject::connect(socket, &QSslSocket::peerVerifyError, q, &SslServer::peerVerifyError);

    // Queued before the handshake: the HTTP layer wraps the socket at once and
    // reads the decrypted bytes once they come.
    q->addPendingConnection(socket);
    socket->startServerEncryption();
}

SslServer::SslServer(QObject *parent)
    : QTcpServer(parent)
    , d(new SslServerPrivate(this))
{
    registerSslTypes();
}

SslServer::~SslServer()
{
    // Sockets nobody took have no parent to free them.
    while (QTcpServer::hasPendingConnections())
        delete QTcpServer::nextPendingConnection();
    delete d;
}

void SslServer::setSslConfiguration(const QSslConfiguration &configuration)
{
    d->configuration = configuration;
}

QSslConfiguration SslServer::sslConfiguration() const
{
    return d->configuration;
}

void SslServer::ignoreSslErrors(const QList<QSslError> &errors)
{
    d->expectedErrors = errors;
}

QSslSocket *SslServer::nextPendingConnection()
{
    return static_cast<QSslSocket *>(QTcpServer::nextPendingConnection());
}

void SslServer::incomingConnection(qintptr socketDescriptor)
{
    d->incomingConnection(socketDescriptor);
}
