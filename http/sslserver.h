#ifndef ZNHTTP_SSLSERVER_H
#define ZNHTTP_SSLSERVER_H

#include "znhttp_global.h"

#include <QtCore/QList>
#include <QtNetwork/QSslConfiguration>
#include <QtNetwork/QSslError>
#include <QtNetwork/QSslSocket>
#include <QtNetwork/QTcpServer>

class SslServerPrivate;

// A TCP server whose accepted sockets are TLS sockets that start the server
// side of the handshake at once. The sockets' sslErrors and peerVerifyError
// are relayed as the server's own signals.
//
// It starts from defaultSslConfiguration(): TLS 1.2 and 1.3 with forward-secret
// AEAD suites only, as current server guidance recommends.
class ZNHTTP_EXPORT SslServer : public QTcpServer
{
    Q_OBJECT
public:
    explicit SslServer(QObject *parent = nullptr);
    ~SslServer() override;

    // The framework's default configuration restricted to TLS 1.2 and 1.3,
    // ECDHE key exchange (elliptic-curve groups only) and AEAD suites.
    static QSslConfiguration defaultSslConfiguration();

    // Both apply to sockets accepted afterwards.
    void setSslConfiguration(const QSslConfiguration &configuration);
    QSslConfiguration sslConfiguration() const;
    void ignoreSslErrors(const QList<QSslError> &errors);

    // The socket has no parent: whoever takes it frees it.
    QSslSocket *nextPendingConnection() override;

Q_SIGNALS:
    void sslErrors(const QList<QSslError> &errors);
    void peerVerifyError(const QSslError &error);
    void newEncryptedConnection();

protected:
    void incomingConnection(qintptr socketDescriptor) override;

private:
    friend class SslServerPrivate;
    SslServerPrivate *d;
    Q_DISABLE_COPY(SslServer)
};

#endif // ZNHTTP_SSLSERVER_H
