#include "httptestutil.h"

using namespace httptest;
using http::server::HeaderHash;

class tst_Connection : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase();
    void twoRequestsInOneRead();
    void headers_data();
    void headers();
    void target_data();
    void target();
    void httpVersion_data();
    void httpVersion();
    void refused_data();
    void refused();
    void clientLeavesMidBody();
    void messagesAfterClosingResponseAreIgnored();
    void nullSocket();
};

void tst_Connection::initTestCase()
{
    // Every finished exchange logs its tear-down; that is checked in tst_httpserver.
    QLoggingCategory::setFilterRules(QStringLiteral("ch.veltor.http.*.debug=false"));
}

void tst_Connection::twoRequestsInOneRead()
{
    http::HttpServer server;
    QVERIFY(server.listen(QHostAddress::LocalHost, 0));
    Recorder recorder(&server);
    recorder.handler = answerWith("ok");

    QTcpSocket client;
    QVERIFY(connectClient(client, server));
    client.write("GET /first HTTP/1.1\r\nHost: a\r\nX-Only-First: 1\r\n\r\n"
                 "GET /second HTTP/1.1\r\nHost: b\r\n\r\n");

    QByteArray received;
    QVERIFY(readUntil(client, received, [](const QByteArray &b) { return b.count("\r\n\r\nok") == 2; }));
    QCOMPARE(recorder.requests.size(), 2);
    QCOMPARE(recorder.requests.at(0)->path(), QStringLiteral("/first"));
    QCOMPARE(recorder.requests.at(1)->path(), QStringLiteral("/second"));
    QCOMPARE(recorder.requests.at(0)->headers(),
             (HeaderHash{ { "host", "a" }, { "x-only-first", "1" } }));
    QCOMPARE(recorder.requests.at(1)->headers(), (HeaderHash{ { "host", "b" } }));
    QVERIFY(recorder.requests.at(0)->successful());
    QVERIFY(recorder.requests.at(1)->successful());
}

void tst_Connection::headers_data()
{
    // Each chunk reaches the server in a read of its own.
    QTest::addColumn<QByteArrayList>("chunks");
    QTest::addColumn<HeaderHash>("expected");

    QTest::addRow("none") << QByteArrayList{ "GET / HTTP/1.0\r\n\r\n" } << HeaderHash{};
    QTest::addRow("names lower-cased")
        << QByteArrayList{ "GET / HTTP/1.0\r\nContent-Type: text/plain\r\nX-MiXeD: A b\r\n\r\n" }
        << HeaderHash{ { "content-type", "text/plain" }, { "x-mixed", "A b" } };
    QTest::addRow("name split across reads")
        << QByteArrayList{ "GET / HTTP/1.0\r\nContent-Ty", "pe: text/plain\r\nHost: h\r\n\r\n" }
        << HeaderHash{ { "content-type", "text/plain" }, { "host", "h" } };
    QTest::addRow("value split across reads")
        << QByteArrayList{ "GET / HTTP/1.0\r\nUser-Agent: tes", "t/1.0\r\nHost: h\r\n\r\n" }
        << HeaderHash{ { "user-agent", "test/1.0" }, { "host", "h" } };
    QTest::addRow("split at the colon")
        << QByteArrayList{ "GET / HTTP/1.0\r\nAccept", ": */*\r\n", "\r\n" }
        << HeaderHash{ { "accept", "*/*" } };
    QTest::addRow("repeated name keeps the last")
        << QByteArrayList{ "GET / HTTP/1.0\r\nX-A: 1\r\nx-a: 2\r\nX-A: 3\r\n\r\n" }
        << HeaderHash{ { "x-a", "3" } };
    QTest::addRow("empty value")
        << QByteArrayList{ "GET / HTTP/1.0\r\nX-Empty:\r\nX-Next: v\r\n\r\n" }
        << HeaderHash{ { "x-empty", "" }, { "x-next", "v" } };
    QTest::addRow("empty value last")
        << QByteArrayList{ "GET / HTTP/1.0\r\nX-First: v\r\nX-Empty: \r\n\r\n" }
        << HeaderHash{ { "x-first", "v" }, { "x-empty", "" } };
    QTest::addRow("empty value split from the next name")
        << QByteArrayList{ "GET / HTTP/1.0\r\nX-Empty:\r\n", "X-Next: v\r\n\r\n" }
        << HeaderHash{ { "x-empty", "" }, { "x-next", "v" } };
    QTest::addRow("latin-1 value")
        << QByteArrayList{ "GET / HTTP/1.0\r\nX-City: Z\xfcrich\r\n\r\n" }
        << HeaderHash{ { "x-city", QString::fromUtf8("Z\xc3\xbcrich") } };
}

