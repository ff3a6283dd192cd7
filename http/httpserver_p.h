#ifndef ZNHTTP_HTTPSERVER_P_H
#define ZNHTTP_HTTPSERVER_P_H

#include "httpserver.h"

#include <QtCore/QBasicTimer>
#include <QtCore/QElapsedTimer>
#include <QtCore/QObject>
#include <QtCore/QPointer>
#include <QtCore/QVector>
#include <QtNetwork/QAbstractSocket>

QT_BEGIN_NAMESPACE
class QAbstractEventDispatcher;
class QTcpServer;
QT_END_NAMESPACE

namespace http {

namespace server {
class Connection;
class ConnectionPrivate;
}

// Milliseconds; 0 turns a limit off.
struct ConnectionTimeouts
{
    int head = 20000;
    int idle = 60000;
    int body = 30000;
    int handshake = 20000;
};

class HttpServerPrivate : public QObject
{
public:
    explicit HttpServerPrivate(HttpServer *q);
    ~HttpServerPrivate() override;

    static HttpServerPrivate *get(HttpServer *server) { return server->d; }

    // A subclass replaces the listening object (for instance by a TLS server);
    // it must leave a listening object in tcpServer, or null and false.
    virtual bool listen(const QHostAddress &address, quint16 port);

    void onNewConnection();

    // What a failed listen left behind, as there is no listening object to ask.
    void keepListenError(const QTcpServer &failed, const QHostAddress &address, quint16 port);

    // Every connection of the server, for the sweep and the output flush.
    void addConnection(server::ConnectionPrivate *connection);
    void removeConnection(server::ConnectionPrivate *connection);
    // Output collected during one turn of the event loop leaves before it waits again.
    void flushLater(server::ConnectionPrivate *connection);
    void forgetFlush(server::ConnectionPrivate *connection);
    void flushAll();
    // Deletes a connection whose socket has gone once no code of it runs.
    void deleteLater(server::Connection *connection);
    void timeoutsChanged();

    // Unfinished request heads beyond a small allowance per connection share
    // one budget; a connection that finds it spent stops reading until some
    // head is done, so that many large unfinished heads stay in the kernel.
    qint64 takeHeadBudget(qint64 wanted);
    void returnHeadBudget(qint64 bytes);
    void waitForHeadBudget(server::ConnectionPrivate *connection);

    qint64 now() const { return coarseNow; }

    QTcpServer *tcpServer = nullptr;
    HttpServer *q;

    ConnectionTimeouts timeouts;
    QAbstractSocket::SocketError listenError = QAbstractSocket::UnknownSocketError;
    QString listenErrorString;

protected:
    void timerEvent(QTimerEvent *event) override;

private:
    void sweep();
    void restartSweep();

    QVector<server::ConnectionPrivate *> connections;
    QVector<server::ConnectionPrivate *> dirty;
    QVector<server::ConnectionPrivate *> spare;
    QVector<server::ConnectionPrivate *> *flushing = nullptr; // the batch being flushed
    QVector<server::ConnectionPrivate *> budgetWaiters;
    QVector<QPointer<server::Connection>> dead;
    QPointer<QAbstractEventDispatcher> dispatcher;
    QBasicTimer sweepTimer;
    QElapsedTimer clock;
    qint64 coarseNow = 0;
    qint64 headBudget;

public:
    bool hasListenError = false;

private:
    Q_DISABLE_COPY(HttpServerPrivate)
};

} // namespace http

#endif // ZNHTTP_HTTPSERVER_P_H
