#include "response.h"
#include "response_p.h"
#include "connection.h"
#include "connection_p.h"

#include <QtCore/QDateTime>
#include <QtCore/QLocale>

namespace http {
namespace server {

Q_LOGGING_CATEGORY(lcResponse, "ch.veltor.http.response")

QLatin1String reasonPhrase(int statusCode)
{
    switch (statusCode) {
    case 100: return QLatin1String("Continue");
    case 101: return QLatin1String("Switching Protocols");
    case 102: return QLatin1String("Processing");
    case 200: return QLatin1String("OK");
    case 201: return QLatin1String("Created");
    case 202: return QLatin1String("Accepted");
    case 203: return QLatin1String("Non-Authoritative Information");
    case 204: return QLatin1String("No Content");
    case 205: return QLatin1String("Reset Content");
    case 206: return QLatin1String("Partial Content");
    case 207: return QLatin1String("Multi-Status");
    case 300: return QLatin1String("Multiple Choices");
    case 301: return QLatin1String("Moved Permanently");
    case 302: return QLatin1String("Moved Temporarily");
    case 303: return QLatin1String("See Other");
    case 304: return QLatin1String("Not Modified");
    case 305: return QLatin1String("Use Proxy");
    case 307: return QLatin1String("Temporary Redirect");
    case 400: return QLatin1String("Bad Request");
    case 401: return QLatin1String("Unauthorized");
    case 402: return QLatin1String("Payment Required");
    case 403: return QLatin1String("Forbidden");
    case 404: return QLatin1String("Not Found");
    case 405: return QLatin1String("Method Not Allowed");
    case 406: return QLatin1String("Not Acceptable");
    case 407: return QLatin1String("Proxy Authentication Required");
    case 408: return QLatin1String("Request Time-out");
    case 409: return QLatin1String("Conflict");
    case 410: return QLatin1String("Gone");
    case 411: return QLatin1String("Length Required");
    case 412: return QLatin1String("Precondition Failed");
    case 413: return QLatin1String("Request Entity Too Large");
    case 414: return QLatin1String("Request-URI Too Large");
    case 415: return QLatin1String("Unsupported Media Type");
    case 416: return QLatin1String("Requested Range Not Satisfiable");
    case 417: return QLatin1String("Expectation Failed");
    case 418: return QLatin1String("I\"m a teapot");
    case 422: return QLatin1String("Unprocessable Entity");
    case 423: return QLatin1String("Locked");
    case 424: return QLatin1String("Failed Dependency");
    case 425: return QLatin1String("Unordered Collection");
    case 426: return QLatin1String("Upgrade Required");
    case 500: return QLatin1String("Internal Server Error");
    case 501: return QLatin1String("Not Implemented");
    case 502: return QLatin1String("Bad Gateway");
    case 503: return QLatin1String("Service Unavailable");
    case 504: return QLatin1String("Gateway Time-out");
    case 505: return QLatin1String("HTTP Version not supported");
    case 506: return QLatin1String("Variant Also Negotiates");
    case 507: return QLatin1String("Insufficient Storage");
    case 509: return QLatin1String("Bandwidth Limit Exceeded");
    case 510: return QLatin1String("Not Extended");
    default: return QLatin1String();
    }
}

namespace {

// Header text is Latin-1 on the wire; characters beyond it cannot be sent.
char *copyLatin1(char *out, const QString &text)
{
    // On plain code units, so that the compiler can copy several at a time.
    const auto *in = reinterpret_cast<const ushort *>(text.constData());
    const int size = text.size();
    for (int i = 0; i < size; ++i)
        out[i] = in[i] < 0x100 ? char(in[i]) : '?';
    return out + size;
}


} // namespace

// Formatting a date is costly next to the rest of a response; it changes once a second.
const QByteArray &httpDate()
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

namespace {

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