void tst_Connection::headers()
{
    QFETCH(QByteArrayList, chunks);
    QFETCH(HeaderHash, expected);

    http::HttpServer server;
    QVERIFY(server.listen(QHostAddress::LocalHost, 0));
    Recorder recorder(&server);

    QTcpSocket client;
    QVERIFY(connectClient(client, server));
    const QPointer<QTcpSocket> serverSide = acceptedSocket(server);
    QVERIFY(serverSide);
    for (const QByteArray &chunk : qAsConst(chunks))
        QVERIFY(sendAlone(client, serverSide, chunk));

    QTRY_COMPARE(recorder.requests.size(), 1);
    QCOMPARE(recorder.requests.first()->headers(), expected);
}

void tst_Connection::target_data()
{
    QTest::addColumn<QByteArray>("requestLine");
    QTest::addColumn<QString>("scheme");
    QTest::addColumn<QString>("host");
    QTest::addColumn<int>("port");
    QTest::addColumn<QString>("path");
    QTest::addColumn<QString>("query");
    QTest::addColumn<QString>("fragment");
    QTest::addColumn<QString>("asText");

    QTest::addRow("origin form") << QByteArray("GET /x?y=1 HTTP/1.1")
                                 << "" << "" << -1 << "/x" << "y=1" << "" << "/x?y=1";
    QTest::addRow("root") << QByteArray("GET / HTTP/1.1") << "" << "" << -1 << "/" << "" << "" << "/";
    QTest::addRow("absolute form")
        << QByteArray("GET http://10.0.0.1:8080/p?q=1#f HTTP/1.1")
        << "http" << "10.0.0.1" << 8080 << "/p" << "q=1" << "f" << "http://10.0.0.1:8080/p?q=1#f";
    QTest::addRow("percent sequence kept literally")
        << QByteArray("GET /a%20b HTTP/1.1") << "" << "" << -1 << "/a%20b" << "" << "" << "/a%2520b";
    QTest::addRow("characters the URL escapes")
        << QByteArray("GET /a{b}|c^` HTTP/1.1") << "" << "" << -1 << "/a{b}|c^`" << "" << "" << "/a%7Bb%7D%7Cc%5E%60";
    QTest::addRow("Latin-1 byte")
        << QByteArray("GET /caf\xe9 HTTP/1.1") << "" << "" << -1 << "/caf\u00e9" << "" << "" << "/caf\u00e9";
    QTest::addRow("asterisk") << QByteArray("OPTIONS * HTTP/1.1") << "" << "" << -1 << "*" << "" << "" << "*";
    QTest::addRow("connect") << QByteArray("CONNECT 10.0.0.1:443 HTTP/1.1")
                             << "" << "10.0.0.1" << 443 << "" << "" << "" << "//10.0.0.1:443";
}

void tst_Connection::target()
{
    QFETCH(QByteArray, requestLine);
    QFETCH(QString, scheme);
    QFETCH(QString, host);
    QFETCH(int, port);
    QFETCH(QString, path);
    QFETCH(QString, query);
    QFETCH(QString, fragment);
    QFETCH(QString, asText);

    http::HttpServer server;
    QVERIFY(server.listen(QHostAddress::LocalHost, 0));
    Recorder recorder(&server);

    QTcpSocket client;
    QVERIFY(connectClient(client, server));
    client.write(requestLine + "\r\nHost: h\r\n\r\n");
    QTRY_COMPARE(recorder.requests.size(), 1);

    const RequestPtr request = recorder.requests.first();
    const QUrl &url = request->url();
    QCOMPARE(url.scheme(), scheme);
    QCOMPARE(url.host(), host);
    QCOMPARE(url.port(), port);
    QCOMPARE(request->path(), path);
    QCOMPARE(url.query(), query);
    QCOMPARE(url.fragment(), fragment);
    QCOMPARE(url.toString(), asText);
}

