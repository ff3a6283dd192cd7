#include "testcertificates.h"

#include <zn-http/sslserver.h>

#include <QtCore/QTemporaryDir>
#include <QtNetwork/QSslKey>
#include <QtNetwork/QSslSocket>
#include <QtTest/QtTest>

class tst_SslServer : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase();
    void acceptOrder();
    void clientCertificateErrors_data();
    void clientCertificateErrors();

private:
    QTemporaryDir dir;
    testcerts::Files files;
    QSslCertificate serverCert;
    QSslKey serverKey;
    QSslCertificate clientCert;
    QSslKey clientKey;
};

void tst_SslServer::initTestCase()
{
    if (!QSslSocket::supportsSsl())
        QSKIP("No TLS support in this Qt build.");
    if (!testcerts::haveOpenssl())
        QSKIP("openssl is not installed.");
    QString error;
    QVERIFY2(testcerts::make(dir.path(), &files, &error), qPrintable(error));
    serverCert = QSslCertificate::fromPath(files.selfCert).value(0);
    clientCert = QSslCertificate::fromPath(files.clientCert).value(0);
    QFile key(files.selfKey);
    QVERIFY(key.open(QIODevice::ReadOnly));
    serverKey = QSslKey(&key, QSsl::Rsa);
    QFile ckey(files.clientKey);
    QVERIFY(ckey.open(QIODevice::ReadOnly));
    clientKey = QSslKey(&ckey, QSsl::Ec);
    QVERIFY(!serverCert.isNull() && !clientCert.isNull() && !serverKey.isNull() && !clientKey.isNull());
}

void tst_SslServer::acceptOrder()
{
    SslServer server;
    QVERIFY(!server.nextPendingConnection());
    QSslConfiguration configuration = server.sslConfiguration();
    configuration.setLocalCertificate(serverCert);
    configuration.setPrivateKey(serverKey);
    server.setSslConfiguration(configuration);
    QVERIFY(server.listen(QHostAddress::LocalHost, 0));

    // The socket is queued before its handshake; newEncryptedConnection follows it.
    QScopedPointer<QSslSocket> accepted;
    bool encryptedWhenQueued = true;
    connect(&server, &QTcpServer::newConnection, this, [&] {
        accepted.reset(server.nextPendingConnection());
        encryptedWhenQueued = accepted->isEncrypted();
    });
    QSignalSpy encrypted(&server, &SslServer::newEncryptedConnection);

    QSslSocket client;
    client.setPeerVerifyMode(QSslSocket::VerifyNone);
    client.connectToHostEncrypted(QStringLiteral("127.0.0.1"), server.serverPort());
    QTRY_VERIFY(accepted);
    QVERIFY(!encryptedWhenQueued);
    QVERIFY(!accepted->parent());
    QCOMPARE(accepted->mode(), QSslSocket::SslServerMode);
    QTRY_COMPARE(encrypted.size(), 1);
    QVERIFY(accepted->isEncrypted());
    QTRY_VERIFY(client.isEncrypted());

    // Decrypted bytes reach whoever took the socket.
    client.write("hello");
    QByteArray received;
    QTRY_VERIFY((received += accepted->readAll()) == "hello");
}

void tst_SslServer::clientCertificateErrors_data()
{
    QTest::addColumn<bool>("ignore");
    QTest::addRow("errors relayed, handshake refused") << false;
    QTest::addRow("expected errors ignored") << true;
}

void tst_SslServer::clientCertificateErrors()
{
    QFETCH(bool, ignore);

    // A server that asks for a client certificate gets an untrusted one.
    SslServer server;
    QSslConfiguration configuration = server.sslConfiguration();
    configuration.setLocalCertificate(serverCert);
    configuration.setPrivateKey(serverKey);
    configuration.setPeerVerifyMode(QSslSocket::VerifyPeer);
    server.setSslConfiguration(configuration);
    const QList<QSslError> expected = QSslCertificate::verify({clientCert});
    QVERIFY(!expected.isEmpty());
    if (ignore)
        server.ignoreSslErrors(expected);
    QVERIFY(server.listen(QHostAddress::LocalHost, 0));

    QSignalSpy sslErrors(&server, &SslServer::sslErrors);
    QSignalSpy verifyErrors(&server, &SslServer::peerVerifyError);
    QSignalSpy encrypted(&server, &SslServer::newEncryptedConnection);
    QScopedPointer<QSslSocket> accepted;
    connect(&server, &QTcpServer::newConnection, this, [&] { accepted.reset(server.nextPendingConnection()); });

    if (!ignore)
        QTest::ignoreMessage(QtCriticalMsg, QRegularExpression("^error "));
    QSslSocket client;
    client.setPeerVerifyMode(QSslSocket::VerifyNone);
    client.setLocalCertificate(clientCert);
    client.setPrivateKey(clientKey);
    client.connectToHostEncrypted(QStringLiteral("127.0.0.1"), server.serverPort());

    QTRY_VERIFY(!sslErrors.isEmpty());
    const auto reported = sslErrors.first().first().value<QList<QSslError>>();
    for (const QSslError &error : expected)
        QVERIFY2(reported.contains(error), qPrintable(error.errorString()));
    QVERIFY(!verifyErrors.isEmpty());
    QCOMPARE(verifyErrors.first().first().value<QSslError>().certificate(), clientCert);

    if (ignore) {
        QTRY_COMPARE(encrypted.size(), 1);
        QVERIFY(accepted && accepted->isEncrypted());
    } else {
        QTRY_COMPARE(accepted->state(), QAbstractSocket::UnconnectedState);
        QCOMPARE(encrypted.size(), 0);
    }
}

QTEST_MAIN(tst_SslServer)
#include "tst_sslserver.moc"
