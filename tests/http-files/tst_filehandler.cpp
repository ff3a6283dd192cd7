#include "../http-dispatch/rawhttp.h"

#include <zn-http/dispatcher.h>
#include <zn-http/filehandler.h>
#include <zn-http/httpserver.h>

#include <QtCore/QDir>
#include <QtCore/QFile>
#include <QtCore/QMimeDatabase>
#include <QtCore/QTemporaryDir>
#include <QtTest/QtTest>

using namespace http::server;

namespace {

const QByteArray secret = "top secret";
const QByteArray page = "<p>hello</p>\n";

bool writeFile(const QString &name, const QByteArray &contents)
{
    QFile file(name);
    return file.open(QIODevice::WriteOnly) && file.write(contents) == contents.size();
}

} // namespace

class tst_FileHandler : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase();
    void init();
    void cleanup();

    void serve_data();
    void serve();
    void closesAfterEachFile_data();
    void closesAfterEachFile();
    void fullPathBehindPrefix();
    void noBaseFolder();
    void typesOfRepeatedNames();

private:
    QTemporaryDir root;
    QString base;
    http::HttpServer *server = nullptr;
    Dispatcher *dispatcher = nullptr;
    FileHandler *files = nullptr;
};

void tst_FileHandler::initTestCase()
{
    QVERIFY(root.isValid());
    // root/secret.txt and root/outside/ must never be served; root/base/ is.
    const QDir dir(root.path());
    base = dir.filePath(QStringLiteral("base"));
    QVERIFY(dir.mkpath(QStringLiteral("base/folder")));
    QVERIFY(dir.mkpath(QStringLiteral("base/static")));
    QVERIFY(dir.mkpath(QStringLiteral("outside")));
    QVERIFY(writeFile(dir.filePath(QStringLiteral("secret.txt")), secret));
    QVERIFY(writeFile(dir.filePath(QStringLiteral("outside/x.txt")), "linked"));
    QVERIFY(writeFile(base + QStringLiteral("/index.html"), page));
    QVERIFY(writeFile(base + QStringLiteral("/data.zzqq"), "\x01\x02"));
    QVERIFY(writeFile(base + QStringLiteral("/empty.txt"), QByteArray()));
    QVERIFY(writeFile(base + QStringLiteral("/folder/inner.txt"), "inner"));
    QVERIFY(writeFile(base + QStringLiteral("/static/s.txt"), "static"));
    QVERIFY(writeFile(base + QStringLiteral("/\u00e9t\u00e9.txt"), "summer"));
    QVERIFY(writeFile(base + QStringLiteral("/a b.txt"), "spaced"));
    QVERIFY(QFile::link(dir.filePath(QStringLiteral("outside")), base + QStringLiteral("/link")));
}

void tst_FileHandler::init()
{
    server = new http::HttpServer;
    dispatcher = new Dispatcher(server);
    files = new FileHandler(base, server);
    connect(server, &http::HttpServer::newRequest, dispatcher, &Dispatcher::dispatch);
    QVERIFY2(server->listen(QHostAddress::LocalHost, 0), qPrintable(server->serverErrorString()));
}

void tst_FileHandler::cleanup()
{
    delete server;
    server = nullptr;
}

