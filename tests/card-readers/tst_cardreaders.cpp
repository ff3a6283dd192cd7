#include <QtTest>

#include "pcscsandbox.h"
#include "programs.h"
#include "typedwindow.h"

#include <memory>

// Cards in virtual readers of a private pcscd, read by the real kavo-service
// with its plug-in, typed by the real kavo-user-agent into a window on a
// private X display. Every step ends with a number typed, and the window must
// then hold exactly the numbers expected so far: anything typed twice or by
// mistake shows up there.
class tst_CardReaders : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase();
    void cleanupTestCase();
    void cardPresentAtStart();
    void cards_data();
    void cards();
    void twoReadersAtOnce();
    void pcscdRestarted();

private:
    QString typed() const { return window.typed(); }
    QString nextNumber() { return QStringLiteral("807560143900001%1").arg(++numbers, 5, 10, QLatin1Char('0')); }
    bool typedSoFar(const QString &numbers);

    Sandbox sandbox;
    QString expected; // what the window must hold
    int numbers = 0;
    TypedWindow window;
    AgentProcess agent{sandbox};
    std::unique_ptr<pcsc::Daemon> daemon;
    std::unique_ptr<pcsc::Card> cardAtStart;
    std::unique_ptr<HostProcess> host;
};

namespace {

// Ports of this test's readers; other tests and benchmarks use others.
constexpr quint16 cherryPort = 21100; // and 21101
constexpr quint16 otherPort = 21102;

} // namespace

void tst_CardReaders::initTestCase()
{
    if (qEnvironmentVariableIsEmpty("DISPLAY"))
        QSKIP("needs an X display (run through with-xvfb)");
    const QString missing = pcsc::missing();
    if (!missing.isEmpty())
        QSKIP(qPrintable(missing));
    const QString namespaceError = pcsc::enterPrivateNamespace();
    QVERIFY2(namespaceError.isEmpty(), qPrintable(namespaceError));

    QVERIFY(window.start(QStringLiteral(XTEXTWINDOW), sandbox.env));
    // The agent listens on its local socket once its first election has run.
    QVERIFY(agent.start());
    QTRY_VERIFY_WITH_TIMEOUT(QFileInfo::exists(sandbox.linkSocket()), 10000);

    daemon.reset(new pcsc::Daemon({{"Cherry SmartTerminal ST-1144", cherryPort}, {"Identiv uTrust 3700 F", otherPort}}));
    QVERIFY2(daemon->start(), qPrintable(daemon->log()));
    const QString number = nextNumber();
    cardAtStart.reset(new pcsc::Card(*daemon, cherryPort + 1, {"--number", number}));
    QVERIFY2(cardAtStart->waitFor("powered"), qPrintable(cardAtStart->output));
    expected = number;

    host.reset(new HostProcess(sandbox));
    host->cardReaders = true;
    QVERIFY2(host->start({}), qPrintable(host->log()));
}

void tst_CardReaders::cleanupTestCase()
{
    if (host && host->process.state() == QProcess::Running) {
        QVERIFY(host->stop());
        QCOMPARE(host->process.exitStatus(), QProcess::NormalExit);
        QCOMPARE(host->process.exitCode(), 0);
        // Card numbers are personal data: never in what the host logs by default.
        QVERIFY2(!host->log().contains("80756014390000"), qPrintable(host->log()));
    }
    if (agent.process.state() == QProcess::Running)
        QVERIFY(agent.stop());
}

bool tst_CardReaders::typedSoFar(const QString &numbers)
{
    expected += numbers;
    if (!QTest::qWaitFor([this] { return typed().size() >= expected.size(); }, 15000))
        qWarning("typed so far: %s; host log:\n%s", qPrintable(typed()), qPrintable(host->log()));
    return typed() == expected;
}

void tst_CardReaders::cardPresentAtStart()
{
    QVERIFY2(typedSoFar(QString()), qPrintable(typed()));
    cardAtStart.reset();
}

void tst_CardReaders::cards_data()
{
    QTest::addColumn<quint16>("port");
    QTest::addColumn<QStringList>("options");
    QTest::addColumn<QString>("handled"); // what the card sees once the host is done with it
    QTest::addColumn<bool>("typesNumber");

    QTest::addRow("VeKa card") << quint16(cherryPort + 1) << QStringList() << "apdu 4" << true;
    QTest::addRow("second VeKa card into the same reader") << quint16(cherryPort + 1) << QStringList() << "apdu 4" << true;
    QTest::addRow("reader without Cherry in its name") << otherPort << QStringList() << "apdu 4" << false;
    QTest::addRow("foreign card") << quint16(cherryPort + 1) << QStringList{"--foreign"} << "apdu 1" << false;
    QTest::addRow("pulled after its first exchange") << quint16(cherryPort + 1) << QStringList{"--pull-after", "1"}
                                                     << "pulled 1" << false;
    QTest::addRow("slow card") << quint16(cherryPort + 1) << QStringList{"--slow", "600"} << "apdu 4" << true;
    QTest::addRow("card that never answers") << quint16(cherryPort + 1) << QStringList{"--silent"} << "ignored 1"
                                             << false;
}

void tst_CardReaders::cards()
{
    QFETCH(quint16, port);
    QFETCH(QStringList, options);
    QFETCH(QString, handled);
    QFETCH(bool, typesNumber);

    const QString number = nextNumber();
    pcsc::Card card(*daemon, port, options + QStringList{"--number", number});
    QVERIFY2(card.waitFor(handled.section(' ', 0, 0), handled.section(' ', 1).toInt()), qPrintable(card.output));
    if (typesNumber) {
        QVERIFY2(typedSoFar(number), qPrintable(typed()));
        return;
    }
    // The next card in the other Cherry reader is typed, and nothing before it.
    const QString next = nextNumber();
    pcsc::Card nextCard(*daemon, cherryPort, {"--number", next});
    QVERIFY2(typedSoFar(next), qPrintable(typed()));
}

void tst_CardReaders::twoReadersAtOnce()
{
    const QString first = nextNumber();
    const QString second = nextNumber();
    pcsc::Card one(*daemon, cherryPort, {"--number", first});
    pcsc::Card other(*daemon, cherryPort + 1, {"--number", second});
    QVERIFY(QTest::qWaitFor([&] { return typed().size() >= expected.size() + 40; }, 15000));
    QVERIFY2(typed() == expected + first + second || typed() == expected + second + first, qPrintable(typed()));
    expected = typed();
}

void tst_CardReaders::pcscdRestarted()
{
    const QString left = nextNumber();
    pcsc::Card leftIn(*daemon, cherryPort + 1, {"--number", left});
    QVERIFY2(typedSoFar(left), qPrintable(typed()));

    QVERIFY(daemon->stop(SIGKILL));
    QVERIFY2(daemon->start(), qPrintable(daemon->log()));
    // The card left in its reader comes back with the daemon and is read
    // again, but not typed again; the next card is.
    QVERIFY2(leftIn.waitFor("apdu", 8, 20000), qPrintable(leftIn.output));
    const QString next = nextNumber();
    pcsc::Card nextCard(*daemon, cherryPort, {"--number", next});
    QVERIFY2(typedSoFar(next), qPrintable(typed()));
    QCOMPARE(host->log().count("Lost the PC/SC service"), 1);
}

QTEST_MAIN(tst_CardReaders)
#include "tst_cardreaders.moc"
