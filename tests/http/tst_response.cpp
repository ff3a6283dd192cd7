#include "httptestutil.h"

using namespace httptest;
using http::server::Response;

using HeaderList = QList<QPair<QString, QString>>;
Q_DECLARE_METATYPE(HeaderList)

class tst_Response : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase();
    void init();
    void cleanup();
    void framing_data();
    void framing();
    void statusLine_data();
    void statusLine();
    void latin1HeaderValue();
    void lineBreakRefused_data();
    void lineBreakRefused();
    void misuse_data();
    void misuse();
    void endWithoutHead();
    void allBytesWritten();
    void doneBeforeAllBytesWritten();
    void writtenWhileHandlerWaits();
    void expectContinue_data();
    void expectContinue();
    void bodyPieces_data();
    void bodyPieces();

private:
    ResponsePtr exchange(const QByteArray &request);

    http::HttpServer *server = nullptr;
    Recorder *recorder = nullptr;
    QTcpSocket *client = nullptr;
};

enum Afterwards { Closed, KeptOpen };

void tst_Response::initTestCase()
{
    QLoggingCategory::setFilterRules(QStringLiteral("ch.veltor.http.*.debug=false"));
}

void tst_Response::init()
{
    server = new http::HttpServer;
    QVERIFY(server->listen(QHostAddress::LocalHost, 0));
    recorder = new Recorder(server);
    client = new QTcpSocket;
    QVERIFY(connectClient(*client, *server));
}

void tst_Response::cleanup()
{
    delete client;
    delete recorder;
    delete server;
}

ResponsePtr tst_Response::exchange(const QByteArray &request)
{
    const int before = recorder->responses.size();
    client->write(request);
    if (!QTest::qWaitFor([this, before] { return recorder->responses.size() > before; }, 5000))
        return {};
    return recorder->responses.last();
}

void tst_Response::framing_data()
{
    QTest::addColumn<QByteArray>("request");
    QTest::addColumn<HeaderList>("headers");
    QTest::addColumn<QByteArray>("body");
    QTest::addColumn<QByteArrayList>("expectedLines");
    QTest::addColumn<int>("afterwards");

    const QByteArray get11 = "GET / HTTP/1.1\r\nHost: h\r\n\r\n";
    const QByteArray get10 = "GET / HTTP/1.0\r\n\r\n";
    const HeaderList length2{ { "Content-Length", "2" } };

    QTest::addRow("length, 1.1") << get11 << length2 << QByteArray("ok")
                                 << QByteArrayList{ "Content-Length: 2", "Connection: keep-alive" } << int(KeptOpen);
    QTest::addRow("length, 1.0") << get10 << length2 << QByteArray("ok")
                                 << QByteArrayList{ "Content-Length: 2", "Connection: close" } << int(Closed);
    QTest::addRow("neither, 1.1") << get11 << HeaderList{} << QByteArray("body until close")
                                  << QByteArrayList{ "Connection: close" } << int(Closed);
    QTest::addRow("neither, 1.0") << get10 << HeaderList{} << QByteArray("x")
                                  << QByteArrayList{ "Connection: close" } << int(Closed);
    QTest::addRow("chunked declared, 1.1")
        << get11 << HeaderList{ { "Transfer-Encoding", "chunked" } } << QByteArray("2\r\nok\r\n0\r\n\r\n")
        << QByteArrayList{ "Transfer-Encoding: chunked", "Connection: keep-alive" } << int(KeptOpen);
    QTest::addRow("chunked declared, 1.0")
        << get10 << HeaderList{ { "transfer-encoding", "CHUNKED" } } << QByteArray("2\r\nok\r\n0\r\n\r\n")
        << QByteArrayList{ "transfer-encoding: CHUNKED", "Connection: close" } << int(Closed);
    QTest::addRow("caller keep-alive without length")
        << get11 << HeaderList{ { "Connection", "keep-alive" } } << QByteArray("x")
        << QByteArrayList{ "Connection: keep-alive" } << int(Closed);
    QTest::addRow("caller close in capitals")
        << get11 << HeaderList{ { "Content-Length", "2" }, { "connection", "CLOSE" } } << QByteArray("ok")
        << QByteArrayList{ "connection: CLOSE" } << int(Closed);
    // The client's own wish counts: HTTP/1.1 may close, HTTP/1.0 may keep the connection.
    QTest::addRow("request asks to close")
        << QByteArray("GET / HTTP/1.1\r\nHost: h\r\nConnection: close\r\n\r\n") << length2 << QByteArray("ok")
        << QByteArrayList{ "Connection: close" } << int(Closed);
    QTest::addRow("1.0 asks for keep-alive")
        << QByteArray("GET / HTTP/1.0\r\nConnection: keep-alive\r\n\r\n") << length2 << QByteArray("ok")
        << QByteArrayList{ "Connection: keep-alive" } << int(KeptOpen);
    // The body of a HEAD answer would be taken for the start of the next answer.
    QTest::addRow("HEAD keeps the length, sends no body")
        << QByteArray("HEAD / HTTP/1.1\r\nHost: h\r\n\r\n") << length2 << QByteArray("ok")
        << QByteArrayList{ "Content-Length: 2", "Connection: keep-alive" } << int(KeptOpen);
    QTest::addRow("caller date") << get11 << HeaderList{ { "Content-Length", "2" }, { "Date", "yesterday" } }
                                 << QByteArray("ok") << QByteArrayList{ "Date: yesterday" } << int(KeptOpen);
}