void tst_FileHandler::serve_data()
{
    QTest::addColumn<QByteArray>("method");
    QTest::addColumn<QByteArray>("target");
    QTest::addColumn<int>("status");
    QTest::addColumn<QByteArray>("contentType");
    QTest::addColumn<QByteArray>("body");
    QTest::addColumn<bool>("refused");

    const QByteArray html = "text/html";
    const QByteArray text = "text/plain";
    const QByteArray notFound = "application/text";
    QTest::addRow("real file") << QByteArray("GET") << QByteArray("/index.html") << 200 << html << page << false;
    QTest::addRow("any method") << QByteArray("POST") << QByteArray("/index.html") << 200 << html << page << false;
    QTest::addRow("unknown extension") << QByteArray("GET") << QByteArray("/data.zzqq") << 200
                                       << QByteArray("application/octet-stream") << QByteArray("\x01\x02") << false;
    QTest::addRow("empty file") << QByteArray("GET") << QByteArray("/empty.txt") << 200 << text << QByteArray() << false;
    QTest::addRow("nested file") << QByteArray("GET") << QByteArray("/folder/inner.txt") << 200 << text
                                 << QByteArray("inner") << false;
    QTest::addRow("dot-dot that stays inside") << QByteArray("GET") << QByteArray("/folder/../index.html")
                                               << 200 << html << page << false;
    QTest::addRow("percent-encoded UTF-8 name") << QByteArray("GET") << QByteArray("/%C3%A9t%C3%A9.txt")
                                               << 200 << text << QByteArray("summer") << false;
    QTest::addRow("percent-encoded space") << QByteArray("GET") << QByteArray("/a%20b.txt") << 200 << text
                                           << QByteArray("spaced") << false;
    QTest::addRow("symbolic link inside the base") << QByteArray("GET") << QByteArray("/link/x.txt") << 200
                                                   << text << QByteArray("linked") << false;
    QTest::addRow("folder") << QByteArray("GET") << QByteArray("/folder") << 404 << notFound << QByteArray() << false;
    QTest::addRow("base folder") << QByteArray("GET") << QByteArray("/") << 404 << notFound << QByteArray() << false;
    QTest::addRow("missing file") << QByteArray("GET") << QByteArray("/nothing.txt") << 404 << notFound
                                  << QByteArray() << false;
    // The link's target has a secret.txt beside it: ".." is resolved by text, not through the link.
    QTest::addRow("dot-dot after a link") << QByteArray("GET") << QByteArray("/link/../secret.txt") << 404
                                          << notFound << QByteArray() << false;

    const QList<QByteArray> climbs = {
        "/../secret.txt",
        "/a/../../secret.txt",
        "/folder/../../secret.txt",
        "//../secret.txt",
        "/..//secret.txt",
        "/./../secret.txt",
        "/%2e%2e/secret.txt",
        "/%2E%2e/secret.txt",
        "/.%2e/secret.txt",
        "/%2e%2e%2fsecret.txt",
        "/..%2Fsecret.txt",
        "/folder/%2e%2e/%2e%2e/secret.txt",
        "/../outside/x.txt",
        "/..",
    };
    for (const QByteArray &climb : climbs)
        QTest::addRow("climb %s", climb.constData()) << QByteArray("GET") << climb << 404 << notFound
                                                     << QByteArray() << true;
    QTest::addRow("NUL byte") << QByteArray("GET") << QByteArray("/index.html%00.txt") << 404 << notFound
                              << QByteArray() << true;
}

void tst_FileHandler::serve()
{
    QFETCH(QByteArray, method);
    QFETCH(QByteArray, target);
    QFETCH(int, status);
    QFETCH(QByteArray, contentType);
    QFETCH(QByteArray, body);
    QFETCH(bool, refused);

    dispatcher->appendHandler(QRegExp("^/"), files);

    const QString quotedPath = QLatin1Char('"') + QString::fromLatin1(target) + QLatin1Char('"');
    if (refused)
        QTest::ignoreMessage(QtWarningMsg, qPrintable("Refused a path that leads outside the base folder: " + quotedPath));
    QTest::ignoreMessage(status == 200 ? QtDebugMsg : QtWarningMsg,
                         qPrintable(QString::number(status) + " : " + quotedPath));

    const rawhttp::Response response = rawhttp::exchange(server->port(), method + ' ' + target + " HTTP/1.1\r\nHost: h\r\n\r\n");
    QVERIFY(response.complete);
    QCOMPARE(response.status, status);
    QCOMPARE(response.headers.value("content-type"), contentType);
    QCOMPARE(response.body, body);
    QVERIFY(!response.body.contains(secret));
    if (status == 200) {
        QCOMPARE(response.headers.value("content-size"), QByteArray::number(body.size()));
        QCOMPARE(response.headers.value("content-length"), QByteArray::number(body.size()));
    }
}

void tst_FileHandler::closesAfterEachFile_data()
{
    QTest::addColumn<QByteArray>("method");
    QTest::addColumn<QByteArray>("body");
    QTest::addRow("GET sends the file") << QByteArray("GET") << page;
    QTest::addRow("HEAD sends no body") << QByteArray("HEAD") << QByteArray();
}

