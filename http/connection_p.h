#ifndef ZNHTTP_CONNECTION_P_H
#define ZNHTTP_CONNECTION_P_H

#include "connection.h"
#include "headerhash.h"

#include <QtCore/QByteArray>
#include <QtCore/QPointer>
#include <QtCore/QVector>
#include <QtNetwork/QHostAddress>
#include <QtNetwork/QTcpSocket>

#include <http_parser.h>

QT_BEGIN_NAMESPACE
class QSocketNotifier;
QT_END_NAMESPACE

namespace http {

class HttpServerPrivate;
struct ConnectionTimeouts;

namespace server {

// Marks the handling of a connection's or socket's signals and events on this
// thread, below which neither may be deleted at once.
struct ConnectionCodeScope
{
    ConnectionCodeScope();
    ~ConnectionCodeScope();
    static bool active();
    Q_DISABLE_COPY(ConnectionCodeScope)
};

class ConnectionPrivate;
class OpenFile;

// One piece of a connection's output: bytes, or a part of a file that is sent
// from the file as the client takes it, so that memory does not grow with it.
struct OutputPiece
{
    QByteArray bytes;
    QSharedPointer<OpenFile> file;
    qint64 offset = 0;
    qint64 length = 0;
    bool noSendfile = false; // the file system cannot send it from the kernel
};

// Tells code that emitted a signal whether its connection survived it; on
// the stack, and far cheaper than a QPointer on every request.
struct ConnectionGuard
{
    explicit ConnectionGuard(ConnectionPrivate *d);
    ~ConnectionGuard();
    explicit operator bool() const { return !gone; }

    ConnectionPrivate *d;
    ConnectionGuard *next;
    bool gone = false;
    Q_DISABLE_COPY(ConnectionGuard)
};

class ConnectionPrivate : public QObject
{
public:
    // What the connection waits for; each has its own time limit.
    enum Phase : quint8 { Handshake, Head, Body, Waiting, Idle, Sending, Lingering };
    // Why the connection reads nothing for now.
    enum PauseReason : quint8 { OutputFull = 1, HeadBudget = 2, Nested = 4, PeerClosed = 8 };

    ConnectionPrivate(Connection *q, QTcpSocket *socket);
    ~ConnectionPrivate() override;

    static ConnectionPrivate *get(Connection *connection) { return connection->d; }

    // Input.
    bool eventFilter(QObject *watched, QEvent *event) override;
    void onReadyRead();
    void onReadable();
    void receive(const char *data, qint64 size);
    void process(const char *data, qint64 size);
    void resumeInput();
    void updateReading();
    qint64 readLimit();
    void settleHeadBudget();
    qint64 headSize() const;
    void onPeerClosed();
    void refuseAfterLastMessage(const char *data, qint64 size);
    void onParseError(http_errno error);
    void refuseRequest(int status, const QByteArray &reason);

    // Output. Responses write their heads straight into the output buffer.
    bool writable() const { return !disconnected && socket; }
    QByteArray &outputForHead();
    void outputAppended(int bytes);
    void queueOutput(const QByteArray &data);
    void queueFile(const QSharedPointer<OpenFile> &file, qint64 offset, qint64 length);
    void flushLater();
    void flush();
    void outputProgressed();
    void sendDirect();
    void releaseOutputBuffer();
    bool sendThroughSocket(qint64 skip = 0);
    enum class FileSend { Done, Blocked, Failed };
    FileSend sendFileDirect(OutputPiece &piece, qint64 *sent);
    FileSend writeFilePiece(OutputPiece &piece);
    void fileFailed(const OutputPiece &piece, const char *what);
    bool filePending() const;
    qint64 unsentBytes() const;
    bool allSent() const;
    void watchWrites();
    void onBytesWritten(qint64 bytes);
    void confirmWritten(qint64 bytes);
    void writeErrorResponse(int status, const QByteArray &text);

    // Responses.
    void addResponse(Response *response);
    void removeResponse(Response *response);
    void onResponseDone(Response *response);
    bool answersBeforeContinue(const Response *response) const;

    // Closing and time limits.
    void maybeClose();
    void startClose();
    void updatePhase();
    int phaseLimit(const ConnectionTimeouts &timeouts) const;
    void expire();
    void onDisconnected();

