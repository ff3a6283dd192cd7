#include "connection.h"
#include "connection_p.h"
#include "request_p.h"
#include "response_p.h"

#include <QtCore/QLoggingCategory>
#include <QtCore/QMetaEnum>
#include <QtCore/QVector>

// Sending straight to the descriptor needs MSG_NOSIGNAL and MSG_DONTWAIT per
// call, which only Linux has; elsewhere everything goes through the socket.
#ifdef Q_OS_LINUX
#include <sys/socket.h>
#include <sys/types.h>
#include <sys/uio.h>
#endif

namespace http {
namespace server {

Q_LOGGING_CATEGORY(lcConnection, "ch.veltor.http.connection")

namespace {

// The parser's own method numbering differs from HttpMethod and varies between
// releases, so the two are matched by name once.
Request::HttpMethod methodFromParser(unsigned code)
{
    static const QVector<int> table = [] {
        QVector<int> result;
        const QMetaEnum methods = QMetaEnum::fromType<Request::HttpMethod>();
        for (unsigned parserCode = 0; parserCode < 256; ++parserCode) {
            const char *name = http_method_str(static_cast<http_method>(parserCode));
            if (qstrcmp(name, "<unknown>") == 0)
                break;
            QByteArray key = QByteArray("HTTP_") + name;
            key.replace('-', QByteArray());
            result.append(methods.keyToValue(key.constData()));
        }
        return result;
    }();
    return Request::HttpMethod(code < unsigned(table.size()) ? table.at(int(code)) : -1);
}

const QString &versionText(unsigned short major, unsigned short minor)
{
    static const QString v11 = QStringLiteral("1.1");
    static const QString v10 = QStringLiteral("1.0");
    thread_local QString other;
    if (major == 1 && minor == 1)
        return v11;
    if (major == 1 && minor == 0)
        return v10;
    other = QStringLiteral("%1.%2").arg(major).arg(minor);
    return other;
}

// A name or value nearly always comes in one piece; making the string in one
// go spares the growth path of an append to an empty string.
inline void appendLatin1(QString &text, const char *at, size_t length)
{
    if (text.isEmpty())
        text = QString::fromLatin1(at, int(length));
    else
        text.append(QLatin1String(at, int(length)));
}

// Pieces of at least this size are sent from where they are, not copied.
const int largePiece = 16 * 1024;
// Pieces beyond these few go through the socket's buffer.
const int maxSendPieces = 16;

inline ConnectionPrivate *privateOf(http_parser *parser)
{
    return static_cast<ConnectionPrivate *>(parser->data);
}

} // namespace

ConnectionPrivate::ConnectionPrivate(Connection *q, QTcpSocket *socket)
    : socket(socket)
    , q(q)
{
    if (!socket)
        return;

    parser = new http_parser;
    http_parser_init(parser, HTTP_REQUEST);
    parser->data = this;

    parserSettings = new http_parser_settings;
    http_parser_settings_init(parserSettings);
    parserSettings->on_message_begin = &ConnectionPrivate::onMessageBegin;
    parserSettings->on_url = &ConnectionPrivate::onUrl;
    parserSettings->on_header_field = &ConnectionPrivate::onHeaderField;
    parserSettings->on_header_value = &ConnectionPrivate::onHeaderValue;
    parserSettings->on_headers_complete = &ConnectionPrivate::onHeadersComplete;
    parserSettings->on_body = &ConnectionPrivate::onBody;
    parserSettings->on_message_complete = &ConnectionPrivate::onMessageComplete;

#ifdef Q_OS_LINUX
    // Only the plain socket: a TLS socket must encrypt what it sends.
    directSend = socket->metaObject() == &QTcpSocket::staticMetaObject;
#endif

    connect(socket, &QTcpSocket::readyRead, this, &ConnectionPrivate::onReadyRead);
    connect(socket, &QTcpSocket::disconnected, this, &ConnectionPrivate::onDisconnected);
    connect(socket, &QTcpSocket::bytesWritten, this, &ConnectionPrivate::onBytesWritten);

    // A socket handed over late may already hold bytes; readyRead would not repeat them.
    if (socket->bytesAvailable() > 0)
        QMetaObject::invokeMethod(this, [this] { onReadyRead(); }, Qt::QueuedConnection);
}

ConnectionPrivate::~ConnectionPrivate()
{
    qCDebug(lcConnection) << "~ConnectionPrivate";
    for (Response *response : qAsConst(responses))
        response->d->onConnectionDestroyed();
    responses.clear();
    delete parser;
    delete parserSettings;
    // The socket is of no use without its connection; release it now rather
    // than with the listening object, so that long-running servers stay flat.
    if (socket) {
        socket->disconnect(this);
        socket->deleteLater();
    }
}

void ConnectionPrivate::onReadyRead()
{
    const bool wasReading = reading;
    reading = true;
    while (!disconnected && socket && socket->bytesAvailable() > 0) {
        const qint64 available = socket->bytesAvailable();
        readBuffer.resize(int(qMin<qint64>(available, 1 << 20)));
        const qint64 read = socket->read(readBuffer.data(), readBuffer.size());
        if (read <= 0)
            break;
        // The parsed count is of no interest: after an error the parser refuses everything.
        http_parser_execute(parser, parserSettings, readBuffer.constData(), size_t(read));
    }
    reading = wasReading;
    if (!reading)
        sendOutput();

    const http_errno error = HTTP_PARSER_ERRNO(parser);
    if (error != HPE_OK) {
        Q_EMIT q->parseError(QString::fromLatin1(http_errno_name(error)),
                             QString::fromLatin1(http_errno_description(error)));
    }
}

void ConnectionPrivate::onDisconnected()
{
    disconnected = true;
    output.clear();
    outputMore.clear();
    q->deleteLater();
    // Releases a receiver waiting for the rest of a cut-off message.
    if (currentRequest && !currentRequest->d->successful) {
        const QSharedPointer<Request> request = currentRequest;
        Q_EMIT request->end();
    }
}

void ConnectionPrivate::onBytesWritten(qint64 bytes)
{
    confirmWritten(bytes);
}

void ConnectionPrivate::confirmWritten(qint64 bytes)
{
    bytesConfirmed += bytes;
    if (bytesConfirmed == bytesQueued) {
        bytesConfirmed = 0;
        bytesQueued = 0;
        Q_EMIT q->allBytesWritten();
        // A receiver may drop any response, so each is looked up again first.
        const QVector<Response *> relays = responses;
        for (Response *response : relays) {
            if (responses.contains(response))
                Q_EMIT response->allBytesWritten();
        }
    }
}

void ConnectionPrivate::onResponseDone(Response *response)
{
    // Sending now saves a round through the event loop for the socket's
    // write notification, which is most of the cost of a small answer.
    sendOutput();
    if (!response->d->closeAfter) {
        if (!disconnected && socket && !directSend)
            socket->flush();
        return;
    }
    // Whatever follows on this connection could not be answered any more.
    closing = true;
    if (!disconnected && socket)
        socket->disconnectFromHost();
}

void ConnectionPrivate::queueOutput(const QByteArray &data)
{
    QByteArray &last = outputMore.isEmpty() ? output : outputMore.last();
    if (last.isEmpty() || (last.size() < largePiece && data.size() < largePiece))
        last += data; // the first piece is shared, not copied
    else if (!data.isEmpty())
        outputMore.append(data);
    bytesQueued += data.size();
    // Inside onReadyRead the output goes when the parse returns; elsewhere it
    // must not wait for a response's end, which may never come.
    if (!reading && !sendQueued) {
        sendQueued = true;
        QMetaObject::invokeMethod(this, [this] { sendOutput(); }, Qt::QueuedConnection);
    }
}

void ConnectionPrivate::sendOutput()
{
    sendQueued = false;
    if (output.isEmpty() || disconnected || !socket)
        return;
    if (!outputMore.isEmpty()) {
        sendPieces();
        return;
    }
    const QByteArray data = output;
    output = QByteArray();
    qint64 sent = 0;
#ifdef Q_OS_LINUX
    if (directSend && socket->bytesToWrite() == 0 && socket->state() == QAbstractSocket::ConnectedState) {
        const ssize_t n = ::send(int(socket->socketDescriptor()), data.constData(), size_t(data.size()),
                                 MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n > 0)
            sent = n;
    }
#endif
    // The socket keeps what the kernel did not take, and reports errors its own way.
    if (sent < data.size())
        socket->write(data.constData() + sent, data.size() - sent);
    if (sent > 0)
        confirmWritten(sent);
}

void ConnectionPrivate::sendPieces()
{
    QVector<QByteArray> pieces;
    pieces.swap(outputMore);
    pieces.prepend(output);
    output = QByteArray();
    qint64 sent = 0;
#ifdef Q_OS_LINUX
    if (directSend && socket->bytesToWrite() == 0 && socket->state() == QAbstractSocket::ConnectedState) {
        iovec parts[maxSendPieces];
        const int count = qMin(pieces.size(), maxSendPieces);
        for (int i = 0; i < count; ++i) {
            parts[i].iov_base = const_cast<char *>(pieces.at(i).constData());
            parts[i].iov_len = size_t(pieces.at(i).size());
        }
        msghdr message = {};
        message.msg_iov = parts;
        message.msg_iovlen = size_t(count);
        const ssize_t n = ::sendmsg(int(socket->socketDescriptor()), &message, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n > 0)
            sent = n;
    }
#endif
    qint64 skip = sent;
    for (const QByteArray &piece : qAsConst(pieces)) {
        if (skip >= piece.size()) {
            skip -= piece.size();
            continue;
        }
        socket->write(piece.constData() + skip, piece.size() - skip);
        skip = 0;
    }
    if (sent > 0)
        confirmWritten(sent);
}

void ConnectionPrivate::storePendingHeader()
{
    pendingHeaders.insert(std::move(pendingField).toLower(), pendingValue);
    pendingField = QString();
    pendingValue = QString();
    valueSeen = false;
}

int ConnectionPrivate::onMessageBegin(http_parser *parser)
{
    ConnectionPrivate *d = privateOf(parser);
    d->skipMessage = d->closing || d->disconnected;
    if (d->skipMessage)
        return 0;
    d->pendingHeaders.clear();
    d->urlBuffer.resize(0); // keeps the reserved capacity
    if (d->urlBuffer.capacity() < 128)
        d->urlBuffer.reserve(128);
    // One allocation for the object and its reference count.
    d->currentRequest = QSharedPointer<Request>::create(d->q, nullptr);
    return 0;
}

int ConnectionPrivate::onUrl(http_parser *parser, const char *at, size_t length)
{
    ConnectionPrivate *d = privateOf(parser);
    if (!d->skipMessage)
        d->urlBuffer.append(at, int(length));
    return 0;
}

int ConnectionPrivate::onHeaderField(http_parser *parser, const char *at, size_t length)
{
    ConnectionPrivate *d = privateOf(parser);
    if (d->skipMessage)
        return 0;
    // A new name after a value closes the previous pair, even when that value
    // was empty; a name split across reads arrives as consecutive fragments.
    if (d->valueSeen)
        d->storePendingHeader();
    appendLatin1(d->pendingField, at, length);
    return 0;
}

int ConnectionPrivate::onHeaderValue(http_parser *parser, const char *at, size_t length)
{
    ConnectionPrivate *d = privateOf(parser);
    if (d->skipMessage)
        return 0;
    appendLatin1(d->pendingValue, at, length);
    d->valueSeen = true;
    return 0;
}

int ConnectionPrivate::onHeadersComplete(http_parser *parser)
{
    ConnectionPrivate *d = privateOf(parser);
    if (d->skipMessage || d->disconnected)
        return 0;

    const QSharedPointer<Request> request = d->currentRequest;
    RequestPrivate *rd = request->d;
    rd->method = methodFromParser(parser->method);
    rd->httpVersion = versionText(parser->http_major, parser->http_minor);

    http_parser_url parts;
    http_parser_url_init(&parts);
    http_parser_parse_url(d->urlBuffer.constData(), size_t(d->urlBuffer.size()),
                          rd->method == Request::HTTP_CONNECT, &parts);
    const auto has = [&parts](http_parser_url_fields field) {
        return (parts.field_set & (1 << field)) != 0;
    };
    const auto text = [&parts, d](http_parser_url_fields field) {
        return QString::fromLatin1(d->urlBuffer.constData() + parts.field_data[field].off,
                                   parts.field_data[field].len);
    };
    // Parts that the target lacks stay unset, so that an origin-form target
    // gives a plain relative URL. The path is taken literally: percent
    // sequences stay as the client sent them.
    QUrl &url = rd->url;
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

    if (!d->pendingField.isEmpty())
        d->storePendingHeader();
    // Nothing of this message may leak into the next one on the connection.
    d->pendingField = QString();
    d->pendingValue = QString();
    d->valueSeen = false;
    rd->headers = d->pendingHeaders;

    if (d->peerAddress.isNull() && d->socket) {
        d->peerAddress = d->socket->peerAddress().toString();
        d->peerPort = d->socket->peerPort();
    }
    rd->remoteAddress = d->peerAddress;
    rd->remotePort = d->peerPort;

    // The response registers itself in responses; its end() reports back
    // through onResponseDone.
    QSharedPointer<Response> response(new Response(d->q));
    if (parser->http_major < 1 || parser->http_minor < 1)
        response->d->keepAlive = false;

    Q_EMIT d->q->newRequest(request, response);
    return 0;
}

int ConnectionPrivate::onBody(http_parser *parser, const char *at, size_t length)
{
    ConnectionPrivate *d = privateOf(parser);
    if (d->skipMessage || d->disconnected)
        return 0;
    const QSharedPointer<Request> request = d->currentRequest;
    Q_EMIT request->data(QByteArray(at, int(length)));
    return 0;
}

int ConnectionPrivate::onMessageComplete(http_parser *parser)
{
    ConnectionPrivate *d = privateOf(parser);
    if (d->skipMessage || d->disconnected)
        return 0;
    const QSharedPointer<Request> request = d->currentRequest;
    request->d->successful = true;
    Q_EMIT request->end();
    return 0;
}

Connection::Connection(QTcpSocket *socket, QObject *parent)
    : QObject(parent)
    , d(new ConnectionPrivate(this, socket))
{
}

Connection::~Connection()
{
    qCDebug(lcConnection) << "~Connection";
    delete d;
}

void Connection::write(const QByteArray &data)
{
    // The flag first: a socket that is being destroyed (with its server) is
    // no longer a QTcpSocket, and the pointer must not be read then.
    if (d->disconnected || !d->socket)
        return;
    d->queueOutput(data);
}

void Connection::flush()
{
    if (d->disconnected || !d->socket)
        return;
    d->sendOutput();
    d->socket->flush();
}

} // namespace server
} // namespace http
