#include <QtTest>

#include "peerprocess.h"
#include "programs.h"
#include "typedwindow.h"

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
    Sandbox sandbox;
    AgentProcess agent{sandbox};
    TypedWindow window;
};

void tst_AgentTyping::initTestCase()
{
    if (qEnvironmentVariableIsEmpty("DISPLAY"))
        QSKIP("needs an X display (run through with-xvfb)");

    QVERIFY(window.start(QStringLiteral(XTEXTWINDOW)));
    QVERIFY(agent.start());
    QTRY_VERIFY_WITH_TIMEOUT(QFileInfo::exists(sandbox.linkSocket()), 10000);
    QVERIFY2(!agent.log().contains("cannot be injected"), qPrintable(agent.log()));
}

void tst_AgentTyping::cleanupTestCase()
{
    if (agent.process.state() == QProcess::Running) {
        QVERIFY(agent.stop());
        QCOMPARE(agent.process.exitCode(), 0);
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
    const QString before = window.typed();
    QVERIFY(agent.send(text));
    QTRY_COMPARE_WITH_TIMEOUT(window.typed().mid(before.size()), text, 10000);
}

void tst_AgentTyping::characterCutBetweenReads()
{
    // One link, two writes: the second completes the character the first began.
    PeerProcess plugin({}, {}, agent.env);
    const QString before = window.typed();
    plugin.command("elect\nsend a\xC3");
    QTRY_COMPARE_WITH_TIMEOUT(window.typed().mid(before.size()), QString("a"), 10000);
    plugin.command("send \xA9" "b\nquit");
    QTRY_COMPARE_WITH_TIMEOUT(window.typed().mid(before.size()), QString::fromUtf8("a\xC3\xA9" "b"), 10000);
    QTRY_COMPARE_WITH_TIMEOUT(plugin.process.state(), QProcess::NotRunning, 10000);
}

QTEST_MAIN(tst_AgentTyping)
#include "tst_agenttyping.moc"
