#include "systemcontroller.h"
#include "systemcontrollerstrategy.h"

#include <QProcess>
#include <QSysInfo>
#include <QTcpSocket>
#include <QtTest>

#include <zn-http/httpserver.h>
#include <zn-http/request.h>
#include <zn-http/response.h>

#include <unistd.h>

class tst_SystemController : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase();
    void requests_data();
    void requests();
    void body();
    void processWithoutResponse();

private:
    // Sends the raw request and returns everything up to the server's close.
    QByteArray exchange(const QByteArray &request);

    http::HttpServer server;
    SystemControllerStrategy strategy;
    int controllers = 0;
};

void tst_SystemController::initTestCase()
{
    QVERIFY2(server.listen(QHostAddress::LocalHost, 0), qPrintable(server.serverErrorString()));
    // What the service host does with a strategy, and a plain refusal when
    // the strategy does not take the request.
    connect(&server, &http::HttpServer::newRequest, this,
            [this](QSharedPointer<http::server::Request> request, QSharedPointer<http::server::Response> response) {
                http::Controller *controller = strategy.createController(request);
                if (!controller) {
                    response->writeHead(404);
                    response->end("refused");
                    return;
                }
                ++controllers;
                controller->setRequest(request);
                controller->setResponse(response);
                controller->process();
                controller->release();
            });
}

QByteArray tst_SystemController::exchange(const QByteArray &request)
{
    QTcpSocket client;
    client.connectToHost(QHostAddress::LocalHost, server.port());
    if (!client.waitForConnected(5000))
        return QByteArray();
    client.write(request);
    QByteArray answer;
    connect(&client, &QTcpSocket::readyRead, [&]() { answer += client.readAll(); });
    // Without a declared length the body ends when the server closes.
    if (!QTest::qWaitFor([&]() { return client.state() == QAbstractSocket::UnconnectedState; }, 5000))
        return QByteArray("no close");
    return answer + client.readAll();
}

void tst_SystemController::requests_data()
{
    QTest::addColumn<QByteArray>("request");
    QTest::addColumn<bool>("taken");

    QTest::addRow("GET /system/info") << QByteArray("GET /system/info HTTP/1.1\r\nHost: localhost\r\n\r\n") << true;
    QTest::addRow("trailing slash") << QByteArray("GET /system/info/ HTTP/1.1\r\nHost: localhost\r\n\r\n") << true;
    QTest::addRow("HTTP/1.0") << QByteArray("GET /system/info HTTP/1.0\r\n\r\n") << true;
    QTest::addRow("application/json")
        << QByteArray("GET /system/info HTTP/1.1\r\nHost: h\r\nContent-Type: application/json\r\n\r\n") << true;
    QTest::addRow("header name in other case")
        << QByteArray("GET /system/info HTTP/1.1\r\nHost: h\r\ncontent-type: application/json\r\n\r\n") << true;

    QTest::addRow("POST")
        << QByteArray("POST /system/info HTTP/1.1\r\nHost: h\r\nContent-Length: 2\r\n\r\n{}") << false;
    QTest::addRow("HEAD") << QByteArray("HEAD /system/info HTTP/1.1\r\nHost: h\r\n\r\n") << false;
    QTest::addRow("query string") << QByteArray("GET /system/info?verbose=1 HTTP/1.1\r\nHost: h\r\n\r\n") << false;
    QTest::addRow("absolute URL")
        << QByteArray("GET http://localhost/system/info HTTP/1.1\r\nHost: localhost\r\n\r\n") << false;
    QTest::addRow("path in capitals") << QByteArray("GET /System/Info HTTP/1.1\r\nHost: h\r\n\r\n") << false;
    QTest::addRow("two trailing slashes") << QByteArray("GET /system/info// HTTP/1.1\r\nHost: h\r\n\r\n") << false;
    QTest::addRow("longer path") << QByteArray("GET /system/information HTTP/1.1\r\nHost: h\r\n\r\n") << false;
    QTest::addRow("below the path") << QByteArray("GET /system/info/more HTTP/1.1\r\nHost: h\r\n\r\n") << false;
    QTest::addRow("prefix") << QByteArray("GET /api/system/info HTTP/1.1\r\nHost: h\r\n\r\n") << false;
    QTest::addRow("Application/JSON")
        << QByteArray("GET /system/info HTTP/1.1\r\nHost: h\r\nContent-Type: Application/JSON\r\n\r\n") << false;
    QTest::addRow("parameters after application/json")
        << QByteArray("GET /system/info HTTP/1.1\r\nHost: h\r\nContent-Type: application/json; charset=utf-8\r\n\r\n")
        << false;
    QTest::addRow("text/plain")
        << QByteArray("GET /system/info HTTP/1.1\r\nHost: h\r\nContent-Type: text/plain\r\n\r\n") << false;
}

void tst_SystemController::requests()
{
    QFETCH(QByteArray, request);
    QFETCH(bool, taken);

    const int before = controllers;
    const QByteArray answer = exchange(request);
    QCOMPARE(controllers - before, taken ? 1 : 0);

    const int headEnd = answer.indexOf("\r\n\r\n");
    QVERIFY2(headEnd > 0, answer.constData());
    const QList<QByteArray> head = answer.left(headEnd).split('\n');
    const QByteArray body = answer.mid(headEnd + 4);
    if (!taken) {
        QCOMPARE(head.first(), QByteArray("HTTP/1.1 404 Not Found\r"));
        return;
    }
    QCOMPARE(head.first(), QByteArray("HTTP/1.1 200 OK\r"));
    QVERIFY2(head.contains("Content-Type: application/json\r"), answer.constData());
    QVERIFY2(body.startsWith("{\"system_name\":") && body.endsWith("}"), body.constData());
}

void tst_SystemController::body()
{
    // The expected privilege flags come from id(1), not from the code under test.
    bool elevationGroup = false;
    if (geteuid() != 0) {
        QProcess id;
        id.start(QStringLiteral("id"), {QStringLiteral("-Gn")});
        QVERIFY(id.waitForFinished());
        const QList<QByteArray> groups = id.readAllStandardOutput().trimmed().split(' ');
        elevationGroup = groups.contains("sudo") || groups.contains("wheel") || groups.contains("admin");
    }
    const auto flag = [](bool value) { return value ? QByteArray("true") : QByteArray("false"); };

    const QByteArray expected = "{\"system_name\":\"" + QSysInfo::productType().toUtf8()
                                + "\",\"system_version\":\"" + QSysInfo::productVersion().toUtf8()
                                + "\",\"system_arch\":\"" + QSysInfo::currentCpuArchitecture().toUtf8()
                                + "\",\"is_admin\":" + flag(geteuid() == 0)
                                + ",\"is_user_non_elevated_admin\":" + flag(elevationGroup) + "}";

    // Two requests in a row: each gets its own controller and the same answer.
    for (int i = 0; i < 2; ++i) {
        const QByteArray answer = exchange("GET /system/info HTTP/1.1\r\nHost: localhost\r\n\r\n");
        QCOMPARE(answer.mid(answer.indexOf("\r\n\r\n") + 4), expected);
    }
}

void tst_SystemController::processWithoutResponse()
{
    // A host that skips setResponse() gets a warning rather than a crash.
    http::Controller *controller = new SystemController;
    QTest::ignoreMessage(QtWarningMsg, "Processing without any response.");
    controller->process();
    controller->release();
}

QTEST_MAIN(tst_SystemController)
#include "tst_systemcontroller.moc"
