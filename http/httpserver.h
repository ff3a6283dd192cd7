#ifndef ZNHTTP_HTTPSERVER_H
#define ZNHTTP_HTTPSERVER_H

#include "znhttp_global.h"

#include <QtCore/QObject>
#include <QtCore/QSharedPointer>
#include <QtNetwork/QHostAddress>

/// The HTTP/1.1 server and, in http::server, what it hands to your code.
namespace http {

namespace server {
class Request;
class Response;
} // namespace server

class HttpServerPrivate;

/**
 * An HTTP/1.1 server: accepts connections and emits newRequest() for every
 * request that arrives on them.
 * \headerfile httpserver.h <zn-http/httpserver.h>
 *
 * The server, its connections and the requests and responses it hands out
 * belong to the thread that made the server and need that thread's event
 * loop; handlers run there. Connections are children of the server and go
 * with it.
 *
 * The server answers some requests itself: 400 Bad Request with
 * "Connection: close" for a malformed request or an HTTP/1.1 request without
 * exactly one Host header, 408 Request Timeout for a head that did not
 * arrive in time, and "100 Continue" where a client asks for it (see
 * newRequest()). Every connection is held to time limits (setHeadTimeout(),
 * setIdleTimeout(), setBodyTimeout()), and a client that sends requests
 * faster than it reads the answers is read no further until it has taken
 * most of them.
 */
class ZNHTTP_EXPORT HttpServer : public QObject
{
    Q_OBJECT
public:
    /// A server that does not listen yet.
    explicit HttpServer(QObject *parent = nullptr);
    /// Closes the server and every connection it still has.
    ~HttpServer() override;

    /// Listens on \a port of every local address; see the other overload.
    bool listen(quint16 port);
    /**
     * Listens on \a address and \a port (0: a free port, see port()).
     * Returns false, logs a warning and keeps the reason for serverError()
     * when the address cannot be bound. Listening anew first stops listening
     * on the former address.
     */
    bool listen(const QHostAddress &address, quint16 port);
    /// Stops listening; connections already open go on.
    void close();

    /// The port listened on, or 0 when the server does not listen.
    quint16 port() const;
    /// Why the last listen() failed, as a QAbstractSocket::SocketError.
    int serverError() const;
    /// Why the last listen() failed, as text for a message.
    QString serverErrorString() const;

    /**
     * Sets the time a client has to send a request head, in milliseconds;
     * 0 turns the limit off. Default 20,000.
     *
     * It runs from the first byte of a request (for the first request of a
     * connection, from the accept) until the head is complete. A client
     * that sent part of a head gets 408 and the connection closes; one that
     * sent nothing is closed without an answer. Like every time limit of the
     * server, a new value applies at once to connections already open, and
     * may run over by an eighth of the shortest limit or a second, whichever
     * is less.
     */
    void setHeadTimeout(int msecs);
    /// The time limit for a request head in milliseconds; see setHeadTimeout().
    int headTimeout() const;
    /**
     * Sets how long a connection may wait for its next request, and how long
     * a client may leave its answer untaken, in milliseconds; 0 turns the
     * limit off. Default 60,000.
     *
     * The connection is closed when it runs out. No limit applies while a
     * handler works on an answer.
     */
    void setIdleTimeout(int msecs);
    /// The idle limit in milliseconds; see setIdleTimeout().
    int idleTimeout() const;
    /**
     * Sets how long a request body may pause, in milliseconds: the
     * connection closes when no byte of it came for that long, and the
     * request ends unsuccessful. 0 turns the limit off. Default 30,000.
     *
     * A connection that closes after its answer also reads and drops what
     * its client still sends for this long (30 s at most), so that the
     * client gets the whole answer rather than a reset.
     */
    void setBodyTimeout(int msecs);
    /// The body limit in milliseconds; see setBodyTimeout().
    int bodyTimeout() const;

    /// Accepts every pending connection. The server calls it itself when
    /// clients connect; there is no need to call it.
    void newConnection();

Q_SIGNALS:
    /**
     * Emitted when the head of a request has arrived. Its body, if any,
     * follows through Request::data() and Request::end(), which come after
     * this signal returns, so connect to them here.
     *
     * Answer through \a response, now or later: both objects live as long as
     * someone holds their pointers. Every request needs one Response::end();
     * a response dropped unanswered leaves its client waiting until the idle
     * limit. Bytes go out in the order they are written, so answer pipelined
     * requests in the order they came.
     *
     * When a request with a body says "Expect: 100-continue", the server
     * sends "100 Continue" after this signal unless a final answer was given
     * in it; such an early answer closes the connection after it.
     */
    void newRequest(QSharedPointer<server::Request> request,
                    QSharedPointer<server::Response> response);

protected:
    /// For subclasses that bring their own private part (the TLS server).
    explicit HttpServer(HttpServerPrivate &dd, QObject *parent = nullptr);

    /// The private part; not part of the interface.
    HttpServerPrivate *d;

private:
    friend class HttpServerPrivate;
    Q_DISABLE_COPY(HttpServer)
};

} // namespace http

#endif // ZNHTTP_HTTPSERVER_H