void tst_Response::framing()
{
    QFETCH(QByteArray, request);
    QFETCH(HeaderList, headers);
    QFETCH(QByteArray, body);
    QFETCH(QByteArrayList, expectedLines);
    QFETCH(int, afterwards);

    recorder->handler = [&](const RequestPtr &, const ResponsePtr &response) {
        for (const auto &header : headers)
            response->setHeader(header.first, header.second);
        response->writeHead(200);
        response->write(body);
        response->end();
    };

    QByteArray received;
    client->write(request);
    const QByteArray sent = request.startsWith("HEAD") ? QByteArray() : body;
    const auto complete = [&](const QByteArray &bytes) {
        return bytes.indexOf("\r\n\r\n") >= 0 && bytes.endsWith(sent);
    };
    QVERIFY(readUntil(*client, received, complete));
    QVERIFY(received.startsWith("HTTP/1.1 200 OK\r\n"));
    QCOMPARE(received.mid(received.indexOf("\r\n\r\n") + 4), sent);

    const QList<QByteArray> lines = headerLines(received);
    for (const QByteArray &line : expectedLines)
        QVERIFY2(lines.contains(line), line.constData());
    const auto count = [&lines](const char *prefix) {
        return std::count_if(lines.cbegin(), lines.cend(),
                             [prefix](const QByteArray &l) { return l.toLower().startsWith(prefix); });
    };
    QCOMPARE(count("connection:"), 1);
    QCOMPARE(count("date:"), 1);
    // The library adds Connection and Date unless the caller gave them, and nothing else.
    const auto callerSet = [&headers](const char *name) {
        return std::any_of(headers.cbegin(), headers.cend(), [name](const QPair<QString, QString> &h) {
            return h.first.compare(QLatin1String(name), Qt::CaseInsensitive) == 0;
        });
    };
    QCOMPARE(lines.size(), headers.size() + (callerSet("connection") ? 0 : 1) + (callerSet("date") ? 0 : 1));

    if (afterwards == Closed) {
        QTRY_COMPARE(client->state(), QAbstractSocket::UnconnectedState);
    } else if (afterwards == KeptOpen) {
        // The same connection answers a second request.
        received.clear();
        client->write(request);
        QVERIFY(readUntil(*client, received, complete));
        QCOMPARE(recorder->requests.size(), 2);
        QCOMPARE(client->state(), QAbstractSocket::ConnectedState);
    }
}

