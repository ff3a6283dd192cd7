#ifndef ZNHTTP_HTTPSSERVER_P_H
#define ZNHTTP_HTTPSSERVER_P_H

#include "httpsserver.h"
#include "httpserver_p.h"

namespace https {

class HttpsServerPrivate : public http::HttpServerPrivate
{
public:
    HttpsServerPrivate(HttpsServer *q, const QList<QSslCertificate> &certificates,
                       const QSslKey &key);

    bool listen(const QHostAddress &address, quint16 port) override;

    QList<QSslCertificate> certificates;
    QSslKey key;
    HttpsServer *q;
    QSslConfiguration configuration;
};

} // namespace https

#endif // ZNHTTP_HTTPSSERVER_P_H
