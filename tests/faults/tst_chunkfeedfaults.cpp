#include <QtTest>

#include "cardchunks.h"
#include "programs.h"

#include <QRandomGenerator>

#include <atomic>
#include <thread>

// What the host does with a chunk feed that is not made of chunks: a line far
// beyond any card, and binary garbage. It must refuse them with a warning,
// keep its memory bounded and go on serving HTTP and reading cards.
class tst_ChunkFeedFaults : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase();
    void helpStatesTheCap();
    void badFeed_data();
    void badFeed();
};

namespace {

qint64 statusKiB(qint64 pid, const char *field)
{
    const QString status = readTextFile(QStringLiteral("/proc/%1/status").arg(pid));
    const QRegularExpression pattern(QStringLiteral("^%1:\\s+(\\d+) kB$").arg(QLatin1String(field)),
                                     QRegularExpression::MultilineOption);
    const QRegularExpressionMatch match = pattern.match(status);
    return match.hasMatch() ? match.captured(1).toLongLong() : -1;
}

// Writes size bytes from a generator into the FIFO, a MiB at a time, in one
// open of the writing end.
template<typename Fill>
bool feed(const QString &fifo, qint64 size, Fill fill)
{
    QFile file(fifo);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Unbuffered))
        return false;
    QByteArray block;
    for (qint64 done = 0; done < size;) {
        const int length = int(qMin<qint64>(1 << 20, size - done));
        block.resize(length);
        fill(block, done);
        if (file.write(block) != length)
            return false;
        done += length;
    }
    return true;
}

bool logShows(HostProcess &host, const QString &text)
{
    return QTest::qWaitFor([&] { return host.log().contains(text); }, 30000);
}

} // namespace

void tst_ChunkFeedFaults::initTestCase()
{
    // A host that dies while being fed must fail the test, not kill it.
    ::signal(SIGPIPE, SIG_IGN);
}

void tst_ChunkFeedFaults::helpStatesTheCap()
{
    Sandbox sandbox;
    HostProcess help(sandbox);
    QCOMPARE(help.run({"--help"}), 0);
    const QString text = help.log();
    QVERIFY2(text.contains("Lines longer than 16 MiB are discarded with a warning"), qPrintable(text));
}

void tst_ChunkFeedFaults::badFeed_data()
{
    QTest::addColumn<QByteArray>("kind");
    QTest::addColumn<qint64>("size");
    QTest::addColumn<QString>("warning");

    const QString tooLong = QStringLiteral("Line 1 of the chunk input is longer than 16777216 bytes; skipped.");
    QTest::addRow("100 MiB line") << QByteArray("line") << (qint64(100) << 20) << tooLong;
    QTest::addRow("100 MiB of JSON-looking text without a line feed")
        << QByteArray("json") << (qint64(100) << 20) << tooLong;
    QTest::addRow("binary garbage") << QByteArray("random") << (qint64(2) << 20)
                                    << QStringLiteral("of the chunk input is not valid JSON");
    QTest::addRow("NUL bytes") << QByteArray("nul") << (qint64(2) << 20)
                               << QStringLiteral("Line 1 of the chunk input is not valid JSON");
}

void tst_ChunkFeedFaults::badFeed()
{
    QFETCH(QByteArray, kind);
    QFETCH(qint64, size);
    QFETCH(QString, warning);

    Sandbox sandbox;
    QVERIFY(sandbox.makeFifo("chunks"));
    const QString fifo = sandbox.path("chunks");
    HostProcess host(sandbox);
    QVERIFY2(host.start({"--verbose", "--chunks", fifo}), qPrintable(host.log()));
    const qint64 pid = host.process.processId();
    const qint64 startKiB = statusKiB(pid, "VmRSS");
    QVERIFY(startKiB > 0);

    // Written from a thread: the host logs a warning per garbage line, and the
    // test's event loop must keep draining that output meanwhile.
    std::atomic<int> fed{-1};
    std::thread writer([&] {
        fed = feed(fifo, size, [&kind](QByteArray &block, qint64 offset) {
        if (kind == "line") {
            block.fill('x');
        } else if (kind == "json") {
            block.fill(' ');
            if (offset == 0)
                block.replace(0, 12, "{\"reader\": \"");
        } else if (kind == "random") {
            QRandomGenerator generator(quint32(offset >> 20) + 1);
            generator.fillRange(reinterpret_cast<quint32 *>(block.data()), block.size() / 4);
        } else {
            block.fill('\0');
        }
        });
    });
    const bool finished = QTest::qWaitFor([&] {
        host.log();
        return fed >= 0;
    }, 120000);
    if (!finished)
        host.process.kill(); // unblocks the writer
    writer.join();
    QVERIFY(finished);
    QCOMPARE(fed.load(), 1);
    QVERIFY2(logShows(host, warning), qPrintable(host.log().left(4000)));
    // All of it handled (and logged) before curl blocks this test's event loop.
    QVERIFY(logShows(host, QStringLiteral("The writer closed")));

    // The peak, not only the present: the line must never have been held whole.
    const qint64 peakKiB = statusKiB(pid, "VmHWM");
    qDebug("RSS %lld KiB at start, peak %lld KiB", startKiB, peakKiB);
#ifndef __SANITIZE_ADDRESS__
    // AddressSanitizer keeps freed blocks in its quarantine (256 MB), so in
    // that build the peak says nothing about the host's own buffers.
    QVERIFY2(peakKiB - startKiB < 48 * 1024, qPrintable(QString::number(peakKiB)));
#endif

    // Still serving and still reading cards.
    QCOMPARE(host.process.state(), QProcess::Running);
    const HttpReply reply = curl({host.url("/system/info")});
    QCOMPARE(reply.status, 200);
    const QString number = QStringLiteral("80756060000000000001");
    QVERIFY(writeToPipe(fifo, cardLine(number, QStringLiteral("Cherry ST-1144"))));
    QTRY_VERIFY_WITH_TIMEOUT(host.log().contains(numberLogged(number)), 10000);
    QVERIFY(host.stop());
    QCOMPARE(host.process.exitStatus(), QProcess::NormalExit);
}

QTEST_MAIN(tst_ChunkFeedFaults)
#include "tst_chunkfeedfaults.moc"
