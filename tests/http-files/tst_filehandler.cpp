#include "../http-dispatch/rawhttp.h"
#include "../https/testcertificates.h"

#include <zn-http/connection.h>
#include <zn-http/dispatcher.h>
#include <zn-http/filehandler.h>
#include <zn-http/httpserver.h>
#include <zn-http/httpsserver.h>

#include <QtCore/QDir>
#include <QtCore/QFile>
#include <QtCore/QMimeDatabase>
#include <QtCore/QTemporaryDir>
#include <QtNetwork/QSslKey>
#include <QtNetwork/QSslSocket>
#include <QtTest/QtTest>

#include <algorithm>

using namespace http::server;

namespace {

const QByteArray secret = "top secret";
const QByteArray page = "<p>hello</p>\n";

bool writeFile(const QString &name, const QByteArray &contents)
{
    QFile file(name);
    return file.open(QIODevice::WriteOnly) && file.write(contents) == contents.size();
}

// The line the handler logs for each answer.
void expectLog(int status, const QByteArray &path)
{
    QTest::ignoreMessage(status < 400 ? QtDebugMsg : QtWarningMsg,
                         qPrintable(QString::number(status) + " : \"" + QString::fromLatin1(path) + '"'));
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
    void keepsConnection_data();
    void keepsConnection();
    void fullPathBehindPrefix();
    void noBaseFolder();
    void typesOfRepeatedNames();
    void webTypes_data();
    void webTypes();
    void conditionalAndRanges_data();
    void conditionalAndRanges();
    void validatorText_data();
    void validatorText();
    void folderIndex_data();
    void folderIndex();
    void bigFile_data();
    void bigFile();
    void hugeFileStreams_data();
    void hugeFileStreams();

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
    QVERIFY(QFile::link(dir.filePath(QStringLiteral("secret.txt")), base + QStringLiteral("/secret-link.txt")));
    QVERIFY(QFile::link(base + QStringLiteral("/folder"), base + QStringLiteral("/inlink")));
    QVERIFY(QFile::link(base + QStringLiteral("/folder/inner.txt"), base + QStringLiteral("/inner-link.txt")));
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
    const QByteArray notFound = "text/plain";
    QTest::addRow("real file") << QByteArray("GET") << QByteArray("/index.html") << 200 << html << page << false;
    for (const char *method : {"POST", "PUT", "DELETE", "OPTIONS"})
        QTest::addRow("%s", method) << QByteArray(method) << QByteArray("/index.html") << 405 << notFound
                                    << QByteArray() << false;
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
    QTest::addRow("folder link that stays inside") << QByteArray("GET") << QByteArray("/inlink/inner.txt") << 200
                                                   << text << QByteArray("inner") << false;
    QTest::addRow("file link that stays inside") << QByteArray("GET") << QByteArray("/inner-link.txt") << 200
                                                 << text << QByteArray("inner") << false;
    QTest::addRow("folder link leading outside") << QByteArray("GET") << QByteArray("/link/x.txt") << 404
                                                 << notFound << QByteArray() << true;
    QTest::addRow("file link leading outside") << QByteArray("GET") << QByteArray("/secret-link.txt") << 404
                                               << notFound << QByteArray() << true;
    QTest::addRow("file name with a trailing slash") << QByteArray("GET") << QByteArray("/index.html/") << 404
                                                     << notFound << QByteArray() << false;
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
    expectLog(status, target);

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
    if (status == 405)
        QCOMPARE(response.headers.value("allow"), QByteArray("GET, HEAD"));
}

void tst_FileHandler::keepsConnection_data()
{
    QTest::addColumn<QByteArray>("method");
    QTest::addColumn<QByteArray>("body");
    QTest::addRow("GET sends the file") << QByteArray("GET") << page;
    QTest::addRow("HEAD sends no body") << QByteArray("HEAD") << QByteArray();
}

void tst_FileHandler::keepsConnection()
{
    // A file keeps its connection for the next request, and a HEAD answer
    // carries the length but no body.
    QFETCH(QByteArray, method);
    QFETCH(QByteArray, body);
    dispatcher->appendHandler(QRegExp("^/"), files);
    QTest::ignoreMessage(QtDebugMsg, "200 : \"/index.html\"");
    QTest::ignoreMessage(QtDebugMsg, "200 : \"/index.html\"");

    QTcpSocket client;
    client.connectToHost(QHostAddress::LocalHost, server->port());
    QVERIFY(client.waitForConnected());
    client.write(method + " /index.html HTTP/1.1\r\nHost: h\r\n\r\nGET /index.html HTTP/1.1\r\nHost: h\r\n\r\n");
    QByteArray received;
    QVERIFY(QTest::qWaitFor([&] {
        received += client.readAll();
        return received.count("HTTP/1.1 200 OK") == 2 && received.endsWith(page);
    }, 10000));
    QCOMPARE(received.count("Connection: keep-alive\r\n"), 2);
    QVERIFY(received.contains("Content-Length: " + QByteArray::number(page.size()) + "\r\n"));
    const int second = received.indexOf("HTTP/1.1", 1);
    QCOMPARE(received.mid(received.indexOf("\r\n\r\n") + 4, second - received.indexOf("\r\n\r\n") - 4), body);
    QCOMPARE(client.state(), QAbstractSocket::ConnectedState);
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

void tst_FileHandler::webTypes_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<QByteArray>("type");
    const QList<QPair<const char *, const char *>> types = {
        {"a.js", "text/javascript"}, {"a.mjs", "text/javascript"}, {"a.css", "text/css"}, {"a.svg", "image/svg+xml"},
        {"a.wasm", "application/wasm"}, {"a.json", "application/json"}, {"a.png", "image/png"},
        {"a.jpg", "image/jpeg"}, {"a.webp", "image/webp"}, {"a.woff2", "font/woff2"}, {"a.txt", "text/plain"},
        {"a.html", "text/html"}, {"A.JS", "text/javascript"}, {"js", "application/octet-stream"},
    };
    for (const auto &type : types)
        QTest::addRow("%s", type.first) << QString::fromLatin1(type.first) << QByteArray(type.second);
}

void tst_FileHandler::webTypes()
{
    QFETCH(QString, name);
    QFETCH(QByteArray, type);
    QVERIFY(QDir(base).mkpath(QStringLiteral("web")));
    QVERIFY(writeFile(base + QStringLiteral("/web/") + name, "x"));
    dispatcher->appendHandler(QRegExp("^/"), files);
    const QByteArray path = "/web/" + name.toLatin1();
    expectLog(200, path);
    const rawhttp::Response response = rawhttp::exchange(server->port(), "GET " + path + " HTTP/1.1\r\nHost: h\r\n\r\n");
    QCOMPARE(response.status, 200);
    QCOMPARE(response.headers.value("content-type"), type);
}

void tst_FileHandler::conditionalAndRanges_data()
{
    QTest::addColumn<QByteArray>("headers"); // {tag} and {date} stand for the file's own
    QTest::addColumn<int>("status");
    QTest::addColumn<QByteArray>("body");
    QTest::addColumn<QByteArray>("contentRange");

    const QByteArray all = "0123456789";
    const QByteArray oldDate = "Mon, 01 Jan 2001 00:00:00 GMT";
    QTest::addRow("If-None-Match, its tag") << QByteArray("If-None-Match: {tag}") << 304 << QByteArray() << QByteArray();
    QTest::addRow("If-None-Match, its tag among others") << QByteArray("If-None-Match: \"x\", W/{tag}") << 304
                                                          << QByteArray() << QByteArray();
    QTest::addRow("If-None-Match, any") << QByteArray("If-None-Match: *") << 304 << QByteArray() << QByteArray();
    QTest::addRow("If-None-Match, another tag") << QByteArray("If-None-Match: \"x\"") << 200 << all << QByteArray();
    QTest::addRow("If-Modified-Since, its date") << QByteArray("If-Modified-Since: {date}") << 304 << QByteArray()
                                                 << QByteArray();
    QTest::addRow("If-Modified-Since, earlier") << "If-Modified-Since: " + oldDate << 200 << all << QByteArray();
    QTest::addRow("If-Modified-Since, not a date") << QByteArray("If-Modified-Since: yesterday") << 200 << all
                                                   << QByteArray();
    QTest::addRow("a tag that differs decides over the date")
        << QByteArray("If-None-Match: \"x\"\r\nIf-Modified-Since: {date}") << 200 << all << QByteArray();

    QTest::addRow("first bytes") << QByteArray("Range: bytes=0-3") << 206 << QByteArray("0123") << QByteArray("bytes 0-3/10");
    QTest::addRow("from an offset") << QByteArray("Range: bytes=7-") << 206 << QByteArray("789") << QByteArray("bytes 7-9/10");
    QTest::addRow("last bytes") << QByteArray("Range: bytes=-2") << 206 << QByteArray("89") << QByteArray("bytes 8-9/10");
    QTest::addRow("more last bytes than there are") << QByteArray("Range: bytes=-50") << 206 << all
                                                    << QByteArray("bytes 0-9/10");
    QTest::addRow("end beyond the file") << QByteArray("Range: bytes=8-99999999999999999999") << 206
                                         << QByteArray("89") << QByteArray("bytes 8-9/10");
    QTest::addRow("start beyond the file") << QByteArray("Range: bytes=10-") << 416 << QByteArray() << QByteArray("bytes */10");
    QTest::addRow("no last bytes") << QByteArray("Range: bytes=-0") << 416 << QByteArray() << QByteArray("bytes */10");
    QTest::addRow("two ranges") << QByteArray("Range: bytes=0-1,4-5") << 200 << all << QByteArray();
    QTest::addRow("backwards") << QByteArray("Range: bytes=5-2") << 200 << all << QByteArray();
    QTest::addRow("other unit") << QByteArray("Range: items=0-1") << 200 << all << QByteArray();
    QTest::addRow("no number") << QByteArray("Range: bytes=a-b") << 200 << all << QByteArray();
    QTest::addRow("If-Range, its tag") << QByteArray("Range: bytes=0-0\r\nIf-Range: {tag}") << 206 << QByteArray("0")
                                       << QByteArray("bytes 0-0/10");
    QTest::addRow("If-Range, its date") << QByteArray("Range: bytes=0-0\r\nIf-Range: {date}") << 206 << QByteArray("0")
                                        << QByteArray("bytes 0-0/10");
    QTest::addRow("If-Range, a changed file") << QByteArray("Range: bytes=0-0\r\nIf-Range: \"x\"") << 200 << all
                                              << QByteArray();
    QTest::addRow("If-Range, an earlier date") << "Range: bytes=0-0\r\nIf-Range: " + oldDate << 200 << all << QByteArray();
}

void tst_FileHandler::conditionalAndRanges()
{
    QFETCH(QByteArray, headers);
    QFETCH(int, status);
    QFETCH(QByteArray, body);
    QFETCH(QByteArray, contentRange);
    QVERIFY(writeFile(base + QStringLiteral("/digits.txt"), "0123456789"));
    dispatcher->appendHandler(QRegExp("^/"), files);

    expectLog(200, "/digits.txt");
    const rawhttp::Response plain = rawhttp::exchange(server->port(), "GET /digits.txt HTTP/1.1\r\nHost: h\r\n\r\n");
    const QByteArray tag = plain.headers.value("etag");
    const QByteArray date = plain.headers.value("last-modified");
    QVERIFY2(tag.startsWith('"') && tag.endsWith('"') && tag.size() > 2, tag.constData());
    QVERIFY2(date.endsWith(" GMT"), date.constData());
    QCOMPARE(plain.headers.value("accept-ranges"), QByteArray("bytes"));

    headers.replace("{tag}", tag).replace("{date}", date);
    expectLog(status, "/digits.txt");
    const rawhttp::Response response =
        rawhttp::exchange(server->port(), "GET /digits.txt HTTP/1.1\r\nHost: h\r\n" + headers + "\r\n\r\n");
    QVERIFY(response.complete);
    QCOMPARE(response.status, status);
    QCOMPARE(response.body, body);
    QCOMPARE(response.headers.value("content-range"), contentRange);
    if (status == 206)
        QCOMPARE(response.headers.value("content-length"), QByteArray::number(body.size()));
    if (status == 304)
        QCOMPARE(response.headers.value("etag"), tag);
}

void tst_FileHandler::validatorText_data()
{
    QTest::addColumn<QString>("modified");
    QTest::addColumn<QByteArray>("tag");
    QTest::addColumn<QByteArray>("date");
    QTest::addRow("leap day") << "2024-02-29T23:59:58.250Z" << QByteArray("\"18df74f7d2a-a\"")
                              << QByteArray("Thu, 29 Feb 2024 23:59:58 GMT");
    // Before 1970 the tag shows the time as an unsigned number.
    QTest::addRow("before 1970") << "1969-07-20T20:17:40.000Z" << QByteArray("\"fffffffcb2a182a0-a\"")
                                 << QByteArray("Sun, 20 Jul 1969 20:17:40 GMT");
}

void tst_FileHandler::validatorText()
{
    QFETCH(QString, modified);
    QFETCH(QByteArray, tag);
    QFETCH(QByteArray, date);
    QFile file(base + QStringLiteral("/dated.txt"));
    QVERIFY(file.open(QIODevice::WriteOnly) && file.write("0123456789") == 10 && file.flush());
    QVERIFY(file.setFileTime(QDateTime::fromString(modified, Qt::ISODateWithMs), QFileDevice::FileModificationTime));
    file.close();
    dispatcher->appendHandler(QRegExp("^/"), files);

    expectLog(200, "/dated.txt");
    const rawhttp::Response response = rawhttp::exchange(server->port(), "GET /dated.txt HTTP/1.1\r\nHost: h\r\n\r\n");
    QCOMPARE(response.headers.value("etag"), tag);
    QCOMPARE(response.headers.value("last-modified"), date);
}

void tst_FileHandler::folderIndex_data()
{
    QTest::addColumn<QByteArray>("target");
    QTest::addColumn<int>("status");
    QTest::addColumn<QByteArray>("body");
    QTest::addColumn<QByteArray>("location");

    QTest::addRow("base folder") << QByteArray("/") << 200 << page << QByteArray();
    QTest::addRow("folder with an index") << QByteArray("/indexed/") << 200 << QByteArray("inner page") << QByteArray();
    QTest::addRow("folder without its slash") << QByteArray("/indexed") << 301 << QByteArray() << QByteArray("/indexed/");
    QTest::addRow("with a query") << QByteArray("/indexed?a=1") << 301 << QByteArray() << QByteArray("/indexed/?a=1");
    QTest::addRow("never to another host") << QByteArray("//indexed") << 301 << QByteArray() << QByteArray("/indexed/");
    QTest::addRow("folder without an index") << QByteArray("/static/") << 404 << QByteArray() << QByteArray();
    QTest::addRow("index linked from outside") << QByteArray("/leaky/") << 404 << QByteArray() << QByteArray();
    QTest::addRow("a file") << QByteArray("/index.html") << 200 << page << QByteArray();
}

void tst_FileHandler::folderIndex()
{
    QFETCH(QByteArray, target);
    QFETCH(int, status);
    QFETCH(QByteArray, body);
    QFETCH(QByteArray, location);
    const QDir dir(base);
    QVERIFY(dir.mkpath(QStringLiteral("indexed")) && dir.mkpath(QStringLiteral("leaky")));
    QVERIFY(writeFile(dir.filePath(QStringLiteral("indexed/index.html")), "inner page"));
    QFile::link(root.filePath(QStringLiteral("secret.txt")), dir.filePath(QStringLiteral("leaky/index.html")));

    files->setIndexFileName(QStringLiteral("index.html"));
    QCOMPARE(files->indexFileName(), QStringLiteral("index.html"));
    dispatcher->appendHandler(QRegExp("^/"), files);
    const QByteArray path = target.split('?').first();
    if (target == "/leaky/")
        QTest::ignoreMessage(QtWarningMsg, "Refused a path that leads outside the base folder: \"/leaky/\"");
    expectLog(status, path);
    const rawhttp::Response response = rawhttp::exchange(server->port(), "GET " + target + " HTTP/1.1\r\nHost: h\r\n\r\n");
    QCOMPARE(response.status, status);
    QCOMPARE(response.body, body);
    QCOMPARE(response.headers.value("location"), location);
}

void tst_FileHandler::bigFile_data()
{
    QTest::addColumn<QByteArray>("range");
    QTest::addColumn<int>("status");
    QTest::addColumn<QByteArray>("body");
    const qint64 end = 5LL << 30;
    QTest::addRow("its last bytes, past 4 GiB") << "bytes=" + QByteArray::number(end - 4) + '-' << 206 << QByteArray("tail");
    QTest::addRow("its last bytes, counted from the end") << QByteArray("bytes=-4") << 206 << QByteArray("tail");
}

void tst_FileHandler::bigFile()
{
    QFETCH(QByteArray, range);
    QFETCH(int, status);
    QFETCH(QByteArray, body);
    // Sparse: five GiB that take no room on disk.
    QFile big(base + QStringLiteral("/big.bin"));
    QVERIFY(big.open(QIODevice::ReadWrite) && big.resize((5LL << 30) - 4) && big.seek(big.size()));
    QCOMPARE(big.write("tail"), qint64(4));
    big.close();
    dispatcher->appendHandler(QRegExp("^/"), files);

    expectLog(status, "/big.bin");
    const QByteArray request = "GET /big.bin HTTP/1.1\r\nHost: h\r\n" + (range.isEmpty() ? QByteArray() : "Range: " + range + "\r\n") + "\r\n";
    const rawhttp::Response response = rawhttp::exchange(server->port(), request);
    QVERIFY(response.complete);
    QCOMPARE(response.status, status);
    QCOMPARE(response.body, body);
}

namespace {

enum ClientEnd { ReadsAll, Leaves, StopsReading };

// Bytes placed in a sparse file: zeros everywhere else.
struct Marker
{
    qint64 offset;
    QByteArray bytes;
};

bool isOpen(const QString &fileName)
{
    const QDir descriptors(QStringLiteral("/proc/self/fd"));
    for (const QFileInfo &descriptor : descriptors.entryInfoList(QDir::Files | QDir::System)) {
        if (descriptor.symLinkTarget() == fileName)
            return true;
    }
    return false;
}

// Reads the answer to `request` as it comes, keeping none of it: its length,
// the markers in their places and zeros elsewhere are checked on the way.
// The client may also leave, or stop reading, part of the way.
QString download(QAbstractSocket &client, const QByteArray &request, qint64 size, const QVector<Marker> &markers,
                 ClientEnd end)
{
    QByteArray head;
    qint64 position = -1; // in the body
    qint64 nonZero = 0;
    qint64 matched = 0;
    const qint64 stopAt = end == ReadsAll ? size : 64 * 1024 * 1024;
    QEventLoop loop;
    const auto take = [&](const char *data, qint64 length) {
        nonZero += length - std::count(data, data + length, '\0');
        for (const Marker &marker : markers) {
            const qint64 from = qMax(marker.offset, position);
            const qint64 to = qMin(marker.offset + marker.bytes.size(), position + length);
            for (qint64 at = from; at < to; ++at)
                matched += data[at - position] == marker.bytes.at(int(at - marker.offset));
        }
        position += length;
    };
    const auto read = [&] {
        char buffer[64 * 1024];
        while (position < stopAt) {
            const qint64 length = client.read(buffer, sizeof buffer);
            if (length <= 0)
                return;
            if (position < 0) {
                head.append(buffer, int(length));
                const int headEnd = head.indexOf("\r\n\r\n");
                if (headEnd < 0)
                    continue;
                position = 0;
                take(head.constData() + headEnd + 4, head.size() - headEnd - 4);
            } else {
                take(buffer, length);
            }
        }
        loop.quit();
    };
    QObject::connect(&client, &QIODevice::readyRead, &loop, read);
    QObject::connect(&client, &QAbstractSocket::disconnected, &loop, &QEventLoop::quit);
    QTimer::singleShot(180000, &loop, &QEventLoop::quit);
    client.write(request);
    loop.exec();
    QObject::disconnect(&client, nullptr, &loop, nullptr);

    if (!head.startsWith("HTTP/1.1 200 OK\r\n") || !head.contains("\r\nContent-Length: " + QByteArray::number(size) + "\r\n"))
        return QStringLiteral("answer head: ") + QString::fromLatin1(head.left(400));
    if (position < stopAt)
        return QStringLiteral("only %1 of %2 bytes arrived").arg(position).arg(stopAt);
    qint64 markerBytes = 0;
    for (const Marker &marker : markers)
        markerBytes += marker.offset < position ? marker.bytes.size() : 0;
    if (end == ReadsAll && (matched != markerBytes || nonZero != markerBytes || position != size))
        return QStringLiteral("%1 bytes, %2 of %3 marker bytes in place, %4 not zero")
            .arg(position).arg(matched).arg(markerBytes).arg(nonZero);
    return QString();
}

} // namespace

void tst_FileHandler::hugeFileStreams_data()
{
    QTest::addColumn<bool>("tls");
    QTest::addColumn<int>("end");
    QTest::addRow("HTTP") << false << int(ReadsAll);
    QTest::addRow("HTTPS") << true << int(ReadsAll);
    QTest::addRow("HTTP, client leaves on the way") << false << int(Leaves);
    QTest::addRow("HTTPS, client leaves on the way") << true << int(Leaves);
    QTest::addRow("HTTP, client stops reading") << false << int(StopsReading);
    QTest::addRow("HTTPS, client stops reading") << true << int(StopsReading);
}

void tst_FileHandler::hugeFileStreams()
{
    // More than memory holds, past the 2 GiB and 4 GiB marks, sent whole; a
    // client that leaves or stops reading leaves nothing held behind.
    QFETCH(bool, tls);
    QFETCH(int, end);
    const qint64 size = (4LL << 30) + (1 << 20);
    const QVector<Marker> markers = {
        {0, "first bytes"}, {(1LL << 31) - 5, "over 2 GiB"}, {(1LL << 32) - 5, "over 4 GiB"}, {size - 10, "last bytes"}};
    // In memory where there is such a file system: reading its holes then costs nothing.
    const QString shm = QStringLiteral("/dev/shm");
    QTemporaryDir folder(QFileInfo(shm).isWritable() ? shm + QStringLiteral("/tst_filehandler-XXXXXX") : QString());
    QVERIFY(folder.isValid());
    files->setBaseDir(folder.path());
    QFile huge(folder.filePath(QStringLiteral("huge.bin")));
    QVERIFY(huge.open(QIODevice::ReadWrite) && huge.resize(size));
    for (const Marker &marker : markers)
        QVERIFY(huge.seek(marker.offset) && huge.write(marker.bytes) == marker.bytes.size());
    huge.close();

    QScopedPointer<http::HttpServer> tlsServer;
    http::HttpServer *serving = server;
    if (tls) {
        if (!QSslSocket::supportsSsl() || !testcerts::haveOpenssl())
            QSKIP("No TLS support or no openssl.");
        QString error;
        QVERIFY2(testcerts::openssl(root.path(), {"req", "-x509", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:prime256v1",
                                                  "-nodes", "-keyout", "key.pem", "-out", "cert.pem", "-days", "2",
                                                  "-subj", "/CN=127.0.0.1"}, &error), qPrintable(error));
        QFile key(root.filePath(QStringLiteral("key.pem")));
        QVERIFY(key.open(QIODevice::ReadOnly));
        tlsServer.reset(new https::HttpsServer(QSslCertificate::fromPath(root.filePath(QStringLiteral("cert.pem"))).value(0),
                                               QSslKey(&key, QSsl::Ec)));
        connect(tlsServer.data(), &http::HttpServer::newRequest, dispatcher, &Dispatcher::dispatch);
        QVERIFY(tlsServer->listen(QHostAddress::LocalHost, 0));
        serving = tlsServer.data();
    }
    if (end == StopsReading)
        serving->setIdleTimeout(500);
    dispatcher->appendHandler(QRegExp("^/"), files);

    QScopedPointer<QSslSocket> client(new QSslSocket);
    if (end == StopsReading)
        client->setReadBufferSize(64 * 1024); // takes no more from its kernel then
    if (tls) {
        client->setPeerVerifyMode(QSslSocket::VerifyNone);
        client->connectToHostEncrypted(QStringLiteral("127.0.0.1"), serving->port());
        QTRY_VERIFY_WITH_TIMEOUT(client->isEncrypted(), 10000);
    } else {
        client->connectToHost(QHostAddress::LocalHost, serving->port());
        QTRY_COMPARE_WITH_TIMEOUT(client->state(), QAbstractSocket::ConnectedState, 10000);
    }
    const QString failure = download(*client, "GET /huge.bin HTTP/1.1\r\nHost: h\r\n\r\n", size, markers, ClientEnd(end));
    QVERIFY2(failure.isEmpty(), qPrintable(failure));

    // The server lets go of a client that stopped reading once its idle limit is over.
    if (end != StopsReading)
        client.reset();
    QTRY_VERIFY_WITH_TIMEOUT(serving->findChildren<Connection *>().isEmpty(), 10000);
    client.reset();
    QVERIFY(!isOpen(huge.fileName()));
}

QTEST_MAIN(tst_FileHandler)
#include "tst_filehandler.moc"
