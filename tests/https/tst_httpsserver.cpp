#include "testcertificates.h"

#include <zn-http/connection.h>
#include <zn-http/httpsserver.h>
#include <zn-http/request.h>
#include <zn-http/response.h>
#include <zn-http/sslserver.h>

#include <QtCore/QTemporaryDir>
#include <QtNetwork/QSslSocket>
#include <QtNetwork/QTcpServer>
#include <QtTest/QtTest>

namespace {

QStringList criticalMessages;
QtMessageHandler previousHandler = nullptr;

void recordCriticals(QtMsgType type, const QMessageLogContext &context, const QString &message)
{
    if (type == QtCriticalMsg)
        criticalMessages.append(message);
    previousHandler(type, context, message);
}

// Runs a client program while the event loop goes on serving.
bool runClient(const QString &program, const QStringList &arguments, QByteArray *output)
{
    QProcess process;
    process.start(program, arguments);
    process.closeWriteChannel();
    if (!QTest::qWaitFor([&process] { return process.state() == QProcess::NotRunning; }, 60000)) {
        process.kill();
        process.waitForFinished();
        return false;
    }
    *output = process.readAllStandardOutput();
    if (process.exitStatus() != QProcess::NormalExit || process.exitCode() != 0) {
        qWarning().noquote() << program << "failed:" << process.readAllStandardError();
        return false;
    }
    return true;
}

// openssl s_client against the server, fed `input`; its transcript whatever its exit status.
QByteArray sClient(quint16 port, const QStringList &options, const QByteArray &input = QByteArray())
{
    QProcess process;
    process.setProcessChannelMode(QProcess::MergedChannels);
    process.start(QStringLiteral("openssl"),
                  QStringList{"s_client", "-connect", "127.0.0.1:" + QString::number(port)} + options);
    process.write(input);
    process.closeWriteChannel();
    if (!QTest::qWaitFor([&process] { return process.state() == QProcess::NotRunning; }, 60000)) {
        process.kill();
        process.waitForFinished();
    }
    return process.readAll();
}

void answerOk(http::HttpServer *server)
{
    QObject::connect(server, &http::HttpServer::newRequest, server,
                     [](QSharedPointer<http::server::Request>, QSharedPointer<http::server::Response> response) {
                         response->setHeader(QStringLiteral("Content-Length"), QStringLiteral("2"));
                         response->writeHead(200);
                         response->end("ok");
                     });
}

// A TLS client without a certificate of its own: GET / and the body it got.
QByteArray fetchOverTls(quint16 port, QList<QSslCertificate> *chain = nullptr)
{
    QSslSocket client;
    client.setPeerVerifyMode(QSslSocket::VerifyNone);
    client.connectToHostEncrypted(QStringLiteral("127.0.0.1"), port);
    if (!QTest::qWaitFor([&client] { return client.isEncrypted(); }, 10000))
        return "handshake failed: " + client.errorString().toUtf8();
    if (chain)
        *chain = client.peerCertificateChain();
    client.write("GET / HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n");
    QByteArray received;
    const bool answered = QTest::qWaitFor([&] {
        received += client.readAll();
        return received.endsWith("\r\n\r\nok");
    }, 10000);
    if (!answered)
        return "no answer: " + received;
    return received.mid(received.indexOf("\r\n\r\n") + 4);
}

} // namespace

class tst_HttpsServer : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase();
    void cleanupTestCase();
    void init();

    void certificates_data();
    void certificates();
    void plainHttpToTlsPort();
    void listenTwice();
    void connectionBeforeHandshake();
    void listenFailure();
    void offeredSuites_data();
    void offeredSuites();
    void resumption_data();
    void resumption();

private:
    QTemporaryDir dir;
    testcerts::Files files;
    QList<QSslCertificate> chain;
    QSslKey leafKey;
    QSslCertificate selfCert;
    QSslKey selfKey;
};

