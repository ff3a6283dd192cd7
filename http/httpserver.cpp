#include "httpserver.h"
#include "httpserver_p.h"
#include "connection.h"
#include "connection_p.h"
#include "request.h"
#include "response.h"

#include <QtCore/QAbstractEventDispatcher>
#include <QtCore/QLoggingCategory>
#include <QtCore/QMetaType>
#include <QtCore/QThread>
#include <QtCore/QTimerEvent>
#include <QtNetwork/QTcpServer>
#include <QtNetwork/QTcpSocket>

#include <algorithm>

#ifdef Q_OS_UNIX
#include <QtCore/QSocketNotifier>
#include <QtCore/QTimer>

#include <cerrno>
#include <fcntl.h>
#include <unistd.h>
#include <vector>
#endif
#ifdef Q_OS_LINUX
#include <sys/epoll.h>
#endif

namespace http {

Q_LOGGING_CATEGORY(lcServer, "ch.veltor.http.httpserver")

namespace {

// Unfinished request heads beyond each connection's small allowance share this much.
const qint64 headBudgetBytes = 12 * 1024 * 1024;

void initLibrary()
{
    // Receivers on other threads, and string-based connections, look the
    // types up by the names the signals spell.
    static const bool registered = [] {
        qRegisterMetaType<QSharedPointer<server::Request>>("QSharedPointer<server::Request>");
        qRegisterMetaType<QSharedPointer<server::Response>>("QSharedPointer<server::Response>");
        qRegisterMetaType<QSharedPointer<server::Request>>("QSharedPointer<Request>");
        qRegisterMetaType<QSharedPointer<server::Response>>("QSharedPointer<Response>");
        qRegisterMetaType<server::HeaderHash>("HeaderHash");
        return true;
    }();
    Q_UNUSED(registered)
}

#ifdef Q_OS_UNIX
// What a server leaves to the rest of its process once it runs out of
// descriptors: enough to handle a card or open a file while clients wait.
constexpr int reservedDescriptors = 8;

// A process without a free descriptor cannot accept, yet its listening socket
// stays readable: Qt then either tries again at once, for ever, or stops
// accepting for good. This pauses accepting instead, hands a reserve of
// descriptors to the rest of the process, and resumes once the reserve can be
// taken back.
class AcceptThrottle : public QObject
{
public:
    explicit AcceptThrottle(QTcpServer *server)
        : QObject(server)
        , server(server)
    {
        takeReserve();
#ifdef Q_OS_LINUX
        // Told when connections wait, without a second notifier on the
        // listening socket (Qt keeps one per descriptor), and without holding
        // that socket open after the server closes it.
        watcher = ::epoll_create1(EPOLL_CLOEXEC);
        epoll_event event = {};
        event.events = EPOLLIN;
        if (watcher >= 0 && ::epoll_ctl(watcher, EPOLL_CTL_ADD, int(server->socketDescriptor()), &event) == 0) {
            waiting = new QSocketNotifier(watcher, QSocketNotifier::Read, this);
            connect(waiting, &QSocketNotifier::activated, this, &AcceptThrottle::check);
        }
#endif
        // After an accept, once Qt's accept loop is done: the last descriptor
        // may have gone to a client.
        connect(server, &QTcpServer::newConnection, this, [this] {
            if (!checkQueued) {
                checkQueued = true;
                QMetaObject::invokeMethod(this, [this] { checkQueued = false; check(); }, Qt::QueuedConnection);
            }
        });
        // Qt pauses by itself when an accept fails for want of descriptors.
        connect(server, &QTcpServer::acceptError, this, [this](QAbstractSocket::SocketError error) {
            if (error == QAbstractSocket::SocketResourceError)
                pause();
        });
        retry.setInterval(250);
        connect(&retry, &QTimer::timeout, this, &AcceptThrottle::resume);
    }

