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

namespace http {
namespace server {

class ConnectionPrivate : public QObject
{
public:
    ConnectionPrivate(Connection *q, QTcpSocket *socket);
    ~ConnectionPrivate() override;

    void onReadyRead();
    void onDisconnected();
    void onBytesWritten(qint64 bytes);
    void onResponseDone(Response *response);
    void queueOutput(const QByteArray &data);
    void sendOutput();
    void sendPieces();
    void confirmWritten(qint64 bytes);
    void storePendingHeader();

    static int onMessageBegin(http_parser *parser);
    static int onUrl(http_parser *parser, const char *at, size_t length);
    static int onHeaderField(http_parser *parser, const char *at, size_t length);
    static int onHeaderValue(http_parser *parser, const char *at, size_t length);
    static int onHeadersComplete(http_parser *parser);
    static int onBody(http_parser *parser, const char *at, size_t length);
    static int onMessageComplete(http_parser *parser);

    // Cleared when the socket is destroyed, for instance together with the
    // listening object of a server that listens anew.
    QPointer<QTcpSocket> socket;
    http_parser *parser = nullptr;
    http_parser_settings *parserSettings = nullptr;
    QSharedPointer<Request> currentRequest;
    QByteArray urlBuffer;
    HeaderHash pendingHeaders;
    QString pendingField;
    QString pendingValue;
    qint64 bytesQueued = 0;
    qint64 bytesConfirmed = 0;
    Connection *q;

    // Live responses of this connection. They relay allBytesWritten and learn
    // when the connection goes; a list is far cheaper than three signal
    // connections per response.
    QVector<Response *> responses;
    QByteArray readBuffer;      // reused for every read
    // Output of the responses, collected so that a head and its body leave in
    // one send. A plain TCP socket is written through its descriptor while
    // its own buffer is empty: that spares the socket's 32 KiB write buffer
    // and the two write-notifier changes that each buffered write costs.
    QByteArray output;
    // What follows a large piece (a file, say) in output: the piece is not
    // copied but leaves with the rest in one sendmsg().
    QVector<QByteArray> outputMore;
    bool directSend = false;    // plain TCP socket on a platform with send()
    bool reading = false;       // in onReadyRead: output is sent when it returns
    bool sendQueued = false;    // a sendOutput() is posted
    QString peerAddress;        // read from the socket once
    quint16 peerPort = 0;
    bool skipMessage = false;   // the message in progress is not dispatched
    bool valueSeen = false;     // a value fragment arrived since the last name fragment
    bool closing = false;       // a response closed the connection; later messages are ignored
    bool disconnected = false;  // the socket is gone; nothing more is parsed or written
};

} // namespace server
} // namespace http

#endif // ZNHTTP_CONNECTION_P_H
