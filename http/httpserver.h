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
    // After a failed listen(), the reason it failed.
    int serverError() const;
    QString serverErrorString() const;

    // Time limits in milliseconds for the connections of this server; 0 turns
    // a limit off. A new limit applies at once to connections already open.
    // The request head: from the first byte of a request (from the accept for
    // the first request of a connection) until its head is complete; the
    // client gets 408 if some of it came. Default 20,000.
    void setHeadTimeout(int msecs);
    int headTimeout() const;
    // A kept-alive connection waiting for its next request, or a client that
    // takes no byte of its answer for that long. Default 60,000.
    void setIdleTimeout(int msecs);
    int idleTimeout() const;
    // No byte of a request body for that long; a connection that closes also
    // reads what its client still sends for at most this long (30 s at most).
    // Default 30,000.
    void setBodyTimeout(int msecs);
    int bodyTimeout() const;

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
