#include "request.h"
#include "request_p.h"

#include <QtCore/QMetaEnum>

namespace http {
namespace server {

RequestPrivate::RequestPrivate(Request *q, Connection *connection)
    : connection(connection)
    , q(q)
{
}

void RequestPrivate::appendBody(const QByteArray &data)
{
    body.append(data);
}

Request::Request(Connection *connection, QObject *parent)
    : QObject(parent)
    , d(new RequestPrivate(this, connection))
{
}

Request::~Request()
{
    delete d;
}

Request::HttpMethod Request::method() const
{
    return d->method;
}

const QString Request::methodString() const
{
    return QString::fromLatin1(QMetaEnum::fromType<HttpMethod>().valueToKey(d->method));
}

const QUrl &Request::url() const
{
    return d->url;
}

const QString Request::path() const
{
    return d->url.path(QUrl::FullyDecoded);
}

const QString &Request::httpVersion() const
{
    return d->httpVersion;
}

const HeaderHash &Request::headers() const
{
    return d->headers;
}

QString Request::header(const QString &name) const
{
    // Callers mostly ask in lower case already; that needs no copy.
    for (const QChar c : name) {
        const ushort u = c.unicode();
        if ((u >= 'A' && u <= 'Z') || u >= 0x80)
            return d->headers.value(name.toLower());
    }
    return d->headers.value(name);
}

const QString &Request::remoteAddress() const
{
    return d->remoteAddress;
}

quint16 Request::remotePort() const
{
    return d->remotePort;
}

const QByteArray &Request::body() const
{
    return d->body;
}

bool Request::successful() const
{
    return d->successful;
}

void Request::storeBody()
{
    // Unique, so that calling it again stores no fragment twice.
    connect(this, &Request::data, d, &RequestPrivate::appendBody, Qt::UniqueConnection);
}

} // namespace server
} // namespace http