    for (const auto &header : qAsConst(headers)) {
        const QString &name = header.first;
        const QString &value = header.second;
        switch (classify(name)) {
        case KnownHeader::Connection:
            // A caller's keep-alive cannot keep a connection that the client asked to close.
            userConnection = true;
            if (value.compare(QLatin1String("close"), Qt::CaseInsensitive) == 0)
                closeAfter = true;
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
            head.append("Connection: keep-alive\r\n", 24);
        } else {
            closeAfter = true;
            head.append("Connection: close\r\n", 19);
        }
    }

    // Without a declared length the body ends when the connection closes.
    if (!userContentLength && !userTransferEncoding)
        closeAfter = true;
    if (!keepAlive)
        closeAfter = true;

    if (!userDate) {
        head.append("Date: ", 6);
        head += httpDate();
        head.append("\r\n", 2);
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

void ResponsePrivate::putHeader(const QString &field, const QString &value)
{
    for (auto &header : headers) {
        if (header.first == field) {
            header.second = value;
            return;
        }
    }
    headers.append(qMakePair(field, value));
}

void ResponsePrivate::setOwnHeader(const QString &field, const QString &value)
{
    if (finished)
        q->setHeader(field, value); // which warns
    else
        putHeader(field, value);
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
        connection->d->addResponse(this);
}

Response::~Response()
{
    qCDebug(lcResponse) << "~Response";
    if (d->connection)
        d->connection->d->removeResponse(this);
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
    d->putHeader(field, value);
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

    ConnectionPrivate *out = d->connection->d;
    // A final answer given before the body of a request that waits for 100
    // Continue: whether the body follows is unknown, so the connection ends.
    if (statusCode >= 200 && out->answersBeforeContinue(this))
        d->keepAlive = false;

    // The head is assembled where the connection collects its output.
    QByteArray unsent;
    QByteArray &head = out->writable() ? out->outputForHead() : unsent;
    const int before = head.size();
    head.reserve(before + 160 + 48 * d->headers.size());
    head.append("HTTP/1.1 ", 9);
    if (statusCode >= 100 && statusCode <= 999) {
        // The usual three digits, without a temporary array.
        const char digits[] = { char('0' + statusCode / 100), char('0' + statusCode / 10 % 10),
                                char('0' + statusCode % 10), ' ' };
        head.append(digits, 4);
    } else {
        head += QByteArray::number(statusCode);
        head += ' ';
    }
    const QLatin1String phrase = reasonPhrase(statusCode);
    head.append(phrase.data(), phrase.size());
    head.append("\r\n", 2);
    d->writeHeaderBlock(head);
    head.append("\r\n", 2);
    if (&head != &unsent)
        out->outputAppended(head.size() - before);

    d->status = statusCode;
    d->headWritten = true;
}

void Response::writeHead(StatusCode statusCode)
{
    writeHead(int(statusCode));
}

bool ResponsePrivate::mayWriteBody(const char *operation) const
{
    if (finished) {
        qWarning("%s Cannot write body after response has finished.", operation);
        return false;
    }
    if (!headWritten) {
        qWarning("%s You must call writeHead() before writing body data.", operation);
        return false;
    }
    // The answer to HEAD has the headers of a GET answer and never a body: a
    // body would be read as the start of the next response.
    return !headRequest;
}

void ResponsePrivate::writeFile(const QSharedPointer<OpenFile> &file, qint64 offset, qint64 length)
{
    ConnectionPrivate *out = connection ? ConnectionPrivate::get(connection) : nullptr;
    if (mayWriteBody("Response::write()") && out && out->writable())
        out->queueFile(file, offset, length);
}

void Response::write(const QByteArray &data)
{
    if (d->mayWriteBody("Response::write()"))
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
    // before any receiver could connect. It sends nothing here: the output
    // leaves when control returns to the event loop, so that allBytesWritten
    // follows done.
    if (d->connection)
        d->connection->d->onResponseDone(this);
    Q_EMIT done();
}

int Response::status() const
{
    return d->status;
}

void sendStatusAnswer(Response &response, int status, const QString &contentType, const QByteArray &body)
{
    response.setHeader(QStringLiteral("Content-Length"), QString::number(body.size()));
    response.setHeader(QStringLiteral("Content-Type"), contentType);
    response.writeHead(status);
    response.end(body);
}

} // namespace server
} // namespace http
