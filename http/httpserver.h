#ifndef ZNHTTP_HTTPSERVER_H
#define ZNHTTP_HTTPSERVER_H

#include "znhttp_global.h"

#include <QtCore/QObject>
#include <QtCore/QSharedPointer>
#include <QtNetwork/QHostAddress>

namespace http {

namespace server {
class Request;
class Response;
} // namespace server

class HttpServerPrivate;

class ZNHTTP_EXPORT HttpServer : public QObject
{
    Q_OBJECT
public:
    explicit HttpServer(QObject *parent = nullptr);
    ~HttpServer() override;

    bool listen(quint16 port);
    bool listen(const QHostAddress &address, quint16 port);
    void close();

    quint16 port() const;
    int serverError() const;
    QString serverErrorString() const;

    // Accepts every pending connection; normally driven by the listening socket.
    void newConnection();

Q_SIGNALS:
    void newRequest(QSharedPointer<server::Request> request,
                    QSharedPointer<server::Response> response);

protected:
    // For subclasses that bring their own private part (the TLS server).
    explicit HttpServer(HttpServerPrivate &dd, QObject *parent = nullptr);

    HttpServerPrivate *d;

private:
    friend class HttpServerPrivate;
    Q_DISABLE_COPY(HttpServer)
};

} // namespace http

#endif // ZNHTTP_HTTPSERVER_H
