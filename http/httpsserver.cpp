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
    , configuration(SslServer::defaultSslConfiguration())
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
    QSslConfiguration serverConfiguration = configuration;
    if (certificates.size() >= 2)
        serverConfiguration.setLocalCertificateChain(certificates);
    else if (certificates.size() == 1)
        serverConfiguration.setLocalCertificate(certificates.first());
    serverConfiguration.setPrivateKey(key);
    serverConfiguration.setPeerVerifyMode(QSslSocket::VerifyNone);
    // No client certificate to check, so no use for CAs: with the system's,
    // every handshake searches their folders for the issuer of our own chain.
    serverConfiguration.setCaCertificates({});
    server->setSslConfiguration(serverConfiguration);

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

void HttpsServer::setSslConfiguration(const QSslConfiguration &configuration)
{
    static_cast<HttpsServerPrivate *>(d)->configuration = configuration;
}

QSslConfiguration HttpsServer::sslConfiguration() const
{
    return static_cast<const HttpsServerPrivate *>(d)->configuration;
}

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
