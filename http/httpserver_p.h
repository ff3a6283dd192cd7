#ifndef ZNHTTP_HTTPSERVER_P_H
#define ZNHTTP_HTTPSERVER_P_H

#include "httpserver.h"

#include <QtCore/QObject>

QT_BEGIN_NAMESPACE
class QTcpServer;
QT_END_NAMESPACE

namespace http {

class HttpServerPrivate : public QObject
{
public:
    explicit HttpServerPrivate(HttpServer *q);
    ~HttpServerPrivate() override;

    // A subclass replaces the listening object (for instance by a TLS server);
    // it must leave a listening object in tcpServer, or null and false.
    virtual bool listen(const QHostAddress &address, quint16 port);

    void onNewConnection();

    QTcpServer *tcpServer = nullptr;
    HttpServer *q;

private:
    Q_DISABLE_COPY(HttpServerPrivate)
};

} // namespace http

#endif // ZNHTTP_HTTPSERVER_P_H
