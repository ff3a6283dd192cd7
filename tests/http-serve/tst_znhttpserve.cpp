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

} // namespace

class tst_ZnHttpServe : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase();

    void serve_data();
    void serve();
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
