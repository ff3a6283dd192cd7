#include "httptestutil.h"

#include <QtCore/QProcess>
#include <QtCore/QTemporaryFile>

using namespace httptest;

namespace {

struct LogLine
{
    QByteArray category;
    QString text;
};
QList<LogLine> *capturedLog = nullptr;

void captureMessage(QtMsgType, const QMessageLogContext &context, const QString &text)
{
    if (capturedLog)
        capturedLog->append({ QByteArray(context.category), text });
}

} // namespace

class tst_HttpServer : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase();
    void portBeforeListen();
    void listenFailure();
    void relisten();
    void listenAfterClose();
    void socketDestroyedWithServer_data();
    void socketDestroyedWithServer();
    void shortConnectionsLeaveNothingBehind_data();
    void shortConnectionsLeaveNothingBehind();
    void tearDownLogging();
    void curlKeepAlive();
    void curlChunkedUpload();
    void curlExpectContinue();
    void pythonClient();

private:
    static bool answers(quint16 port);
};

void tst_HttpServer::initTestCase()
{
    QLoggingCategory::setFilterRules(QStringLiteral("ch.veltor.http.*.debug=false"));
}

bool tst_HttpServer::answers(quint16 port)
{
    QTcpSocket client;
    client.connectToHost(QHostAddress::LocalHost, port);
    if (!client.waitForConnected(2000))
        return false;
    client.write("GET / HTTP/1.1\r\nHost: h\r\n\r\n");
    return readResponse(client).endsWith("\r\n\r\nok");
}

void tst_HttpServer::portBeforeListen()
{
    http::HttpServer server;
    QCOMPARE(server.port(), quint16(0));
    QCOMPARE(server.serverError(), 0);
    QCOMPARE(server.serverErrorString(), QString());
}

void tst_HttpServer::listenFailure()
{
    QTcpServer occupant;
    QVERIFY(occupant.listen(QHostAddress::LocalHost, 0));

    http::HttpServer server;
    QTest::ignoreMessage(QtWarningMsg, QRegularExpression("^Cannot listen on 127\\.0\\.0\\.1 port \\d+: .+\\.$"));
    QVERIFY(!server.listen(QHostAddress::LocalHost, occupant.serverPort()));
    QCOMPARE(server.port(), quint16(0));
    // The reason stays for the caller to report.
    QCOMPARE(server.serverError(), int(QAbstractSocket::AddressInUseError));
    QVERIFY(!server.serverErrorString().isEmpty());

    QVERIFY(server.listen(QHostAddress::LocalHost, 0));
    QVERIFY(server.port() != 0);
}

void tst_HttpServer::relisten()
{
    http::HttpServer server;
    Recorder recorder(&server, false);
    recorder.handler = answerWith("ok");

    QVERIFY(server.listen(0)); // any address, loopback included
    const quint16 first = server.port();
    QVERIFY(answers(first));

    QVERIFY(server.listen(QHostAddress::LocalHost, 0));
    const quint16 second = server.port();
    QVERIFY(second != first);
    QVERIFY(answers(second));

    QTcpSocket stale;
    stale.connectToHost(QHostAddress::LocalHost, first);
    QVERIFY(!stale.waitForConnected(2000));
    QCOMPARE(stale.error(), QAbstractSocket::ConnectionRefusedError);
}

void tst_HttpServer::listenAfterClose()
{
    http::HttpServer server;
    Recorder recorder(&server, false);
    recorder.handler = answerWith("ok");
    QVERIFY(server.listen(QHostAddress::LocalHost, 0));
    const quint16 port = server.port();

    // Connections that are open when the server stops listening keep working.
    QTcpSocket open;
    QVERIFY(connectClient(open, server));
    QVERIFY(acceptedSocket(server));
    server.close();
    open.write("GET / HTTP/1.1\r\nHost: h\r\n\r\n");
    QVERIFY(readResponse(open).endsWith("ok"));
    QVERIFY(!answers(port));

    QVERIFY(server.listen(QHostAddress::LocalHost, port));
    QVERIFY(answers(port));
}

void tst_HttpServer::socketDestroyedWithServer_data()
{
    QTest::addColumn<bool>("deleteServer");
    QTest::addRow("listening anew") << false;
    QTest::addRow("server deleted") << true;
}

