#include <QJsonDocument>
#include <QJsonObject>
#include <QTcpServer>
#include <QtTest>

#include "cardchunks.h"
#include "programs.h"

// kavo-service as a program: its options, the HTTP it serves through the real
// plug-in, and how it reads chunk lines. That a chunk reached the plug-in shows
// in the plug-in's own debug line; typing is tested in tst_cardroad.
class tst_KavoService : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void help();
    void badOptions_data();
    void badOptions();
    void portInUse();
    void systemInfo_data();
    void systemInfo();
    void notFound_data();
    void notFound();
    void hostHeader_data();
    void hostHeader();
    void fileLines();
    void standardInput();
    void pipeWriters();
    void terminationSignals_data();
    void terminationSignals();
};

void tst_KavoService::help()
{
    Sandbox sandbox;
    HostProcess host(sandbox);
    QCOMPARE(host.run({"--help"}), 0);
    const QString text = host.log();
    for (const char *word : {"--plugins", "--listen", "--chunks", "--no-card-readers", "--verbose", "16 MiB",
                             "127.0.0.1:8480"})
        QVERIFY2(text.contains(QLatin1String(word)), word);
}

void tst_KavoService::badOptions_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<QString>("message");

    QTest::addRow("unknown option") << QStringList{"--bogus"} << "Unknown option 'bogus'";
    QTest::addRow("option without its value") << QStringList{"--listen"} << "Missing value after '--listen'";
    QTest::addRow("stray argument") << QStringList{"extra"} << "unexpected argument 'extra'";
    QTest::addRow("option twice") << QStringList{"--listen", "127.0.0.1:1", "--listen", "127.0.0.1:2"}
                                  << "--listen may be given only once";
    QTest::addRow("no port") << QStringList{"--listen", "127.0.0.1"} << "--listen wants ADDRESS:PORT";
    QTest::addRow("port too large") << QStringList{"--listen", "127.0.0.1:65536"} << "--listen wants ADDRESS:PORT";
    QTest::addRow("port not a number") << QStringList{"--listen", "127.0.0.1:http"} << "--listen wants ADDRESS:PORT";
    QTest::addRow("host name") << QStringList{"--listen", "example.org:80"} << "--listen wants ADDRESS:PORT";
    QTest::addRow("IPv6 without brackets") << QStringList{"--listen", "::1:80"} << "--listen wants ADDRESS:PORT";
    QTest::addRow("no plug-in folder") << QStringList{"--plugins", "/nonexistent/plugins"}
                                       << "--plugins: no such file or folder";
    QTest::addRow("no chunk file") << QStringList{"--chunks", "/nonexistent/chunks"}
                                   << "--chunks: cannot open /nonexistent/chunks";
    QTest::addRow("chunks from a folder") << QStringList{"--chunks", "/"} << "it is a directory";
}

void tst_KavoService::badOptions()
{
    QFETCH(QStringList, arguments);
    QFETCH(QString, message);

    Sandbox sandbox;
    HostProcess host(sandbox);
    QCOMPARE(host.run(arguments), 2);
    const QString error = host.log();
    QVERIFY2(error.contains(message), qPrintable(error));
    QVERIFY2(error.contains("--help"), qPrintable(error));
}

void tst_KavoService::portInUse()
{
    QTcpServer occupant;
    QVERIFY(occupant.listen(QHostAddress::LocalHost, 0));

    Sandbox sandbox;
    HostProcess host(sandbox);
    QCOMPARE(host.run({"--listen", QStringLiteral("127.0.0.1:%1").arg(occupant.serverPort())}), 1);
    QVERIFY(host.log().contains("cannot listen on"));
}

void tst_KavoService::systemInfo_data()
{
    QTest::addColumn<QString>("path");
    QTest::addColumn<QStringList>("headers");

    QTest::addRow("plain") << "/system/info" << QStringList();
    QTest::addRow("trailing slash") << "/system/info/" << QStringList();
    QTest::addRow("JSON content type") << "/system/info" << QStringList{"-H", "Content-Type: application/json"};
}

void tst_KavoService::systemInfo()
{
    QFETCH(QString, path);
    QFETCH(QStringList, headers);

    Sandbox sandbox;
    HostProcess host(sandbox);
    QVERIFY2(host.start({}), qPrintable(host.log()));

    const HttpReply reply = curl(headers + QStringList{host.url(path)});
    QCOMPARE(reply.status, 200);
    QJsonParseError error;
    const QJsonObject info = QJsonDocument::fromJson(reply.body, &error).object();
    QVERIFY2(error.error == QJsonParseError::NoError, reply.body.constData());
    QCOMPARE(info.keys().size(), 5);
    QCOMPARE(info.value("system_name").toString(), QSysInfo::productType());
    QCOMPARE(info.value("system_arch").toString(), QSysInfo::currentCpuArchitecture());
    QVERIFY(info.value("is_admin").isBool());
    QVERIFY(info.value("is_user_non_elevated_admin").isBool());
    // members in field order, no white space
    QVERIFY2(reply.body.startsWith("{\"system_name\":\"") && !reply.body.contains("\": ")
                 && !reply.body.contains('\n'),
             reply.body.constData());
    QVERIFY(reply.body.indexOf("system_version") < reply.body.indexOf("system_arch"));
    QVERIFY(reply.body.indexOf("is_admin") < reply.body.indexOf("is_user_non_elevated_admin"));

    // The controller was released once the response was done; the host lives on.
    QCOMPARE(curl(QStringList{host.url(path)}).status, 200);
    QVERIFY(host.stop());
    QCOMPARE(host.process.exitCode(), 0);
}

