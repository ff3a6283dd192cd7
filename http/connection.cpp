#include "connection.h"
#include "connection_p.h"
#include "httpserver_p.h"
#include "openfile_p.h"
#include "request_p.h"
#include "response_p.h"

#include <QtCore/QDir>
#include <QtCore/QEvent>
#include <QtCore/QLoggingCategory>
#include <QtCore/QMetaEnum>
#include <QtCore/QSocketNotifier>
#include <QtCore/QVector>
#include <QtNetwork/QSslSocket>

#include <memory>

#ifdef Q_OS_WIN
#include <winsock2.h>
#else
#include <sys/socket.h>
#endif
// Sending and receiving straight through the descriptor needs MSG_NOSIGNAL
// and MSG_DONTWAIT per call, which only Linux has; elsewhere everything goes
// through the socket.
#ifdef Q_OS_LINUX
#include <csignal>
#include <pthread.h>
#include <sys/sendfile.h>
#include <sys/types.h>
#include <sys/uio.h>
#endif
#ifdef Q_OS_UNIX
#include <cerrno>
#include <unistd.h>
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

// Header names must be tokens: the parser lets a space through, and a front
// proxy that reads "Content-Length : 5" as another header would frame the
// message differently.
bool isToken(const char *at, size_t length)
{
    static const struct Table {
        bool token[256] = {};
        Table()
        {
            for (int c = '0'; c <= '9'; ++c)
                token[c] = true;
            for (int c = 'a'; c <= 'z'; ++c)
                token[c] = token[c - 'a' + 'A'] = true;
            for (const char *c = "!#$%&'*+-.^_`|~"; *c; ++c)
                token[uchar(*c)] = true;
        }
    } table;
    for (size_t i = 0; i < length; ++i) {
        if (!table.token[uchar(at[i])])
            return false;
    }
    return true;
}

bool equalsLower(const char *at, int length, const char *lower)
{
    for (int i = 0; i < length; ++i, ++lower) {
        char c = at[i];
        if (c >= 'A' && c <= 'Z')
            c = char(c + ('a' - 'A'));
        if (!*lower || c != *lower)
            return false;
    }
    return !*lower;
}

// Reads go in pieces of this size: large enough for any usual head or a good
// part of a body, small enough that what one read may add to a head stays small.
const int readChunk = 16 * 1024;
// Unfinished heads may hold this much per connection before they draw on the
// server's shared budget; most requests' heads fit.
const int headAllowance = 2 * 1024;
// Above this much unsent output the connection parses no further requests;
// below the lower mark it goes on.
const qint64 outputHighWater = 64 * 1024;
const qint64 outputLowWater = 16 * 1024;
// Pieces of at least this size are sent from where they are, not copied.
const int largePiece = 16 * 1024;
// Pieces beyond these few go through the socket's buffer.
const int maxSendPieces = 16;
// A closing connection reads and drops what its client still sends for at most this long.
const int lingerLimit = 30000;
// Files that the kernel cannot send go through the socket in pieces of this
// size: one TLS record each.
const int filePiece = 16 * 1024;
// What sendfile() may send in one turn of the event loop: a client that reads
// as fast as the kernel sends must not hold the others up for a whole file.
const qint64 maxSendfileTurn = 2 * 1024 * 1024;

#ifdef Q_OS_LINUX
// sendfile() has no MSG_NOSIGNAL: a client that is gone raises SIGPIPE, which
// ends the process unless it ignores that signal. It is held back on this
// thread while sendfile() runs, and one that sendfile() raised is taken.
class PipeSignalBlocker
{
public:
    PipeSignalBlocker()
    {
        sigemptyset(&pipeSignal);
        sigaddset(&pipeSignal, SIGPIPE);
        pthread_sigmask(SIG_BLOCK, &pipeSignal, &previous);
    }
    ~PipeSignalBlocker()
    {
        // A SIGPIPE the thread held back before is not ours to take.
        if (taken && !sigismember(&previous, SIGPIPE)) {
            const timespec none = {0, 0};
            while (sigtimedwait(&pipeSignal, nullptr, &none) < 0 && errno == EINTR) {
            }
        }
        pthread_sigmask(SIG_SETMASK, &previous, nullptr);
    }
    void raised() const { taken = true; }

private:
    sigset_t pipeSignal;
    sigset_t previous;
    mutable bool taken = false;
    Q_DISABLE_COPY(PipeSignalBlocker)
};
#endif

// One read buffer per thread, lent to one reader at a time; a reader inside
// another's callbacks (a nested event loop) gets one of its own.
class ReadBuffer
{
public:
    ReadBuffer()
    {
        thread_local std::unique_ptr<char[]> shared;
        thread_local bool busy = false;
        if (!busy) {
            if (!shared)
                shared.reset(new char[readChunk]);
            data = shared.get();
            inUse = &busy;
            busy = true;
        } else {
            owned.reset(new char[readChunk]);
            data = owned.get();
        }
    }
    ~ReadBuffer()
    {
        if (inUse)
            *inUse = false;
    }
    char *data;

private:
    std::unique_ptr<char[]> owned;
    bool *inUse = nullptr;
    Q_DISABLE_COPY(ReadBuffer)
};

void shutdownWriting(qintptr descriptor)
{
#ifdef Q_OS_WIN
    ::shutdown(SOCKET(descriptor), SD_SEND);
#else
    ::shutdown(int(descriptor), SHUT_WR);
#endif
}

// How deep this thread is in the handling of connections' and sockets'
// signals and events: a connection or a socket may only be deleted at once
// when none of their code runs below.
thread_local int connectionCodeDepth = 0;

// Null once the connection is gone in the middle of a parse.
inline ConnectionPrivate *privateOf(http_parser *parser)
{
    return static_cast<ConnectionPrivate *>(parser->data);
}

} // namespace

