#include "jsonprocessor.h"

#include "convertertest.pb.h"
#include "system_info.pb.h"

#include <QtTest>

#include <stdexcept>

namespace {

// Every log line while a LogRecorder lives, as "category: message".
QStringList recordedLines;

void recordLine(QtMsgType, const QMessageLogContext &context, const QString &message)
{
    recordedLines << QString::fromLatin1(context.category) + QLatin1String(": ") + message;
}

struct LogRecorder
{
    LogRecorder() : previous(qInstallMessageHandler(recordLine)) { recordedLines.clear(); }
    ~LogRecorder() { qInstallMessageHandler(previous); }
    QtMessageHandler previous;
};

SystemInfo filledSystemInfo()
{
    SystemInfo info;
    info.set_system_name("windows");
    info.set_system_version("10");
    info.set_system_arch("x86_64");
    info.set_is_admin(false);
    info.set_is_user_non_elevated_admin(true);
    return info;
}

} // namespace

class tst_JsonProcessor : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void contentType();
    void warnings();
    void format_data();
    void format();
    void parse_data();
    void parse();
    void parseBadBase64();
};

void tst_JsonProcessor::contentType()
{
    const JsonProcessor processor;
    const BodyFormatter &formatter = processor;
    QCOMPARE(formatter.contentType(), QStringLiteral("application/json"));
}

void tst_JsonProcessor::warnings()
{
    JsonProcessor processor;
    QByteArray body("kept");
    {
        LogRecorder recorder;
        processor.format(body);
        processor.parse("{\"system_name\":\"x\"}");
    }
    QCOMPARE(body, QByteArray("kept"));
    QCOMPARE(recordedLines, QStringList({"ch.veltor.kavo-service.jsonprocessor: Formatting without any source model.",
                                         "ch.veltor.kavo-service.jsonprocessor: Parsing without any destination model."}));
}

void tst_JsonProcessor::format_data()
{
    QTest::addColumn<bool>("filled");
    QTest::addColumn<QByteArray>("body");

    QTest::addRow("nothing set") << false << QByteArray("{}");
    QTest::addRow("system information")
        << true
        << QByteArray("{\"system_name\":\"windows\",\"system_version\":\"10\",\"system_arch\":\"x86_64\","
                      "\"is_admin\":false,\"is_user_non_elevated_admin\":true}");
}

void tst_JsonProcessor::format()
{
    QFETCH(bool, filled);
    QFETCH(QByteArray, body);

    const SystemInfo info = filled ? filledSystemInfo() : SystemInfo();
    JsonProcessor processor;
    processor.setSourceModel(&info);
    QByteArray out("replaced");
    {
        LogRecorder recorder;
        processor.format(out);
    }
    QCOMPARE(out, body);
    QCOMPARE(recordedLines, QStringList());
}

void tst_JsonProcessor::parse_data()
{
    QTest::addColumn<QByteArray>("body");
    QTest::addColumn<QByteArray>("systemName"); // starts as "before"
    QTest::addColumn<bool>("isAdmin");          // starts as true

    QTest::addRow("array") << QByteArray("[{\"system_name\":\"x\"}]") << QByteArray("before") << true;
    QTest::addRow("string") << QByteArray("\"x\"") << QByteArray("before") << true;
    QTest::addRow("broken") << QByteArray("{\"system_name\":\"x\",") << QByteArray("before") << true;
    QTest::addRow("empty") << QByteArray() << QByteArray("before") << true;
    QTest::addRow("object") << QByteArray("{\"is_admin\":false,\"system_name\":\"\xc3\xa4\"}")
                            << QByteArray("\xc3\xa4") << false;
    // Fields before the failing one stay set.
    QTest::addRow("wrong type") << QByteArray("{\"system_name\":\"x\",\"is_admin\":0}") << QByteArray("x") << true;
}

void tst_JsonProcessor::parse()
{
    QFETCH(QByteArray, body);
    QFETCH(QByteArray, systemName);
    QFETCH(bool, isAdmin);

    SystemInfo info;
    info.set_system_name("before");
    info.set_is_admin(true);
    JsonProcessor processor;
    processor.setDestinationModel(&info);
    {
        LogRecorder recorder;
        processor.parse(body);
    }
    QCOMPARE(recordedLines, QStringList());
    QCOMPARE(QByteArray::fromStdString(info.system_name()), systemName);
    QCOMPARE(info.is_admin(), isAdmin);
    QVERIFY(!info.has_system_version());
}

void tst_JsonProcessor::parseBadBase64()
{
    convertertest::AllTypes message;
    JsonProcessor processor;
    processor.setDestinationModel(&message);
    QVERIFY_EXCEPTION_THROWN(processor.parse("{\"f_bytes\":\"AP8\"}"), std::runtime_error);
    processor.parse("{\"f_bytes\":\"AP8=\"}");
    QCOMPARE(message.f_bytes(), std::string("\0\xff", 2));
}

QTEST_MAIN(tst_JsonProcessor)
#include "tst_jsonprocessor.moc"
