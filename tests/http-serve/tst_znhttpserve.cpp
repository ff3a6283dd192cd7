#include "../https/testcertificates.h"

#include <QtCore/QProcess>
#include <QtCore/QRegularExpression>
#include <QtCore/QTemporaryDir>
#include <QtTest/QtTest>

#ifdef Q_OS_UNIX
#include <signal.h>
#endif

namespace {

const QString program = QStringLiteral(ZN_HTTP_SERVE);
const QString unicodeName = QStringLiteral("\u00e9t\u00e9 \u20ac.txt");

// The program running in the background, with its log collected.
class Serve
{
public:
    bool start(const QStringList &arguments)
    {
        process.start(program, arguments);
        if (!process.waitForStarted())
            return false;
        const QRegularExpression serving(QStringLiteral("Serving .* at (https?)://127\\.0\\.0\\.1:(\\d+)/\\."));
        return QTest::qWaitFor([&] {
            log += process.readAllStandardError();
            const QRegularExpressionMatch match = serving.match(QString::fromUtf8(log));
            if (!match.hasMatch())
                return process.state() == QProcess::NotRunning;
            url = match.captured(1) + QStringLiteral("://127.0.0.1:") + match.captured(2);
            return true;
        }, 10000) && !url.isEmpty();
    }

    bool waitForLog(const QByteArray &text)
    {
        return QTest::qWaitFor([&] {
            log += process.readAllStandardError();
            return log.contains(text);
        }, 10000);
    }

    QProcess process;
    QByteArray log;
    QString url;
};

struct CurlResult
{
    int status = 0;
    QByteArray body;
};

CurlResult curl(const QString &url, const QStringList &extra)
{
    QProcess process;
    process.start(QStringLiteral("curl"), QStringList{"-sS", "-o", "-", "-w", "\n%{http_code}"} + extra + QStringList{url});
    CurlResult result;
    if (!process.waitForFinished(30000) || process.exitCode() != 0) {
        qWarning().noquote() << "curl failed:" << process.readAllStandardError();
        return result;
    }
    const QByteArray output = process.readAllStandardOutput();
    const int split = output.lastIndexOf('\n');
    result.body = output.left(split);
    result.status = output.mid(split + 1).toInt();
    return result;
}

// One request by a real client (curl or Python's http.client), as it saw the answer.
struct Answer
{
    int status = 0;
    QHash<QByteArray, QByteArray> headers; // lower-case names
    QByteArray body;
};

const char pythonClient[] = R"(
import http.client, ssl, sys, urllib.parse
url, method, header, ca = sys.argv[1:5]
u = urllib.parse.urlsplit(url)
if u.scheme == 'https':
    c = http.client.HTTPSConnection(u.hostname, u.port, context=ssl.create_default_context(cafile=ca))
else:
    c = http.client.HTTPConnection(u.hostname, u.port)
c.request(method, u.path + ('?' + u.query if u.query else ''), headers=dict([header.split(': ', 1)]) if header else {})
r = c.getresponse()
body = r.read()
out = 'HTTP/1.1 %d\r\n' % r.status + ''.join('%s: %s\r\n' % h for h in r.getheaders()) + '\r\n'
sys.stdout.buffer.write(out.encode('latin-1') + body)
)";

Answer fetch(const QString &client, const QString &url, const QByteArray &method, const QByteArray &header,
             const QString &caFile)
{
    QProcess process;
    if (client == QLatin1String("curl")) {
        // The head and then the body, as they came; -I prints the head alone.
        QStringList arguments = {"-sS"};
        arguments << (method == "HEAD" ? QStringList{"-I"}
                                       : QStringList{"-D", "-", "-o", "-", "-X", QString::fromLatin1(method)});
        if (!header.isEmpty())
            arguments << "-H" << QString::fromLatin1(header);
        if (!caFile.isEmpty())
            arguments << "--cacert" << caFile;
        process.start(QStringLiteral("curl"), arguments << url);
    } else {
        process.start(QStringLiteral("python3"), {"-c", QString::fromLatin1(pythonClient), url,
                                                  QString::fromLatin1(method), QString::fromLatin1(header), caFile});
    }
    Answer answer;
    if (!process.waitForFinished(30000) || process.exitCode() != 0) {
        qWarning().noquote() << client << "failed:" << process.readAllStandardError();
        return answer;
    }
    const QByteArray output = process.readAllStandardOutput();
    const int headEnd = output.indexOf("\r\n\r\n");
    const QList<QByteArray> lines = output.left(headEnd).split('\n');
    answer.status = lines.first().split(' ').value(1).toInt();
    for (int i = 1; i < lines.size(); ++i) {
        const int colon = lines.at(i).indexOf(':');
        answer.headers.insert(lines.at(i).left(colon).trimmed().toLower(), lines.at(i).mid(colon + 1).trimmed());
    }
    answer.body = output.mid(headEnd + 4);
    return answer;
}

} // namespace

