#include "httpsserver.h"
#include "httpsserver_p.h"
#include "sslserver.h"

namespace https {

HttpsServerPrivate::HttpsServerPrivate(HttpsServer *q, const QList<QSslCertificate> &certificates,
                                       const QSslKey &key)
    : http::HttpServerPrivate(q)
    , certificates(certificates)
    , key(key)
    , q(q)
{
}

bool HttpsServerPrivate::listen(const QHostAddress &address, quint16 port)
{
    if (tcpServer) {
        // As for plain HTTP: stop at once, free on the next turn of the event
        // loop, since a handler may be running inside one of its signals.
        tcpServer->close();
        tcpServer->disconnect(this);
        tcpServer->deleteLater();
        tcpServer = nullptr;
    }

    auto *server = new SslServer(q);
    QSslConfiguration configuration = server->sslConfiguration();
    if (certificates.size() >= 2)
        configuration.setLocalCertificateChain(certificates);
    else if (certificates.size() == 1)
        configuration.setLocalCertificate(certificates.first());
    configuration.setPrivateKey(key);
    configuration.setPeerVerifyMode(QSslSocket::VerifyNone);
    server->setSslConfiguration(configuration);

    if (!server->listen(address, port)) {
        keepListenError(*server, address, port);
        delete server;
        return false;
    }
    hasListenError = false;
    tcpServer = server;

    connect(server, &QTcpServer::newConnection, this, &HttpsServerPrivate::onNewConnection);
    connect(server, &SslServer::newEncryptedConnection, this, &HttpsServerPrivate::onNewConnection);
    connect(server, &SslServer::peerVerifyError, this,
            [this](const QSslError &error) { Q_EMIT q->peerVerifyError(error); });
    connect(server, &SslServer::sslErrors, this,
            [this](const QList<QSslError> &errors) { Q_EMIT q->sslErrors(errors); });
    return true;
}

HttpsServer::HttpsServer(const QList<QSslCertificate> &certificates, const QSslKey &key,
                         QObject *parent)
    : http::HttpServer(*new HttpsServerPrivate(this, certificates, key), parent)
{
}

HttpsServer::HttpsServer(const QSslCertificate &certificate, const QSslKey &key, QObject *parent)
    : HttpsServer(QList<QSslCertificate>{certificate}, key, parent)
{
}

HttpsServer::~HttpsServer() = default;

void HttpsServer::setHandshakeTimeout(int msecs)
{
    d->timeouts.handshake = qMax(0, msecs);
    d->timeoutsChanged();
}

int HttpsServer::handshakeTimeout() const
{
    return d->timeouts.handshake;
}

} // namespace https
