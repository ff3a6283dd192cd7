#include "rawhttp.h"

#include <zn-http/dispatchcontext.h>
#include <zn-http/dispatcher.h>
#include <zn-http/httpserver.h>
#include <zn-http/request.h>
#include <zn-http/response.h>
#include <zn-http/serverhandler.h>

#include <QtTest/QtTest>

#include <functional>

using namespace http::server;

namespace {

// Remembers every context it is given; takes the request (answering with its
// name) or declines it.
class TestHandler : public ServerHandler
{
public:
    TestHandler(const QByteArray &name, bool takes)
        : name(name)
        , takes(takes)
    {
    }

    bool handle(QSharedPointer<Request>, QSharedPointer<Response> response,
                QSharedPointer<DispatchContext> context) override
    {
        contexts.append(context);
        if (onHandle)
            onHandle();
        if (!takes)
            return false;
        response->setHeader(QStringLiteral("Content-Length"), QString::number(name.size()));
        response->writeHead(200);
        response->end(name);
        return true;
    }

    QByteArray name;
    bool takes;
    std::function<void()> onHandle;
    QList<QSharedPointer<DispatchContext>> contexts;
};

QByteArray get(const QByteArray &target)
{
    return "GET " + target + " HTTP/1.1\r\nHost: localhost\r\n\r\n";
}

QByteArray expectedPage(const QByteArray &paragraph)
{
    return "<html><head><title>404 Not Found</title></head><body><h1>Not Found</h1><p>" + paragraph
        + "</p><hr><address>zn-http</address></body></html>\r\n";
}

} // namespace

class tst_Dispatcher : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void init();
    void cleanup();

    void split_data();
    void split();
    void order_data();
    void order();
    void appendDuringDispatch();
    void errorPage_data();
    void errorPage();

private:
    http::HttpServer *server = nullptr;
    Dispatcher *dispatcher = nullptr;
};

void tst_Dispatcher::init()
{
    server = new http::HttpServer;
    dispatcher = new Dispatcher(server);
    connect(server, &http::HttpServer::newRequest, dispatcher, &Dispatcher::dispatch);
    QVERIFY2(server->listen(QHostAddress::LocalHost, 0), qPrintable(server->serverErrorString()));
}

void tst_Dispatcher::cleanup()
{
    delete server;
    server = nullptr;
}

void tst_Dispatcher::split_data()
{
    QTest::addColumn<QRegExp>("pattern");
    QTest::addColumn<QByteArray>("target");
    QTest::addColumn<QString>("usedPath");
    QTest::addColumn<QString>("remainingPath");

    QTest::addRow("anchored prefix") << QRegExp("^/files") << QByteArray("/files/a/b")
                                     << "/files" << "/a/b";
    QTest::addRow("match inside the path splits at the length from the start")
        << QRegExp("/b") << QByteArray("/a/b/c") << "/a" << "/b/c";
    QTest::addRow("empty match") << QRegExp("^") << QByteArray("/x/y") << "" << "/x/y";
    QTest::addRow("whole path") << QRegExp("^/x.*") << QByteArray("/x/y") << "/x/y" << "";
    QTest::addRow("query is not part of the path") << QRegExp("^/q") << QByteArray("/q/r?s=1")
                                                   << "/q" << "/r";
    QTest::addRow("percent sequences kept") << QRegExp("^/a") << QByteArray("/a%20b")
                                            << "/a" << "%20b";
    QTest::addRow("no match") << QRegExp("^/files") << QByteArray("/other/files") << QString()
                              << QString();
}

void tst_Dispatcher::split()
{
    QFETCH(QRegExp, pattern);
    QFETCH(QByteArray, target);
    QFETCH(QString, usedPath);
    QFETCH(QString, remainingPath);

    TestHandler handler("taken", true);
    dispatcher->appendHandler(pattern, &handler);
    const rawhttp::Response response = rawhttp::exchange(server->port(), get(target));
    QVERIFY(response.complete);

    if (usedPath.isNull()) {
        QCOMPARE(response.status, 404);
        QVERIFY(handler.contexts.isEmpty());
        return;
    }
    QCOMPARE(response.status, 200);
    QCOMPARE(response.body, QByteArray("taken"));
    QCOMPARE(handler.contexts.size(), 1);
    QCOMPARE(handler.contexts.first()->usedPath(), usedPath);
    QCOMPARE(handler.contexts.first()->remainingPath(), remainingPath);
}

void tst_Dispatcher::order_data()
{
    QTest::addColumn<bool>("firstTakes");
    QTest::addColumn<bool>("secondTakes");
    QTest::addColumn<int>("status");
    QTest::addColumn<QByteArray>("body");
    QTest::addColumn<int>("secondCalls");

    QTest::addRow("first takes, second never tried") << true << true << 200 << QByteArray("first") << 0;
    QTest::addRow("first declines, second takes") << false << true << 200 << QByteArray("second") << 1;
    QTest::addRow("both decline") << false << false << 404 << QByteArray() << 1;
}

