#ifndef RAWHTTP_H
#define RAWHTTP_H

// One request over a raw socket, so that nothing between the test and the
// server rewrites the request line, and the response as it came off the wire.

#include <QtCore/QByteArray>
#include <QtCore/QHash>
#include <QtNetwork/QTcpSocket>
#include <QtTest/QtTest>

namespace rawhttp {

struct Response
{
    bool complete = false;
    int status = 0;
    QHash<QByteArray, QByteArray> headers; // lower-case names
    QByteArray body;
};

// Reads one response, framed by its Content-Length or by the closing of the connection.
inline Response exchange(quint16 port, const QByteArray &request, int timeoutMs = 10000)
{
    Response response;
    QTcpSocket socket;
    socket.connectToHost(QHostAddress::LocalHost, port);
    if (!socket.waitForConnected(timeoutMs))
        return response;
    socket.write(request);

    QByteArray buffer;
    int headEnd = -1;
    qint64 length = -1;
    response.complete = QTest::qWaitFor([&] {
        buffer += socket.readAll();
        if (headEnd < 0) {
            headEnd = buffer.indexOf("\r\n\r\n");
            if (headEnd < 0)
                return false;
            const QList<QByteArray> lines = buffer.left(headEnd).split('\n');
            response.status = lines.first().split(' ').value(1).toInt();
            for (int i = 1; i < lines.size(); ++i) {
                const QByteArray line = lines.at(i).trimmed();
                const int colon = line.indexOf(':');
                response.headers.insert(line.left(colon).toLower(), line.mid(colon + 1).trimmed());
            }
            // Answers to HEAD, and 304s, carry the length of a body they do not have.
            if (request.startsWith("HEAD ") || response.status == 304)
                length = 0;
            else if (response.headers.contains("content-length"))
                length = response.headers.value("content-length").toLongLong();
        }
        response.body = buffer.mid(headEnd + 4);
        if (length >= 0)
            return response.body.size() >= length;
        return socket.state() == QAbstractSocket::UnconnectedState;
    }, timeoutMs);
    return response;
}

} // namespace rawhttp

#endif // RAWHTTP_H
