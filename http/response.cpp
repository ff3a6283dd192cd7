#include "response.h"
#include "response_p.h"
#include "connection.h"
#include "connection_p.h"

#include <QtCore/QDateTime>
#include <QtCore/QLocale>

namespace http {
namespace server {

Q_LOGGING_CATEGORY(lcResponse, "ch.veltor.http.response")

QHash<int, QString> reasonPhrases;

void fillReasonPhrases()
{
    static const struct {
        int code;
        const char *phrase;
    } entries[] = {
        { 100, "Continue" },
        { 101, "Switching Protocols" },
        { 102, "Processing" },
        { 200, "OK" },
        { 201, "Created" },
        { 202, "Accepted" },
        { 203, "Non-Authoritative Information" },
        { 204, "No Content" },
        { 205, "Reset Content" },
        { 206, "Partial Content" },
        { 207, "Multi-Status" },
        { 300, "Multiple Choices" },
        { 301, "Moved Permanently" },
        { 302, "Moved Temporarily" },
        { 303, "See Other" },
        { 304, "Not Modified" },
        { 305, "Use Proxy" },
        { 307, "Temporary Redirect" },
        { 400, "Bad Request" },
        { 401, "Unauthorized" },
        { 402, "Payment Required" },
        { 403, "Forbidden" },
        { 404, "Not Found" },
        { 405, "Method Not Allowed" },
        { 406, "Not Acceptable" },
        { 407, "Proxy Authentication Required" },
        { 408, "Request Time-out" },
        { 409, "Conflict" },
        { 410, "Gone" },
        { 411, "Length Required" },
        { 412, "Precondition Failed" },
        { 413, "Request Entity Too Large" },
        { 414, "Request-URI Too Large" },
        { 415, "Unsupported Media Type" },
        { 416, "Requested Range Not Satisfiable" },
        { 417, "Expectation Failed" },
        { 418, "I\"m a teapot" },
        { 422, "Unprocessable Entity" },
        { 423, "Locked" },
        { 424, "Failed Dependency" },
        { 425, "Unordered Collection" },
        { 426, "Upgrade Required" },
        { 500, "Internal Server Error" },
        { 501, "Not Implemented" },
        { 502, "Bad Gateway" },
        { 503, "Service Unavailable" },
        { 504, "Gateway Time-out" },
        { 505, "HTTP Version not supported" },
        { 506, "Variant Also Negotiates" },
        { 507, "Insufficient Storage" },
        { 509, "Bandwidth Limit Exceeded" },
        { 510, "Not Extended" },
    };
    for (const auto &entry : entries)
        reasonPhrases.insert(entry.code, QString::fromLatin1(entry.phrase));
}

namespace {

// Header text is Latin-1 on the wire; characters beyond it cannot be sent.
char *copyLatin1(char *out, const QString &text)
{
    for (const QChar c : text)
        *out++ = c.unicode() < 0x100 ? char(c.unicode()) : '?';
    return out;
}

void appendLatin1(QByteArray &out, const QString &text)
{
    const int start = out.size();
    out.resize(start + text.size());
    copyLatin1(out.data() + start, text);
}

// Formatting a date is costly next to the rest of a response; it changes once a second.
const QByteArray &currentDate()
{
    thread_local qint64 cachedSecond = -1;
    thread_local QByteArray cachedText;
    const qint64 now = QDateTime::currentMSecsSinceEpoch() / 1000;
    if (now != cachedSecond) {
        cachedSecond = now;
        const QDateTime utc = QDateTime::fromSecsSinceEpoch(now, Qt::UTC);
        cachedText = QLocale::c().toString(utc, QStringLiteral("ddd, dd MMM yyyy hh:mm:ss")).toLatin1()
                     + " GMT";
    }
    return cachedText;
}

enum class KnownHeader { Other, Connection, TransferEncoding, ContentLength, Date };

// Compares only names of a matching length: most headers are none of these.
KnownHeader classify(const QString &name)
{
    // The names are ASCII; QString's general case folding costs far more.
    const auto is = [&name](const char *known) {
        const QChar *c = name.constData();
        for (; *known; ++known, ++c) {
            ushort u = c->unicode();
            if (u >= 'A' && u <= 'Z')
                u += 'a' - 'A';
            if (u != ushort(*known))
                return false;
        }
        return true;
    };
    switch (name.size()) {
    case 4:
        return is("date") ? KnownHeader::Date : KnownHeader::Other;
    case 10:
        return is("connection") ? KnownHeader::Connection : KnownHeader::Other;
    case 14:
        return is("content-length") ? KnownHeader::ContentLength : KnownHeader::Other;
    case 17:
        return is("transfer-encoding") ? KnownHeader::TransferEncoding : KnownHeader::Other;
    default:
        return KnownHeader::Other;
    }
}

bool hasLineBreak(const QString &text)
{
    for (const QChar c : text) {
        if (c == QLatin1Char('\r') || c == QLatin1Char('\n'))
            return true;
    }
    return false;
}

} // namespace

ResponsePrivate::ResponsePrivate(Response *q, Connection *connection)
    : connection(connection)
    , q(q)
{
}

void ResponsePrivate::writeHeaderBlock(QByteArray &head)
{
    if (finished)
        return;

    for (auto it = headers.cbegin(), end = headers.cend(); it != end; ++it) {
        const QString &name = it.key();
        const QString &value = it.value();
        switch (classify(name)) {
        case KnownHeader::Connection:
            userConnection = true;
            if (value.compare(QLatin1String("close"), Qt::CaseInsensitive) == 0)
                closeAfter = true;
            else
                keepAlive = true;
            break;
        case KnownHeader::TransferEncoding:
            userTransferEncoding = true;
            if (value.compare(QLatin1String("chunked"), Qt::CaseInsensitive) == 0)
                chunkedDeclared = true;
            break;
        case KnownHeader::ContentLength:
            userContentLength = true;
            break;
        case KnownHeader::Date:
            userDate = true;
            break;
        case KnownHeader::Other:
            break;
        }
        writeHeader(head, name, value);
    }

    if (!userConnection) {
        if (keepAlive && (userContentLength || chunkedDeclared)) {
            head += "Connection: keep-alive\r\n";
        } else {
            closeAfter = true;
            head += "Connection: close\r\n";
        }
    }

    // Without a declared length the body ends when the connection closes.
    if (!userContentLength && !userTransferEncoding)
        closeAfter = true;

    if (!userDate) {
        head += "Date: ";
        head += currentDate();
        head += "\r\n";
    }
}

void ResponsePrivate::writeHeader(QByteArray &head, const QString &name, const QString &value)
{
    // One resize per line: the head is assembled in place.
    const int start = head.size();
    head.resize(start + name.size() + value.size() + 4);
    char *out = copyLatin1(head.data() + start, name);
    *out++ = ':';
    *out++ = ' ';
    out = copyLatin1(out, value);
    *out++ = '\r';
    *out = '\n';
}

void ResponsePrivate::onConnectionDestroyed()
{
    connection = nullptr;
    finished = true;
}

Response::Response(Connection *connection)
    : QObject(nullptr)
    , d(new ResponsePrivate(this, connection))
{
    if (connection)
        connection->d->responses.append(this);
}

Response::~Response()
{
    qCDebug(lcResponse) << "~Response";
    if (d->connection)
        d->connection->d->responses.removeOne(this);
    delete d;
}

void Response::setHeader(const QString &field, const QString &value)
{
    if (d->finished) {
        qCWarning(lcResponse, "Response::setHeader() Cannot set headers after response has finished.");
        return;
    }
    // A line break would let the caller's text end the head early and inject
    // a header or a whole second response.
    if (hasLineBreak(field) || hasLineBreak(value)) {
        qCWarning(lcResponse, "Response::setHeader() Refused header %s: its name or value contains a line break.",
                  qPrintable(QString(field).replace(QLatin1Char('\r'), QLatin1String("\\r"))
                                 .replace(QLatin1Char('\n'), QLatin1String("\\n"))));
        return;
    }
    d->headers.insert(field, value);
}

void Response::writeHead(int statusCode)
{
    if (d->finished) {
        qCWarning(lcResponse, "Response::writeHead() Cannot write headers after response has finished.");
        return;
    }
    if (d->headWritten) {
        qCWarning(lcResponse, "Response::writeHead() Already called once for this response.");
        return;
    }

    // The whole head goes to the socket in one write.
    QByteArray head;
    head.reserve(256 + 64 * d->headers.size());
    head += "HTTP/1.1 ";
    if (statusCode >= 100 && statusCode <= 999) {
        // The usual three digits, without a temporary array.
        const char digits[] = { char('0' + statusCode / 100), char('0' + statusCode / 10 % 10),
                                char('0' + statusCode % 10), ' ' };
        head.append(digits, 4);
    } else {
        head += QByteArray::number(statusCode);
        head += ' ';
    }
    appendLatin1(head, reasonPhrases[statusCode]);
    head += "\r\n";
    d->writeHeaderBlock(head);
    head += "\r\n";
    d->connection->write(head);

    d->status = statusCode;
    d->headWritten = true;
}

void Response::writeHead(StatusCode statusCode)
{
    writeHead(int(statusCode));
}

void Response::write(const QByteArray &data)
{
    if (d->finished) {
        qWarning("Response::write() Cannot write body after response has finished.");
        return;
    }
    if (!d->headWritten) {
        qWarning("Response::write() You must call writeHead() before writing body data.");
        return;
    }
    d->connection->write(data);
}

void Response::end(const QByteArray &data)
{
    if (d->finished) {
        qWarning("Response::end() Cannot write end after response has finished.");
        return;
    }
    if (!data.isEmpty())
        write(data);
    d->finished = true;
    // The connection hears of it first, as it would through a connection made
    // before any receiver could connect.
    if (d->connection)
        d->connection->d->onResponseDone(this);
    Q_EMIT done();
}

int Response::status() const
{
    return d->status;
}

} // namespace server
} // namespace http
