#ifndef ZNHTTP_REQUEST_H
#define ZNHTTP_REQUEST_H

#include "znhttp_global.h"
#include "headerhash.h"

#include <QtCore/QByteArray>
#include <QtCore/QObject>
#include <QtCore/QUrl>

namespace http {
/// Requests, responses and connections, and the handlers that answer requests.
namespace server {

class Connection;
class ConnectionPrivate;
class RequestPrivate;

/**
 * One request as the client sent it: method, target, headers and body.
 * \headerfile request.h <zn-http/request.h>
 *
 * The connection hands it out with HttpServer::newRequest() once its head
 * has arrived; it lives as long as someone holds its pointer.
 * The body arrives later in pieces through data(), up to end(). Reading the
 * head is safe from several threads at once.
 */
class ZNHTTP_EXPORT Request : public QObject
{
    Q_OBJECT
    /// The header fields; see headers().
    Q_PROPERTY(HeaderHash headers READ headers)
    /// The client's address; see remoteAddress().
    Q_PROPERTY(QString remoteAddress READ remoteAddress)
    /// The client's port; see remotePort().
    Q_PROPERTY(quint16 remotePort READ remotePort)
    /// The method's name; see methodString().
    Q_PROPERTY(QString method READ methodString)
    /// The request target; see url().
    Q_PROPERTY(QUrl url READ url)
    /// The path; see path().
    Q_PROPERTY(QString path READ path)
    /// The protocol version; see httpVersion().
    Q_PROPERTY(QString httpVersion READ httpVersion)

public:
    /**
     * The request methods that the parser knows.
     *
     * The first 26 values cross the library boundary and never change. The
     * parser knows a few more methods; they follow after HTTP_PURGE.
     */
    enum HttpMethod {
        HTTP_DELETE = 0,
        HTTP_GET = 1,
        HTTP_HEAD = 2,
        HTTP_POST = 3,
        HTTP_PUT = 4,
        HTTP_CONNECT = 5,
        HTTP_OPTIONS = 6,
        HTTP_TRACE = 7,
        HTTP_COPY = 8,
        HTTP_LOCK = 9,
        HTTP_MKCOL = 10,
        HTTP_MOVE = 11,
        HTTP_PROPFIND = 12,
        HTTP_PROPPATCH = 13,
        HTTP_SEARCH = 14,
        HTTP_UNLOCK = 15,
        HTTP_REPORT = 16,
        HTTP_MKACTIVITY = 17,
        HTTP_CHECKOUT = 18,
        HTTP_MERGE = 19,
        HTTP_MSEARCH = 20,
        HTTP_NOTIFY = 21,
        HTTP_SUBSCRIBE = 22,
        HTTP_UNSUBSCRIBE = 23,
        HTTP_PATCH = 24,
        HTTP_PURGE = 25,
        HTTP_BIND = 26,
        HTTP_REBIND = 27,
        HTTP_UNBIND = 28,
        HTTP_ACL = 29,
        HTTP_MKCALENDAR = 30,
        HTTP_LINK = 31,
        HTTP_UNLINK = 32,
        HTTP_SOURCE = 33
    };
    Q_ENUM(HttpMethod)

    /// Made by \a connection for each request; not for your own use.
    Request(Connection *connection, QObject *parent);
    ~Request() override;

    /// The method. Answer HEAD as GET: its response drops the body.
    HttpMethod method() const;
    /// The method's enumerator name, such as "HTTP_GET".
    const QString methodString() const;
    /**
     * The request target. For the usual form ("/path?query") a relative URL
     * with path and query. Its path holds the characters as sent, so a
     * percent sequence stays one (and toString() shows its '%' as "%25").
     */
    const QUrl &url() const;
    /// The path as the client sent it, bytes read as Latin-1; percent
    /// sequences are not decoded.
    const QString path() const;
    /// The protocol version, such as "1.1" or "1.0".
    const QString &httpVersion() const;
    /**
     * The header fields with names in lower case; of a repeated field the
     * last value. Values are Latin-1, as sent.
     */
    const HeaderHash &headers() const;
    /// The value of the header field \a name, in any case; empty if absent.
    /// Cheaper than headers() for a field or two.
    QString header(const QString &name) const;
    /// The client's IP address as text.
    const QString &remoteAddress() const;
    /// The client's port.
    quint16 remotePort() const;
    /**
     * The body pieces that arrived since storeBody(). The whole body once
     * end() has come and successful() is true.
     */
    const QByteArray &body() const;
    /// Whether the whole request arrived. False while its body is still
    /// coming, and for good when the client went away or sent a malformed body.
    bool successful() const;

    /// Keeps the body fragments that arrive from now on for body(); calling
    /// it again is harmless. Call it in the slot of HttpServer::newRequest(),
    /// before the body comes.
    void storeBody();

Q_SIGNALS:
    /// Emitted for each piece of the body as it arrives.
    void data(const QByteArray &data);
    /**
     * Emitted once the request is over: complete (successful() true), or
     * cut off when the client went away, a body time limit ran out or the
     * body was malformed. Also for a request without a body, right after
     * HttpServer::newRequest() returns.
     */
    void end();

private:
    friend class ConnectionPrivate;
    RequestPrivate *d;
    Q_DISABLE_COPY(Request)
};

} // namespace server
} // namespace http

#endif // ZNHTTP_REQUEST_H
