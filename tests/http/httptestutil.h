#ifndef HTTPTESTUTIL_H
#define HTTPTESTUTIL_H

// Small helpers shared by the zn-http tests: a recorder for the requests a
// server announces, and raw-socket reading with a deadline.

#include <zn-http/connection.h>
#include <zn-http/httpserver.h>
#include <zn-http/request.h>
#include <zn-http/response.h>

#include <QtNetwork/QTcpServer>
#include <QtNetwork/QTcpSocket>
#include <QtTest/QtTest>

#include <functional>

#include <sys/ioctl.h>

namespace httptest {

using RequestPtr = QSharedPointer<http::server::Request>;
using ResponsePtr = QSharedPointer<http::server::Response>;
using Handler = std::function<void(const RequestPtr &, const ResponsePtr &)>;

// Keeps every announced request (and, if asked, its response) and runs the
// handler directly inside the newRequest signal, as applications do.
class Recorder : public QObject
{
public:
    explicit Recorder(http::HttpServer *server, bool keepResponses = true)
    {
        connect(server, &http::HttpServer::newRequest, this,
                [this, keepResponses](RequestPtr request, ResponsePtr response) {
                    requests.append(request);
                    if (keepResponses)
                        responses.append(response);
                    if (handler)
                        handler(request, response);
                });
    }

    Handler handler;
    QList<RequestPtr> requests;
    QList<ResponsePtr> responses;
};

// Answers with a fixed body and a Content-Length, so that the connection stays open.
inline Handler answerWith(const QByteArray &body)
{
    return [body](const RequestPtr &, const ResponsePtr &response) {
        response->setHeader(QStringLiteral("Content-Length"), QString::number(body.size()));
        response->writeHead(200);
        response->end(body);
    };
}

inline bool connectClient(QTcpSocket &client, const http::HttpServer &server)
{
    client.connectToHost(QHostAddress::LocalHost, server.port());
    return client.waitForConnected(5000);
}

// Reads from the client into buffer until complete(buffer) holds.
inline bool readUntil(QTcpSocket &client, QByteArray &buffer,
                      const std::function<bool(const QByteArray &)> &complete, int timeoutMs = 5000)
{
    return QTest::qWaitFor([&] {
        buffer += client.readAll();
        return complete(buffer);
    }, timeoutMs);
}

// Reads one response framed by Content-Length (or ending at the close).
inline QByteArray readResponse(QTcpSocket &client, int timeoutMs = 5000)
{
    QByteArray buffer;
    readUntil(client, buffer, [&client](const QByteArray &bytes) {
        const int headEnd = bytes.indexOf("\r\n\r\n");
        if (headEnd < 0)
            return false;
        const QByteArray head = bytes.left(headEnd).toLower();
        const int at = head.indexOf("\r\ncontent-length: ");
        if (at < 0)
            return client.state() == QAbstractSocket::UnconnectedState;
        const int length = head.mid(at + 18, head.indexOf("\r\n", at + 2) - at - 18).toInt();
        return bytes.size() >= headEnd + 4 + length;
    }, timeoutMs);
    return buffer;
}

// The header lines of a response head, without the status line.
inline QList<QByteArray> headerLines(const QByteArray &response)
{
    const int headEnd = response.indexOf("\r\n\r\n");
    QList<QByteArray> lines = response.left(headEnd).split('\n');
    for (QByteArray &line : lines)
        line = line.trimmed();
    lines.removeFirst();
    return lines;
}

// The server side of the single connection that a test made, once accepted.
inline QTcpSocket *acceptedSocket(const http::HttpServer &server)
{
    QTcpSocket *socket = nullptr;
    (void)QTest::qWaitFor([&] {
        const auto sockets = server.findChildren<QTcpSocket *>();
        socket = sockets.isEmpty() ? nullptr : sockets.first();
        return socket != nullptr;
    }, 5000);
    return socket;
}

// Sends bytes and waits until the server has read them, so that whatever
// comes next reaches it in a read of its own: the client's kernel has them
// acknowledged, and the server's kernel holds none of them any more (or the
// server's socket is gone).
inline bool sendAlone(QTcpSocket &client, const QPointer<QTcpSocket> &serverSide, const QByteArray &bytes)
{
    client.write(bytes);
    return QTest::qWaitFor([&] {
        client.flush();
        int unacknowledged = -1;
        int unread = -1;
        return !serverSide
               || (ioctl(int(client.socketDescriptor()), TIOCOUTQ, &unacknowledged) == 0 && unacknowledged == 0
                   && ioctl(int(serverSide->socketDescriptor()), FIONREAD, &unread) == 0 && unread == 0
                   && serverSide->bytesAvailable() == 0);
    }, 10000);
}

inline http::server::Connection *onlyConnection(const http::HttpServer &server)
{
    const auto connections = server.findChildren<http::server::Connection *>();
    return connections.size() == 1 ? connections.first() : nullptr;
}

} // namespace httptest

#endif // HTTPTESTUTIL_H