void tst_Response::statusLine_data()
{
    QTest::addColumn<int>("code");
    QTest::addColumn<QByteArray>("expected");
    QTest::addRow("200") << 200 << QByteArray("HTTP/1.1 200 OK\r\n");
    QTest::addRow("302") << 302 << QByteArray("HTTP/1.1 302 Moved Temporarily\r\n");
    QTest::addRow("404") << 404 << QByteArray("HTTP/1.1 404 Not Found\r\n");
    QTest::addRow("408") << 408 << QByteArray("HTTP/1.1 408 Request Time-out\r\n");
    QTest::addRow("418") << 418 << QByteArray("HTTP/1.1 418 I\"m a teapot\r\n");
    QTest::addRow("505") << 505 << QByteArray("HTTP/1.1 505 HTTP Version not supported\r\n");
    QTest::addRow("299 has no phrase") << 299 << QByteArray("HTTP/1.1 299 \r\n");
    QTest::addRow("308 has no phrase") << 308 << QByteArray("HTTP/1.1 308 \r\n");
    QTest::addRow("999, last of three digits") << 999 << QByteArray("HTTP/1.1 999 \r\n");
    QTest::addRow("two digits") << 99 << QByteArray("HTTP/1.1 99 \r\n");
    QTest::addRow("four digits") << 1000 << QByteArray("HTTP/1.1 1000 \r\n");
    QTest::addRow("negative") << -200 << QByteArray("HTTP/1.1 -200 \r\n");
}

void tst_Response::statusLine()
{
    QFETCH(int, code);
    QFETCH(QByteArray, expected);
    const ResponsePtr response = exchange("GET / HTTP/1.1\r\nHost: h\r\n\r\n");
    QVERIFY(response);
    response->writeHead(code);
    QCOMPARE(response->status(), code);
    response->end();
    QByteArray received;
    QVERIFY(readUntil(*client, received, [](const QByteArray &b) { return b.endsWith("\r\n\r\n"); }));
    QVERIFY2(received.startsWith(expected), received.constData());
}

void tst_Response::latin1HeaderValue()
{
    const ResponsePtr response = exchange("GET / HTTP/1.1\r\nHost: h\r\n\r\n");
    QVERIFY(response);
    response->setHeader(QStringLiteral("X-City"), QString::fromUtf8("Z\xc3\xbcrich"));
    response->setHeader(QStringLiteral("Content-Length"), QStringLiteral("0"));
    response->writeHead(Response::NoContent);
    response->end();
    QByteArray received;
    QVERIFY(readUntil(*client, received, [](const QByteArray &b) { return b.endsWith("\r\n\r\n"); }));
    QVERIFY(received.startsWith("HTTP/1.1 204 No Content\r\n"));
    QVERIFY2(headerLines(received).contains("X-City: Z\xfcrich"), received.constData());
}

void tst_Response::lineBreakRefused_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<QString>("value");
    QTest::addRow("split response in value")
        << "X-Echo" << "a\r\nContent-Length: 0\r\n\r\nHTTP/1.1 200 OK";
    QTest::addRow("bare LF in value") << "X-Echo" << "a\nSet-Cookie: x=1";
    QTest::addRow("bare CR in value") << "X-Echo" << "a\rb";
    QTest::addRow("line break in name") << "X-A\r\nX-B" << "v";
}

void tst_Response::lineBreakRefused()
{
    QFETCH(QString, name);
    QFETCH(QString, value);
    const ResponsePtr response = exchange("GET / HTTP/1.1\r\nHost: h\r\n\r\n");
    QVERIFY(response);
    QTest::ignoreMessage(QtWarningMsg, QRegularExpression("^Response::setHeader\\(\\) Refused header .*line break\\.$"));
    response->setHeader(name, value);
    response->setHeader(QStringLiteral("Content-Length"), QStringLiteral("2"));
    response->writeHead(200);
    response->end("ok");

    QByteArray received;
    QVERIFY(readUntil(*client, received, [](const QByteArray &b) { return b.endsWith("\r\n\r\nok"); }));
    QCOMPARE(received.count("HTTP/1.1"), 1);
    QVERIFY(!received.contains("X-Echo"));
    QVERIFY(!received.contains("X-B"));
    QCOMPARE(headerLines(received).size(), 3); // Content-Length, Connection, Date
}