ConnectionCodeScope::ConnectionCodeScope()
{
    ++connectionCodeDepth;
}

ConnectionCodeScope::~ConnectionCodeScope()
{
    --connectionCodeDepth;
}

bool ConnectionCodeScope::active()
{
    return connectionCodeDepth > 0;
}

ConnectionGuard::ConnectionGuard(ConnectionPrivate *d)
    : d(d)
    , next(d->guards)
{
    d->guards = this;
}

ConnectionGuard::~ConnectionGuard()
{
    if (!gone)
        d->guards = next; // guards live on the stack: this one is the latest
}

ConnectionPrivate::ConnectionPrivate(Connection *q, QTcpSocket *socket)
    : socket(socket)
    , q(q)
{
    if (!socket)
        return;

    parser = new http_parser;
    http_parser_init(parser, HTTP_REQUEST);
    parser->data = this;

    // The callbacks are the same for every connection.
    static http_parser_settings settings = [] {
        http_parser_settings callbacks;
        http_parser_settings_init(&callbacks);
        callbacks.on_message_begin = &ConnectionPrivate::onMessageBegin;
        callbacks.on_url = &ConnectionPrivate::onUrl;
        callbacks.on_header_field = &ConnectionPrivate::onHeaderField;
        callbacks.on_header_value = &ConnectionPrivate::onHeaderValue;
        callbacks.on_headers_complete = &ConnectionPrivate::onHeadersComplete;
        callbacks.on_body = &ConnectionPrivate::onBody;
        callbacks.on_message_complete = &ConnectionPrivate::onMessageComplete;
        return callbacks;
    }();
    parserSettings = &settings;

    connect(socket, &QTcpSocket::disconnected, this, &ConnectionPrivate::onDisconnected);

    if (auto *tlsSocket = qobject_cast<QSslSocket *>(socket)) {
        // Encrypted bytes still queued count as unsent; their progress is progress too.
        tls = true;
        connect(tlsSocket, &QSslSocket::encryptedBytesWritten, this, [this] { onBytesWritten(0); });
        if (tlsSocket->mode() != QSslSocket::UnencryptedMode && !tlsSocket->isEncrypted()) {
            handshaking = true;
            phase = Handshake;
            connect(tlsSocket, &QSslSocket::encrypted, this, [this] {
                handshaking = false;
                updatePhase();
            });
        }
    }

#ifdef Q_OS_LINUX
    // Only the plain socket: a TLS socket must encrypt what it sends.
    directSend = socket->metaObject() == &QTcpSocket::staticMetaObject;
    if (directSend) {
        // The socket's read notifier is the only socket notifier of its engine
        // so far; its events come here instead, and the socket reads nothing.
        for (QSocketNotifier *notifier : socket->findChildren<QSocketNotifier *>()) {
            if (notifier->type() == QSocketNotifier::Read && notifier->socket() == socket->socketDescriptor())
                readNotifier = notifier;
        }
        if (readNotifier) {
            readNotifier->installEventFilter(this);
            directRead = true;
        }
    }
#endif
    if (!directRead) {
        connect(socket, &QTcpSocket::readyRead, this, &ConnectionPrivate::onReadyRead);
        watchWrites();
        // The socket stops taking bytes from the kernel at this much while the
        // connection reads nothing (output backed up, for instance).
        socket->setReadBufferSize(4 * readChunk);
    }

    if (auto *httpServer = qobject_cast<HttpServer *>(q->parent())) {
        server = HttpServerPrivate::get(httpServer);
        server->addConnection(this);
        phaseStart = server->now();
    }

    // A socket handed over late may already hold bytes; readyRead would not repeat them.
    if (socket->bytesAvailable() > 0)
        QMetaObject::invokeMethod(this, [this] { onReadyRead(); }, Qt::QueuedConnection);
}

ConnectionPrivate::~ConnectionPrivate()
{
    qCDebug(lcConnection) << "~ConnectionPrivate";
    destroying = true; // a socket deleted below may still report its disconnection
    for (ConnectionGuard *guard = guards; guard; guard = guard->next)
        guard->gone = true;
    for (Response *response : qAsConst(responses))
        response->d->onConnectionDestroyed();
    responses.clear();
    if (server) {
        if (headCharged)
            server->returnHeadBudget(headCharged);
        server->removeConnection(this);
    }
    if (parsing) {
        // The parse below this destructor finishes and frees the parser.
        parser->data = nullptr;
    } else {
        delete parser;
    }
    // The socket is of no use without its connection; release it now rather
    // than with the listening object, so that long-running servers stay flat.
    // At once when no code of the socket can be running (the usual deferred
    // deletion), which spares the event loop a wake-up.
    if (socket) {
        if (ConnectionCodeScope::active()) {
            socket->disconnect(this);
            if (readNotifier)
                readNotifier->removeEventFilter(this);
            socket->deleteLater();
        } else {
            delete socket;
        }
    }
}

// ---------------------------------------------------------------- input

void ConnectionPrivate::onReadyRead()
{
    const ConnectionCodeScope scope;
    if (disconnected || !socket)
        return;
    if (parsing) {
        // A nested event loop inside a handler: the bytes wait in the socket.
        paused |= Nested;
        return;
    }
    const ConnectionGuard guard(this);
    ReadBuffer buffer;
    while (!paused && !disconnected && socket && socket->bytesAvailable() > 0) {
        const qint64 read = socket->read(buffer.data, qMin<qint64>(socket->bytesAvailable(), readChunk));
        if (read <= 0)
            break;
        receive(buffer.data, read);
        if (!guard)
            return;
    }
    // Reading through the socket may have switched its notifier on again.
    if (directRead)
        updateReading();
    flush();
    if (guard)
        updatePhase();
}

