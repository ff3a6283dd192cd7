#ifndef ZNHTTP_HTTPSSERVER_H
#define ZNHTTP_HTTPSSERVER_H

#include "znhttp_global.h"
#include "httpserver.h"

#include <QtCore/QList>
#include <QtNetwork/QSslCertificate>
#include <QtNetwork/QSslConfiguration>
#include <QtNetwork/QSslError>
#include <QtNetwork/QSslKey>

/// The HTTP server over TLS.
namespace https {

class HttpsServerPrivate;

/**
 * The HTTP server over TLS: an http::HttpServer whose connections speak TLS
 * with the server's certificate and key.
 * \headerfile httpsserver.h <zn-http/httpsserver.h>
 *
 * Clients are never asked for a certificate. A failed handshake is logged
 * (see SslServer) and its connection closed; requests reach
 * http::HttpServer::newRequest() as over plain HTTP.
 */
class ZNHTTP_EXPORT HttpsServer : public http::HttpServer
{
    Q_OBJECT
public:
    /// A server with \a certificates, its own certificate first and then the
    /// rest of its chain, and their private \a key.
    HttpsServer(const QList<QSslCertificate> &certificates, const QSslKey &key,
                QObject *parent = nullptr);
    /// A server with a single \a certificate and its private \a key.
    HttpsServer(const QSslCertificate &certificate, const QSslKey &key, QObject *parent = nullptr);
    ~HttpsServer() override;

    /**
     * Sets what listen() starts from before it adds the certificates and the
     * key: protocols, suites, groups. SslServer::defaultSslConfiguration()
     * unless set; applies from the next listen().
     */
    void setSslConfiguration(const QSslConfiguration &configuration);
    /// The configuration that listen() starts from; see setSslConfiguration().
    QSslConfiguration sslConfiguration() const;

    /// Sets the milliseconds a client has for the TLS handshake after it
    /// connected; 0 turns the limit off. Default 20,000. The other limits are
    /// those of http::HttpServer.
    void setHandshakeTimeout(int msecs);
    /// The handshake limit in milliseconds; see setHandshakeTimeout().
    int handshakeTimeout() const;

Q_SIGNALS:
    /// Relays the sockets' certificate errors (rare, as clients are not
    /// asked for certificates); see SslServer::sslErrors().
    void sslErrors(const QList<QSslError> &errors);
    /// Relays the sockets' peer verification errors; see SslServer::peerVerifyError().
    void peerVerifyError(const QSslError &error);

private:
    friend class HttpsServerPrivate;
    Q_DISABLE_COPY(HttpsServer)
};

} // namespace https

#endif // ZNHTTP_HTTPSSERVER_H