class tst_ZnHttpServe : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase();

    void serve_data();
    void serve();
    void clients_data();
    void clients();
    void stopSignals_data();
    void stopSignals();
    void badOptions_data();
    void badOptions();
    void help();

private:
    QTemporaryDir dir;
    QString folder;
    testcerts::Files files;
    bool haveCerts = false;
};

void tst_ZnHttpServe::initTestCase()
{
    QVERIFY(dir.isValid());
    folder = dir.filePath(QStringLiteral("www"));
    QVERIFY(QDir().mkpath(folder));
    QVERIFY(testcerts::writeText(folder + QStringLiteral("/a.txt"), "hello\n"));
    QVERIFY(testcerts::writeText(folder + QLatin1Char('/') + unicodeName, "summer"));
    QVERIFY(QDir(folder).mkpath(QStringLiteral("site")) && QDir(folder).mkpath(QStringLiteral("plain")));
    QVERIFY(testcerts::writeText(folder + QStringLiteral("/site/index.html"), "<p>site</p>"));
    QVERIFY(testcerts::writeText(folder + QStringLiteral("/site/app.mjs"), ""));
    QVERIFY(testcerts::writeText(folder + QStringLiteral("/site/app.wasm"), ""));
    if (testcerts::haveOpenssl()) {
        QString error;
        QVERIFY2(testcerts::make(dir.path(), &files, &error), qPrintable(error));
        haveCerts = true;
    }
}

void tst_ZnHttpServe::serve_data()
{
    QTest::addColumn<QString>("mode");
    QTest::addRow("http") << "http";
    QTest::addRow("https, one certificate") << "self";
    QTest::addRow("https, chain") << "chain";
}

void tst_ZnHttpServe::serve()
{
    QFETCH(QString, mode);
    if (QStandardPaths::findExecutable(QStringLiteral("curl")).isEmpty())
        QSKIP("curl is not installed.");

    QStringList arguments = {"--port", "0"};
    QStringList curlOptions;
    if (mode != QLatin1String("http")) {
        if (!haveCerts)
            QSKIP("openssl is not installed.");
        const bool chain = mode == QLatin1String("chain");
        arguments << "--cert" << (chain ? files.chain : files.selfCert) << "--key" << (chain ? files.leafKey : files.selfKey);
        curlOptions << "--cacert" << (chain ? files.caCert : files.selfCert);
    }
    Serve serve;
    QVERIFY2(serve.start(arguments << folder), serve.log.constData());
    QCOMPARE(serve.url.startsWith(QLatin1String("https")), mode != QLatin1String("http"));

    CurlResult result = curl(serve.url + QStringLiteral("/a.txt"), curlOptions);
    QCOMPARE(result.status, 200);
    QCOMPARE(result.body, QByteArray("hello\n"));

    const QByteArray encoded = QUrl::toPercentEncoding(unicodeName);
    QCOMPARE(encoded, QByteArray("%C3%A9t%C3%A9%20%E2%82%AC.txt"));
    result = curl(serve.url + QLatin1Char('/') + QString::fromLatin1(encoded), curlOptions);
    QCOMPARE(result.status, 200);
    QCOMPARE(result.body, QByteArray("summer"));

    result = curl(serve.url + QStringLiteral("/missing.txt"), curlOptions);
    QCOMPARE(result.status, 404);

    // One line per request, with its status.
    QVERIFY2(serve.waitForLog("127.0.0.1 \"GET /a.txt HTTP/1.1\" 200."), serve.log.constData());
    QVERIFY2(serve.waitForLog("127.0.0.1 \"GET /" + encoded + " HTTP/1.1\" 200."), serve.log.constData());
    QVERIFY2(serve.waitForLog("127.0.0.1 \"GET /missing.txt HTTP/1.1\" 404."), serve.log.constData());

    serve.process.terminate();
    QVERIFY(serve.process.waitForFinished(10000));
    QCOMPARE(serve.process.exitStatus(), QProcess::NormalExit);
    QCOMPARE(serve.process.exitCode(), 0);
}