bool ConnectionPrivate::eventFilter(QObject *watched, QEvent *event)
{
    if (watched == readNotifier && event->type() == QEvent::SockAct) {
        const ConnectionCodeScope scope;
        onReadable();
        return true;
    }
    return QObject::eventFilter(watched, event);
}

void ConnectionPrivate::onReadable()
{
#ifdef Q_OS_LINUX
    if (disconnected || !socket)
        return;
    if (parsing) {
        paused |= Nested;
        updateReading();
        return;
    }
    if (socket->bytesAvailable() > 0) {
        onReadyRead(); // bytes the socket took before the connection did come first
        if (disconnected || !socket || paused)
            return;
    }
    const ConnectionGuard guard(this);
    const int descriptor = int(socket->socketDescriptor());
    ReadBuffer buffer;
    // A few reads per notification at most, so that one busy client cannot
    // starve the others.
    for (int round = 0; round < 4 && !paused; ++round) {
        const qint64 limit = readLimit();
        if (limit <= 0)
            break;
        const ssize_t read = ::recv(descriptor, buffer.data, size_t(limit), MSG_DONTWAIT);
        if (read > 0) {
            lastReadFull = read == limit;
            receive(buffer.data, read);
            if (!guard)
                return;
            settleHeadBudget();
            if (!lastReadFull || disconnected || !socket)
                break;
            continue;
        }
        if (read == 0) {
            onPeerClosed();
            break;
        }
        if (errno == EINTR)
            continue;
        if (errno != EAGAIN && errno != EWOULDBLOCK && socket) {
            // Reset by the peer, for instance: the socket reports it as it would.
            socket->abort();
        }
        break;
    }
    if (!guard || disconnected)
        return;
    flush();
    if (guard)
        updatePhase();
#endif
}

void ConnectionPrivate::receive(const char *data, qint64 size)
{
    if (failed)
        return; // dropped while the connection closes
    if (afterLast) {
        refuseAfterLastMessage(data, size);
        return;
    }
    if (closing && !inMessage) {
        strayInput = true; // nobody answers further requests
        return;
    }
    process(data, size);
}

void ConnectionPrivate::process(const char *data, qint64 size)
{
    const ConnectionGuard guard(this);
    parsing = true;
    while (size > 0 && guard && !disconnected) {
        bufferStart = data;
        bufferEnd = data + size;
        // The two bytes after a chunk's data, when the chunk ended a read early.
        for (qint64 at = 0; crlfToCheck > 0 && at < size; ++at, --crlfToCheck) {
            if (data[at] != (crlfToCheck == 2 ? '\r' : '\n')) {
                parsing = false;
                onParseError(HPE_STRICT);
                return;
            }
        }
        // A handler may delete the server, and this connection with it, while
        // the parser runs; the parser then finishes on its own.
        http_parser *const running = parser;
        const size_t parsed = http_parser_execute(running, parserSettings, data, size_t(size));
        if (!guard) {
            delete running;
            return;
        }
        const http_errno error = HTTP_PARSER_ERRNO(parser);
        if (error == HPE_PAUSED) {
            http_parser_pause(parser, 0);
            data += parsed;
            size -= qint64(parsed);
            if (afterLast) {
                refuseAfterLastMessage(data, size);
                break;
            }
            if (closing) {
                strayInput = strayInput || size > 0;
                break;
            }
            if (paused & OutputFull) {
                // Send what the answers so far produced; if the client takes
                // it, go on at once, else keep the rest for later.
                flush();
                if (!guard || disconnected)
                    return;
                if (unsentBytes() > outputLowWater) {
                    pendingInput = QByteArray(data, int(size));
                    updateReading();
                    break;
                }
                paused &= ~OutputFull;
            }
            continue;
        }
        if (error != HPE_OK) {
            onParseError(ownError ? ownErrno : error);
            break;
        }
        // An upgrade (or CONNECT) ends the message after its head; the rest of
        // the read is not HTTP and is dropped.
        break;
    }
    if (!guard)
        return;
    parsing = false;
    if (paused & Nested) {
        paused &= ~Nested;
        if (directRead)
            updateReading();
        else
            QMetaObject::invokeMethod(this, [this] { onReadyRead(); }, Qt::QueuedConnection);
    }
}

void ConnectionPrivate::resumeInput()
{
    if (parsing || disconnected || !socket)
        return;
    if (!pendingInput.isEmpty()) {
        QByteArray input;
        input.swap(pendingInput);
        receive(input.constData(), input.size());
        if (disconnected || paused)
            return;
    }
    updateReading();
    if (!directRead && socket && socket->bytesAvailable() > 0)
        QMetaObject::invokeMethod(this, [this] { onReadyRead(); }, Qt::QueuedConnection);
}

void ConnectionPrivate::updateReading()
{
    if (!readNotifier)
        return;
    const bool want = !disconnected && socket && !peerClosed && (!paused || (lingering && !(paused & Nested)));
    if (readNotifier->isEnabled() != want)
        readNotifier->setEnabled(want);
}

qint64 ConnectionPrivate::readLimit()
{
    // Bodies and bytes that are dropped are not kept; only a head is.
    if (!server || lingering || failed || afterLast || (inMessage && headersDone))
        return readChunk;
    const qint64 free = qMax<qint64>(0, headAllowance - headSize());
    if (free >= readChunk)
        return readChunk;
    const qint64 granted = server->takeHeadBudget(readChunk - free);
    headCharged += granted;
    if (free + granted == 0) {
        paused |= HeadBudget;
        server->waitForHeadBudget(this);
        updateReading();
    }
    return free + granted;
}

qint64 ConnectionPrivate::headSize() const
{
    if (!inMessage || headersDone || !currentRequest)
        return 0;
    // What the head holds in memory, which grows in steps ahead of its bytes.
    return currentRequest->d->rawHead.capacity();
}