void tst_Response::misuse_data()
{
    QTest::addColumn<QStringList>("calls");
    QTest::addColumn<QString>("warning");
    QTest::addColumn<int>("doneSignals");

    QTest::addRow("writeHead twice") << QStringList{ "head", "head" }
                                     << "Response::writeHead() Already called once for this response." << 0;
    QTest::addRow("write before writeHead")
        << QStringList{ "write" } << "Response::write() You must call writeHead() before writing body data." << 0;
    QTest::addRow("end twice") << QStringList{ "head", "end", "end" }
                               << "Response::end() Cannot write end after response has finished." << 1;
    QTest::addRow("setHeader after end")
        << QStringList{ "head", "end", "header" }
        << "Response::setHeader() Cannot set headers after response has finished." << 1;
    QTest::addRow("writeHead after end") << QStringList{ "end", "head" }
                                         << "Response::writeHead() Cannot write headers after response has finished."
                                         << 1;
    QTest::addRow("write after end") << QStringList{ "head", "end", "write" }
                                     << "Response::write() Cannot write body after response has finished." << 1;
}

void tst_Response::misuse()
{
    QFETCH(QStringList, calls);
    QFETCH(QString, warning);
    QFETCH(int, doneSignals);

    const ResponsePtr response = exchange("GET / HTTP/1.1\r\nHost: h\r\n\r\n");
    QVERIFY(response);
    QSignalSpy done(response.data(), &Response::done);
    QTest::ignoreMessage(QtWarningMsg, qPrintable(warning));
    for (const QString &call : calls) {
        if (call == QLatin1String("head"))
            response->writeHead(200);
        else if (call == QLatin1String("write"))
            response->write("body");
        else if (call == QLatin1String("end"))
            response->end();
        else if (call == QLatin1String("header"))
            response->setHeader(QStringLiteral("X-Late"), QStringLiteral("1"));
    }
    QCOMPARE(done.size(), doneSignals);

    QByteArray received;
    (void)readUntil(*client, received, [](const QByteArray &b) { return b.endsWith("\r\n\r\n"); }, 300);
    QCOMPARE(received.count("HTTP/1.1 200 OK"), calls.contains("head") && calls.first() == "head" ? 1 : 0);
    QVERIFY(!received.contains("body"));
    QVERIFY(!received.contains("X-Late"));
}

void tst_Response::endWithoutHead()
{
    // Nothing is sent and nothing closes: the client keeps waiting.
    const ResponsePtr response = exchange("GET / HTTP/1.1\r\nHost: h\r\n\r\n");
    QVERIFY(response);
    QSignalSpy done(response.data(), &Response::done);
    response->end();
    QCOMPARE(done.size(), 1);
    QVERIFY(!client->waitForReadyRead(200));
    QCOMPARE(client->state(), QAbstractSocket::ConnectedState);
}

void tst_Response::allBytesWritten()
{
    const ResponsePtr first = exchange("GET /1 HTTP/1.1\r\nHost: h\r\n\r\n");
    QVERIFY(first);
    QSignalSpy firstWritten(first.data(), &Response::allBytesWritten);
    first->setHeader(QStringLiteral("Content-Length"), QStringLiteral("100000"));
    first->writeHead(200);
    first->end(QByteArray(100000, 'x'));
    QTRY_VERIFY(firstWritten.size() >= 1);

    // Every live response of the connection hears it, finished or not.
    const ResponsePtr second = exchange("GET /2 HTTP/1.1\r\nHost: h\r\n\r\n");
    QVERIFY(second != first);
    QSignalSpy secondWritten(second.data(), &Response::allBytesWritten);
    const int before = firstWritten.size();
    second->setHeader(QStringLiteral("Content-Length"), QStringLiteral("1"));
    second->writeHead(200);
    second->end("y");
    QTRY_VERIFY(secondWritten.size() >= 1);
    QTRY_VERIFY(firstWritten.size() > before);
}

void tst_Response::doneBeforeAllBytesWritten()
{
    QStringList order;
    recorder->handler = [&order](const RequestPtr &, const ResponsePtr &response) {
        connect(response.data(), &Response::done, [&order] { order << "done"; });
        connect(response.data(), &Response::allBytesWritten, [&order] { order << "written"; });
        answerWith("ok")(nullptr, response);
    };
    client->write("GET / HTTP/1.1\r\nHost: h\r\n\r\n");
    QVERIFY(readResponse(*client).endsWith("ok"));
    QTRY_COMPARE(order, (QStringList{ "done", "written" }));
}

