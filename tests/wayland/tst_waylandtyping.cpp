#include "keyboardemulator.h"
#include "keyinjector_wayland.h"
#include "programs.h"
#include "typedwindow.h"
#include "waylanddisplay.h"

#include <QtTest>

namespace {

// Characters that no keymap of 247 keycodes holds at once.
QString manyDistinct()
{
    QString text;
    for (char16_t c = 0x4e00; c < 0x4e00 + 300; ++c)
        text += QChar(c);
    return text + QStringLiteral("0123");
}

} // namespace

// The agent typing under a headless sway (started by with-sway): into a Qt
// window of its own and into an X window under sway's Xwayland.
class tst_WaylandTyping : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase();
    void freshSeat();
    void agentTyping_data();
    void agentTyping();
    void xwaylandWindow();

private:
    Sandbox sandbox;
    AgentProcess agent{sandbox};
    TypedWindow window;
    std::unique_ptr<KeyboardEmulator> firstKeyboard;
};

void tst_WaylandTyping::initTestCase()
{
    if (qEnvironmentVariableIsSet("KAVO_SWAY_SKIP"))
        QSKIP(qPrintable(qEnvironmentVariable("KAVO_SWAY_SKIP")));
    QVERIFY2(qEnvironmentVariableIsSet("WAYLAND_DISPLAY"), "run this test through with-sway");
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("wayland"));
    QVERIFY(window.start(QStringLiteral(WAYLANDTEXTWINDOW), env));
}

// The seat has no keyboard yet: clients take up the new one only after it
// appears, and a key sent before would be lost.
void tst_WaylandTyping::freshSeat()
{
    std::string whyNot;
    std::shared_ptr<WaylandDisplay> display = WaylandDisplay::connect(&whyNot);
    QVERIFY2(display, whyNot.c_str());
    QVERIFY(!display->seatHasKeyboard());
    auto injector = VirtualKeyboardInjector::open(display, VirtualKeyboardInjector::Options(), &whyNot);
    QVERIFY2(injector, whyNot.c_str());
    // kept open for the whole run, like a physical keyboard
    firstKeyboard.reset(new KeyboardEmulator(std::move(injector)));
    firstKeyboard->sendKeySequence(QStringLiteral("4711"));
    QTRY_COMPARE_WITH_TIMEOUT(window.typed(), QStringLiteral("4711"), 10000);
}

void tst_WaylandTyping::agentTyping_data()
{
    QTest::addColumn<QString>("text");
    QTest::addRow("card number") << QStringLiteral("80756012345678901234");
    QTest::addRow("Latin-1 letters") << QStringLiteral("Müller, Zoë, Ærøskøbing");
    QTest::addRow("euro sign") << QStringLiteral("5€");
    QTest::addRow("above U+FFFF") << QString::fromUcs4(U"a\U0001F600b\U0001D11E");
    QTest::addRow("tab and line breaks") << QStringLiteral("1\t2\n3\r4");
    QTest::addRow("more distinct characters than one keymap holds") << manyDistinct();
}

void tst_WaylandTyping::agentTyping()
{
    QFETCH(QString, text);
    if (agent.process.state() == QProcess::NotRunning)
        QVERIFY(agent.start());
    const int before = window.typed().size();
    QVERIFY(agent.send(text));
    QTRY_COMPARE_WITH_TIMEOUT(window.typed().mid(before), text, 20000);
}

void tst_WaylandTyping::xwaylandWindow()
{
    QVERIFY(agent.process.state() == QProcess::Running);
    TypedWindow xWindow; // takes the focus from the Qt window
    QVERIFY(xWindow.start(QStringLiteral(XTEXTWINDOW)));
    const QString text = QString::fromUcs4(U"80756012345678901234 Müller 5€ \U0001F600\t");
    QVERIFY(agent.send(text));
    QTRY_COMPARE_WITH_TIMEOUT(xWindow.typed(), text, 20000);
    QVERIFY(agent.send(manyDistinct()));
    QTRY_COMPARE_WITH_TIMEOUT(xWindow.typed(), text + manyDistinct(), 20000);
}

QTEST_GUILESS_MAIN(tst_WaylandTyping)
#include "tst_waylandtyping.moc"