void ConnectionPrivate::settleHeadBudget()
{
    if (!server)
        return;
    const qint64 held = qMax<qint64>(0, headSize() - headAllowance);
    if (held < headCharged)
        server->returnHeadBudget(headCharged - held);
    else if (held > headCharged)
        server->returnHeadBudget(headCharged - held); // charged beyond the grant: a read that began in a body
    headCharged = held;
}

void ConnectionPrivate::onPeerClosed()
{
    // The client is gone, or at least sends no more: what is written goes
    // out, and the socket closes, which ends a request cut off.
    peerClosed = true;
    updateReading();
    if (!socket)
        return;
    flush();
    if (socket && !disconnected)
        socket->disconnectFromHost();
}

void ConnectionPrivate::refuseAfterLastMessage(const char *data, qint64 size)
{
    // Bare line ends after the last message are tolerated, as the parser would.
    for (qint64 i = 0; i < size; ++i) {
        if (data[i] == '\r' || data[i] == '\n')
            continue;
        strayInput = true;
        if (HTTP_PARSER_ERRNO(parser) == HPE_OK) {
            parser->http_errno = HPE_CLOSED_CONNECTION;
            Q_EMIT q->parseError(QString::fromLatin1(http_errno_name(HPE_CLOSED_CONNECTION)),
                                 QString::fromLatin1(http_errno_description(HPE_CLOSED_CONNECTION)));
        }
        return;
    }
}

void ConnectionPrivate::onParseError(http_errno error)
{
    failed = true;
    parser->http_errno = error;
    const ConnectionGuard guard(this);
    if (refusal.isEmpty()) {
        Q_EMIT q->parseError(QString::fromLatin1(http_errno_name(error)),
                             QString::fromLatin1(http_errno_description(error)));
        if (!guard)
            return;
    }
    if (inMessage && dispatched) {
        // The body of a request that a handler already has broke off: release
        // the handler, and close once it has answered.
        inMessage = false;
        const QSharedPointer<Request> request = currentRequest;
        Q_EMIT request->end();
        if (!guard)
            return;
        closeWhenAnswered = true;
    } else {
        const QByteArray text = refusal.isEmpty() ? QByteArray(http_errno_description(error)) : refusal;
        refuseRequest(400, text);
    }
    maybeClose();
}

void ConnectionPrivate::refuseRequest(int status, const QByteArray &reason)
{
    inMessage = false;
    errorStatus = status;
    errorText = reason;
    closeWhenAnswered = true;
}

// ---------------------------------------------------------------- output

QByteArray &ConnectionPrivate::outputForHead()
{
    if (outputMore.isEmpty())
        return output;
    // A head after a large piece or a file: a small piece of its own.
    const OutputPiece &last = outputMore.last();
    if (last.file || last.bytes.size() >= largePiece)
        outputMore.append(OutputPiece());
    return outputMore.last().bytes;
}

void ConnectionPrivate::outputAppended(int bytes)
{
    bytesQueued += bytes;
    flushLater();
}

void ConnectionPrivate::queueOutput(const QByteArray &data)
{
    if (data.isEmpty())
        return;
    QByteArray *last = &output;
    if (!outputMore.isEmpty())
        last = outputMore.last().file ? nullptr : &outputMore.last().bytes;
    if (!last || (data.size() >= largePiece && !last->isEmpty())) {
        OutputPiece piece;
        piece.bytes = data; // sent from where it is
        outputMore.append(piece);
    } else if (last->isEmpty() && data.size() >= largePiece) {
        *last = data;
    } else {
        *last += data;
    }
    bytesQueued += data.size();
    flushLater();
}

void ConnectionPrivate::queueFile(const QSharedPointer<OpenFile> &file, qint64 offset, qint64 length)
{
    if (length <= 0)
        return;
    OutputPiece piece;
    piece.file = file;
    piece.offset = offset;
    piece.length = length;
    outputMore.append(piece);
    bytesQueued += length;
    flushLater();
}

void ConnectionPrivate::flushLater()
{
    if (dirty)
        return;
    dirty = true;
    // Output leaves before the event loop waits again, so that a handler
    // that waits in a nested loop for allBytesWritten gets it.
    if (server)
        server->flushLater(this);
    else
        QMetaObject::invokeMethod(this, [this] { flush(); }, Qt::QueuedConnection);
}

qint64 ConnectionPrivate::unsentBytes() const
{
    qint64 bytes = output.size();
    for (const OutputPiece &piece : outputMore)
        bytes += piece.file ? piece.length : piece.bytes.size();
    if (socket && !disconnected)
        bytes += socket->bytesToWrite();
    return bytes;
}

bool ConnectionPrivate::allSent() const
{
    if (!output.isEmpty() || !outputMore.isEmpty())
        return false;
    if (!socket || disconnected)
        return true;
    // A TLS socket reports its buffers empty before it has encrypted what it
    // was given; only its bytesWritten tells.
    if (bytesQueued != bytesConfirmed || socket->bytesToWrite() > 0)
        return false;
    return !tls || static_cast<QSslSocket *>(socket.data())->encryptedBytesToWrite() == 0;
}

bool ConnectionPrivate::filePending() const
{
    // After a flush only a file that waits for the socket is left here.
    return !outputMore.isEmpty();
}

void ConnectionPrivate::flush()
{
    const ConnectionCodeScope scope;
    dirty = false;
    if (disconnected || !socket) {
        output.clear();
        outputMore.clear();
        return;
    }
    const ConnectionGuard guard(this);
    if (!output.isEmpty() || !outputMore.isEmpty()) {
        if (directSend)
            sendDirect();
        else
            sendThroughSocket();
    }
    if (!guard || disconnected)
        return;
    outputProgressed();
}