void tst_ZnHttpServe::clients_data()
{
    QTest::addColumn<QString>("client");
    QTest::addColumn<bool>("tls");
    for (const char *client : {"curl", "python"}) {
        QTest::addRow("%s, http", client) << QString::fromLatin1(client) << false;
        QTest::addRow("%s, https", client) << QString::fromLatin1(client) << true;
    }
}

void tst_ZnHttpServe::clients()
{
    QFETCH(QString, client);
    QFETCH(bool, tls);
    if (QStandardPaths::findExecutable(client == QLatin1String("curl") ? client : QStringLiteral("python3")).isEmpty())
        QSKIP("The client is not installed.");
    if (tls && !haveCerts)
        QSKIP("openssl is not installed.");

    struct Exchange
    {
        const char *method;
        const char *target;
        const char *header;
        int status;
        QByteArray body;
        const char *name; // a header that must come, with its value
        const char *value;
    };
    const QByteArray future = "If-Modified-Since: Fri, 01 Jan 2100 00:00:00 GMT";
    const Exchange exchanges[] = {
        {"GET", "/a.txt", "", 200, "hello\n", "content-type", "text/plain"},
        {"GET", "/a.txt", "Range: bytes=1-3", 206, "ell", "content-range", "bytes 1-3/6"},
        {"GET", "/a.txt", "Range: bytes=6-", 416, "", "content-range", "bytes */6"},
        {"GET", "/a.txt", future.constData(), 304, "", "last-modified", nullptr},
        {"HEAD", "/a.txt", "", 200, "", "content-length", "6"},
        {"PUT", "/a.txt", "", 405, "", "allow", "GET, HEAD"},
        {"DELETE", "/a.txt", "", 405, "", "allow", "GET, HEAD"},
        {"GET", "/site", "", 301, "", "location", "/site/"},
        {"GET", "/site/", "", 200, "<p>site</p>", "content-type", "text/html"},
        {"GET", "/site/app.mjs", "", 200, "", "content-type", "text/javascript"},
        {"GET", "/site/app.wasm", "", 200, "", "content-type", "application/wasm"},
        {"GET", "/plain/", "", 404, "", "content-type", "text/plain"},
        {"GET", "/a.txt/", "", 404, "", "content-type", "text/plain"},
    };

    QStringList arguments = {"--port", "0"};
    if (tls)
        arguments << "--cert" << files.selfCert << "--key" << files.selfKey;
    Serve serve;
    QVERIFY2(serve.start(arguments << folder), serve.log.constData());
    for (const Exchange &exchange : exchanges) {
        const QByteArray what = QByteArray(exchange.method) + ' ' + exchange.target + ' ' + exchange.header;
        const Answer answer = fetch(client, serve.url + QLatin1String(exchange.target), exchange.method,
                                    exchange.header, tls ? files.selfCert : QString());
        QVERIFY2(answer.status == exchange.status, qPrintable(what + " got " + QByteArray::number(answer.status)));
        QVERIFY2(answer.body == exchange.body, qPrintable(what + " got " + answer.body));
        QVERIFY2(answer.headers.contains(exchange.name), what.constData());
        if (exchange.value)
            QCOMPARE(answer.headers.value(exchange.name), QByteArray(exchange.value));
    }
}

void tst_ZnHttpServe::stopSignals_data()
{
#ifdef Q_OS_UNIX
    QTest::addColumn<int>("signalNumber");
    QTest::addRow("SIGINT") << int(SIGINT);
    QTest::addRow("SIGTERM") << int(SIGTERM);
#endif
}