void tst_HttpsServer::initTestCase()
{
    if (!QSslSocket::supportsSsl())
        QSKIP("No TLS support in this Qt build.");
    if (!testcerts::haveOpenssl())
        QSKIP("openssl is not installed.");
    QVERIFY(dir.isValid());
    QString error;
    QVERIFY2(testcerts::make(dir.path(), &files, &error), qPrintable(error));

    chain = QSslCertificate::fromPath(files.chain);
    QCOMPARE(chain.size(), 3);
    QFile key(files.leafKey);
    QVERIFY(key.open(QIODevice::ReadOnly));
    leafKey = QSslKey(&key, QSsl::Ec);
    QVERIFY(!leafKey.isNull());
    selfCert = QSslCertificate::fromPath(files.selfCert).value(0);
    QVERIFY(!selfCert.isNull());
    QFile rsaKey(files.selfKey);
    QVERIFY(rsaKey.open(QIODevice::ReadOnly));
    selfKey = QSslKey(&rsaKey, QSsl::Rsa);
    QVERIFY(!selfKey.isNull());

    previousHandler = qInstallMessageHandler(recordCriticals);
}

void tst_HttpsServer::cleanupTestCase()
{
    if (previousHandler)
        qInstallMessageHandler(previousHandler);
}

void tst_HttpsServer::init()
{
    criticalMessages.clear();
}

void tst_HttpsServer::certificates_data()
{
    QTest::addColumn<bool>("useChain");
    QTest::addRow("one certificate") << false;
    QTest::addRow("chain of three") << true;
}

void tst_HttpsServer::certificates()
{
    QFETCH(bool, useChain);

    QScopedPointer<https::HttpsServer> server(useChain ? new https::HttpsServer(chain, leafKey)
                                                       : new https::HttpsServer(selfCert, selfKey));
    answerOk(server.data());
    QVERIFY(server->listen(QHostAddress::LocalHost, 0));
    const QString port = QString::number(server->port());
    const int expectedLength = useChain ? 3 : 1;

    // Clients without certificates of their own: Qt, curl and openssl.
    QList<QSslCertificate> seen;
    QCOMPARE(fetchOverTls(server->port(), &seen), QByteArray("ok"));
    QCOMPARE(seen.size(), expectedLength);
    QCOMPARE(seen.first(), useChain ? chain.first() : selfCert);
    if (useChain)
        QCOMPARE(seen, chain);

    if (!QStandardPaths::findExecutable(QStringLiteral("curl")).isEmpty()) {
        QByteArray body;
        QVERIFY(runClient(QStringLiteral("curl"),
                          {"-sS", "--cacert", useChain ? files.caCert : files.selfCert,
                           "https://127.0.0.1:" + port + "/x"}, &body));
        QCOMPARE(body, QByteArray("ok"));
    }

    QByteArray transcript;
    QVERIFY(runClient(QStringLiteral("openssl"),
                      {"s_client", "-showcerts", "-connect", "127.0.0.1:" + port}, &transcript));
    QCOMPARE(transcript.count("-----BEGIN CERTIFICATE-----"), expectedLength);
}

void tst_HttpsServer::plainHttpToTlsPort()
{
    https::HttpsServer server(selfCert, selfKey);
    answerOk(&server);
    QVERIFY(server.listen(QHostAddress::LocalHost, 0));

    QTcpSocket plain;
    plain.connectToHost(QHostAddress::LocalHost, server.port());
    QVERIFY(plain.waitForConnected());
    plain.write("GET / HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n");
    QTRY_COMPARE_WITH_TIMEOUT(plain.state(), QAbstractSocket::UnconnectedState, 10000);
    QTRY_VERIFY(!criticalMessages.isEmpty());
    QVERIFY2(criticalMessages.first().startsWith(QLatin1String("error ")), qPrintable(criticalMessages.first()));
    QVERIFY2(criticalMessages.first().contains(QLatin1String("handshake"), Qt::CaseInsensitive),
             qPrintable(criticalMessages.first()));

    // The failed client costs nothing to the others.
    QCOMPARE(fetchOverTls(server.port()), QByteArray("ok"));
    QTRY_VERIFY(server.findChildren<http::server::Connection *>().size() <= 1);
}

