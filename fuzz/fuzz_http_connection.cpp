// Bytes of any kind, cut into reads of any size, into a real Connection of a
// listening HttpServer through a real loopback socket. Handlers answer some
// requests at once, some later and some never; the client may vanish after
// any read, and the server may be destroyed under its connections.
//
// Input: four control bytes, then the bytes the client sends.
//   byte 0, bits 0-1: largest read: 1, 16, 512 or 65536 bytes
//           bits 2-4: 0 the client sends everything and then closes; otherwise
//                     it vanishes after about that many reads
//           bit 5:    vanish by reset instead of an orderly close
//           bit 6:    destroy the server instead of closing the client
//           bit 7:    handlers keep responses alive after their connection
//   bytes 1-3: seed for the read sizes and the handlers' choices

#include "connection.h"
#include "httpserver.h"
#include "request.h"
#include "response.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QLoggingCategory>
#include <QPointer>
#include <QTcpSocket>
#include <QTimer>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <vector>

using http::HttpServer;
using http::server::Connection;
using http::server::Request;
using http::server::Response;

namespace {

class Random
{
public:
    explicit Random(uint32_t seed) : state(seed | 1u) {}
    uint32_t next()
    {
        state ^= state << 13;
        state ^= state >> 17;
        state ^= state << 5;
        return state;
    }
    uint32_t below(uint32_t n) { return n ? next() % n : 0; }

private:
    uint32_t state;
};

void silence(QtMsgType, const QMessageLogContext &, const QString &)
{
}

[[noreturn]] void fail(const char *what)
{
    std::fprintf(stderr, "http connection: %s\n", what);
    std::abort();
}

QCoreApplication *application = nullptr;
HttpServer *server = nullptr;
QObject *timerContext = nullptr;

// State of the input being run.
Random *choices = nullptr;
bool holdResponses = false;
int pendingTimers = 0;
std::vector<QSharedPointer<Response>> heldResponses;

void runEvents()
{
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    QCoreApplication::processEvents(QEventLoop::AllEvents);
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
}

bool runEventsUntil(const std::function<bool()> &done, int timeoutMs)
{
    QElapsedTimer clock;
    clock.start();
    QTimer wake;
    wake.start(5);
    while (!done()) {
        if (clock.hasExpired(timeoutMs))
            return false;
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
        if (done())
            break;
        QCoreApplication::processEvents(QEventLoop::AllEvents | QEventLoop::WaitForMoreEvents);
    }
    return true;
}

void later(int ms, std::function<void()> work)
{
    ++pendingTimers;
    QTimer::singleShot(ms, timerContext, [work = std::move(work)] {
        --pendingTimers;
        work();
    });
}

void answer(const QSharedPointer<Request> &request, const QSharedPointer<Response> &response)
{
    if (holdResponses)
        heldResponses.push_back(response);

    switch (choices->below(8)) {
    case 0: // at once, with a length: the connection stays open
        response->setHeader(QStringLiteral("Content-Length"), QStringLiteral("2"));
        response->writeHead(Response::OK);
        response->end("ok");
        break;
    case 1: // at once, without a length: the connection closes after it
        response->writeHead(404);
        response->write(request->url().toEncoded());
        response->end();
        break;
    case 2: { // later, in one piece
        const int delay = int(choices->below(3));
        later(delay, [response] {
            response->setHeader(QStringLiteral("Content-Length"), QStringLiteral("5"));
            response->writeHead(Response::OK);
            response->end("later");
        });
        break;
    }
    case 3: { // head now, body in two steps later
        response->setHeader(QStringLiteral("Transfer-Encoding"), QStringLiteral("chunked"));
        response->writeHead(Response::OK);
        const int delay = int(choices->below(3));
        later(delay, [response, delay] {
            response->write("5\r\nfirst\r\n");
            later(delay, [response] { response->end("0\r\n\r\n"); });
        });
        break;
    }
    case 4: { // after the whole body has arrived, echoing it
        request->storeBody();
        Request *raw = request.data();
        QObject::connect(raw, &Request::end, timerContext, [raw, response] {
            response->setHeader(QStringLiteral("Content-Length"), QString::number(raw->body().size()));
            response->writeHead(raw->successful() ? 200 : 400);
            response->end(raw->body());
        });
        break;
    }
    case 5: // asks for closing
        response->setHeader(QStringLiteral("Connection"), QStringLiteral("close"));
        response->writeHead(Response::OK);
        response->end("bye");
        break;
    default: // never: the response goes with the last reference
        break;
    }
}

void makeServer()
{
    server = new HttpServer;
    if (!server->listen(QHostAddress::LocalHost, 0))
        fail("cannot listen on the loopback address");
    QObject::connect(server, &HttpServer::newRequest, answer);
}

int connectionCount()
{
    return server ? server->findChildren<Connection *>().size() : 0;
}

int socketCount()
{
    return server ? server->findChildren<QTcpSocket *>().size() : 0;
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *argc, char ***argv)
{
    qputenv("QT_QPA_PLATFORM", "offscreen");
    application = new QCoreApplication(*argc, *argv);
    QLoggingCategory::setFilterRules(QStringLiteral("*.debug=false"));
    qInstallMessageHandler(silence);
    timerContext = new QObject;
    makeServer();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size < 4)
        return 0;
    const unsigned control = data[0];
    Random rng(uint32_t(data[1]) | uint32_t(data[2]) << 8 | uint32_t(data[3]) << 16);
    choices = &rng;
    holdResponses = control & 0x80;
    const char *wire = reinterpret_cast<const char *>(data + 4);
    const size_t wireSize = size - 4;

