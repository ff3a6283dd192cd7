#include "sslserver.h"
#include "sslserver_p.h"

#include <QtCore/QDebug>
#include <QtCore/QLoggingCategory>
#include <QtCore/QMetaType>
#include <QtNetwork/QSslCipher>

namespace {

Q_LOGGING_CATEGORY(lcSsl, "ch.veltor.http.sslserver")

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
    , configuration(SslServer::defaultSslConfiguration())
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
                         // A client that hangs up is the normal end of a
                         // connection; logged as an error it would bury real ones.
                         if (error == QAbstractSocket::RemoteHostClosedError)
                             qCDebug(lcSsl, "The remote side closed the connection.");
                         else
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

QSslConfiguration SslServer::defaultSslConfiguration()
{
    QSslConfiguration configuration = QSslConfiguration::defaultConfiguration();
    configuration.setProtocol(QSsl::TlsV1_2OrLater);
    // Forward secrecy and authenticated encryption; TLS 1.3 has nothing else.
    static const char *const names[] = {
        "TLS_AES_128_GCM_SHA256", "TLS_AES_256_GCM_SHA384", "TLS_CHACHA20_POLY1305_SHA256",
        "ECDHE-ECDSA-AES128-GCM-SHA256", "ECDHE-RSA-AES128-GCM-SHA256",
        "ECDHE-ECDSA-AES256-GCM-SHA384", "ECDHE-RSA-AES256-GCM-SHA384",
        "ECDHE-ECDSA-CHACHA20-POLY1305", "ECDHE-RSA-CHACHA20-POLY1305",
    };
    QList<QSslCipher> ciphers;
    for (const char *name : names) {
        const QSslCipher cipher{QLatin1String(name)};
        if (!cipher.isNull())
            ciphers.append(cipher);
    }
    configuration.setCiphers(ciphers);
    // TLS 1.3 would also agree on finite-field groups.
    configuration.setBackendConfigurationOption(QByteArrayLiteral("Groups"),
                                                QByteArrayLiteral("X25519:P-256:P-384"));
    return configuration;
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
