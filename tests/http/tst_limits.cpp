#include "httptestutil.h"

using namespace httptest;

// What a server does about clients that hold on to it: time limits, clients
// that send faster than they read, and closing without losing an answer.
class tst_Limits : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase();
    void timeouts_data();
    void timeouts();
    void timeoutTurnedOff();
    void clientTakesNoAnswer();
    void backPressure();
    void gracefulClose();
};

namespace {

// GET gets "ok"; POST gets its body back once the whole body is in.
void answer(const RequestPtr &request, const ResponsePtr &response)
{
    if (request->method() != http::server::Request::HTTP_POST) {
        answerWith("ok")(request, response);
        return;
    }
    request->storeBody();
    http::server::Request *rq = request.data();
    QObject::connect(rq, &http::server::Request::end, response.data(), [rq, response] {
        if (rq->successful())
            answerWith(rq->body())(nullptr, response);
    });
}

bool waitForClose(QTcpSocket &client, QByteArray &received)
{
    const bool closed = readUntil(client, received, [&client](const QByteArray &) {
        return client.state() == QAbstractSocket::UnconnectedState;
    }, 10000);
    received += client.readAll();
    return closed;
}

} // namespace

void tst_Limits::initTestCase()
{
    QLoggingCategory::setFilterRules(QStringLiteral("ch.veltor.http.*.debug=false\nch.veltor.http.*.info=false"));
}

void tst_Limits::timeouts_data()
{
    QTest::addColumn<int>("head");
    QTest::addColumn<int>("idle");
    QTest::addColumn<int>("body");
    QTest::addColumn<QByteArray>("input");
    QTest::addColumn<QByteArray>("answer"); // the status line the client gets, if any
    QTest::addColumn<bool>("cutOff");       // a request handed out ended unfinished

    QTest::addRow("request head") << 200 << 0 << 0 << QByteArray("GET / HTTP/1.1\r\nHo")
                                  << QByteArray("HTTP/1.1 408 Request Time-out") << false;
    QTest::addRow("no request at all") << 200 << 0 << 0 << QByteArray() << QByteArray() << false;
    QTest::addRow("idle after an answer") << 0 << 200 << 0 << QByteArray("GET / HTTP/1.1\r\nHost: h\r\n\r\n")
                                          << QByteArray("HTTP/1.1 200 OK") << false;
    QTest::addRow("body that stops")
        << 0 << 0 << 200 << QByteArray("POST / HTTP/1.1\r\nHost: h\r\nContent-Length: 10\r\n\r\nabc")
        << QByteArray() << true;
}

void tst_Limits::timeouts()
{
    QFETCH(int, head);
    QFETCH(int, idle);
    QFETCH(int, body);
    QFETCH(QByteArray, input);
    QFETCH(QByteArray, answer);
    QFETCH(bool, cutOff);

    http::HttpServer server;
    server.setHeadTimeout(head);
    server.setIdleTimeout(idle);
    server.setBodyTimeout(body);
    QVERIFY(server.listen(QHostAddress::LocalHost, 0));
    Recorder recorder(&server);
    recorder.handler = ::answer;

    QTcpSocket client;
    QVERIFY(connectClient(client, server));
    client.write(input);
    QByteArray received;
    QVERIFY(waitForClose(client, received));
    QVERIFY2(received.startsWith(answer), received.constData());
    if (answer.contains("408"))
        QVERIFY2(headerLines(received).contains("Connection: close"), received.constData());
    QCOMPARE(!recorder.requests.isEmpty() && !recorder.requests.first()->successful(), cutOff);
}

void tst_Limits::timeoutTurnedOff()
{
    // A connection closed for idling shows that the sweep has run past the
    // limit; a head that has no limit is still being waited for then.
    http::HttpServer server;
    server.setHeadTimeout(0);
    server.setIdleTimeout(200);
    QCOMPARE(server.headTimeout(), 0);
    QVERIFY(server.listen(QHostAddress::LocalHost, 0));
    Recorder recorder(&server);
    recorder.handler = answer;

    QTcpSocket slow;
    QVERIFY(connectClient(slow, server));
    slow.write("GET /slow HTTP/1.1\r\nHo");
    QTcpSocket idle;
    QVERIFY(connectClient(idle, server));
    idle.write("GET / HTTP/1.1\r\nHost: h\r\n\r\n");
    QByteArray received;
    QVERIFY(waitForClose(idle, received));
    QCOMPARE(slow.state(), QAbstractSocket::ConnectedState);

    slow.write("st: h\r\n\r\n");
    QVERIFY(readResponse(slow).endsWith("\r\n\r\nok"));
}