void tst_Dispatcher::order()
{
    QFETCH(bool, firstTakes);
    QFETCH(bool, secondTakes);
    QFETCH(int, status);
    QFETCH(QByteArray, body);
    QFETCH(int, secondCalls);

    TestHandler first("first", firstTakes);
    TestHandler second("second", secondTakes);
    TestHandler unrelated("unrelated", true);
    dispatcher->appendHandler(QRegExp("^/same"), &first);
    dispatcher->appendHandler(QRegExp("^/other"), &unrelated);
    dispatcher->appendHandler(QRegExp("^/same"), &second);

    const rawhttp::Response response = rawhttp::exchange(server->port(), get("/same/x"));
    QVERIFY(response.complete);
    QCOMPARE(response.status, status);
    if (status == 200)
        QCOMPARE(response.body, body);
    else
        QVERIFY(response.body.contains("HTTP_GET to /same/x not supported."));
    QCOMPARE(first.contexts.size(), 1);
    QCOMPARE(second.contexts.size(), secondCalls);
    QVERIFY(unrelated.contexts.isEmpty());
    if (secondCalls) {
        // Each handler gets a context of its own.
        QVERIFY(first.contexts.first() != second.contexts.first());
        QCOMPARE(second.contexts.first()->usedPath(), QStringLiteral("/same"));
    }
}

void tst_Dispatcher::appendDuringDispatch()
{
    TestHandler late("late", true);
    TestHandler appender("appender", false);
    appender.onHandle = [&] { dispatcher->appendHandler(QRegExp("^/"), &late); };
    dispatcher->appendHandler(QRegExp("^/"), &appender);

    // The entry added by the first dispatch takes part from the next one on.
    rawhttp::Response response = rawhttp::exchange(server->port(), get("/x"));
    QCOMPARE(response.status, 404);
    QVERIFY(late.contexts.isEmpty());

    response = rawhttp::exchange(server->port(), get("/x"));
    QCOMPARE(response.status, 200);
    QCOMPARE(response.body, QByteArray("late"));
}

void tst_Dispatcher::errorPage_data()
{
    QTest::addColumn<QByteArray>("request");
    QTest::addColumn<QByteArray>("paragraph");

    QTest::addRow("GET") << get("/nothing") << QByteArray("HTTP_GET to /nothing not supported.");
    QTest::addRow("POST gets 404 too")
        << QByteArray("POST /x HTTP/1.1\r\nHost: h\r\nContent-Length: 2\r\n\r\nab")
        << QByteArray("HTTP_POST to /x not supported.");
    QTest::addRow("HTTP/1.0") << QByteArray("DELETE /d HTTP/1.0\r\n\r\n")
                              << QByteArray("HTTP_DELETE to /d not supported.");
    QTest::addRow("no raw markup from the path")
        << get("/<script>alert(1)</script>")
        << QByteArray("HTTP_GET to /%3Cscript%3Ealert(1)%3C/script%3E not supported.");
    QTest::addRow("entities in the path are escaped")
        << get("/&lt;b&gt;&amp;?x=&#60;") << QByteArray("HTTP_GET to /&amp;lt;b&amp;gt;&amp;amp;?x=&amp;#60; not supported.");
    QTest::addRow("quotes") << get("/a\"b'c") << QByteArray("HTTP_GET to /a%22b'c not supported.");
    QTest::addRow("placeholders in the URL stay literal")
        << get("/%1/%2/%4?q=%3") << QByteArray("HTTP_GET to /%251/%252/%254?q=%253 not supported.");
    QTest::addRow("query and absolute form")
        << get("http://example.org:81/p?a=1&b=2")
        << QByteArray("HTTP_GET to http://example.org:81/p?a=1&amp;b=2 not supported.");
    QTest::addRow("non-ASCII bytes") << get("/\xc3\xa9t\xc3\xa9")
                                     << QByteArray("HTTP_GET to /\xc3\x83\xc2\xa9t\xc3\x83\xc2\xa9 not supported.");
}

void tst_Dispatcher::errorPage()
{
    QFETCH(QByteArray, request);
    QFETCH(QByteArray, paragraph);

    TestHandler elsewhere("elsewhere", true);
    dispatcher->appendHandler(QRegExp("^/elsewhere"), &elsewhere);

    const rawhttp::Response response = rawhttp::exchange(server->port(), request);
    QVERIFY(response.complete);
    QCOMPARE(response.status, 404);
    QCOMPARE(response.headers.value("content-type"), QByteArray("text/html"));
    // The length counts the bytes of the UTF-8 body, not its characters.
    QCOMPARE(response.headers.value("content-length"), QByteArray::number(response.body.size()));
    QCOMPARE(response.body, expectedPage(paragraph));
}

QTEST_MAIN(tst_Dispatcher)
#include "tst_dispatcher.moc"