    ~AcceptThrottle() override
    {
        releaseReserve();
        if (watcher >= 0)
            ::close(watcher);
    }

private:
    // Whether one more descriptor could be opened.
    bool descriptorFree() const
    {
        const int probe = ::fcntl(int(server->socketDescriptor()), F_DUPFD_CLOEXEC, 0);
        if (probe < 0)
            return errno != EMFILE && errno != ENFILE;
        ::close(probe);
        return true;
    }

    void check()
    {
        if (!retry.isActive() && server->isListening() && !descriptorFree())
            pause();
    }

    void pause()
    {
        if (retry.isActive())
            return;
        // The reserve first: even pausing may need a descriptor.
        releaseReserve();
        qCWarning(lcServer, "Out of file descriptors: not accepting connections until some are free.");
        server->pauseAccepting();
        if (waiting)
            waiting->setEnabled(false);
        retry.start();
    }

    void resume()
    {
        if (!server->isListening()) {
            retry.stop();
            return;
        }
        takeReserve();
        if (reserve.size() < reservedDescriptors || !descriptorFree()) {
            releaseReserve();
            return;
        }
        retry.stop();
        qCInfo(lcServer, "Accepting connections again.");
        if (waiting)
            waiting->setEnabled(true);
        server->resumeAccepting();
    }

    void takeReserve()
    {
        while (reserve.size() < reservedDescriptors) {
            const int descriptor = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
            if (descriptor < 0)
                return;
            reserve.push_back(descriptor);
        }
    }

    void releaseReserve()
    {
        for (int descriptor : reserve)
            ::close(descriptor);
        reserve.clear();
    }