void tst_KavoService::notFound_data()
{
    QTest::addColumn<QStringList>("arguments");

    QTest::addRow("POST") << QStringList{"-X", "POST", "--data", "{}", "/system/info"};
    QTest::addRow("query string") << QStringList{"/system/info?verbose=1"};
    QTest::addRow("other path") << QStringList{"/system/infos"};
    QTest::addRow("other case") << QStringList{"/System/Info"};
    QTest::addRow("root") << QStringList{"/"};
    QTest::addRow("content type with parameters")
        << QStringList{"-H", "Content-Type: application/json; charset=utf-8", "/system/info"};
}

void tst_KavoService::notFound()
{
    QFETCH(QStringList, arguments);

    Sandbox sandbox;
    HostProcess host(sandbox);
    QVERIFY2(host.start({}), qPrintable(host.log()));

    arguments.last() = host.url(arguments.last());
    const HttpReply reply = curl(arguments);
    QCOMPARE(reply.status, 404);
    QVERIFY2(reply.body.contains("<title>404 Not Found</title>"), reply.body.constData());
    // and the next request is still served
    QCOMPARE(curl(QStringList{host.url("/system/info")}).status, 200);
}

void tst_KavoService::hostHeader_data()
{
    QTest::addColumn<QString>("name"); // of the Host header; empty: none at all
    QTest::addColumn<int>("status");

    QTest::addRow("localhost") << "localhost" << 200;
    QTest::addRow("localhost in capitals, with port") << "LOCALHOST:8480" << 200;
    QTest::addRow("localhost with a final dot") << "localhost." << 200;
    QTest::addRow("name below localhost") << "app.localhost:80" << 200;
    QTest::addRow("IPv4 loopback") << "127.0.0.1:8480" << 200;
    QTest::addRow("other IPv4 loopback") << "127.1.2.3" << 200;
    QTest::addRow("IPv6 loopback") << "[::1]:8480" << 200;
    QTest::addRow("no Host header") << "" << 200;
    // a web page whose name now points at 127.0.0.1
    QTest::addRow("other name") << "attacker.example" << 403;
    QTest::addRow("other name with port") << "attacker.example:8480" << 403;
    QTest::addRow("localhost as a prefix") << "localhost.attacker.example" << 403;
    QTest::addRow("loopback address as a prefix") << "127.0.0.1.nip.io" << 403;
    QTest::addRow("other address") << "192.168.1.2" << 403;
    QTest::addRow("unclosed IPv6 bracket") << "[::1" << 403;
}

void tst_KavoService::hostHeader()
{
    QFETCH(QString, name);
    QFETCH(int, status);

    Sandbox sandbox;
    HostProcess host(sandbox);
    QVERIFY2(host.start({}), qPrintable(host.log()));
    const QStringList version = name.isEmpty() ? QStringList{"--http1.0"} : QStringList();
    const HttpReply reply = curl(version + QStringList{"-H", "Host: " + name, host.url("/system/info")});
    QCOMPARE(reply.status, status);
    if (status == 403)
        QTRY_VERIFY2(host.log().contains("Refused a request for host"), qPrintable(host.log()));
}

void tst_KavoService::fileLines()
{
    Sandbox sandbox;
    QFile file(sandbox.path("chunks.jsonl"));
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.write("{\"reader\": \"Cherry\", oops\n");                        // 1: not JSON
    file.write("\n");                                                     // 2: blank, ignored
    file.write("[\"a\", \"b\"]\n");                                       // 3: not an object
    file.write(cardLine("80756000000000000001"));                         // 4
    file.write(QByteArray(16 * 1024 * 1024 + 10, 'x') + '\n');            // 5: too long
    file.write(cardLine("80756000000000000002").replace('\n', "\r\n"));   // 6: CRLF
    file.write(cardLine("80756000000000000003").chopped(1));              // 7: no final line feed
    file.close();

    HostProcess host(sandbox);
    QVERIFY2(host.start({"--verbose", "--chunks", file.fileName()}), qPrintable(host.log()));
    QTRY_VERIFY_WITH_TIMEOUT(host.log().contains("End of the chunk input"), 20000);

    const QString log = host.log();
    const QStringList expected{
        "Line 1 of the chunk input is not valid JSON",
        "Line 3 of the chunk input is not a JSON object; skipped.",
        numberLogged("80756000000000000001"),
        "Line 5 of the chunk input is longer than 16777216 bytes; skipped.",
        numberLogged("80756000000000000002"),
        numberLogged("80756000000000000003"),
        "End of the chunk input",
    };
    int position = 0;
    for (const QString &line : expected) {
        const int found = log.indexOf(line, position);
        QVERIFY2(found >= 0, qPrintable(QStringLiteral("missing or out of order: %1\n%2").arg(line, log)));
        position = found + line.size();
    }
    QVERIFY2(!log.contains("Line 2 "), qPrintable(log));

    // The end of the input does not end the host.
    QCOMPARE(curl(QStringList{host.url("/system/info")}).status, 200);
    QCOMPARE(host.process.state(), QProcess::Running);
}

