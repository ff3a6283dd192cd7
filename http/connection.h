#ifndef ZNHTTP_CONNECTION_H
#define ZNHTTP_CONNECTION_H

#include "znhttp_global.h"

#include <QtCore/QObject>
#include <QtCore/QSharedPointer>

QT_BEGIN_NAMESPACE
class QTcpSocket;
QT_END_NAMESPACE

namespace http {
namespace server {

class ConnectionPrivate;
class Request;
class Response;

/**
 * One accepted socket: parses its requests and carries their responses.
 * \headerfile connection.h <zn-http/connection.h>
 *
 * HttpServer makes one for every client; you meet it only when you hand it a
 * socket yourself. It belongs to the socket's thread.
 */
class ZNHTTP_EXPORT Connection : public QObject
{
    Q_OBJECT
public:
    /**
     * Takes over \a socket, a connected one, and deletes it with itself.
     * The connection deletes itself once the socket has disconnected. With an
     * HttpServer as \a parent it is that server's connection, with its time
     * limits; under any other parent no time limit applies.
     */
    Connection(QTcpSocket *socket, QObject *parent);
    /// Responses still open are cut off: they write nothing from then on.
    ~Connection() override;

    /// Queues raw bytes for the client, past any HTTP framing; responses
    /// write through it. They leave when control returns to the event loop,
    /// or at flush().
    void write(const QByteArray &data);
    /// Sends the queued bytes now, as far as the socket takes them.
    void flush();

Q_SIGNALS:
    /// Emitted when the head of a request has arrived; see HttpServer::newRequest().
    void newRequest(QSharedPointer<Request> request, QSharedPointer<Response> response);
    /// Emitted when everything queued so far has been handed to the system
    /// (over TLS, once encrypted); then each of its responses that still
    /// exists emits its own.
    void allBytesWritten();
    /**
     * Emitted when the client sent something that is no valid request, with
     * http-parser's name and description of the fault (such as
     * "HPE_INVALID_HEADER_TOKEN").
     *
     * The connection then answers 400 and closes; if a handler already has
     * the request whose body broke off, that request ends unsuccessful and
     * the connection closes after the handler's answer. Bytes after a request
     * that asked to close bring "HPE_CLOSED_CONNECTION" and are dropped.
     */
    void parseError(QString errorName, QString errorDescription);

private:
    friend class ConnectionPrivate;
    friend class Response;
    ConnectionPrivate *d;
    Q_DISABLE_COPY(Connection)
};

} // namespace server
} // namespace http

#endif // ZNHTTP_CONNECTION_H