void tst_Response::writtenWhileHandlerWaits()
{
    // A handler may write and then wait in a nested loop until its bytes are out.
    bool written = false;
    recorder->handler = [&written](const RequestPtr &, const ResponsePtr &response) {
        QSignalSpy spy(response.data(), &Response::allBytesWritten);
        response->setHeader(QStringLiteral("Content-Length"), QStringLiteral("2"));
        response->writeHead(200);
        response->write("ok");
        written = spy.wait(5000);
        response->end();
    };
    client->write("GET / HTTP/1.1\r\nHost: h\r\n\r\n");
    QVERIFY(readResponse(*client).endsWith("\r\n\r\nok"));
    QVERIFY(written);
}

void tst_Response::expectContinue_data()
{
    QTest::addColumn<bool>("answerAtOnce");
    QTest::addRow("handler reads the body") << false;
    QTest::addRow("handler answers before the body") << true;
}

void tst_Response::expectContinue()
{
    QFETCH(bool, answerAtOnce);
    recorder->handler = [answerAtOnce](const RequestPtr &request, const ResponsePtr &response) {
        if (answerAtOnce) {
            answerWith("no")(request, response);
            return;
        }
        request->storeBody();
        http::server::Request *rq = request.data();
        QObject::connect(rq, &http::server::Request::end, response.data(),
                         [rq, response] { answerWith(rq->body())(nullptr, response); });
    };
    client->write("PUT /f HTTP/1.1\r\nHost: h\r\nExpect: 100-continue\r\nContent-Length: 4\r\n\r\n");
    QByteArray received;
    if (answerAtOnce) {
        // Whether the body follows is unknown now, so the connection ends.
        QVERIFY(readUntil(*client, received, [this](const QByteArray &) {
            return client->state() == QAbstractSocket::UnconnectedState;
        }));
        received += client->readAll();
        QVERIFY2(received.startsWith("HTTP/1.1 200 OK\r\n") && received.endsWith("\r\n\r\nno"), received.constData());
        QVERIFY(headerLines(received).contains("Connection: close"));
        return;
    }
    QVERIFY(readUntil(*client, received, [](const QByteArray &b) { return b.endsWith("\r\n\r\n"); }));
    QCOMPARE(received, QByteArray("HTTP/1.1 100 Continue\r\n\r\n"));
    client->write("data");
    received = readResponse(*client);
    QVERIFY2(received.endsWith("\r\n\r\ndata"), received.constData());
    QVERIFY(headerLines(received).contains("Connection: keep-alive"));
}

void tst_Response::bodyPieces_data()
{
    QTest::addColumn<QVector<int>>("sizes");
    QTest::addRow("small pieces") << QVector<int>{ 10, 20, 30 };
    QTest::addRow("one large piece") << QVector<int>{ 100000 };
    QTest::addRow("small and large mixed") << QVector<int>{ 5, 70000, 3, 20000, 7, 1, 16384 };
    QTest::addRow("more large pieces than one send takes") << QVector<int>(20, 17000);
    QTest::addRow("more than the kernel takes at once") << QVector<int>(8, 1 << 20);
}

void tst_Response::bodyPieces()
{
    // Pieces written in one go arrive whole and in order, however they are sent.
    QFETCH(QVector<int>, sizes);
    const ResponsePtr response = exchange("GET / HTTP/1.1\r\nHost: h\r\n\r\n");
    QVERIFY(response);
    QSignalSpy written(response.data(), &Response::allBytesWritten);
    QByteArray expected;
    for (int i = 0; i < sizes.size(); ++i)
        expected += QByteArray(sizes.at(i), char('a' + i % 26));
    response->setHeader(QStringLiteral("Content-Length"), QString::number(expected.size()));
    response->writeHead(200);
    int at = 0;
    for (const int size : qAsConst(sizes)) {
        response->write(expected.mid(at, size));
        at += size;
    }
    response->end();

    const QByteArray received = readResponse(*client, 20000);
    const int headEnd = received.indexOf("\r\n\r\n");
    QVERIFY(headEnd > 0);
    QCOMPARE(received.size() - headEnd - 4, expected.size());
    QVERIFY(received.mid(headEnd + 4) == expected);
    QTRY_VERIFY(written.size() >= 1);
}

QTEST_MAIN(tst_Response)
#include "tst_response.moc"
