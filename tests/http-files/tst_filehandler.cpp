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
    void closesAfterEachFile_data();
    void closesAfterEachFile();
    void fullPathBehindPrefix();
    void noBaseFolder();
    void typesOfRepeatedNames();
    void webTypes_data();
    void webTypes();
    void conditionalAndRanges_data();
    void conditionalAndRanges();
    void folderIndex_data();
    void folderIndex();
    void bigFile_data();
    void bigFile();

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
    // More than memory may hold at once: an error, never a 200 without the bytes.
    QTest::addRow("whole") << QByteArray() << 500 << QByteArray();
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

QTEST_MAIN(tst_FileHandler)
#include "tst_filehandler.moc"