    static int onMessageBegin(http_parser *parser);
    static int onUrl(http_parser *parser, const char *at, size_t length);
    static int onHeaderField(http_parser *parser, const char *at, size_t length);
    static int onHeaderValue(http_parser *parser, const char *at, size_t length);
    static int onHeadersComplete(http_parser *parser);
    static int onBody(http_parser *parser, const char *at, size_t length);
    static int onMessageComplete(http_parser *parser);
    void noteHeaderName();

    // Cleared when the socket is destroyed, for instance together with the
    // listening object of a server that listens anew.
    QPointer<QTcpSocket> socket;
    http_parser *parser = nullptr;
    const http_parser_settings *parserSettings = nullptr; // shared by all connections
    QSharedPointer<Request> currentRequest;
    qint64 bytesQueued = 0;
    qint64 bytesConfirmed = 0;
    Connection *q;
    ConnectionGuard *guards = nullptr;

    // Live responses of this connection. They relay allBytesWritten and learn
    // when the connection goes; a list is far cheaper than three signal
    // connections per response.
    QVector<Response *> responses;
    int openResponses = 0;            // created and not yet ended
    Response *awaitingContinue = nullptr; // answers a request whose client waits for 100 Continue

    // Output of the responses, collected so that a head and its body leave in
    // one send. A plain TCP socket is written through its descriptor while
    // its own buffer is empty: that spares the socket's write buffer and the
    // write-notifier changes that each buffered write costs.
    QByteArray output;
    // What follows a large piece or a file in output: a large piece is not
    // copied but leaves with the rest in one sendmsg().
    QVector<OutputPiece> outputMore;

    HttpServerPrivate *server = nullptr; // the server that sweeps and flushes this connection
    int serverIndex = -1;
    bool dirty = false;                  // output waits for the next flush
    bool queued = false;                 // in the server's list of connections to flush

    // A plain TCP socket on Linux is read straight from its descriptor: that
    // spares the socket's size query and buffer per read, and lets the
    // connection stop reading while it must (the socket's own read notifier
    // is switched on and off, and its events come to the connection).
    QPointer<QSocketNotifier> readNotifier;
    QByteArray pendingInput;             // read, but not parsed while paused
    const char *bufferStart = nullptr;   // the bytes being parsed
    const char *bufferEnd = nullptr;
    quint8 paused = 0;                   // PauseReason flags

    // The message being parsed.
    bool inMessage = false;
    bool headersDone = false;
    bool dispatched = false;            // newRequest went out for it
    bool valueStarted = false;          // the current header line has a value fragment
    bool valueEndedAtBufferEnd = false; // the last value fragment may go on in the next read
    quint8 hostFields = 0;
    int expectField = -1;
    int crlfToCheck = 0;                // bytes of the CR LF after a chunk not yet seen
    bool ownError = false;              // the parser failed because a callback refused
    http_errno ownErrno = HPE_OK;
    QByteArray refusal;                 // why a request is refused without a parse error
    qint64 headCharged = 0;             // head bytes taken from the server's budget
    int messages = 0;

    // Closing.
    bool closing = false;           // close once all output is sent
    bool closeWhenAnswered = false; // close once every response has ended
    int errorStatus = 0;            // our own answer, sent once every response has ended
    QByteArray errorText;
    bool afterLast = false;         // the message asked to close; nothing may follow
    bool strayInput = false;        // bytes arrived that nobody will read
    bool answerDelimited = true;    // the last answer's end shows without the connection's end
    bool failed = false;            // the parser has failed
    bool lastReadFull = false;
    bool peerClosed = false;
    bool lingering = false;
    bool disconnected = false;      // the socket is gone; nothing more is parsed or written
    bool destroying = false;

    Phase phase = Head;
    qint64 phaseStart = 0;
    bool handshaking = false;
    bool tls = false;
    bool directSend = false;  // plain TCP socket on a platform with send()
    bool directRead = false;
    bool watchingWrites = false; // bytesWritten is connected (once the socket buffers output)
    bool parsing = false;     // inside http_parser_execute
    QString peerAddress;      // read from the socket once
    quint16 peerPort = 0;
};

} // namespace server
} // namespace http

#endif // ZNHTTP_CONNECTION_P_H
