#include <QtTest>

#include "agentprocess.h"

// The whole road on an X display: the stand-in for the plug-in sends a text
// over the peer link, the real agent types it, and the test window, which has
// the keyboard focus, must receive exactly that text.
class tst_AgentTyping : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase();
    void cleanupTestCase();
    void typing_data();
    void typing();
    void characterCutBetweenReads();

private:
    QString typed() const { return AgentProcess::readFile(windowOutput); }

    AgentProcess agent;
    QProcess window;
    QString windowOutput;
};

void tst_AgentTyping::initTestCase()
{
    if (qEnvironmentVariableIsEmpty("DISPLAY"))
        QSKIP("needs an X display (run through with-xvfb)");

    windowOutput = agent.root.filePath("typed.txt");
    window.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    window.start(QStringLiteral(XTEXTWINDOW), QStringList{"--out", windowOutput, "--timeout", "280"});
    QVERIFY(window.waitForStarted(10000));
    QByteArray windowSays;
    QTRY_VERIFY_WITH_TIMEOUT((windowSays += window.readAllStandardOutput()).contains("ready"), 10000);

    QVERIFY(agent.start());
    QTRY_VERIFY_WITH_TIMEOUT(QFileInfo::exists(agent.socketPath()), 10000);
    QVERIFY2(!agent.console().contains("cannot be injected"), qPrintable(agent.console()));
}

void tst_AgentTyping::cleanupTestCase()
{
    if (agent.process.state() == QProcess::Running) {
        QVERIFY(agent.stop());
        QCOMPARE(agent.process.exitCode(), 0);
    }
    if (window.state() == QProcess::Running) {
        window.terminate();
        window.waitForFinished(5000);
    }
}

void tst_AgentTyping::typing_data()
{
    QTest::addColumn<QString>("text");

    QTest::addRow("ASCII digits") << QString("80756012345678901234");
    QTest::addRow("Latin-1 letters") << QString::fromUtf8("Müller, Zoë, Françoise, Ærøskøbing");
    QTest::addRow("outside Latin-1") << QString::fromUtf8("5€");
    QTest::addRow("above U+FFFF") << QString::fromUtf8("a\xF0\x9F\x98\x80" "b\xF0\x9D\x84\x9E");
    QTest::addRow("tab") << QString("123\t456");
    QTest::addRow("several non-ASCII in a row") << QString::fromUtf8("ŁódźΩжß€ñ");
}

void tst_AgentTyping::typing()
{
    QFETCH(QString, text);

    // Anything more than the text would show in the next row.
    const QString before = typed();
    QString output;
    QCOMPARE(agent.send(text, &output), 0);
    QTRY_COMPARE_WITH_TIMEOUT(typed().mid(before.size()), text, 10000);
}

void tst_AgentTyping::characterCutBetweenReads()
{
    // One link, two writes: the second completes the character the first began.
    QProcess plugin;
    plugin.setProcessEnvironment(agent.env);
    plugin.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    plugin.start(QStringLiteral(PEERHELPER), QStringList{"sendKeySequence", "Veltor", "m3-plugin-system"});
    QVERIFY(plugin.waitForStarted(10000));
    const QString before = typed();
    plugin.write("elect\nsend a\xC3\n");
    QTRY_COMPARE_WITH_TIMEOUT(typed().mid(before.size()), QString("a"), 10000);
    plugin.write("send \xA9" "b\nquit\n");
    QTRY_COMPARE_WITH_TIMEOUT(typed().mid(before.size()), QString::fromUtf8("a\xC3\xA9" "b"), 10000);
    QTRY_COMPARE_WITH_TIMEOUT(plugin.state(), QProcess::NotRunning, 10000);
}

QTEST_MAIN(tst_AgentTyping)
#include "tst_agenttyping.moc"