void tst_HttpsServer::listenTwice()
{
    https::HttpsServer server(selfCert, selfKey);
    answerOk(&server);
    QVERIFY(server.listen(QHostAddress::LocalHost, 0));
    const quint16 firstPort = server.port();
    QCOMPARE(fetchOverTls(firstPort), QByteArray("ok"));

    QVERIFY(server.listen(QHostAddress::LocalHost, 0));
    QVERIFY(server.port() != firstPort);
    QTRY_COMPARE(server.findChildren<SslServer *>().size(), 1);

    QTcpSocket probe;
    probe.connectToHost(QHostAddress::LocalHost, firstPort);
    QVERIFY(!probe.waitForConnected(5000));
    QCOMPARE(probe.error(), QAbstractSocket::ConnectionRefusedError);
    QCOMPARE(fetchOverTls(server.port()), QByteArray("ok"));
}

void tst_HttpsServer::connectionBeforeHandshake()
{
    https::HttpsServer server(selfCert, selfKey);
    answerOk(&server);
    QCOMPARE(server.handshakeTimeout(), 20000);
    QVERIFY(server.listen(QHostAddress::LocalHost, 0));

    // The HTTP layer takes the socket at once, before any TLS byte arrives.
    QTcpSocket silent;
    silent.connectToHost(QHostAddress::LocalHost, server.port());
    QVERIFY(silent.waitForConnected());
    QTRY_COMPARE(server.findChildren<http::server::Connection *>().size(), 1);

    // Once the client goes, its connection (and with it the TLS socket) is released.
    // Hanging up is no error.
    QTest::ignoreMessage(QtDebugMsg, "The remote side closed the connection.");
    silent.disconnectFromHost();
    QTRY_COMPARE(server.findChildren<http::server::Connection *>().size(), 0);
    QVERIFY2(criticalMessages.isEmpty(), qPrintable(criticalMessages.join(QLatin1Char('\n'))));

    // A client that never starts its handshake is let go after the limit.
    server.setHandshakeTimeout(200);
    QTcpSocket idle;
    idle.connectToHost(QHostAddress::LocalHost, server.port());
    QVERIFY(idle.waitForConnected());
    QTRY_COMPARE(idle.state(), QAbstractSocket::UnconnectedState);
    QTRY_COMPARE(server.findChildren<http::server::Connection *>().size(), 0);
    QCOMPARE(fetchOverTls(server.port()), QByteArray("ok"));
}

void tst_HttpsServer::listenFailure()
{
    QTcpServer occupier;
    QVERIFY(occupier.listen(QHostAddress::LocalHost, 0));
    https::HttpsServer server(selfCert, selfKey);
    QTest::ignoreMessage(QtWarningMsg, QRegularExpression("^Cannot listen on 127.0.0.1 port \\d+: .*\\.$"));
    QVERIFY(!server.listen(QHostAddress::LocalHost, occupier.serverPort()));
    QCOMPARE(server.port(), quint16(0));
    QVERIFY(server.findChildren<SslServer *>().isEmpty());
    QVERIFY(server.listen(QHostAddress::LocalHost, 0));
}