void ConnectionPrivate::outputProgressed()
{
    const ConnectionGuard guard(this);
    if ((paused & OutputFull) && unsentBytes() <= outputLowWater) {
        paused &= ~OutputFull;
        resumeInput();
        if (!guard || disconnected)
            return;
    }
    maybeClose();
}

void ConnectionPrivate::sendDirect()
{
    qint64 sent = 0; // confirmed once the output is in order again
    qint64 skip = 0; // what went of the first piece that waits
#ifdef Q_OS_LINUX
    const int descriptor = int(socket->socketDescriptor());
    bool go = socket->bytesToWrite() == 0 && socket->state() == QAbstractSocket::ConnectedState;
    while (go && (!output.isEmpty() || !outputMore.isEmpty())) {
        // The bytes up to the next file, in one call.
        iovec parts[maxSendPieces];
        int count = 0;
        qint64 wanted = 0;
        const auto add = [&](const QByteArray &bytes) {
            parts[count].iov_base = const_cast<char *>(bytes.constData()); // may be shared
            parts[count++].iov_len = size_t(bytes.size());
            wanted += bytes.size();
        };
        if (!output.isEmpty())
            add(output);
        int pieces = 0;
        while (pieces < outputMore.size() && count < maxSendPieces && !outputMore.at(pieces).file)
            add(outputMore.at(pieces++).bytes);
        if (count > 0) {
            // A file next: the kernel may send the head in one segment with it.
            const int flags = MSG_NOSIGNAL | MSG_DONTWAIT | (pieces < outputMore.size() ? MSG_MORE : 0);
            ssize_t n;
            if (count == 1) {
                n = ::send(descriptor, parts[0].iov_base, parts[0].iov_len, flags);
            } else {
                msghdr message = {};
                message.msg_iov = parts;
                message.msg_iovlen = size_t(count);
                n = ::sendmsg(descriptor, &message, flags);
            }
            if (n <= 0)
                break; // the socket reports errors its own way
            sent += n;
            qint64 left = n;
            if (!output.isEmpty()) {
                if (left < output.size()) {
                    skip = left;
                    break;
                }
                left -= output.size();
                releaseOutputBuffer();
            }
            while (!outputMore.isEmpty() && !outputMore.first().file && left >= outputMore.first().bytes.size()) {
                left -= outputMore.first().bytes.size();
                outputMore.removeFirst();
            }
            skip = left;
            go = n == wanted;
            continue;
        }
        const FileSend result = sendFileDirect(outputMore.first(), &sent);
        if (result == FileSend::Failed)
            return;
        go = result == FileSend::Done;
        if (go)
            outputMore.removeFirst();
    }
#endif
    // What the kernel did not take waits in the socket.
    if (!sendThroughSocket(skip))
        return;
    if (sent > 0) {
        if (phase == Sending && server)
            phaseStart = server->now();
        confirmWritten(sent);
    }
}

void ConnectionPrivate::releaseOutputBuffer()
{
    // The buffer is kept for the next answer unless it grew large.
    if (output.capacity() > 64 * 1024)
        output = QByteArray();
    else
        output.resize(0);
}

bool ConnectionPrivate::sendThroughSocket(qint64 skip)
{
    // Bytes go to the socket's buffer whole; a file a piece at a time while
    // the socket holds little, and the socket's bytesWritten asks for more.
    if (!output.isEmpty()) {
        watchWrites();
        socket->write(output.constData() + skip, output.size() - skip);
        skip = 0;
        releaseOutputBuffer();
    }
    while (!outputMore.isEmpty()) {
        OutputPiece &piece = outputMore.first();
        if (piece.file) {
            const FileSend result = writeFilePiece(piece);
            if (result != FileSend::Done)
                return result == FileSend::Blocked;
        } else {
            watchWrites();
            socket->write(piece.bytes.constData() + skip, piece.bytes.size() - skip);
            skip = 0;
        }
        outputMore.removeFirst();
    }
    return true;
}

ConnectionPrivate::FileSend ConnectionPrivate::sendFileDirect(OutputPiece &piece, qint64 *sent)
{
#ifdef Q_OS_LINUX
    if (piece.noSendfile)
        return FileSend::Blocked;
    const PipeSignalBlocker blocker;
    const int descriptor = int(socket->socketDescriptor());
    qint64 budget = maxSendfileTurn;
    while (piece.length > 0) {
        // Once the turn's share is sent, the piece through the socket below
        // brings the next turn.
        if (budget <= 0)
            return FileSend::Blocked;
        off_t offset = off_t(piece.offset);
        const ssize_t n = ::sendfile(descriptor, piece.file->handle(), &offset,
                                     size_t(qMin(piece.length, budget)));
        if (n > 0) {
            budget -= n;
            piece.offset += n;
            piece.length -= n;
            *sent += n;
            continue;
        }
        if (n == 0) {
            fileFailed(piece, "ended before its answer did");
            return FileSend::Failed;
        }
        if (errno == EINTR)
            continue;
        if (errno == EPIPE)
            blocker.raised();
        // Anything but a full socket goes the other way, which tells a file
        // system that cannot send from the kernel from a client that is gone.
        if (errno != EAGAIN)
            piece.noSendfile = true;
        return FileSend::Blocked;
    }
    return FileSend::Done;
#else
    Q_UNUSED(piece)
    Q_UNUSED(sent)
    return FileSend::Blocked;
#endif
}

