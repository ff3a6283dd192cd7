#include <QtTest>

#include <QLoggingCategory>
#include <QTemporaryDir>
#include <QThread>

#include <sys/stat.h>

#include "consoleappender.h"
#include "logger.h"
#include "rotatefileappender.h"

Q_LOGGING_CATEGORY(lcTest, "ch.veltor.test.logger")

namespace {

class CollectingAppender : public AbstractStringAppender
{
public:
    QStringList lines() const
    {
        QMutexLocker locker(&linesMutex);
        return collected;
    }

protected:
    void append(const QDateTime &timeStamp, Logger::LogLevel level, int line, const char *file,
                const char *function, const char *category, const QString &message) override
    {
        const QString text = formattedString(timeStamp, level, line, file, function, category, message);
        QMutexLocker locker(&linesMutex);
        collected.append(text);
    }

private:
    mutable QMutex linesMutex;
    QStringList collected;
};

// Logs through Qt while it handles a message, as a failing appender might.
class ChattyAppender : public CollectingAppender
{
protected:
    void append(const QDateTime &timeStamp, Logger::LogLevel level, int line, const char *file,
                const char *function, const char *category, const QString &message) override
    {
        qWarning("inner warning");
        CollectingAppender::append(timeStamp, level, line, file, function, category, message);
    }
};

struct Registration
{
    explicit Registration(AbstractAppender *a) : appender(a) { Logger::registerAppender(a); }
    ~Registration() { Logger::removeAppender(appender); }
    AbstractAppender *appender;
};

const QDateTime fixedTime(QDate(2024, 2, 29), QTime(13, 5, 9, 7));

QByteArray readFile(const QString &name)
{
    QFile file(name);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

} // namespace

class tst_Logger : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void format_data();
    void format();
    void threadNumbers();
    void qtMessagesReachEveryAppender();
    void messageCausedByAppender();
    void rotation_data();
    void rotation();
    void existingFileCountsTowardsLimit();
    void folderCreatedLater();
};

void tst_Logger::format_data()
{
    QTest::addColumn<QString>("format");
    QTest::addColumn<int>("level");
    QTest::addColumn<QByteArray>("category");
    QTest::addColumn<QString>("expected");

    const QByteArray cat("ch.veltor.system.connectionpeer");
    QTest::addRow("agent format") << "[%-4T][%t{yyyy-MM-ddTHH:mm:ss.zzz}][%-7l][%k] %m\n" << int(Logger::Debug) << cat
                                  << "[1   ][2024-02-29T13:05:09.007][Debug  ][ch.veltor.system.connectionpeer] Listening for peer.\n";
    QTest::addRow("plain time stamp") << "%t %l" << int(Logger::Info) << cat << "2024-02-29T13:05:09.007 Info";
    QTest::addRow("time pattern") << "%t{HH:mm}|%m" << int(Logger::Info) << cat << "13:05|Listening for peer.";
    QTest::addRow("unclosed time pattern") << "%t{HH" << int(Logger::Info) << cat << "2024-02-29T13:05:09.007{HH";
    QTest::addRow("right-aligned") << "%9l|" << int(Logger::Info) << cat << "     Info|";
    QTest::addRow("left-aligned") << "%-9l|" << int(Logger::Error) << cat << "Error    |";
    QTest::addRow("text longer than width") << "%-3l|%2k" << int(Logger::Warning) << QByteArray("a.b") << "Warning|a.b";
    QTest::addRow("capitals") << "%L" << int(Logger::Fatal) << cat << "FATAL";
    QTest::addRow("no category") << "[%k]" << int(Logger::Debug) << QByteArray() << "[default]";
    QTest::addRow("percent signs") << "100%% %%m %m" << int(Logger::Debug) << cat << "100% %m Listening for peer.";
    QTest::addRow("unknown placeholders kept") << "%q %-3z %5" << int(Logger::Debug) << cat << "%q %-3z %5";
    QTest::addRow("trailing percent") << "%m%" << int(Logger::Debug) << cat << "Listening for peer.%";
    QTest::addRow("no placeholders") << "plain" << int(Logger::Debug) << cat << "plain";
    QTest::addRow("source context") << "%F:%i %C" << int(Logger::Debug) << cat << "peer.cpp:42 connect";
}