    QTcpServer *server;
    std::vector<int> reserve;
    int watcher = -1;
    QSocketNotifier *waiting = nullptr;
    QTimer retry;
    bool checkQueued = false;
};
#endif

} // namespace

HttpServerPrivate::HttpServerPrivate(HttpServer *q)
    : q(q)
    , headBudget(headBudgetBytes)
{
    clock.start();
}

HttpServerPrivate::~HttpServerPrivate()
{
    // The connections, children of the server, outlive this object by a little.
    for (server::ConnectionPrivate *connection : qAsConst(connections)) {
        connection->server = nullptr;
        connection->serverIndex = -1;
    }
    connections.clear();
    if (flushing)
        flushing->clear();
    delete tcpServer;
}

void HttpServerPrivate::keepListenError(const QTcpServer &failed, const QHostAddress &address, quint16 port)
{
    hasListenError = true;
    listenError = failed.serverError();
    listenErrorString = failed.errorString();
    qCWarning(lcServer, "Cannot listen on %s port %u: %s.", qPrintable(address.toString()), unsigned(port),
              qPrintable(listenErrorString));
}

void HttpServerPrivate::addConnection(server::ConnectionPrivate *connection)
{
    coarseNow = clock.elapsed();
    if (connections.isEmpty())
        restartSweep();
    connection->serverIndex = connections.size();
    connections.append(connection);
}

void HttpServerPrivate::removeConnection(server::ConnectionPrivate *connection)
{
    const int index = connection->serverIndex;
    if (index >= 0 && index < connections.size() && connections.at(index) == connection) {
        // Swapped with the last, so that thousands of connections leave cheaply.
        server::ConnectionPrivate *last = connections.takeLast();
        if (last != connection) {
            connections[index] = last;
            last->serverIndex = index;
        }
    }
    connection->serverIndex = -1;
    connection->server = nullptr;
    forgetFlush(connection);
    budgetWaiters.removeOne(connection);
    if (connections.isEmpty())
        sweepTimer.stop();
}

void HttpServerPrivate::flushLater(server::ConnectionPrivate *connection)
{
    if (!dispatcher) {
        // The loop that runs this server: output is flushed whenever it turns.
        dispatcher = QAbstractEventDispatcher::instance(thread());
        if (dispatcher) {
            connect(dispatcher, &QAbstractEventDispatcher::aboutToBlock, this, &HttpServerPrivate::flushAll,
                    Qt::DirectConnection);
            connect(dispatcher, &QAbstractEventDispatcher::awake, this, &HttpServerPrivate::flushAll,
                    Qt::DirectConnection);
        }
    }
    if (!connection)
        return;
    if (!dispatcher || QThread::currentThread() != dispatcher->thread()) {
        QMetaObject::invokeMethod(connection, [connection] { connection->flush(); }, Qt::QueuedConnection);
        return;
    }
    if (!connection->queued) {
        connection->queued = true;
        dirty.append(connection);
    }
}

void HttpServerPrivate::forgetFlush(server::ConnectionPrivate *connection)
{
    if (!connection->queued)
        return;
    connection->queued = false;
    dirty.removeAll(connection);
    if (flushing)
        std::replace(flushing->begin(), flushing->end(), connection, static_cast<server::ConnectionPrivate *>(nullptr));
}

void HttpServerPrivate::deleteLater(server::Connection *connection)
{
    if (!dispatcher)
        flushLater(nullptr); // connects to the event loop
    if (!dispatcher || QThread::currentThread() != dispatcher->thread()) {
        connection->deleteLater();
        return;
    }
    dead.append(connection);
}

void HttpServerPrivate::flushAll()
{
    if (!dead.isEmpty() && !server::ConnectionCodeScope::active()) {
        QVector<QPointer<server::Connection>> gone;
        gone.swap(dead);
        const QPointer<HttpServerPrivate> guard(this);
        for (const QPointer<server::Connection> &connection : qAsConst(gone)) {
            delete connection.data();
            if (!guard)
                return;
        }
    }
    if (dirty.isEmpty())
        return;
    const QPointer<HttpServerPrivate> guard(this);
    // Two lists take turns, so that neither is allocated anew each time.
    QVector<server::ConnectionPrivate *> batch;
    batch.swap(spare);
    batch.swap(dirty);
    flushing = &batch;
    for (int i = 0; i < batch.size(); ++i) {
        server::ConnectionPrivate *connection = batch.at(i);
        if (connection)
            connection->queued = false;
        if (connection && connection->dirty) {
            connection->flush();
            if (!guard)
                return;
            connection = batch.at(i); // null if the flush ended it
            if (connection)
                connection->updatePhase();
        }
    }
    flushing = nullptr;
    batch.clear(); // keeps its room for the next turn
    spare.swap(batch);
}

qint64 HttpServerPrivate::takeHeadBudget(qint64 wanted)
{
    const qint64 granted = qBound<qint64>(0, wanted, headBudget);
    headBudget -= granted;
    return granted;
}

void HttpServerPrivate::returnHeadBudget(qint64 bytes)
{
    headBudget += bytes; // negative: a charge beyond what was granted
    while (headBudget > 0 && !budgetWaiters.isEmpty()) {
        server::ConnectionPrivate *connection = budgetWaiters.takeFirst();
        connection->paused &= ~server::ConnectionPrivate::HeadBudget;
        connection->updateReading();
    }
}

void HttpServerPrivate::waitForHeadBudget(server::ConnectionPrivate *connection)
{
    if (!budgetWaiters.contains(connection))
        budgetWaiters.append(connection);
}

void HttpServerPrivate::timeoutsChanged()
{
    if (!connections.isEmpty())
        restartSweep();
}

void HttpServerPrivate::restartSweep()
{
    // The sweep runs a few times per shortest limit, so that a limit is kept
    // to within an eighth; once a second is enough for the usual limits.
    int shortest = 30000; // lingering
    for (const int limit : { timeouts.head, timeouts.idle, timeouts.body, timeouts.handshake }) {
        if (limit > 0)
            shortest = qMin(shortest, limit);
    }
    sweepTimer.start(qBound(5, shortest / 8, 1000), Qt::CoarseTimer, this);
}

void HttpServerPrivate::timerEvent(QTimerEvent *event)
{
    if (event->timerId() == sweepTimer.timerId())
        sweep();
    else
        QObject::timerEvent(event);
}

void HttpServerPrivate::sweep()
{
    coarseNow = clock.elapsed();
    QVector<QPointer<server::Connection>> expired;
    for (server::ConnectionPrivate *connection : qAsConst(connections)) {
        const int limit = connection->phaseLimit(timeouts);
        if (limit > 0 && coarseNow - connection->phaseStart >= limit)
            expired.append(connection->q);
    }
    const QPointer<HttpServerPrivate> guard(this);
    for (const QPointer<server::Connection> &connection : qAsConst(expired)) {
        if (!guard)
            return;
        if (connection)
            server::ConnectionPrivate::get(connection)->expire();
    }
}

bool HttpServerPrivate::listen(const QHostAddress &address, quint16 port)
{
    if (tcpServer) {
        // Stop listening at once; the object and the sockets it accepted go on
        // the next turn of the event loop, as a request handler that listens
        // anew may be running inside one of those sockets' signals.
        tcpServer->close();
        tcpServer->disconnect(this);
        tcpServer->deleteLater();
        tcpServer = nullptr;
    }

    auto *server = new QTcpServer(q);
    if (!server->listen(address, port)) {
        keepListenError(*server, address, port);
        delete server;
        return false;
    }
    hasListenError = false;
    tcpServer = server;
    connect(server, &QTcpServer::newConnection, this, &HttpServerPrivate::onNewConnection);
    return true;
}

void HttpServerPrivate::onNewConnection()
{
    while (tcpServer && tcpServer->hasPendingConnections()) {
        QTcpSocket *socket = tcpServer->nextPendingConnection();
        auto *connection = new server::Connection(socket, q);
        QObject::connect(connection, &server::Connection::newRequest, q, &HttpServer::newRequest);
    }
}

HttpServer::HttpServer(QObject *parent)
    : QObject(parent)
    , d(new HttpServerPrivate(this))
{
    initLibrary();
}

HttpServer::HttpServer(HttpServerPrivate &dd, QObject *parent)
    : QObject(parent)
    , d(&dd)
{
    initLibrary();
}

HttpServer::~HttpServer()
{
    delete d;
}

bool HttpServer::listen(quint16 port)
{
    return listen(QHostAddress::Any, port);
}

bool HttpServer::listen(const QHostAddress &address, quint16 port)
{
    if (!d->listen(address, port))
        return false;
#ifdef Q_OS_UNIX
    new AcceptThrottle(d->tcpServer);
#endif
    return true;
}

void HttpServer::close()
{
    if (d->tcpServer)
        d->tcpServer->close();
}

quint16 HttpServer::port() const
{
    return d->tcpServer ? d->tcpServer->serverPort() : 0;
}

int HttpServer::serverError() const
{
    if (d->tcpServer)
        return int(d->tcpServer->serverError());
    return d->hasListenError ? int(d->listenError) : 0;
}

QString HttpServer::serverErrorString() const
{
    if (d->tcpServer)
        return d->tcpServer->errorString();
    return d->hasListenError ? d->listenErrorString : QString();
}

void HttpServer::setHeadTimeout(int msecs)
{
    d->timeouts.head = qMax(0, msecs);
    d->timeoutsChanged();
}

int HttpServer::headTimeout() const
{
    return d->timeouts.head;
}

void HttpServer::setIdleTimeout(int msecs)
{
    d->timeouts.idle = qMax(0, msecs);
    d->timeoutsChanged();
}

int HttpServer::idleTimeout() const
{
    return d->timeouts.idle;
}

void HttpServer::setBodyTimeout(int msecs)
{
    d->timeouts.body = qMax(0, msecs);
    d->timeoutsChanged();
}

int HttpServer::bodyTimeout() const
{
    return d->timeouts.body;
}

void HttpServer::newConnection()
{
    d->onNewConnection();
}

} // namespace http