void tst_Connection::httpVersion_data()
{
    QTest::addColumn<QByteArray>("version");
    QTest::addColumn<QString>("expected");
    QTest::addRow("1.1") << QByteArray("HTTP/1.1") << QStringLiteral("1.1");
    QTest::addRow("1.0") << QByteArray("HTTP/1.0") << QStringLiteral("1.0");
}

void tst_Connection::httpVersion()
{
    QFETCH(QByteArray, version);
    QFETCH(QString, expected);

    http::HttpServer server;
    QVERIFY(server.listen(QHostAddress::LocalHost, 0));
    Recorder recorder(&server);
    QTcpSocket client;
    QVERIFY(connectClient(client, server));
    client.write("GET / " + version + "\r\nHost: h\r\n\r\n");
    QTRY_COMPARE(recorder.requests.size(), 1);
    QCOMPARE(recorder.requests.first()->httpVersion(), expected);
}

void tst_Connection::refused_data()
{
    QTest::addColumn<QByteArray>("input");
    QTest::addColumn<int>("answered"); // requests before the refused bytes, answered with "ok"
    QTest::addColumn<QString>("name");  // the parse error, if any
    QTest::addColumn<QString>("description");
    QTest::addColumn<bool>("badRequest");

    QTest::addRow("invalid method") << QByteArray("FOO / HTTP/1.1\r\nHost: h\r\n\r\n") << 0
                                    << "HPE_INVALID_METHOD" << "invalid HTTP method" << true;
    QTest::addRow("header overflow")
        << QByteArray("GET / HTTP/1.1\r\nHost: h\r\nX-Big: " + QByteArray(90000, 'a') + "\r\n\r\n") << 0
        << "HPE_HEADER_OVERFLOW" << "too many header bytes seen; overflow detected" << true;
    QTest::addRow("bad version after a good request")
        << QByteArray("GET / HTTP/1.1\r\nHost: h\r\n\r\nGET / HTTP/x.1\r\n\r\n") << 1
        << "HPE_INVALID_VERSION" << "invalid HTTP version" << true;
    // Framing that a front proxy may read differently.
    QTest::addRow("space before the colon")
        << QByteArray("POST / HTTP/1.1\r\nHost: h\r\nContent-Length : 3\r\n\r\nabc") << 0
        << "HPE_INVALID_HEADER_TOKEN" << "invalid character in header" << true;
    QTest::addRow("folded header line") << QByteArray("GET / HTTP/1.1\r\nHost: h\r\nX-A: 1\r\n 2\r\n\r\n") << 0
                                        << "HPE_INVALID_HEADER_TOKEN" << "invalid character in header" << true;
    // The handler has answered; the broken body ends the connection.
    QTest::addRow("chunk data not followed by CR LF")
        << QByteArray("POST / HTTP/1.1\r\nHost: h\r\nTransfer-Encoding: chunked\r\n\r\n3\r\nabcXY0\r\n\r\n") << 1
        << "HPE_STRICT" << "strict mode assertion failed" << false;
    QTest::addRow("no Host") << QByteArray("GET / HTTP/1.1\r\n\r\n") << 0 << "" << "" << true;
    QTest::addRow("two Hosts") << QByteArray("GET / HTTP/1.1\r\nHost: a\r\nHost: b\r\n\r\n") << 0 << "" << ""
                               << true;
    // The client said its request was the last.
    QTest::addRow("request after Connection: close")
        << QByteArray("GET / HTTP/1.1\r\nHost: h\r\nConnection: close\r\n\r\nGET /more HTTP/1.1\r\nHost: h\r\n\r\n")
        << 1 << "HPE_CLOSED_CONNECTION" << "data received after completed connection: close message" << false;
    QTest::addRow("request after HTTP/1.0")
        << QByteArray("GET / HTTP/1.0\r\n\r\n\r\nGET /more HTTP/1.0\r\n\r\n") << 1
        << "HPE_CLOSED_CONNECTION" << "data received after completed connection: close message" << false;
}

