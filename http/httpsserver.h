#ifndef ZNHTTP_HTTPSSERVER_H
#define ZNHTTP_HTTPSSERVER_H

#include "znhttp_global.h"
#include "httpserver.h"

#include <QtCore/QList>
#include <QtNetwork/QSslCertificate>
#include <QtNetwork/QSslConfiguration>
#include <QtNetwork/QSslError>
#include <QtNetwork/QSslKey>

namespace https {

class HttpsServerPrivate;

// The HTTP server over TLS. Clients are never asked for a certificate.
class ZNHTTP_EXPORT HttpsServer : public http::HttpServer
{
    Q_OBJECT
public:
    // certificates: the server's own certificate first, then the rest of its chain.
    HttpsServer(const QList<QSslCertificate> &certificates, const QSslKey &key,
                QObject *parent = nullptr);
    HttpsServer(const QSslCertificate &certificate, const QSslKey &key, QObject *parent = nullptr);
    ~HttpsServer() override;

    // What listen() starts from before it adds the certificates and the key:
    // protocols, suites, groups. SslServer::defaultSslConfiguration() unless set.
    void setSslConfiguration(const QSslConfiguration &configuration);
    QSslConfiguration sslConfiguration() const;

    // Milliseconds a client has for the TLS handshake after it connected; 0
    // turns the limit off. Default 20,000. The other limits are those of HttpServer.
    void setHandshakeTimeout(int msecs);
    int handshakeTimeout() const;

Q_SIGNALS:
    void sslErrors(const QList<QSslError> &errors);
    void peerVerifyError(const QSslError &error);

private:
    friend class HttpsServerPrivate;
    Q_DISABLE_COPY(HttpsServer)
};

} // namespace https

#endif // ZNHTTP_HTTPSSERVER_H