void tst_HttpServer::socketDestroyedWithServer()
{
    QFETCH(bool, deleteServer);

    auto *server = new http::HttpServer;
    QVERIFY(server->listen(QHostAddress::LocalHost, 0));
    RequestPtr request;
    ResponsePtr response;
    int ends = 0;
    connect(server, &http::HttpServer::newRequest, this, [&](RequestPtr rq, ResponsePtr rs) {
        request = rq;
        response = rs;
        // Answering from end() runs while the socket is being torn down.
        connect(rq.data(), &http::server::Request::end, this, [&] {
            ++ends;
            response->writeHead(200);
            response->end("late");
        });
    });

    QTcpSocket client;
    QVERIFY(connectClient(client, *server));
    client.write("POST / HTTP/1.1\r\nHost: h\r\nContent-Length: 10\r\n\r\nabc");
    QTRY_VERIFY(request);
    QPointer<http::server::Connection> connection = onlyConnection(*server);
    QVERIFY(connection);

    if (deleteServer)
        delete server;
    else
        QVERIFY(server->listen(QHostAddress::LocalHost, 0));

    QTRY_VERIFY(connection.isNull());
    QTRY_COMPARE(client.state(), QAbstractSocket::UnconnectedState);
    QCOMPARE(ends, 1);
    QVERIFY(!request->successful());
    QCOMPARE(client.readAll(), QByteArray());

    QTest::ignoreMessage(QtWarningMsg, "Response::write() Cannot write body after response has finished.");
    response->write("after");
    if (!deleteServer) {
        QVERIFY(server->findChildren<QTcpSocket *>().isEmpty());
        delete server;
    }
}

void tst_HttpServer::shortConnectionsLeaveNothingBehind_data()
{
    QTest::addColumn<QByteArray>("requestBytes");
    QTest::addColumn<bool>("serverCloses");
    QTest::addRow("server closes") << QByteArray("GET / HTTP/1.1\r\nHost: h\r\n\r\n") << true;
    QTest::addRow("client closes after keep-alive answer")
        << QByteArray("GET /keep HTTP/1.1\r\nHost: h\r\n\r\n") << false;
    QTest::addRow("client leaves mid-request") << QByteArray("POST / HTTP/1.1\r\nHost: h\r\nContent-Length: 9\r\n\r\nab") << false;
}

void tst_HttpServer::shortConnectionsLeaveNothingBehind()
{
    QFETCH(QByteArray, requestBytes);
    QFETCH(bool, serverCloses);

    http::HttpServer server;
    QVERIFY(server.listen(QHostAddress::LocalHost, 0));
    int liveRequests = 0;
    int liveResponses = 0;
    int served = 0;
    connect(&server, &http::HttpServer::newRequest, this, [&](RequestPtr request, ResponsePtr response) {
        ++liveRequests;
        ++liveResponses;
        ++served;
        connect(request.data(), &QObject::destroyed, this, [&] { --liveRequests; });
        connect(response.data(), &QObject::destroyed, this, [&] { --liveResponses; });
        if (request->method() == http::server::Request::HTTP_POST)
            return;
        if (request->path() == QLatin1String("/keep"))
            response->setHeader(QStringLiteral("Content-Length"), QStringLiteral("1"));
        response->writeHead(200);
        response->end("x");
    });

    const int rounds = 300;
    for (int i = 0; i < rounds; ++i) {
        QTcpSocket client;
        QVERIFY(connectClient(client, server));
        client.write(requestBytes);
        if (serverCloses) {
            QTRY_COMPARE(client.state(), QAbstractSocket::UnconnectedState);
        } else {
            QTRY_COMPARE(served, i + 1);
            if (requestBytes.startsWith("GET"))
                QVERIFY(readResponse(client).endsWith("\r\n\r\nx"));
            client.disconnectFromHost();
        }
    }
    QCOMPARE(served, rounds);

    QTRY_COMPARE(server.findChildren<http::server::Connection *>().size(), 0);
    QTRY_COMPARE(server.findChildren<QTcpSocket *>().size(), 0);
    QCOMPARE(liveRequests, 0);
    QCOMPARE(liveResponses, 0);
}