    static const size_t largestRead[] = {1, 16, 512, 65536};
    const size_t maxRead = largestRead[control & 3];
    const unsigned vanishAfter = (control >> 2) & 7; // 0: never
    const bool reset = control & 0x20;
    const bool destroyServer = control & 0x40;

    if (!server)
        makeServer();

    QTcpSocket client;
    QObject::connect(&client, &QTcpSocket::readyRead, &client, [&client] { client.readAll(); });
    client.connectToHost(QHostAddress::LocalHost, server->port());
    if (!runEventsUntil([&] { return client.state() == QAbstractSocket::ConnectedState && connectionCount() == 1; },
                        5000))
        fail("no connection within 5 s");

    // The client's side of the exchange.
    size_t offset = 0;
    unsigned reads = 0;
    bool vanished = false;
    while (offset < wireSize && client.state() == QAbstractSocket::ConnectedState) {
        const size_t length = std::min(wireSize - offset, 1 + size_t(rng.below(uint32_t(maxRead))));
        client.write(wire + offset, qint64(length));
        client.flush();
        offset += length;
        runEvents();
        if (vanishAfter && ++reads >= vanishAfter + rng.below(4)) {
            vanished = true;
            break;
        }
    }

    if (destroyServer && vanished) {
        // Connections and accepted sockets go with it; held responses stay.
        delete server;
        server = nullptr;
    } else if (reset) {
        client.abort();
    } else {
        client.disconnectFromHost();
    }

    // Every connection must go once its peer has gone, and every answer due
    // later must have been given.
    if (!runEventsUntil([] { return pendingTimers == 0 && connectionCount() == 0; }, 5000))
        fail(pendingTimers ? "a delayed answer never ran" : "a connection outlived its socket for 5 s");

    // Responses kept beyond their connection must be harmless to use.
    for (const QSharedPointer<Response> &response : heldResponses) {
        response->setHeader(QStringLiteral("X-Late"), QStringLiteral("1"));
        response->writeHead(Response::OK);
        response->write("late");
        response->end("late");
    }
    heldResponses.clear();
    client.abort();
    if (!runEventsUntil([] { return socketCount() == 0; }, 5000))
        fail("an accepted socket outlived its connection for 5 s");
    choices = nullptr;
    return 0;
}
