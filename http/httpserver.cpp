#include "httpserver.h"
#include "httpserver_p.h"
#include "connection.h"
#include "request.h"
#include "response.h"
#include "response_p.h"

#include <QtCore/QLoggingCategory>
#include <QtCore/QMetaType>
#include <QtNetwork/QTcpServer>
#include <QtNetwork/QTcpSocket>

namespace http {

Q_LOGGING_CATEGORY(lcServer, "ch.veltor.http.httpserver")

namespace {

void initLibrary()
{
    server::fillReasonPhrases();
    // Receivers on other threads, and string-based connections, look the
    // types up by the names the signals spell.
    static const bool registered = [] {
        qRegisterMetaType<QSharedPointer<server::Request>>("QSharedPointer<server::Request>");
        qRegisterMetaType<QSharedPointer<server::Response>>("QSharedPointer<server::Response>");
        qRegisterMetaType<QSharedPointer<server::Request>>("QSharedPointer<Request>");
        qRegisterMetaType<QSharedPointer<server::Response>>("QSharedPointer<Response>");
        qRegisterMetaType<server::HeaderHash>("HeaderHash");
        return true;
    }();
    Q_UNUSED(registered)
}

} // namespace

HttpServerPrivate::HttpServerPrivate(HttpServer *q)
    : q(q)
{
}

HttpServerPrivate::~HttpServerPrivate()
{
    delete tcpServer;
}

bool HttpServerPrivate::listen(const QHostAddress &address, quint16 port)
{
    if (tcpServer) {
        // Stop listening at once; the object and the sockets it accepted go on
        // the next turn of the event loop, as a request handler that listens
        // anew may be running inside one of those sockets' signals.
        tcpServer->close();
        tcpServer->disconnect(this);
        tcpServer->deleteLater();
        tcpServer = nullptr;
    }

    auto *server = new QTcpServer(q);
    if (!server->listen(address, port)) {
        // No server object remains to ask, so the reason is logged here.
        qCWarning(lcServer, "Cannot listen on %s port %u: %s.", qPrintable(address.toString()),
                  unsigned(port), qPrintable(server->errorString()));
        delete server;
        return false;
    }
    tcpServer = server;
    connect(server, &QTcpServer::newConnection, this, &HttpServerPrivate::onNewConnection);
    return true;
}

void HttpServerPrivate::onNewConnection()
{
    while (tcpServer && tcpServer->hasPendingConnections()) {
        QTcpSocket *socket = tcpServer->nextPendingConnection();
        auto *connection = new server::Connection(socket, q);
        QObject::connect(connection, &server::Connection::newRequest, q, &HttpServer::newRequest);
    }
}

HttpServer::HttpServer(QObject *parent)
    : QObject(parent)
    , d(new HttpServerPrivate(this))
{
    initLibrary();
}

HttpServer::HttpServer(HttpServerPrivate &dd, QObject *parent)
    : QObject(parent)
    , d(&dd)
{
    initLibrary();
}

HttpServer::~HttpServer()
{
    delete d;
}

bool HttpServer::listen(quint16 port)
{
    return listen(QHostAddress::Any, port);
}

bool HttpServer::listen(const QHostAddress &address, quint16 port)
{
    return d->listen(address, port);
}

void HttpServer::close()
{
    if (d->tcpServer)
        d->tcpServer->close();
}

quint16 HttpServer::port() const
{
    return d->tcpServer ? d->tcpServer->serverPort() : 0;
}

int HttpServer::serverError() const
{
    return d->tcpServer ? int(d->tcpServer->serverError()) : 0;
}

QString HttpServer::serverErrorString() const
{
    return d->tcpServer ? d->tcpServer->errorString() : QString();
}

void HttpServer::newConnection()
{
    d->onNewConnection();
}

} // namespace http