void tst_Logger::format()
{
    QFETCH(QString, format);
    QFETCH(int, level);
    QFETCH(QByteArray, category);
    QFETCH(QString, expected);

    CollectingAppender appender;
    QCOMPARE(appender.format(), AbstractStringAppender::defaultFormat());
    appender.setFormat(format);
    QCOMPARE(appender.format(), format);
    appender.write(fixedTime, Logger::LogLevel(level), 42, "/src/system/peer.cpp", "connect",
                   category.isNull() ? nullptr : category.constData(), "Listening for peer.");
    QCOMPARE(appender.lines(), QStringList{expected});
}

void tst_Logger::threadNumbers()
{
    CollectingAppender appender;
    appender.setFormat("%T");
    Registration registration(&appender);

    qCInfo(lcTest) << "main";
    QThread *thread = QThread::create([] {
        qCInfo(lcTest) << "second";
        qCInfo(lcTest) << "second again";
    });
    thread->start();
    QVERIFY(thread->wait(10000));
    delete thread;

    // the main thread logged first in this process
    QCOMPARE(appender.lines(), (QStringList{"1", "2", "2"}));
}

void tst_Logger::qtMessagesReachEveryAppender()
{
    CollectingAppender first;
    first.setFormat("%l|%k|%m\n");
    CollectingAppender second;
    second.setFormat("<%m>");
    second.setDetailsLevel(Logger::Warning);
    Registration r1(&first);
    Registration r2(&second);
    Registration again(&first); // registering twice must not double the lines

    // Several threads at once: every line arrives whole, none is lost.
    const int perThread = 200;
    QList<QThread *> threads;
    for (int t = 0; t < 3; ++t) {
        threads << QThread::create([t] {
            for (int i = 0; i < perThread; ++i)
                qCDebug(lcTest, "thread %d message %d.", t, i);
        });
        threads.last()->start();
    }
    qCDebug(lcTest) << "Debug line.";
    qCInfo(lcTest) << "Info line.";
    qCWarning(lcTest) << "Warning line.";
    qCCritical(lcTest) << "Critical line.";
    qDebug() << "Uncategorised.";
    for (QThread *thread : threads) {
        QVERIFY(thread->wait(10000));
        delete thread;
    }

    const QStringList lines = first.lines();
    QCOMPARE(lines.size(), 5 + 3 * perThread);
    QVERIFY(lines.contains("Debug|ch.veltor.test.logger|Debug line.\n"));
    QVERIFY(lines.contains("Info|ch.veltor.test.logger|Info line.\n"));
    QVERIFY(lines.contains("Warning|ch.veltor.test.logger|Warning line.\n"));
    QVERIFY(lines.contains("Error|ch.veltor.test.logger|Critical line.\n"));
    QVERIFY(lines.contains("Debug|default|Uncategorised.\n"));
    for (int t = 0; t < 3; ++t) {
        int last = -1;
        for (const QString &line : lines) {
            const QString prefix = QString("Debug|ch.veltor.test.logger|thread %1 message ").arg(t);
            if (!line.startsWith(prefix))
                continue;
            const int number = line.mid(prefix.size()).chopped(2).toInt();
            QCOMPARE(number, last + 1); // in order, none missing
            last = number;
        }
        QCOMPARE(last, perThread - 1);
    }
    QCOMPARE(second.lines(), (QStringList{"<Warning line.>", "<Critical line.>"}));
}

void tst_Logger::messageCausedByAppender()
{
    ChattyAppender appender;
    appender.setFormat("%m");
    {
        Registration registration(&appender);
        qCInfo(lcTest) << "outer";
    }
    // the inner warning went to the standard error stream, not round again
    QCOMPARE(appender.lines(), QStringList{"outer"});
    QVERIFY(Logger::registeredAppenders().isEmpty());
}