void tst_KavoService::standardInput()
{
    Sandbox sandbox;
    HostProcess host(sandbox);
    QVERIFY2(host.start({"--verbose", "--chunks", "-"}), qPrintable(host.log()));

    host.process.write(cardLine("80756000000000000011"));
    QTRY_VERIFY_WITH_TIMEOUT(host.log().contains(numberLogged("80756000000000000011")), 10000);
    // a line that arrives in pieces
    const QByteArray line = cardLine("80756000000000000012");
    host.process.write(line.left(100));
    QVERIFY(host.process.waitForBytesWritten(5000));
    QTest::qWait(100);
    QVERIFY(!host.log().contains(numberLogged("80756000000000000012")));
    host.process.write(line.mid(100));
    QTRY_VERIFY_WITH_TIMEOUT(host.log().contains(numberLogged("80756000000000000012")), 10000);

    host.process.closeWriteChannel();
    QTRY_VERIFY_WITH_TIMEOUT(host.log().contains("End of the chunk input -."), 10000);
    QCOMPARE(curl(QStringList{host.url("/system/info")}).status, 200);
    QVERIFY(host.stop());
    QCOMPARE(host.process.exitCode(), 0);
}

void tst_KavoService::pipeWriters()
{
    Sandbox sandbox;
    QVERIFY(sandbox.makeFifo("chunks"));
    const QString fifo = sandbox.path("chunks");

    HostProcess host(sandbox);
    QVERIFY2(host.start({"--verbose", "--chunks", fifo}), qPrintable(host.log()));
    // No writer yet: the host serves HTTP all the same.
    QCOMPARE(curl(QStringList{host.url("/system/info")}).status, 200);

    // One writer after another; the second one's first line is broken, its
    // last has no final line feed.
    QVERIFY(writeToPipe(fifo, cardLine("80756000000000000021")));
    QTRY_VERIFY_WITH_TIMEOUT(host.log().contains(numberLogged("80756000000000000021")), 10000);
    QVERIFY(writeToPipe(fifo, "{\"event\":\n" + cardLine("80756000000000000022")
                                  + cardLine("80756000000000000023").chopped(1)));
    QTRY_VERIFY_WITH_TIMEOUT(host.log().contains(numberLogged("80756000000000000023")), 10000);
    QVERIFY(host.log().contains(numberLogged("80756000000000000022")));
    QVERIFY2(host.log().contains("Line 2 of the chunk input is not valid JSON"), qPrintable(host.log()));

    // Many short-lived writers in a row: none is lost.
    for (int i = 0; i < 20; ++i)
        QVERIFY(writeToPipe(fifo, cardLine(QStringLiteral("807560000000000001%1").arg(i, 2, 10, QLatin1Char('0')))));
    QTRY_VERIFY_WITH_TIMEOUT(host.log().contains(numberLogged("80756000000000000119")), 20000);
    for (int i = 0; i < 20; ++i)
        QVERIFY(host.log().contains(numberLogged(QStringLiteral("807560000000000001%1").arg(i, 2, 10, QLatin1Char('0')))));

    QCOMPARE(host.process.state(), QProcess::Running);
    QVERIFY(!host.log().contains("End of the chunk input"));
    QVERIFY(host.stop());
    QCOMPARE(host.process.exitCode(), 0);
}

void tst_KavoService::terminationSignals_data()
{
    QTest::addColumn<int>("signalNumber");
    QTest::addRow("SIGTERM") << int(SIGTERM);
    QTest::addRow("SIGINT") << int(SIGINT);
}

void tst_KavoService::terminationSignals()
{
    QFETCH(int, signalNumber);

    Sandbox sandbox;
    QVERIFY(sandbox.makeFifo("chunks"));
    HostProcess host(sandbox);
    QVERIFY2(host.start({"--chunks", sandbox.path("chunks")}), qPrintable(host.log()));
    QVERIFY(host.stop(signalNumber));
    QCOMPARE(host.process.exitStatus(), QProcess::NormalExit);
    QCOMPARE(host.process.exitCode(), 0);
    QVERIFY(host.log().contains(QStringLiteral("Quitting on signal %1.").arg(signalNumber)));
}

QTEST_MAIN(tst_KavoService)
#include "tst_kavoservice.moc"
