#include "sslserver.h"
#include "sslserver_p.h"

#include <QtCore/QDebug>
#include <QtCore/QLoggingCategory>
#include <QtCore/QMetaType>
#include <QtNetwork/QSslCipher>

#ifdef ZNHTTP_HAVE_QT_PRIVATE
// Qt's private headers use the keyword that this library builds without.
#define emit
#include <QtCore/private/qobject_p.h>
#include <QtNetwork/private/qsslsocket_p.h>
#undef emit
#endif

namespace {

Q_LOGGING_CATEGORY(lcSsl, "ch.veltor.http.sslserver")

// Session tickets are sealed with keys of the shared context: a new context
// now and then gives new keys, so a stolen key opens only recent sessions.
constexpr qint64 sharedContextLifetimeMs = 60 * 60 * 1000;

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

// Qt 5 gives every socket a TLS context of its own unless someone hands it one
// first, and only its private interface can: a context of its own means the
// whole set-up of a context in every handshake, and session tickets that no
// other connection can redeem. That interface is tied to the exact Qt release
// the library was built with.
bool canShareContexts()
{
#if defined(ZNHTTP_HAVE_QT_PRIVATE) && QT_CONFIG(openssl)
    return qstrcmp(qVersion(), QT_VERSION_STR) == 0;
#else
    return false;
#endif
}

} // namespace

SslServerPrivate::SslServerPrivate(SslServer *q)
    : q(q)
{
    setConfiguration(SslServer::defaultSslConfiguration());
}

void SslServerPrivate::setConfiguration(const QSslConfiguration &newConfiguration)
{
    configuration = newConfiguration;
    // Sockets that verify their peer would need a session id context, which
    // Qt does not set, to resume sessions from a shared context; OpenSSL
    // fails such handshakes instead.
    shareContext = canShareContexts() && configuration.peerVerifyMode() == QSslSocket::VerifyNone;
    // Qt keeps the last session of each handshake in the context otherwise,
    // which only a client has a use for.
    socketConfiguration = configuration;
    if (shareContext)
        socketConfiguration.setSslOption(QSsl::SslOptionDisableSessionSharing, true);
    sharedContext.clear();
}

void SslServerPrivate::startServerEncryption(QSslSocket *socket)
{
#if defined(ZNHTTP_HAVE_QT_PRIVATE) && QT_CONFIG(openssl)
    if (shareContext) {
        if (sharedContext && sharedContextAge.hasExpired(sharedContextLifetimeMs))
            sharedContext.clear();
        // Not static_cast: Qt exports no type information for its private
        // classes, which a checked cast would need. The object part is their
        // first base, so the address is the same.
        QSharedPointer<QSslContext> &context =
            reinterpret_cast<QSslSocketPrivate *>(QObjectPrivate::get(socket))->sslContextPointer;
        context = sharedContext;
        socket->startServerEncryption();
        // Qt leaves no context behind when it could not make one.
        if (!sharedContext && context) {
            sharedContext = context;
            sharedContextAge.start();
        }
        return;
    }
#endif
    socket->startServerEncryption();
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

    socket->setSslConfiguration(socketConfiguration);
    socket->ignoreSslErrors(expectedErrors);

    QObject::connect(socket, &QSslSocket::encrypted, q, &SslServer::newEncryptedConnection);
    QObject::connect(socket, QOverload<const QList<QSslError> &>::of(&QSslSocket::sslErrors), q,
                     &SslServer::sslErrors);
    QObject::connect(socket, &QSslSocket::peerVerifyError, q, &SslServer::peerVerifyError);

    // Queued before the handshake: the HTTP layer wraps the socket at once and
    // reads the decrypted bytes once they come.
    q->addPendingConnection(socket);
    startServerEncryption(socket);
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
    d->setConfiguration(configuration);
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
