#include <zn-http/httpserver.h>
#include <zn-http/httpsessiondata.h>
#include <zn-http/httpsessionmanager.h>
#include <zn-http/request.h>
#include <zn-http/response.h>

#include "httpsessiondata_p.h"

#include <QtCore/QSet>
#include <QtCore/QThread>
#include <QtNetwork/QTcpSocket>
#include <QtTest/QtTest>

#include <vector>

using namespace http::server;

namespace {

const QString alphabet = QStringLiteral("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789");

bool isCode(const QString &code)
{
    if (code.size() != 32)
        return false;
    for (const QChar c : code) {
        if (!alphabet.contains(c))
            return false;
    }
    return true;
}

// A session last accessed at a chosen time.
class BackdatedSession : public HttpSessionData
{
public:
    BackdatedSession(const QString &code, const QDateTime &lastAccess)
        : HttpSessionData(code, nullptr)
    {
        d->lastAccessTime = lastAccess;
    }
};

} // namespace

class tst_HttpSessionManager : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void sessionCode_data();
    void sessionCode();
    void createdCodes();
    void getOrCreate();
    void expiry_data();
    void expiry();
    void clearKeepsHeldSessions();
    void concurrentAccess();

private:
    QSharedPointer<Request> requestWithHeader(const QByteArray &headerLine);
};

// A real request, as the server announces it, carrying the given header line.
QSharedPointer<Request> tst_HttpSessionManager::requestWithHeader(const QByteArray &headerLine)
{
    http::HttpServer server;
    if (!server.listen(QHostAddress::LocalHost, 0))
        return {};
    QSharedPointer<Request> request;
    connect(&server, &http::HttpServer::newRequest, this,
            [&request](QSharedPointer<Request> incoming, QSharedPointer<Response>) { request = incoming; });
    QTcpSocket client;
    client.connectToHost(QHostAddress::LocalHost, server.port());
    if (!client.waitForConnected(5000))
        return {};
    client.write("GET / HTTP/1.1\r\nHost: localhost\r\n" + headerLine + "\r\n");
    if (!QTest::qWaitFor([&request] { return !request.isNull(); }, 5000))
        return {};
    return request;
}

void tst_HttpSessionManager::sessionCode_data()
{
    QTest::addColumn<QByteArray>("headerLine");
    QTest::addColumn<QStringList>("known");
    QTest::addColumn<QString>("expected"); // empty: a fresh code

    QTest::addRow("known code among other cookies")
        << QByteArray("Cookie: theme=dark; SessionID=Ab12\r\n") << QStringList{"Ab12"} << "Ab12";
    QTest::addRow("unknown code") << QByteArray("Cookie: theme=dark; SessionID=Ab12\r\n")
                                  << QStringList{"Zz99"} << QString();
    QTest::addRow("code ends at a hyphen") << QByteArray("Cookie: SessionID=abc-def\r\n")
                                           << QStringList{"abc"} << "abc";
    QTest::addRow("cookie name in another case") << QByteArray("Cookie: sessionid=Ab12\r\n")
                                                 << QStringList{"Ab12"} << QString();
    QTest::addRow("header name in any case") << QByteArray("COOKIE: SessionID=Ab12\r\n")
                                             << QStringList{"Ab12"} << "Ab12";
    QTest::addRow("no cookie-name boundary") << QByteArray("Cookie: XSessionID=Ab12\r\n")
                                             << QStringList{"Ab12"} << "Ab12";
    QTest::addRow("first occurrence counts") << QByteArray("Cookie: SessionID=one; SessionID=two\r\n")
                                             << QStringList{"one", "two"} << "one";
    QTest::addRow("empty code") << QByteArray("Cookie: SessionID=; a=b\r\n") << QStringList{""} << QString();
    QTest::addRow("no cookie") << QByteArray() << QStringList{"Ab12"} << QString();
}

void tst_HttpSessionManager::sessionCode()
{
    QFETCH(QByteArray, headerLine);
    QFETCH(QStringList, known);
    QFETCH(QString, expected);

    HttpSessionManager manager;
    for (const QString &code : known)
        manager.getOrCreateSessionData(code);
    const QSharedPointer<Request> request = requestWithHeader(headerLine);
    QVERIFY(request);

    const QString code = manager.getSessionCode(request);
    if (expected.isEmpty()) {
        QVERIFY2(isCode(code), qPrintable(code));
        QVERIFY(!manager.isValidSession(code));
    } else {
        QCOMPARE(code, expected);
    }
    // Reading a code never enters one in the table.
    QCOMPARE(manager.getSessionList().size(), known.size());
}

void tst_HttpSessionManager::createdCodes()
{
    HttpSessionManager manager;
    QSet<QString> codes;
    QSet<QChar> used;
    for (int i = 0; i < 10000; ++i) {
        const QString code = manager.createSessionCode();
        QVERIFY2(isCode(code), qPrintable(code));
        codes.insert(code);
        for (const QChar c : code)
            used.insert(c);
    }
    QCOMPARE(codes.size(), 10000);
    QCOMPARE(used.size(), alphabet.size());
}