void tst_Limits::clientTakesNoAnswer()
{
    // The answer fills the kernel's buffers and the client reads none of it:
    // the idle limit ends the connection and frees what it holds.
    http::HttpServer server;
    server.setIdleTimeout(200);
    QVERIFY(server.listen(QHostAddress::LocalHost, 0));
    Recorder recorder(&server, false);
    recorder.handler = answerWith(QByteArray(32 * 1024 * 1024, 'x'));

    QTcpSocket client;
    client.setReadBufferSize(64 * 1024); // the client's Qt socket takes no more than this
    QVERIFY(connectClient(client, server));
    client.write("GET / HTTP/1.1\r\nHost: h\r\n\r\n");
    QTRY_VERIFY(onlyConnection(server));
    QTRY_VERIFY_WITH_TIMEOUT(server.findChildren<http::server::Connection *>().isEmpty(), 10000);
}

void tst_Limits::backPressure()
{
    // Each answer is large, so that the kernel's buffers fill long before the
    // client has sent all its requests, which come in one write.
    const QByteArray large(256 * 1024, 'x');
    http::HttpServer server;
    QVERIFY(server.listen(QHostAddress::LocalHost, 0));
    Recorder recorder(&server, false);
    recorder.handler = answerWith(large);

    QTcpSocket client;
    QVERIFY(connectClient(client, server));
    const int requests = 200;
    QByteArray pipeline;
    for (int i = 0; i < requests; ++i)
        pipeline += "GET /" + QByteArray::number(i) + " HTTP/1.1\r\nHost: h\r\n\r\n";
    client.write(pipeline);
    const QPointer<QTcpSocket> serverSide = acceptedSocket(server);
    QVERIFY(serverSide);

    // Answers back up in the server, and it parses no further requests.
    QTRY_VERIFY(serverSide->bytesToWrite() > 0);
    QVERIFY2(recorder.requests.size() < requests, QByteArray::number(recorder.requests.size()).constData());

    // Once the client reads, every request is answered, in order.
    const QByteArray first = readResponse(client);
    const qint64 answerSize = first.indexOf("\r\n\r\n") + 4 + large.size();
    qint64 total = first.size();
    QVERIFY(QTest::qWaitFor([&] {
        total += client.readAll().size();
        return total >= answerSize * requests;
    }, 60000));
    QCOMPARE(recorder.requests.size(), requests);
    QCOMPARE(recorder.requests.last()->path(), QStringLiteral("/199"));
}

void tst_Limits::gracefulClose()
{
    // The server ends the connection after a large answer, while the client
    // has already sent its next request: closing with that request unread
    // would make the kernel reset the connection and drop the answer's end.
    const int answerSize = 4 * 1024 * 1024;
    http::HttpServer server;
    QVERIFY(server.listen(QHostAddress::LocalHost, 0));
    Recorder recorder(&server, false);
    recorder.handler = [answerSize](const RequestPtr &, const ResponsePtr &response) {
        response->setHeader(QStringLiteral("Connection"), QStringLiteral("close"));
        answerWith(QByteArray(answerSize, 'a'))(nullptr, response);
    };

    QTcpSocket client;
    QVERIFY(connectClient(client, server));
    // A small window keeps most of the answer in the server's kernel, where
    // a reset would drop it.
    client.setSocketOption(QAbstractSocket::ReceiveBufferSizeSocketOption, 64 * 1024);
    client.write("GET /large HTTP/1.1\r\nHost: h\r\n\r\n");
    const QPointer<QTcpSocket> serverSide = acceptedSocket(server);
    QVERIFY(serverSide);
    QTRY_VERIFY(recorder.requests.size() == 1);
    QVERIFY(sendAlone(client, serverSide, "GET /next HTTP/1.1\r\nHost: h\r\n\r\n"));

    QByteArray received;
    QVERIFY(waitForClose(client, received));
    const int headEnd = received.indexOf("\r\n\r\n");
    QVERIFY(headEnd > 0);
    QCOMPARE(received.size() - headEnd - 4, answerSize);
}

QTEST_MAIN(tst_Limits)
#include "tst_limits.moc"