void tst_HttpServer::tearDownLogging()
{
    QList<LogLine> log;
    capturedLog = &log;
    QLoggingCategory::setFilterRules(QString());
    const QtMessageHandler previous = qInstallMessageHandler(captureMessage);

    {
        http::HttpServer server;
        QVERIFY(server.listen(QHostAddress::LocalHost, 0));
        Recorder recorder(&server, false);
        recorder.handler = [](const RequestPtr &, const ResponsePtr &response) {
            response->writeHead(200);
            response->end();
        };
        QTcpSocket client;
        QVERIFY(connectClient(client, server));
        client.write("GET / HTTP/1.1\r\nHost: h\r\n\r\n");
        QTRY_COMPARE(client.state(), QAbstractSocket::UnconnectedState);
        QTRY_COMPARE(server.findChildren<http::server::Connection *>().size(), 0);
    }

    qInstallMessageHandler(previous);
    capturedLog = nullptr;
    QLoggingCategory::setFilterRules(QStringLiteral("ch.veltor.http.*.debug=false"));

    QStringList lines;
    for (const LogLine &line : log)
        lines << QString::fromLatin1(line.category) + QLatin1Char(' ') + line.text;
    QVERIFY2(lines.contains("ch.veltor.http.response ~Response"), qPrintable(lines.join('\n')));
    const int connectionLine = lines.indexOf("ch.veltor.http.connection ~Connection");
    QVERIFY2(connectionLine >= 0, qPrintable(lines.join('\n')));
    QCOMPARE(lines.indexOf("ch.veltor.http.connection ~ConnectionPrivate"), connectionLine + 1);
}

void tst_HttpServer::curlKeepAlive()
{
    if (QStandardPaths::findExecutable(QStringLiteral("curl")).isEmpty())
        QSKIP("curl is not installed");
    http::HttpServer server;
    QVERIFY(server.listen(QHostAddress::LocalHost, 0));
    Recorder recorder(&server, false);
    recorder.handler = [](const RequestPtr &request, const ResponsePtr &response) {
        const QByteArray body = request->path().toLatin1() + '\n';
        response->setHeader(QStringLiteral("Content-Type"), QStringLiteral("text/plain"));
        response->setHeader(QStringLiteral("Content-Length"), QString::number(body.size()));
        response->writeHead(200);
        response->end(body);
    };

    const QString base = QStringLiteral("http://127.0.0.1:%1").arg(server.port());
    QProcess curl;
    curl.start(QStringLiteral("curl"), { "-sv", "--fail", base + "/a", base + "/b", base + "/c" });
    QTRY_COMPARE_WITH_TIMEOUT(curl.state(), QProcess::NotRunning, 30000);
    const QByteArray diagnostics = curl.readAllStandardError();
    QCOMPARE(curl.exitCode(), 0);
    QCOMPARE(curl.readAllStandardOutput(), QByteArray("/a\n/b\n/c\n"));

    // One connection carried all three requests.
    QCOMPARE(recorder.requests.size(), 3);
    QSet<quint16> clientPorts;
    for (const RequestPtr &request : recorder.requests)
        clientPorts.insert(request->remotePort());
    QCOMPARE(clientPorts.size(), 1);
    QVERIFY2(diagnostics.contains("Re-using existing connection"), diagnostics.constData());
}

void tst_HttpServer::curlChunkedUpload()
{
    if (QStandardPaths::findExecutable(QStringLiteral("curl")).isEmpty())
        QSKIP("curl is not installed");
    http::HttpServer server;
    QVERIFY(server.listen(QHostAddress::LocalHost, 0));
    Recorder recorder(&server, false);
    recorder.handler = [](const RequestPtr &request, const ResponsePtr &response) {
        request->storeBody();
        // The answer waits for the whole body. The request is captured by
        // plain pointer: a shared one, held by the request's own connection,
        // would keep the request alive for ever.
        http::server::Request *rq = request.data();
        QObject::connect(rq, &http::server::Request::end, response.data(), [rq, response] {
            const QByteArray digest = QCryptographicHash::hash(rq->body(), QCryptographicHash::Sha256).toHex();
            response->setHeader(QStringLiteral("Content-Length"), QString::number(digest.size()));
            response->writeHead(201);
            response->end(digest);
        });
    };

    QTemporaryFile upload;
    QVERIFY(upload.open());
    QByteArray content;
    for (int i = 0; i < 40000; ++i)
        content += QByteArray::number(i) + ',';
    upload.write(content);
    upload.flush();

    QProcess curl;
    curl.start(QStringLiteral("curl"),
               { "-s", "--fail", "-H", "Transfer-Encoding: chunked", "--data-binary", "@" + upload.fileName(),
                 QStringLiteral("http://127.0.0.1:%1/upload").arg(server.port()) });
    QTRY_COMPARE_WITH_TIMEOUT(curl.state(), QProcess::NotRunning, 30000);
    QCOMPARE(curl.exitCode(), 0);
    QCOMPARE(curl.readAllStandardOutput(), QCryptographicHash::hash(content, QCryptographicHash::Sha256).toHex());
    QCOMPARE(recorder.requests.size(), 1);
    QCOMPARE(recorder.requests.first()->header("Transfer-Encoding"), QStringLiteral("chunked"));
    QCOMPARE(recorder.requests.first()->body(), content);
}

