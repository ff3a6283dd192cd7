#include "httptestutil.h"

using namespace httptest;
using http::server::Request;

class tst_Request : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase();
    void init();
    void cleanup();
    void headerLookup_data();
    void headerLookup();
    void method_data();
    void method();
    void body_data();
    void body();
    void chunkedBody();
    void wholeBodyBeforeClosing();
    void peer();

private:
    RequestPtr send(const QByteArray &bytes);

    http::HttpServer *server = nullptr;
    Recorder *recorder = nullptr;
    QTcpSocket *client = nullptr;
};

void tst_Request::initTestCase()
{
    QLoggingCategory::setFilterRules(QStringLiteral("ch.veltor.http.*.debug=false"));
}

void tst_Request::init()
{
    server = new http::HttpServer;
    QVERIFY(server->listen(QHostAddress::LocalHost, 0));
    recorder = new Recorder(server);
    client = new QTcpSocket;
    QVERIFY(connectClient(*client, *server));
}

void tst_Request::cleanup()
{
    delete client;
    delete recorder;
    delete server;
}

RequestPtr tst_Request::send(const QByteArray &bytes)
{
    client->write(bytes);
    if (!QTest::qWaitFor([this] { return !recorder->requests.isEmpty(); }, 5000))
        return {};
    return recorder->requests.first();
}

void tst_Request::headerLookup_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<QString>("value");
    QTest::addRow("lower") << "content-type" << "text/plain";
    QTest::addRow("upper") << "CONTENT-TYPE" << "text/plain";
    QTest::addRow("as sent") << "Content-Type" << "text/plain";
    QTest::addRow("mixed") << "cONTENT-tYPE" << "text/plain";
    QTest::addRow("non-ASCII letter") << "Content-Typ\u00c9" << "";
    QTest::addRow("missing") << "X-Missing" << "";
}

void tst_Request::headerLookup()
{
    QFETCH(QString, name);
    QFETCH(QString, value);
    const RequestPtr request = send("GET / HTTP/1.1\r\nHost: h\r\nContent-Type: text/plain\r\n\r\n");
    QVERIFY(request);
    QCOMPARE(request->header(name), value);
    QVERIFY(request->headers().contains(QStringLiteral("content-type")));
    QCOMPARE(request->property("headers").value<http::server::HeaderHash>(), request->headers());
}

void tst_Request::method_data()
{
    QTest::addColumn<QByteArray>("token");
    QTest::addColumn<int>("value");
    QTest::addColumn<QString>("name");

    // The values of the first 26 methods are fixed across the library boundary.
    QTest::addRow("GET") << QByteArray("GET") << 1 << "HTTP_GET";
    QTest::addRow("DELETE") << QByteArray("DELETE") << 0 << "HTTP_DELETE";
    QTest::addRow("POST") << QByteArray("POST") << 3 << "HTTP_POST";
    QTest::addRow("REPORT") << QByteArray("REPORT") << 16 << "HTTP_REPORT";
    QTest::addRow("M-SEARCH") << QByteArray("M-SEARCH") << 20 << "HTTP_MSEARCH";
    QTest::addRow("PATCH") << QByteArray("PATCH") << 24 << "HTTP_PATCH";
    QTest::addRow("PURGE") << QByteArray("PURGE") << 25 << "HTTP_PURGE";
    // Methods the parser knows beyond the fixed table follow it.
    QTest::addRow("BIND") << QByteArray("BIND") << int(Request::HTTP_BIND) << "HTTP_BIND";
    QTest::addRow("MKCALENDAR") << QByteArray("MKCALENDAR") << int(Request::HTTP_MKCALENDAR)
                                << "HTTP_MKCALENDAR";
    QTest::addRow("SOURCE") << QByteArray("SOURCE") << int(Request::HTTP_SOURCE) << "HTTP_SOURCE";
}

void tst_Request::method()
{
    QFETCH(QByteArray, token);
    QFETCH(int, value);
    QFETCH(QString, name);
    const RequestPtr request = send(token + " /m HTTP/1.1\r\nHost: h\r\n\r\n");
    QVERIFY(request);
    QCOMPARE(int(request->method()), value);
    QCOMPARE(request->methodString(), name);
    QCOMPARE(request->property("method").toString(), name);
    QCOMPARE(request->path(), QStringLiteral("/m"));
}

void tst_Request::body_data()
{
    QTest::addColumn<int>("storeCalls");
    QTest::addColumn<QByteArray>("expected");
    QTest::addRow("not stored") << 0 << QByteArray();
    QTest::addRow("stored") << 1 << QByteArray("0123456789");
    QTest::addRow("stored twice, kept once") << 2 << QByteArray("0123456789");
}

void tst_Request::body()
{
    QFETCH(int, storeCalls);
    QFETCH(QByteArray, expected);

    QByteArray delivered;
    recorder->handler = [&](const RequestPtr &request, const ResponsePtr &) {
        for (int i = 0; i < storeCalls; ++i)
            request->storeBody();
        connect(request.data(), &Request::data, [&delivered](const QByteArray &data) { delivered += data; });
    };
    // The body arrives in two reads, after the head was handed out.
    const RequestPtr request = send("POST / HTTP/1.1\r\nHost: h\r\nContent-Length: 10\r\n\r\n01234");
    QVERIFY(request);
    QSignalSpy ends(request.data(), &Request::end);
    QTRY_COMPARE(delivered, QByteArray("01234"));
    client->write("56789");
    QTRY_COMPARE(ends.size(), 1);
    QVERIFY(request->successful());
    QCOMPARE(delivered, QByteArray("0123456789"));
    QCOMPARE(request->body(), expected);
}

void tst_Request::chunkedBody()
{
    recorder->handler = [](const RequestPtr &request, const ResponsePtr &) { request->storeBody(); };
    const RequestPtr request = send("POST / HTTP/1.1\r\nHost: h\r\nTransfer-Encoding: chunked\r\n\r\n"
                                    "5\r\nhello\r\n6\r\n world\r\n0\r\n\r\n");
    QVERIFY(request);
    QTRY_VERIFY(request->successful());
    QCOMPARE(request->body(), QByteArray("hello world"));
}

void tst_Request::wholeBodyBeforeClosing()
{
    // An answer that ends the connection, given as soon as the head is in,
    // must not cut off a request whose body came in the same read.
    int ends = 0;
    bool successful = false;
    recorder->handler = [&](const RequestPtr &request, const ResponsePtr &response) {
        request->storeBody();
        Request *rq = request.data();
        connect(rq, &Request::end, this, [&, rq] {
            ++ends;
            successful = rq->successful();
        });
        response->writeHead(200); // no length: the connection closes after it
        response->end("ok");
    };
    client->write("POST /x HTTP/1.0\r\nContent-Length: 10\r\n\r\n0123456789");
    QTRY_COMPARE(client->state(), QAbstractSocket::UnconnectedState);
    QCOMPARE(ends, 1);
    QVERIFY(successful);
    QCOMPARE(recorder->requests.first()->body(), QByteArray("0123456789"));
}

void tst_Request::peer()
{
    const RequestPtr request = send("GET / HTTP/1.1\r\nHost: h\r\n\r\n");
    QVERIFY(request);
    QCOMPARE(request->remoteAddress(), QStringLiteral("127.0.0.1"));
    QCOMPARE(request->remotePort(), client->localPort());
}

QTEST_MAIN(tst_Request)
#include "tst_request.moc"
