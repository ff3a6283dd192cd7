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

// One accepted socket: parses its requests and carries their responses.
class ZNHTTP_EXPORT Connection : public QObject
{
    Q_OBJECT
public:
    Connection(QTcpSocket *socket, QObject *parent);
    ~Connection() override;

    void write(const QByteArray &data);
    void flush();

Q_SIGNALS:
    void newRequest(QSharedPointer<Request> request, QSharedPointer<Response> response);
    void allBytesWritten();
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