void tst_ZnHttpServe::stopSignals()
{
#ifdef Q_OS_UNIX
    QFETCH(int, signalNumber);
    Serve serve;
    QVERIFY2(serve.start({"--port", "0", folder}), serve.log.constData());
    QCOMPARE(::kill(pid_t(serve.process.processId()), signalNumber), 0);
    QVERIFY(serve.process.waitForFinished(10000));
    QCOMPARE(serve.process.exitStatus(), QProcess::NormalExit);
    QCOMPARE(serve.process.exitCode(), 0);
    serve.log += serve.process.readAllStandardError();
    QVERIFY2(serve.log.contains("Stopped."), serve.log.constData());
#else
    QSKIP("Signals are a POSIX matter.");
#endif
}

void tst_ZnHttpServe::badOptions_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<QString>("message");

    const QString missing = dir.filePath(QStringLiteral("missing.pem"));
    const QString notPem = folder + QStringLiteral("/a.txt");
    QTest::addRow("unknown option") << QStringList{"--bogus", folder} << "Unknown option 'bogus'.";
    QTest::addRow("option without value") << QStringList{folder, "--port"} << "Missing value after '--port'.";
    QTest::addRow("port not a number") << QStringList{"--port", "x", folder} << "x is not a port number";
    QTest::addRow("port too large") << QStringList{"--port", "70000", folder} << "70000 is not a port number";
    QTest::addRow("address not an address") << QStringList{"--bind", "nowhere", folder} << "nowhere is not an IP address";
    QTest::addRow("no folder") << QStringList{} << "no folder given";
    QTest::addRow("two folders") << QStringList{folder, folder} << "only one folder can be served";
    QTest::addRow("missing folder") << QStringList{missing} << missing + " is not a folder";
    QTest::addRow("a file for a folder") << QStringList{notPem} << notPem + " is not a folder";
    QTest::addRow("certificate without key") << QStringList{"--cert", notPem, folder} << "--cert and --key go together";
    QTest::addRow("key without certificate") << QStringList{"--key", notPem, folder} << "--cert and --key go together";
    QTest::addRow("unreadable certificate") << QStringList{"--cert", missing, "--key", notPem, folder}
                                            << "cannot read " + missing + ": No such file or directory";
    QTest::addRow("certificate not PEM") << QStringList{"--cert", notPem, "--key", notPem, folder}
                                         << "no PEM certificate in " + notPem;
    if (haveCerts) {
        QTest::addRow("unreadable key") << QStringList{"--cert", files.selfCert, "--key", missing, folder}
                                        << "cannot read " + missing + ": No such file or directory";
        QTest::addRow("key not PEM") << QStringList{"--cert", files.selfCert, "--key", notPem, folder}
                                     << "no unencrypted PEM private key in " + notPem;
    }
}

void tst_ZnHttpServe::badOptions()
{
    QFETCH(QStringList, arguments);
    QFETCH(QString, message);

    QProcess process;
    process.start(program, arguments);
    QVERIFY(process.waitForFinished(10000));
    const QString error = QString::fromUtf8(process.readAllStandardError());
    QCOMPARE(process.exitStatus(), QProcess::NormalExit);
    QCOMPARE(process.exitCode(), 2);
    QVERIFY2(error.startsWith(QStringLiteral("zn-http-serve: ") + message), qPrintable(error));
    QVERIFY(error.contains(QLatin1String("--help")));
}

void tst_ZnHttpServe::help()
{
    QProcess process;
    process.start(program, {"--help"});
    QVERIFY(process.waitForFinished(10000));
    QCOMPARE(process.exitCode(), 0);
    const QByteArray usage = process.readAllStandardOutput();
    QVERIFY2(usage.startsWith("Usage: "), usage.constData());
    for (const char *option : {"--bind <ADDRESS>", "--port <N>", "--cert <FILE>", "--key <FILE>", "FOLDER"})
        QVERIFY2(usage.contains(option), option);
}

QTEST_MAIN(tst_ZnHttpServe)
#include "tst_znhttpserve.moc"