void tst_FileHandler::closesAfterEachFile()
{
    // A file ends its connection, and a HEAD answer carries the length but no body.
    QFETCH(QByteArray, method);
    QFETCH(QByteArray, body);
    dispatcher->appendHandler(QRegExp("^/"), files);
    QTest::ignoreMessage(QtDebugMsg, "200 : \"/index.html\"");

    QTcpSocket client;
    client.connectToHost(QHostAddress::LocalHost, server->port());
    QVERIFY(client.waitForConnected());
    client.write(method + " /index.html HTTP/1.1\r\nHost: h\r\n\r\nGET /index.html HTTP/1.1\r\nHost: h\r\n\r\n");
    QByteArray received;
    QVERIFY(QTest::qWaitFor([&] {
        received += client.readAll();
        return client.state() == QAbstractSocket::UnconnectedState;
    }, 10000));
    received += client.readAll();
    QCOMPARE(received.count("HTTP/1.1 200 OK"), 1);
    QVERIFY(received.contains("Connection: close\r\n"));
    QVERIFY(received.contains("Content-Length: " + QByteArray::number(page.size()) + "\r\n"));
    QVERIFY(received.endsWith("\r\n\r\n" + body));
}

void tst_FileHandler::fullPathBehindPrefix()
{
    // The file is looked up with the whole request path, not the rest after the prefix.
    dispatcher->appendHandler(QRegExp("^/static"), files);
    QTest::ignoreMessage(QtDebugMsg, "200 : \"/static/s.txt\"");
    QTest::ignoreMessage(QtWarningMsg, "404 : \"/static/index.html\"");
    QCOMPARE(rawhttp::exchange(server->port(), "GET /static/s.txt HTTP/1.1\r\nHost: h\r\n\r\n").body, QByteArray("static"));
    QCOMPARE(rawhttp::exchange(server->port(), "GET /static/index.html HTTP/1.1\r\nHost: h\r\n\r\n").status, 404);
}

void tst_FileHandler::noBaseFolder()
{
    // Without a base folder the request path is taken from the root of the file system.
    files->setBaseDir(QString());
    QCOMPARE(files->baseDir(), QString());
    dispatcher->appendHandler(QRegExp("^/"), files);
    const QByteArray target = QUrl::toPercentEncoding(base + QStringLiteral("/index.html"), "/");
    QTest::ignoreMessage(QtDebugMsg, qPrintable("200 : \"" + QString::fromLatin1(target) + '"'));
    QCOMPARE(rawhttp::exchange(server->port(), "GET " + target + " HTTP/1.1\r\nHost: h\r\n\r\n").body, page);
}

void tst_FileHandler::typesOfRepeatedNames()
{
    // Types are remembered per name: a name whose glob goes beyond its suffix
    // must not take the type of an earlier name with that suffix, nor the
    // other way round, however often and in whatever order they are asked for.
    const QStringList names = {
        QStringLiteral("types/notes.txt"),
        QStringLiteral("types/CMakeLists.txt"),
        QStringLiteral("types/deep/CMakeLists.txt"),
        QStringLiteral("types/a.gz"),
        QStringLiteral("types/a.tar.gz"),
        QStringLiteral("types/Makefile"),
        QStringLiteral("types/page.HTML"),
        QStringLiteral("types/page.html"),
    };
    QVERIFY(QDir(base).mkpath(QStringLiteral("types/deep")));
    for (const QString &name : names)
        QVERIFY(writeFile(base + QLatin1Char('/') + name, "x"));
    dispatcher->appendHandler(QRegExp("^/"), files);

    const QMimeDatabase database;
    for (int round = 0; round < 2; ++round) {
        for (int i = 0; i < names.size(); ++i) {
            const QString &name = round == 0 ? names.at(i) : names.at(names.size() - 1 - i);
            const QByteArray expected =
                database.mimeTypeForFile(base + QLatin1Char('/') + name, QMimeDatabase::MatchExtension).name().toLatin1();
            QTest::ignoreMessage(QtDebugMsg, qPrintable("200 : \"/" + name + '"'));
            const rawhttp::Response response =
                rawhttp::exchange(server->port(), "GET /" + name.toLatin1() + " HTTP/1.1\r\nHost: h\r\n\r\n");
            QCOMPARE(response.status, 200);
            QCOMPARE(response.headers.value("content-type"), expected);
        }
    }
}

QTEST_MAIN(tst_FileHandler)
#include "tst_filehandler.moc"