void tst_HttpsServer::offeredSuites_data()
{
    QTest::addColumn<QStringList>("clientOptions");
    QTest::addColumn<bool>("tls13Only");
    QTest::addColumn<QByteArray>("agreed"); // empty: refused

    const QStringList tls12 = {"-tls1_2", "-cipher"};
    QTest::addRow("TLS 1.3") << QStringList{"-tls1_3"} << false << QByteArray("TLSv1.3, Cipher is TLS_AES_128_GCM_SHA256");
    QTest::addRow("TLS 1.2, ECDHE and GCM") << QStringList{"-tls1_2"} << false
                                            << QByteArray("TLSv1.2, Cipher is ECDHE-RSA-AES128-GCM-SHA256");
    QTest::addRow("TLS 1.2, ChaCha20") << tls12 + QStringList{"ECDHE-RSA-CHACHA20-POLY1305"} << false
                                       << QByteArray("TLSv1.2, Cipher is ECDHE-RSA-CHACHA20-POLY1305");
    QTest::addRow("TLS 1.1") << QStringList{"-tls1_1", "-cipher", "DEFAULT@SECLEVEL=0"} << false << QByteArray();
    QTest::addRow("RSA key exchange") << tls12 + QStringList{"AES128-GCM-SHA256"} << false << QByteArray();
    QTest::addRow("CBC and SHA-1") << tls12 + QStringList{"ECDHE-RSA-AES128-SHA"} << false << QByteArray();
    QTest::addRow("finite-field DHE") << tls12 + QStringList{"DHE-RSA-AES128-GCM-SHA256"} << false << QByteArray();
    QTest::addRow("TLS 1.3, finite-field group") << QStringList{"-tls1_3", "-groups", "ffdhe2048"} << false << QByteArray();
    QTest::addRow("TLS 1.2 to a server set to TLS 1.3") << QStringList{"-tls1_2"} << true << QByteArray();
    QTest::addRow("TLS 1.3 to a server set to TLS 1.3") << QStringList{"-tls1_3"} << true
                                                        << QByteArray("TLSv1.3, Cipher is TLS_AES_128_GCM_SHA256");
}

void tst_HttpsServer::offeredSuites()
{
    QFETCH(QStringList, clientOptions);
    QFETCH(bool, tls13Only);
    QFETCH(QByteArray, agreed);

    https::HttpsServer server(selfCert, selfKey);
    if (tls13Only) {
        QSslConfiguration configuration = server.sslConfiguration();
        configuration.setProtocol(QSsl::TlsV1_3OrLater);
        server.setSslConfiguration(configuration);
    }
    QVERIFY(server.listen(QHostAddress::LocalHost, 0));
    const QByteArray transcript = sClient(server.port(), clientOptions);
    if (agreed.isEmpty()) {
        QVERIFY2(transcript.contains("Cipher is (NONE)"), transcript.constData());
        // A refused handshake is a real error and stays one.
        QTRY_VERIFY(!criticalMessages.isEmpty());
        QVERIFY2(criticalMessages.first().startsWith(QLatin1String("error ")), qPrintable(criticalMessages.first()));
    } else {
        QVERIFY2(transcript.contains("New, " + agreed), transcript.constData());
    }
}

void tst_HttpsServer::resumption_data()
{
    QTest::addColumn<QString>("protocol");
    QTest::addRow("TLS 1.2") << "-tls1_2";
    QTest::addRow("TLS 1.3") << "-tls1_3";
}

void tst_HttpsServer::resumption()
{
#ifndef TLS_CONTEXT_SHARED
    QSKIP("Built without Qt's private headers: every connection has a TLS context of its own.");
#endif
    QFETCH(QString, protocol);
    https::HttpsServer server(selfCert, selfKey);
    answerOk(&server);
    QVERIFY(server.listen(QHostAddress::LocalHost, 0));

    // Each client reads the answer, so the session tickets have arrived before it ends.
    const QString session = dir.filePath(QStringLiteral("session-") + protocol);
    const QByteArray request = "GET / HTTP/1.0\r\n\r\n";
    QByteArray transcript = sClient(server.port(), {protocol, "-ign_eof", "-sess_out", session}, request);
    QVERIFY2(transcript.contains("New, TLSv1.") && transcript.contains("\r\n\r\nok"), transcript.constData());
    for (int i = 0; i < 2; ++i) {
        transcript = sClient(server.port(), {protocol, "-ign_eof", "-sess_in", session, "-sess_out", session}, request);
        QVERIFY2(transcript.contains("Reused, TLSv1.") && transcript.contains("\r\n\r\nok"), transcript.constData());
    }
}

QTEST_MAIN(tst_HttpsServer)
#include "tst_httpsserver.moc"
