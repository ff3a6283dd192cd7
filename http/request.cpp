#include "request.h"
#include "request_p.h"

#include <QtCore/QMetaEnum>

#include <http_parser.h>

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

namespace {

inline char asciiLower(char c)
{
    return c >= 'A' && c <= 'Z' ? char(c + ('a' - 'A')) : c;
}

} // namespace

void RequestPrivate::buildHeaders() const
{
    std::call_once(headersBuilt, [this] {
        // Names are tokens (the connection refuses others), so ASCII folding
        // lower-cases them completely; a repeated name keeps the last value.
        for (const HeaderField &field : fields) {
            QString name = QString::fromLatin1(rawHead.constData() + field.nameAt, field.nameLength);
            headers.insert(std::move(name).toLower(),
                           QString::fromLatin1(rawHead.constData() + field.valueAt, field.valueLength));
        }
    });
}

void RequestPrivate::buildUrl() const
{
    std::call_once(urlBuilt, [this] {
        http_parser_url parts;
        http_parser_url_init(&parts);
        const char *target = rawHead.constData();
        http_parser_parse_url(target, size_t(targetLength), method == Request::HTTP_CONNECT, &parts);
        const auto has = [&parts](http_parser_url_fields field) {
            return (parts.field_set & (1 << field)) != 0;
        };
        const auto text = [&parts, target](http_parser_url_fields field) {
            return QString::fromLatin1(target + parts.field_data[field].off, parts.field_data[field].len);
        };
        // Parts that the target lacks stay unset, so that an origin-form target
        // gives a plain relative URL. The path is taken literally: percent
        // sequences stay as the client sent them.
        if (has(UF_SCHEMA))
            url.setScheme(text(UF_SCHEMA));
        if (has(UF_HOST))
            url.setHost(text(UF_HOST), QUrl::DecodedMode);
        if (has(UF_PATH)) {
            // Decoded mode only escapes each '%'; a path without one skips that copy.
            const QString path = text(UF_PATH);
            url.setPath(path, path.contains(QLatin1Char('%')) ? QUrl::DecodedMode : QUrl::TolerantMode);
        }
        if (has(UF_QUERY))
            url.setQuery(text(UF_QUERY), QUrl::TolerantMode);
        if (has(UF_FRAGMENT))
            url.setFragment(text(UF_FRAGMENT), QUrl::TolerantMode);
        if (has(UF_USERINFO))
            url.setUserInfo(text(UF_USERINFO), QUrl::TolerantMode);
        if (has(UF_PORT))
            url.setPort(parts.port);
    });
}

const QString &RequestPrivate::builtPath() const
{
    // The URL's fully decoded path gives back exactly the text of the target's
    // path, so the target is cut without the cost of a URL. Nearly every
    // request is asked for it: std::call_once, through pthread_once, costs
    // more than the cut.
    if (pathBuilt.load(std::memory_order_acquire))
        return path;
    const std::lock_guard<std::mutex> lock(pathLock);
    if (!pathBuilt.load(std::memory_order_relaxed)) {
        http_parser_url parts;
        http_parser_url_init(&parts);
        http_parser_parse_url(rawHead.constData(), size_t(targetLength), method == Request::HTTP_CONNECT, &parts);
        if (parts.field_set & (1 << UF_PATH))
            path = QString::fromLatin1(rawHead.constData() + parts.field_data[UF_PATH].off,
                                       parts.field_data[UF_PATH].len);
        pathBuilt.store(true, std::memory_order_release);
    }
    return path;
}

const QUrl &RequestPrivate::builtUrl() const
{
    buildUrl();
    return url;
}

QByteArray RequestPrivate::rawHeader(const char *lowerName, int length) const
{
    for (int i = fields.size() - 1; i >= 0; --i) {
        const HeaderField &field = fields.at(i);
        if (field.nameLength != length)
            continue;
        const char *name = rawHead.constData() + field.nameAt;
        int at = 0;
        while (at < length && asciiLower(name[at]) == lowerName[at])
            ++at;
        if (at == length)
            return QByteArray::fromRawData(rawHead.constData() + field.valueAt, field.valueLength);
    }
    return QByteArray();
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
    return d->builtUrl();
}

const QString Request::path() const
{
    return d->builtPath();
}

const QString &Request::httpVersion() const
{
    return d->httpVersion;
}

const HeaderHash &Request::headers() const
{
    d->buildHeaders();
    return d->headers;
}

QString Request::header(const QString &name) const
{
    // Stored names are ASCII tokens: a name with any other character is absent.
    char lower[64];
    if (name.size() > int(sizeof lower)) {
        d->buildHeaders();
        return d->headers.value(name.toLower());
    }
    for (int i = 0; i < name.size(); ++i) {
        const ushort u = name.at(i).unicode();
        if (u >= 0x80)
            return QString();
        lower[i] = asciiLower(char(u));
    }
    return QString::fromLatin1(d->rawHeader(lower, name.size()));
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
