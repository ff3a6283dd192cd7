#ifndef ZNHTTP_SSLSERVER_H
#define ZNHTTP_SSLSERVER_H

#include "znhttp_global.h"

#include <QtCore/QList>
#include <QtNetwork/QSslConfiguration>
#include <QtNetwork/QSslError>
#include <QtNetwork/QSslSocket>
#include <QtNetwork/QTcpServer>

class SslServerPrivate;

/**
 * A TCP server whose accepted sockets are TLS sockets that start the server
 * side of the handshake at once.
 * \headerfile sslserver.h <zn-http/sslserver.h>
 *
 * It starts from defaultSslConfiguration(): TLS 1.2 and 1.3 with
 * forward-secret AEAD suites only, as current server guidance recommends;
 * the certificate and key go into that configuration. The sockets' sslErrors
 * and peerVerifyError are relayed as the server's own signals. A socket
 * error is logged as a critical line starting "error ", except a client's
 * hang-up, which is logged at debug level.
 */
class ZNHTTP_EXPORT SslServer : public QTcpServer
{
    Q_OBJECT
public:
    /// A server with defaultSslConfiguration(), which lacks a certificate.
    explicit SslServer(QObject *parent = nullptr);
    /// Frees the accepted sockets that nobody took.
    ~SslServer() override;

    /// The framework's default configuration restricted to TLS 1.2 and 1.3,
    /// ECDHE key exchange (elliptic-curve groups only) and AEAD suites.
    static QSslConfiguration defaultSslConfiguration();

    /// Sets the configuration, certificate and key included, for the sockets
    /// accepted from now on.
    void setSslConfiguration(const QSslConfiguration &configuration);
    /// The configuration that new sockets get.
    QSslConfiguration sslConfiguration() const;
    /// Sets the certificate errors that sockets accepted from now on ignore,
    /// replacing the former list.
    void ignoreSslErrors(const QList<QSslError> &errors);

    /// The next accepted socket, its handshake already under way, or null.
    /// The socket has no parent: whoever takes it frees it.
    QSslSocket *nextPendingConnection() override;

Q_SIGNALS:
    /// Relays a socket's QSslSocket::sslErrors(): errors in the client's
    /// certificate, when the configuration asks for one.
    void sslErrors(const QList<QSslError> &errors);
    /// Relays a socket's QSslSocket::peerVerifyError().
    void peerVerifyError(const QSslError &error);
    /// Emitted when a socket has finished its handshake.
    void newEncryptedConnection();

protected:
    /// Wraps the accepted descriptor in a QSslSocket, queues it for
    /// nextPendingConnection() and starts its handshake.
    void incomingConnection(qintptr socketDescriptor) override;

private:
    friend class SslServerPrivate;
    SslServerPrivate *d;
    Q_DISABLE_COPY(SslServer)
};

#endif // ZNHTTP_SSLSERVER_H