void tst_HttpSessionManager::getOrCreate()
{
    HttpSessionManager manager;
    QVERIFY(!manager.isValidSession(QStringLiteral("abc")));
    const QSharedPointer<HttpSessionData> first = manager.getOrCreateSessionData(QStringLiteral("abc"));
    QVERIFY(first);
    QVERIFY(!first->handler());
    QVERIFY(manager.isValidSession(QStringLiteral("abc")));
    const QDateTime created = first->lastAcceessTime();
    QVERIFY(qAbs(created.msecsTo(QDateTime::currentDateTime())) < 5000);

    QTest::qWait(5);
    const QSharedPointer<HttpSessionData> second = manager.getOrCreateSessionData(QStringLiteral("abc"));
    QCOMPARE(second, first);
    QCOMPARE(second->lastAcceessTime(), created); // only updateAccessTime() moves it
    second->updateAccessTime();
    QVERIFY(second->lastAcceessTime() > created);

    // Any code is accepted, the empty one too.
    QVERIFY(manager.getOrCreateSessionData(QString()));
    QVERIFY(manager.isValidSession(QString()));
    QCOMPARE(manager.getSessionList().size(), 2);
}

void tst_HttpSessionManager::expiry_data()
{
    QTest::addColumn<int>("holdMinutes");
    QTest::addColumn<qint64>("ageMs");
    QTest::addColumn<bool>("kept");

    QTest::addRow("default, a second inside") << 20 << qint64(1200000 - 1000) << true;
    QTest::addRow("default, just past") << 20 << qint64(1200001) << false;
    QTest::addRow("negative stands for the default") << -5 << qint64(1200000 - 1000) << true;
    QTest::addRow("zero, a few ms old") << 0 << qint64(5) << false;
    QTest::addRow("zero, accessed ahead of now") << 0 << qint64(-60000) << true;
    // Limits beyond 32-bit milliseconds still work.
    QTest::addRow("40000 minutes, a second inside") << 40000 << qint64(40000) * 60000 - 1000 << true;
    QTest::addRow("40000 minutes, just past") << 40000 << qint64(40000) * 60000 + 1 << false;
}

void tst_HttpSessionManager::expiry()
{
    QFETCH(int, holdMinutes);
    QFETCH(qint64, ageMs);
    QFETCH(bool, kept);

    HttpSessionManager manager;
    manager.setSessionHoldTime(holdMinutes);
    auto &table = manager.getSessionList();
    const QDateTime now = QDateTime::currentDateTime();
    table.insert(QStringLiteral("aged"),
                 QSharedPointer<HttpSessionData>(new BackdatedSession(QStringLiteral("aged"), now.addMSecs(-ageMs))));
    table.insert(QStringLiteral("fresh"),
                 QSharedPointer<HttpSessionData>(new BackdatedSession(QStringLiteral("fresh"), now.addSecs(60))));
    table.insert(QStringLiteral("null"), QSharedPointer<HttpSessionData>());

    manager.removeOldSessions();
    QCOMPARE(manager.isValidSession(QStringLiteral("aged")), kept);
    QVERIFY(manager.isValidSession(QStringLiteral("fresh")));
    QVERIFY(manager.isValidSession(QStringLiteral("null")));
}

void tst_HttpSessionManager::clearKeepsHeldSessions()
{
    HttpSessionManager manager;
    const QSharedPointer<HttpSessionData> held = manager.getOrCreateSessionData(QStringLiteral("abc"));
    manager.clear();
    QVERIFY(!manager.isValidSession(QStringLiteral("abc")));
    held->updateAccessTime();
    QVERIFY(held->lastAcceessTime().isValid());
}

void tst_HttpSessionManager::concurrentAccess()
{
    // Creation and expiry from several threads while another reads the table
    // and the sessions: one object per code, no torn table.
    HttpSessionManager manager;
    const QSharedPointer<Request> request = requestWithHeader("Cookie: SessionID=7\r\n");
    QVERIFY(request);
    std::vector<QList<QSharedPointer<HttpSessionData>>> results(4);
    QList<QThread *> threads;
    for (int t = 0; t < 4; ++t) {
        threads.append(QThread::create([&manager, &results, t] {
            for (int i = 0; i < 2000; ++i) {
                results[t].append(manager.getOrCreateSessionData(QString::number(i % 50)));
                results[t].last()->updateAccessTime();
                if (i % 100 == 0)
                    manager.removeOldSessions();
            }
        }));
    }
    threads.append(QThread::create([&manager, &request] {
        for (int i = 0; i < 2000; ++i) {
            manager.isValidSession(QString::number(i % 60));
            manager.getSessionCode(request);
            manager.setSessionHoldTime(manager.sessionHoldTime());
            if (const QSharedPointer<HttpSessionData> session = manager.getOrCreateSessionData(QStringLiteral("7")))
                session->lastAcceessTime();
        }
    }));
    for (QThread *thread : qAsConst(threads))
        thread->start();
    for (QThread *thread : qAsConst(threads)) {
        QVERIFY(thread->wait(60000));
        delete thread;
    }
    QCOMPARE(manager.getSessionList().size(), 50);
    for (int t = 0; t < 4; ++t) {
        for (int i = 0; i < 2000; ++i)
            QCOMPARE(results[t].at(i), manager.getSessionList().value(QString::number(i % 50)));
    }
}

QTEST_MAIN(tst_HttpSessionManager)
#include "tst_httpsessionmanager.moc"
