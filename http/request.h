#ifndef ZNHTTP_REQUEST_H
#define ZNHTTP_REQUEST_H

#include "znhttp_global.h"
#include "headerhash.h"

#include <QtCore/QByteArray>
#include <QtCore/QObject>
#include <QtCore/QUrl>

namespace http {
namespace server {

class Connection;
class ConnectionPrivate;
class RequestPrivate;

class ZNHTTP_EXPORT Request : public QObject
{
    Q_OBJECT
    Q_PROPERTY(HeaderHash headers READ headers)
    Q_PROPERTY(QString remoteAddress READ remoteAddress)
    Q_PROPERTY(quint16 remotePort READ remotePort)
    Q_PROPERTY(QString method READ methodString)
    Q_PROPERTY(QUrl url READ url)
    Q_PROPERTY(QString path READ path)
    Q_PROPERTY(QString httpVersion READ httpVersion)

public:
    // The first 26 values cross the library boundary and never change. The
    // parser knows a few more methods; they follow after HTTP_PURGE.
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

    Request(Connection *connection, QObject *parent);
    ~Request() override;

    HttpMethod method() const;
    const QString methodString() const;
    const QUrl &url() const;
    const QString path() const;
    const QString &httpVersion() const;
    const HeaderHash &headers() const;
    QString header(const QString &name) const;
    const QString &remoteAddress() const;
    quint16 remotePort() const;
    const QByteArray &body() const;
    bool successful() const;

    // Keeps the body fragments that arrive from now on; calling it again is harmless.
    void storeBody();

Q_SIGNALS:
    void data(const QByteArray &data);
    void end();

private:
    friend class ConnectionPrivate;
    RequestPrivate *d;
    Q_DISABLE_COPY(Request)
};

} // namespace server
} // namespace http

#endif // ZNHTTP_REQUEST_H
