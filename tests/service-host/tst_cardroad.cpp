#include <QSettings>
#include <QtTest>

#include "cardchunks.h"
#include "programs.h"
#include "typedwindow.h"

// The whole road of a card insertion on an X display: a chunk line reaches
// the real kavo-service through its named pipe, the real plug-in sends the
// number over the peer link, the real kavo-user-agent types it, and the test
// window, which has the keyboard focus, receives it. Both programs run as
// installed, with their default logging.
class tst_CardRoad : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase();
    void cleanupTestCase();
    void init();
    void typesTheNumber_data();
    void typesTheNumber();
    void keyEventSwitch_data();
    void keyEventSwitch();
    void brokenLineThenCard();

private:
    QString typed() const { return window.typed(); }
    void expectTyped(const QString &before, const QString &number);

    Sandbox sandbox;
    QString fifo = sandbox.path("chunks");
    TypedWindow window;
    AgentProcess agent{sandbox};
    HostProcess host{sandbox};
};

void tst_CardRoad::initTestCase()
{
    if (qEnvironmentVariableIsEmpty("DISPLAY"))
        QSKIP("needs an X display (run through with-xvfb)");

    QVERIFY(window.start(QStringLiteral(XTEXTWINDOW), sandbox.env));
    QVERIFY(agent.start());
    QTRY_VERIFY_WITH_TIMEOUT(QFileInfo::exists(sandbox.linkSocket()), 10000); // listening
    QVERIFY(sandbox.makeFifo("chunks"));
    QVERIFY2(host.start({"--chunks", fifo}), qPrintable(host.log()));
}

void tst_CardRoad::cleanupTestCase()
{
    for (ProgramProcess *program : std::initializer_list<ProgramProcess *>{&host, &agent}) {
        if (program->process.state() == QProcess::Running) {
            QVERIFY(program->stop());
            QCOMPARE(program->process.exitCode(), 0);
        }
    }
}

void tst_CardRoad::init()
{
    QFile::remove(sandbox.userIni("kavo-service"));
}

void tst_CardRoad::expectTyped(const QString &before, const QString &number)
{
    // Anything typed after it shows in the next case, which starts from here.
    QTRY_COMPARE_WITH_TIMEOUT(typed().mid(before.size()), number, 10000);
}

void tst_CardRoad::typesTheNumber_data()
{
    QTest::addColumn<QString>("reader");
    QTest::addColumn<QString>("number");

    QTest::addRow("sample card") << "Cherry SmartTerminal ST-1144" << "80756014390000472318";
    QTest::addRow("reader name in capitals") << "CHERRY TC 1300" << "80756014390000000042";
    QTest::addRow("second card in the same reader") << "Cherry SmartTerminal ST-1144" << "80756099999999999999";
}

void tst_CardRoad::typesTheNumber()
{
    QFETCH(QString, reader);
    QFETCH(QString, number);

    const QString before = typed();
    QVERIFY2(host.insert(fifo, cardLine(number, reader)), qPrintable(host.log()));
    expectTyped(before, number);

    // Card numbers are personal data: the default logs never hold them.
    for (const QString &log : {host.log(), agent.log(), readTextFile(sandbox.agentLogFile())})
        QVERIFY2(!log.contains(number), qPrintable(log));
    QVERIFY(!readTextFile(sandbox.agentLogFile()).isEmpty());
}

void tst_CardRoad::keyEventSwitch_data()
{
    QTest::addColumn<QString>("value");
    QTest::addColumn<bool>("typed");
    QTest::addColumn<QString>("number");

    QTest::addRow("false") << "false" << false << "80756010000000000001";
    QTest::addRow("FALSE") << "FALSE" << false << "80756010000000000002";
    QTest::addRow("0") << "0" << false << "80756010000000000003";
    QTest::addRow("true") << "true" << true << "80756010000000000004";
    QTest::addRow("1") << "1" << true << "80756010000000000005";
}

void tst_CardRoad::keyEventSwitch()
{
    QFETCH(QString, value);
    QFETCH(bool, typed);
    QFETCH(QString, number);

    {
        QSettings ini(sandbox.userIni("kavo-service"), QSettings::IniFormat);
        ini.setValue("ch.veltor.kavo-service.system/convertToKeyEvent", value);
        ini.sync();
        QCOMPARE(ini.status(), QSettings::NoError);
    }
    QVERIFY(readTextFile(sandbox.userIni("kavo-service")).contains("[ch.veltor.kavo-service.system]"));

    const QString before = this->typed();
    QVERIFY2(host.insert(fifo, cardLine(number)), qPrintable(host.log()));
    if (typed)
        expectTyped(before, number);

    // The settings are read for every card: without the file it types again,
    // and a number sent against the setting would show before this one.
    QFile::remove(sandbox.userIni("kavo-service"));
    QVERIFY(host.insert(fifo, cardLine("80756010000000000009")));
    expectTyped(typed ? before + number : before, "80756010000000000009");
}

void tst_CardRoad::brokenLineThenCard()
{
    const QString before = typed();
    const QString number = QStringLiteral("80756020000000000001");
    QVERIFY2(host.insert(fifo, "{\"reader\":\"Cherry\",\"event\":\"card-inserted\"\n" + cardLine(number)),
             qPrintable(host.log()));
    QVERIFY2(host.log().contains(QRegularExpression("warning .*Line \\d+ of the chunk input is not valid JSON")),
             qPrintable(host.log()));
    expectTyped(before, number);
}

QTEST_MAIN(tst_CardRoad)
#include "tst_cardroad.moc"