ConnectionPrivate::FileSend ConnectionPrivate::writeFilePiece(OutputPiece &piece)
{
    // TLS encrypts whatever it holds at once, so it gets a record's worth at
    // a time; a plain socket beside sendfile() only needs to be woken.
    const qint64 holds = tls || directSend ? filePiece : 4 * filePiece;
    auto *tlsSocket = tls ? static_cast<QSslSocket *>(socket.data()) : nullptr;
    thread_local std::unique_ptr<char[]> buffer;
    if (!buffer)
        buffer.reset(new char[filePiece]);
    while (piece.length > 0) {
        if (socket->bytesToWrite() >= holds || (tlsSocket && tlsSocket->encryptedBytesToWrite() >= 2 * filePiece))
            return FileSend::Blocked;
        const qint64 got = piece.file->readAt(piece.offset, buffer.get(), qMin<qint64>(piece.length, filePiece));
        if (got <= 0) {
            fileFailed(piece, got < 0 ? "could not be read" : "ended before its answer did");
            return FileSend::Failed;
        }
        watchWrites();
        socket->write(buffer.get(), got);
        piece.offset += got;
        piece.length -= got;
    }
    return FileSend::Done;
}

void ConnectionPrivate::fileFailed(const OutputPiece &piece, const char *what)
{
    // Its length went out with the head: the client can only be shown a
    // cut-off answer.
    qCWarning(lcConnection, "The file %s %s; its answer is cut off.",
              qPrintable(QDir::toNativeSeparators(piece.file->fileName())), what);
    socket->abort();
}

void ConnectionPrivate::watchWrites()
{
    if (!watchingWrites) {
        watchingWrites = true;
        connect(socket, &QTcpSocket::bytesWritten, this, &ConnectionPrivate::onBytesWritten);
    }
}

void ConnectionPrivate::onBytesWritten(qint64 bytes)
{
    const ConnectionCodeScope scope;
    const ConnectionGuard guard(this);
    if (bytes > 0) {
        if (phase == Sending && server)
            phaseStart = server->now();
        confirmWritten(bytes);
        if (!guard || disconnected)
            return;
    }
    // The socket takes more of a file.
    if (filePending())
        flushLater();
    // A TLS socket reports its bytes before it hands their encrypted form to
    // the kernel; its encryptedBytesWritten comes back here once it has.
    if (bytes > 0 && tls)
        return;
    outputProgressed();
    if (guard && !disconnected)
        updatePhase();
}

void ConnectionPrivate::confirmWritten(qint64 bytes)
{
    bytesConfirmed += bytes;
    if (bytesConfirmed == bytesQueued) {
        bytesConfirmed = 0;
        bytesQueued = 0;
        const ConnectionGuard guard(this);
        Q_EMIT q->allBytesWritten();
        // A receiver may drop any response, so each is looked up again first.
        const QVector<Response *> relays = responses;
        for (Response *response : relays) {
            if (!guard)
                return;
            if (responses.contains(response))
                Q_EMIT response->allBytesWritten();
        }
    }
}

void ConnectionPrivate::writeErrorResponse(int status, const QByteArray &text)
{
    // Our own answer, to a request that no handler has seen; it ends the connection.
    Response response(q);
    response.d->keepAlive = false;
    sendStatusAnswer(response, status, QStringLiteral("text/plain"), text + '\n');
}

// ---------------------------------------------------------------- responses

void ConnectionPrivate::addResponse(Response *response)
{
    responses.append(response);
    ++openResponses;
}

void ConnectionPrivate::removeResponse(Response *response)
{
    responses.removeOne(response);
    if (awaitingContinue == response)
        awaitingContinue = nullptr;
    if (!response->d->finished) {
        // Dropped unanswered: its client waits until the connection times out.
        --openResponses;
        if (!parsing) {
            maybeClose();
            updatePhase();
        }
    }
}

void ConnectionPrivate::onResponseDone(Response *response)
{
    --openResponses;
    if (awaitingContinue == response)
        awaitingContinue = nullptr;
    // The connection closes once the answer is out; requests already received
    // are parsed to their end first, so that a complete one ends successfully.
    if (response->d->closeAfter)
        closing = true;
    answerDelimited = response->d->userContentLength || response->d->chunkedDeclared;
    if (!parsing)
        maybeClose();
    flushLater();
}

bool ConnectionPrivate::answersBeforeContinue(const Response *response) const
{
    return awaitingContinue == response;
}

// ---------------------------------------------------------------- closing and time limits

void ConnectionPrivate::maybeClose()
{
    if (disconnected || !socket || lingering)
        return;
    if (closeWhenAnswered && openResponses == 0) {
        closeWhenAnswered = false;
        if (errorStatus) {
            writeErrorResponse(errorStatus, errorText);
            errorStatus = 0;
            return; // the flush of that answer comes back here
        }
        closing = true;
    }
    if (closing && !dirty && allSent())
        startClose();
}

void ConnectionPrivate::startClose()
{
    if (parsing) {
        flushLater(); // once the parse returns
        return;
    }
    // Closing with unread bytes in the kernel would make it reset the
    // connection, and the client could lose the end of its answer; so when
    // more may come, shut down sending and drain for a while. Only a client
    // that said its request was the last sends nothing more.
    const bool moreMayCome = !afterLast || inMessage || failed || strayInput || !pendingInput.isEmpty()
                             || lastReadFull || (!directRead && socket->bytesAvailable() > 0);
    // Qt offers no half-close of a TLS stream: there the client ends the
    // connection, which it can once the answer's length is known.
    if (peerClosed || !moreMayCome || (tls && !answerDelimited)) {
        socket->disconnectFromHost();
        return;
    }
    lingering = true;
    if (!tls)
        shutdownWriting(socket->socketDescriptor());
    paused &= ~(OutputFull | HeadBudget);
    pendingInput.clear();
    updatePhase();
    updateReading();
    if (!directRead && socket->bytesAvailable() > 0)
        QMetaObject::invokeMethod(this, [this] { onReadyRead(); }, Qt::QueuedConnection);
}

