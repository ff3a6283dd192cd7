#include "httpserver.h"
#include "httpserver_p.h"
#include "connection.h"
#include "request.h"
#include "response.h"
#include "response_p.h"

#include <QtCore/QLoggingCategory>
#include <QtCore/QMetaType>
#include <QtNetwork/QTcpServer>
#include <QtNetwork/QTcpSocket>

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

void initLibrary()
{
    server::fillReasonPhrases();
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
{
}

HttpServerPrivate::~HttpServerPrivate()
{
    delete tcpServer;
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
        // No server object remains to ask, so the reason is logged here.
        qCWarning(lcServer, "Cannot listen on %s port %u: %s.", qPrintable(address.toString()),
                  unsigned(port), qPrintable(server->errorString()));
        delete server;
        return false;
    }
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
    return d->tcpServer ? int(d->tcpServer->serverError()) : 0;
}

QString HttpServer::serverErrorString() const
{
    return d->tcpServer ? d->tcpServer->errorString() : QString();
}

void HttpServer::newConnection()
{
    d->onNewConnection();
}

} // namespace http