void tst_Connection::refused()
{
    QFETCH(QByteArray, input);
    QFETCH(int, answered);
    QFETCH(QString, name);
    QFETCH(QString, description);
    QFETCH(bool, badRequest);

    http::HttpServer server;
    QVERIFY(server.listen(QHostAddress::LocalHost, 0));
    Recorder recorder(&server);
    recorder.handler = answerWith("ok");

    QTcpSocket client;
    QVERIFY(connectClient(client, server));
    QVERIFY(acceptedSocket(server));
    http::server::Connection *connection = onlyConnection(server);
    QVERIFY(connection);
    QSignalSpy errors(connection, &http::server::Connection::parseError);

    // Every case ends the connection once the answers are out.
    client.write(input);
    QByteArray received;
    QVERIFY(readUntil(client, received, [&client](const QByteArray &) {
        return client.state() == QAbstractSocket::UnconnectedState;
    }));
    received += client.readAll();
    QCOMPARE(recorder.requests.size(), answered);
    QCOMPARE(received.count("HTTP/1.1 200 OK\r\n"), answered);
    QCOMPARE(received.count("HTTP/1.1 400 Bad Request\r\n"), badRequest ? 1 : 0);
    if (badRequest)
        QVERIFY2(headerLines(received.mid(received.indexOf("HTTP/1.1 400"))).contains("Connection: close"),
                 received.constData());
    QCOMPARE(errors.size(), name.isEmpty() ? 0 : 1);
    if (!name.isEmpty()) {
        QCOMPARE(errors.first().at(0).toString(), name);
        QCOMPARE(errors.first().at(1).toString(), description);
    }
}

void tst_Connection::clientLeavesMidBody()
{
    http::HttpServer server;
    QVERIFY(server.listen(QHostAddress::LocalHost, 0));
    Recorder recorder(&server);
    QSignalSpy *ends = nullptr;
    recorder.handler = [&ends](const RequestPtr &request, const ResponsePtr &) {
        request->storeBody();
        ends = new QSignalSpy(request.data(), &http::server::Request::end);
    };

    QTcpSocket client;
    QVERIFY(connectClient(client, server));
    client.write("POST /upload HTTP/1.1\r\nHost: h\r\nContent-Length: 10\r\n\r\nabcd");
    QTRY_COMPARE(recorder.requests.size(), 1);
    const RequestPtr request = recorder.requests.first();
    QTRY_COMPARE(request->body(), QByteArray("abcd"));
    QPointer<http::server::Connection> connection = onlyConnection(server);
    QVERIFY(connection);

    client.disconnectFromHost();
    QTRY_COMPARE(ends->size(), 1);
    QVERIFY(!request->successful());
    QTRY_VERIFY(connection.isNull());

    // The response outlives its connection and refuses further use.
    QTest::ignoreMessage(QtWarningMsg, "Response::end() Cannot write end after response has finished.");
    recorder.responses.first()->end("late");
    QCOMPARE(ends->size(), 1);
    delete ends;
}

void tst_Connection::messagesAfterClosingResponseAreIgnored()
{
    http::HttpServer server;
    QVERIFY(server.listen(QHostAddress::LocalHost, 0));
    Recorder recorder(&server);
    // Without a length the body ends with the connection; a second answer
    // would be read as part of the first body.
    recorder.handler = [](const RequestPtr &, const ResponsePtr &response) {
        response->writeHead(200);
        response->end("first");
    };

    QTcpSocket client;
    QVERIFY(connectClient(client, server));
    client.write("GET /a HTTP/1.1\r\nHost: h\r\n\r\nGET /b HTTP/1.1\r\nHost: h\r\n\r\n");
    QByteArray received;
    QVERIFY(readUntil(client, received, [&client](const QByteArray &) {
        return client.state() == QAbstractSocket::UnconnectedState;
    }));
    received += client.readAll();
    QCOMPARE(recorder.requests.size(), 1);
    QCOMPARE(received.count("HTTP/1.1 200 OK"), 1);
    QVERIFY(received.endsWith("\r\n\r\nfirst"));
}

void tst_Connection::nullSocket()
{
    http::server::Connection connection(nullptr, nullptr);
    QSignalSpy written(&connection, &http::server::Connection::allBytesWritten);
    connection.write("ignored");
    connection.flush();
    QCOMPARE(written.size(), 0);
}

QTEST_MAIN(tst_Connection)
#include "tst_connection.moc"