void ConnectionPrivate::updatePhase()
{
    if (!server || disconnected)
        return;
    Phase next;
    if (lingering)
        next = Lingering;
    else if (handshaking)
        next = Handshake;
    else if (inMessage)
        next = headersDone ? Body : Head;
    else if (openResponses > 0 || closeWhenAnswered)
        next = Waiting;
    else if (!allSent())
        next = Sending;
    else
        next = messages == 0 && !closing ? Head : Idle;
    if (next != phase) {
        phase = next;
        phaseStart = server->now();
    }
}

int ConnectionPrivate::phaseLimit(const ConnectionTimeouts &timeouts) const
{
    switch (phase) {
    case Handshake:
        return timeouts.handshake;
    case Head:
        return timeouts.head;
    case Body:
        return timeouts.body;
    case Idle:
    case Sending:
        return timeouts.idle;
    case Lingering:
        return timeouts.body > 0 ? qMin(timeouts.body, lingerLimit) : lingerLimit;
    case Waiting:
        break;
    }
    return 0;
}

void ConnectionPrivate::expire()
{
    const ConnectionCodeScope scope;
    if (disconnected || !socket)
        return;
    const int limit = phaseLimit(server->timeouts);
    const auto note = [this, limit](const char *what) {
        // Debug, not info: under attack these come by the thousand.
        qCDebug(lcConnection, "Closing the connection from %s port %u: %s within %d ms.",
                qPrintable(socket->peerAddress().toString()), unsigned(socket->peerPort()), what, limit);
    };
    switch (phase) {
    case Head:
        if (!inMessage) {
            qCDebug(lcConnection, "Closing a connection that sent no request within %d ms.", limit);
            socket->abort();
            return;
        }
        note("no complete request head");
        if (openResponses == 0 && allSent()) {
            // The parser is stopped where it is; the client learns why.
            failed = true;
            refuseRequest(408, "The request head did not arrive in time.");
            maybeClose();
            return;
        }
        break;
    case Handshake:
        note("no TLS handshake");
        break;
    case Body:
        note("no request body data");
        break;
    case Sending:
        note("the client took none of its answer");
        break;
    case Idle:
        qCDebug(lcConnection, "Closing an idle connection after %d ms.", limit);
        break;
    case Lingering:
        qCDebug(lcConnection, "Closing a connection whose client still sent data %d ms after its answer.", limit);
        break;
    case Waiting:
        return;
    }
    socket->abort();
}

void ConnectionPrivate::onDisconnected()
{
    if (destroying)
        return;
    const ConnectionCodeScope scope;
    disconnected = true;
    output.clear();
    outputMore.clear();
    pendingInput.clear();
    if (server) {
        if (headCharged) {
            server->returnHeadBudget(headCharged);
            headCharged = 0;
        }
        server->forgetFlush(this);
    }
    // The server deletes it when the event loop next turns, which spares the
    // loop a wake-up; without a server, deleteLater() does.
    if (server)
        server->deleteLater(q);
    else
        q->deleteLater();
    // Releases a receiver waiting for the rest of a cut-off message.
    if (currentRequest && !currentRequest->d->successful && (inMessage || !dispatched)) {
        inMessage = false;
        const QSharedPointer<Request> request = currentRequest;
        Q_EMIT request->end();
    }
}

// ---------------------------------------------------------------- parser callbacks

int ConnectionPrivate::onMessageBegin(http_parser *parser)
{
    ConnectionPrivate *d = privateOf(parser);
    if (!d)
        return -1;
    if (d->closing || d->disconnected) {
        // Nobody answers requests after a closing answer.
        http_parser_pause(parser, 1);
        return 0;
    }
    d->inMessage = true;
    d->headersDone = false;
    d->dispatched = false;
    d->valueStarted = false;
    d->hostFields = 0;
    d->expectField = -1;
    ++d->messages;
    if (d->phase != Head && d->server) {
        d->phase = Head;
        d->phaseStart = d->server->now();
    }
    // One allocation for the object and its reference count, one for the
    // whole head as it comes.
    d->currentRequest = QSharedPointer<Request>::create(d->q, nullptr);
    d->currentRequest->d->rawHead.reserve(256);
    return 0;
}

int ConnectionPrivate::onUrl(http_parser *parser, const char *at, size_t length)
{
    ConnectionPrivate *d = privateOf(parser);
    if (!d)
        return -1;
    RequestPrivate *rd = d->currentRequest->d;
    rd->rawHead.append(at, int(length));
    rd->targetLength += int(length);
    return 0;
}

void ConnectionPrivate::noteHeaderName()
{
    const RequestPrivate *rd = currentRequest->d;
    const HeaderField &field = rd->fields.last();
    const char *name = rd->rawHead.constData() + field.nameAt;
    if (field.nameLength == 4 && equalsLower(name, 4, "host"))
        ++hostFields;
    else if (field.nameLength == 6 && equalsLower(name, 6, "expect"))
        expectField = rd->fields.size() - 1;
}

int ConnectionPrivate::onHeaderField(http_parser *parser, const char *at, size_t length)
{
    ConnectionPrivate *d = privateOf(parser);
    if (!d)
        return -1;
    if (!isToken(at, length)) {
        d->ownError = true;
        d->ownErrno = HPE_INVALID_HEADER_TOKEN;
        return -1;
    }
    RequestPrivate *rd = d->currentRequest->d;
    // A new name after a value starts the next line, even when that value was
    // empty; a name split across reads arrives as consecutive fragments.
    if (d->valueStarted || rd->fields.isEmpty()) {
        rd->fields.append(HeaderField{ rd->rawHead.size(), 0, 0, 0 });
        d->valueStarted = false;
    }
    rd->rawHead.append(at, int(length));
    rd->fields.last().nameLength += int(length);
    return 0;
}