void tst_Logger::rotation_data()
{
    QTest::addColumn<int>("limit");
    QTest::addColumn<int>("backups");
    QTest::addColumn<int>("messages");
    QTest::addColumn<int>("perFile");

    // every message is 10 bytes
    QTest::addRow("limit is a multiple of the line") << 40 << 5 << 60 << 4;
    QTest::addRow("limit between two lines") << 45 << 5 << 60 << 4;
    QTest::addRow("fewer rotations than backups") << 40 << 5 << 10 << 4;
    QTest::addRow("two backups") << 30 << 2 << 20 << 3;
    QTest::addRow("no backups") << 30 << 0 << 20 << 3;
    QTest::addRow("line longer than the limit") << 5 << 5 << 8 << 1;
    QTest::addRow("no limit") << 0 << 5 << 100 << 100;
}

void tst_Logger::rotation()
{
    QFETCH(int, limit);
    QFETCH(int, backups);
    QFETCH(int, messages);
    QFETCH(int, perFile);

    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString name = dir.filePath("Kavo-User-Agent.log");
    // Under a usual umask, files made without care are readable by everyone.
    const mode_t umask = ::umask(022);
    {
        RotateFileAppender appender(name, backups, unsigned(limit));
        appender.setFormat("line %m\n");
        for (int i = 0; i < messages; ++i)
            appender.write(fixedTime, Logger::Info, 0, nullptr, nullptr, "c", QString("%1").arg(i, 4, 10, QChar('0')));
    }
    ::umask(umask);

    // Walk from the newest file to the oldest; together they must hold the
    // newest messages, in order, without a gap.
    int next = messages - 1;
    int files = 0;
    for (int index = 0;; ++index) {
        const QString fileName = index == 0 ? name : name + '.' + QString::number(index);
        if (!QFile::exists(fileName))
            break;
        ++files;
        // log lines may carry personal data
        QCOMPARE(QFile::permissions(fileName) & ~(QFile::ReadUser | QFile::WriteUser),
                 QFile::ReadOwner | QFile::WriteOwner);
        const QList<QByteArray> lines = readFile(fileName).split('\n');
        QCOMPARE(lines.last(), QByteArray()); // ends with a line feed
        if (limit > 0 && lines.size() > 2)
            QVERIFY2(QFileInfo(fileName).size() <= limit, qPrintable(fileName));
        const int count = lines.size() - 1;
        // only the current file may still have room
        QVERIFY2(count == perFile || (index == 0 && count > 0 && count < perFile), qPrintable(fileName));
        for (int i = count - 1; i >= 0; --i, --next)
            QCOMPARE(lines.at(i), QString("line %1").arg(next, 4, 10, QChar('0')).toUtf8());
    }
    const int wanted = limit == 0 ? 1 : qMin(1 + backups, (messages + perFile - 1) / perFile);
    QCOMPARE(files, wanted);
    QVERIFY(!QFile::exists(name + '.' + QString::number(backups + 1)));
}

void tst_Logger::existingFileCountsTowardsLimit()
{
    QTemporaryDir dir;
    const QString name = dir.filePath("agent.log");
    QFile old(name);
    QVERIFY(old.open(QIODevice::WriteOnly));
    old.write(QByteArray(35, 'o') + '\n');
    old.close();

    RotateFileAppender appender(name, 5, 40);
    appender.setFormat("%m\n");
    appender.write(fixedTime, Logger::Info, 0, nullptr, nullptr, "c", "new line");
    QCOMPARE(readFile(name), QByteArray("new line\n"));
    QCOMPARE(readFile(name + ".1"), QByteArray(35, 'o') + '\n');
}

void tst_Logger::folderCreatedLater()
{
    QTemporaryDir dir;
    const QString folder = dir.filePath("logging");
    FileAppender appender(folder + "/agent.log");
    appender.setFormat("%m\n");
    appender.write(fixedTime, Logger::Info, 0, nullptr, nullptr, "c", "lost");
    QVERIFY(QDir().mkpath(folder));
    appender.write(fixedTime, Logger::Info, 0, nullptr, nullptr, "c", "kept");
    QCOMPARE(readFile(folder + "/agent.log"), QByteArray("kept\n"));
}

QTEST_MAIN(tst_Logger)
#include "tst_logger.moc"