void tst_HttpServer::curlExpectContinue()
{
    if (QStandardPaths::findExecutable(QStringLiteral("curl")).isEmpty())
        QSKIP("curl is not installed");
    http::HttpServer server;
    QVERIFY(server.listen(QHostAddress::LocalHost, 0));
    Recorder recorder(&server, false);
    // /read answers with the body's length once it is in; /refuse answers at once.
    recorder.handler = [](const RequestPtr &request, const ResponsePtr &response) {
        if (request->path() != QLatin1String("/read")) {
            answerWith("refused\n")(request, response);
            return;
        }
        request->storeBody();
        http::server::Request *rq = request.data();
        QObject::connect(rq, &http::server::Request::end, response.data(), [rq, response] {
            answerWith(QByteArray::number(rq->body().size()) + '\n')(nullptr, response);
        });
    };

    QTemporaryFile upload;
    QVERIFY(upload.open());
    upload.write(QByteArray(100000, 'u'));
    upload.flush();
    const QString base = QStringLiteral("http://127.0.0.1:%1").arg(server.port());
    const QStringList post = { "-H", "Expect: 100-continue", "--data-binary", "@" + upload.fileName() };
    // curl waits a second for 100 Continue before it sends a body anyway,
    // and would wait for ever for the answer to its next request on a
    // connection that an early answer left with its body unread.
    QProcess curl;
    curl.start(QStringLiteral("curl"),
               QStringList{ "-sv", "--expect100-timeout", "30" } + post + QStringList{ base + "/read", "--next" }
                   + post + QStringList{ base + "/refuse", "--next", base + "/after" });
    QTRY_COMPARE_WITH_TIMEOUT(curl.state(), QProcess::NotRunning, 30000);
    const QByteArray diagnostics = curl.readAllStandardError();
    QCOMPARE(curl.exitCode(), 0);
    QCOMPARE(curl.readAllStandardOutput(), QByteArray("100000\nrefused\nrefused\n"));
    QCOMPARE(diagnostics.count("< HTTP/1.1 100 Continue"), 1);
}

void tst_HttpServer::pythonClient()
{
    const QString python = QStandardPaths::findExecutable(QStringLiteral("python3"));
    if (python.isEmpty())
        QSKIP("python3 is not installed");
    http::HttpServer server;
    QVERIFY(server.listen(QHostAddress::LocalHost, 0));
    Recorder recorder(&server, false);
    recorder.handler = [](const RequestPtr &request, const ResponsePtr &response) {
        const QString path = request->path();
        if (path == QLatin1String("/echo")) {
            request->storeBody();
            http::server::Request *rq = request.data();
            QObject::connect(rq, &http::server::Request::end, response.data(), [rq, response] {
                response->setHeader(QStringLiteral("Content-Length"), QString::number(rq->body().size()));
                response->writeHead(200);
                response->end(rq->body());
            });
        } else if (path == QLatin1String("/teapot")) {
            response->setHeader(QStringLiteral("Content-Length"), QStringLiteral("0"));
            response->writeHead(418);
            response->end();
        } else if (path == QLatin1String("/close")) {
            response->writeHead(200);
            response->end("bye");
        } else {
            QCOMPARE(request->header(QStringLiteral("x-test")), QStringLiteral("yes"));
            response->setHeader(QStringLiteral("Content-Length"), QString::number(path.size()));
            response->writeHead(200);
            response->end(path.toLatin1());
        }
    };

    QProcess client;
    client.start(python, { QStringLiteral(HTTP_CLIENT_CHECK), QString::number(server.port()) });
    QTRY_COMPARE_WITH_TIMEOUT(client.state(), QProcess::NotRunning, 30000);
    QVERIFY2(client.exitCode() == 0, client.readAllStandardError().constData());
    QCOMPARE(client.readAllStandardOutput().trimmed(), QByteArray("OK"));

    // The request that asked to close was the last on the first connection.
    QCOMPARE(recorder.requests.size(), 8);
    QSet<quint16> clientPorts;
    for (const RequestPtr &request : recorder.requests)
        clientPorts.insert(request->remotePort());
    QCOMPARE(clientPorts.size(), 2);
    QCOMPARE(recorder.requests.at(6)->remotePort(), recorder.requests.at(0)->remotePort());
}

QTEST_MAIN(tst_HttpServer)
#include "tst_httpserver.moc"