int ConnectionPrivate::onHeaderValue(http_parser *parser, const char *at, size_t length)
{
    ConnectionPrivate *d = privateOf(parser);
    if (!d)
        return -1;
    RequestPrivate *rd = d->currentRequest->d;
    HeaderField &field = rd->fields.last();
    if (!d->valueStarted) {
        d->valueStarted = true;
        field.valueAt = rd->rawHead.size();
        d->noteHeaderName();
    } else if (at != d->bufferStart || !d->valueEndedAtBufferEnd) {
        // A value going on in a folded line: proxies join or split such lines
        // differently, so it is refused like a bad name.
        d->ownError = true;
        d->ownErrno = HPE_INVALID_HEADER_TOKEN;
        return -1;
    }
    rd->rawHead.append(at, int(length));
    field.valueLength += int(length);
    d->valueEndedAtBufferEnd = at + length == d->bufferEnd;
    return 0;
}

int ConnectionPrivate::onHeadersComplete(http_parser *parser)
{
    ConnectionPrivate *d = privateOf(parser);
    if (!d)
        return -1;
    if (d->disconnected)
        return 0;

    const QSharedPointer<Request> request = d->currentRequest;
    RequestPrivate *rd = request->d;
    rd->method = methodFromParser(parser->method);
    rd->httpVersion = versionText(parser->http_major, parser->http_minor);
    d->headersDone = true;
    d->valueStarted = false;
    d->settleHeadBudget();

    const bool http11 = parser->http_major > 1 || (parser->http_major == 1 && parser->http_minor >= 1);
    if (http11 && d->hostFields != 1) {
        d->refusal = "An HTTP/1.1 request needs exactly one Host header.";
        qCDebug(lcConnection, "Refused a request with %d Host headers.", int(d->hostFields));
        return -1;
    }

    if (d->peerAddress.isNull() && d->socket) {
        d->peerAddress = d->socket->peerAddress().toString();
        d->peerPort = d->socket->peerPort();
    }
    rd->remoteAddress = d->peerAddress;
    rd->remotePort = d->peerPort;

    // The response registers itself in responses; its end() reports back
    // through onResponseDone.
    QSharedPointer<Response> response(new Response(d->q));
    ResponsePrivate *sd = response->d;
    // HTTP/1.1 keeps the connection unless the client asks to close; HTTP/1.0
    // only when it asks for keep-alive.
    sd->keepAlive = http_should_keep_alive(parser) != 0;
    sd->headRequest = rd->method == Request::HTTP_HEAD;
    const bool hasBody = (parser->flags & F_CHUNKED)
                         || (parser->content_length > 0 && parser->content_length != ~uint64_t(0));
    if (http11 && hasBody && d->expectField >= 0
        && rd->rawHeader("expect", 6).compare("100-continue", Qt::CaseInsensitive) == 0) {
        d->awaitingContinue = response.data();
    }

    d->dispatched = true;
    d->phase = Body;
    if (d->server)
        d->phaseStart = d->server->now();
    const ConnectionGuard guard(d);
    Q_EMIT d->q->newRequest(request, response);
    if (!guard)
        return 0;

    // The handler did not answer at once, so it goes on to read the body:
    // the client may send it. Only the first of the unanswered requests may
    // write, as bytes reach the wire in the order they are written.
    if (d->awaitingContinue == response.data()) {
        if (!sd->headWritten && d->openResponses == 1 && !d->closing) {
            d->queueOutput(QByteArrayLiteral("HTTP/1.1 100 Continue\r\n\r\n"));
            d->awaitingContinue = nullptr;
        }
    }
    return 0;
}

int ConnectionPrivate::onBody(http_parser *parser, const char *at, size_t length)
{
    ConnectionPrivate *d = privateOf(parser);
    if (!d)
        return -1;
    if (d->disconnected)
        return 0;
    if (d->server)
        d->phaseStart = d->server->now();
    if ((parser->flags & F_CHUNKED) && parser->content_length == 0) {
        // The parser takes any two bytes after a chunk's data for its CR LF;
        // a proxy may not, so anything else is refused.
        const char *end = at + length;
        d->crlfToCheck = 2;
        while (d->crlfToCheck > 0 && end < d->bufferEnd) {
            if (*end++ != (d->crlfToCheck == 2 ? '\r' : '\n')) {
                d->ownError = true;
                d->ownErrno = HPE_STRICT;
                return -1;
            }
            --d->crlfToCheck;
        }
    }
    const QSharedPointer<Request> request = d->currentRequest;
    Q_EMIT request->data(QByteArray(at, int(length)));
    return 0;
}

int ConnectionPrivate::onMessageComplete(http_parser *parser)
{
    ConnectionPrivate *d = privateOf(parser);
    if (!d)
        return -1;
    if (d->disconnected)
        return 0;
    d->inMessage = false;
    d->headersDone = false;
    d->crlfToCheck = 0;
    d->awaitingContinue = nullptr;
    const QSharedPointer<Request> request = d->currentRequest;
    request->d->successful = true;
    const ConnectionGuard guard(d);
    Q_EMIT request->end();
    if (!guard)
        return 0;
    if (!http_should_keep_alive(parser)) {
        // The client said this is its last request; bytes after it are refused.
        d->afterLast = true;
        http_parser_pause(parser, 1);
    } else if (d->closing) {
        http_parser_pause(parser, 1);
    } else if (d->unsentBytes() > outputHighWater) {
        // The client sends requests faster than it reads the answers.
        d->paused |= OutputFull;
        http_parser_pause(parser, 1);
    }
    return 0;
}

// ---------------------------------------------------------------- public

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
    d->flush();
    if (d->socket && !d->disconnected)
        d->socket->flush();
}

} // namespace server
} // namespace http
