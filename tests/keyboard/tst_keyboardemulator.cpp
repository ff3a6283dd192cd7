#include "keyboardemulator.h"
#include "keyinjector.h"

#include <QLoggingCategory>
#include <QStringList>
#include <QtTest>

namespace {

// One shared trace of injected events and log lines, so their order is checked too.
QStringList *trace = nullptr;
QtMessageHandler previousHandler = nullptr;

void recordMessage(QtMsgType type, const QMessageLogContext &context, const QString &message)
{
    if (trace && QByteArray(context.category).startsWith("ch.veltor.")) {
        const char *level = type == QtDebugMsg ? "debug" : type == QtWarningMsg ? "warning" : "other";
        trace->append(QStringLiteral("%1 %2: %3").arg(QLatin1String(level), QLatin1String(context.category), message));
        return;
    }
    previousHandler(type, context, message);
}

class RecordingInjector : public KeyInjector
{
public:
    explicit RecordingInjector(QStringList *events) : events(events) {}
    void inject(char16_t unit, bool release) override
    {
        events->append(QStringLiteral("%1 %2").arg(release ? "release" : "press").arg(uint(unit)));
    }

private:
    QStringList *events;
};

const QString category = QStringLiteral("ch.veltor.kavo-user-agent.keyboardemulator");

QString debugLine(uint unit)
{
    return QStringLiteral("debug %1: Sending unicode value %2 .").arg(category).arg(unit);
}

} // namespace

class tst_KeyboardEmulator : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase();
    void init();
    void cleanup();
    void sendKeySequence_data();
    void sendKeySequence();
    void withoutBackend();
    void defaultWithoutDisplay();

private:
    QStringList events;
};

void tst_KeyboardEmulator::initTestCase()
{
    QLoggingCategory::setFilterRules(QStringLiteral("ch.veltor.*.debug=true"));
    previousHandler = qInstallMessageHandler(recordMessage);
}

void tst_KeyboardEmulator::init()
{
    events.clear();
    trace = &events;
}

void tst_KeyboardEmulator::cleanup()
{
    trace = nullptr;
}

void tst_KeyboardEmulator::sendKeySequence_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<QList<uint>>("units");

    QTest::addRow("empty text") << QString() << QList<uint>();
    QTest::addRow("digits 1 and 2") << QStringLiteral("12") << QList<uint>{49, 50};
    QTest::addRow("line feed is its code unit, not Enter") << QStringLiteral("a\nb") << QList<uint>{97, 10, 98};
    QTest::addRow("tab and carriage return") << QStringLiteral("\t\r") << QList<uint>{9, 13};
    QTest::addRow("Latin-1 and beyond") << QStringLiteral("ä€") << QList<uint>{0xe4, 0x20ac};
    QTest::addRow("above U+FFFF as its two surrogates")
        << QString::fromUcs4(U"\U0001F600") << QList<uint>{0xd83d, 0xde00};
    QTest::addRow("repeated character") << QStringLiteral("00") << QList<uint>{48, 48};
}

void tst_KeyboardEmulator::sendKeySequence()
{
    QFETCH(QString, text);
    QFETCH(QList<uint>, units);

    KeyboardEmulator emulator(std::unique_ptr<KeyInjector>(new RecordingInjector(&events)));
    emulator.sendKeySequence(text);

    QStringList expected;
    for (uint unit : units)
        expected << debugLine(unit) << QStringLiteral("press %1").arg(unit) << QStringLiteral("release %1").arg(unit);
    QCOMPARE(events, expected);
}

void tst_KeyboardEmulator::withoutBackend()
{
    KeyboardEmulator emulator{std::unique_ptr<KeyInjector>()};
    emulator.sendKeySequence(QString());
    QCOMPARE(events, QStringList());

    // The text is lost, but not silently.
    emulator.sendKeySequence(QStringLiteral("1234"));
    QCOMPARE(events.size(), 1);
    QVERIFY2(events.first().startsWith(QStringLiteral("warning %1: ").arg(category)), qPrintable(events.first()));
    QVERIFY2(events.first().contains(QLatin1String("4 code units")), qPrintable(events.first()));
}

void tst_KeyboardEmulator::defaultWithoutDisplay()
{
#if !defined(KAVO_KEYBOARD_X11) && !defined(KAVO_KEYBOARD_WAYLAND)
    QSKIP("Only the Linux backends depend on a display.");
#else
    const QByteArray saved = qgetenv("DISPLAY");
    qunsetenv("DISPLAY");
    qunsetenv("WAYLAND_DISPLAY");
    qunsetenv("XDG_SESSION_TYPE");
    qunsetenv("KAVO_KEYBOARD_BACKEND");
    {
        KeyboardEmulator emulator;
        QCOMPARE(events.size(), 1);
        QCOMPARE(events.first(),
                 QStringLiteral("warning %1: Keystrokes cannot be injected: no X or Wayland display is set "
                                "(DISPLAY and WAYLAND_DISPLAY are empty).")
                     .arg(category));

        events.clear();
        emulator.sendKeySequence(QStringLiteral("12"));
        QCOMPARE(events.size(), 1);
        QVERIFY(events.first().startsWith(QStringLiteral("warning ")));
    }
    // A display that cannot be reached is the same case.
    events.clear();
    qputenv("DISPLAY", ":12345");
    {
        KeyboardEmulator emulator;
        QCOMPARE(events.size(), 1);
        QVERIFY2(events.first().contains(QLatin1String("cannot open the X display \":12345\"")), qPrintable(events.first()));
    }
    if (saved.isNull())
        qunsetenv("DISPLAY");
    else
        qputenv("DISPLAY", saved);
#endif
}

QTEST_MAIN(tst_KeyboardEmulator)
#include "tst_keyboardemulator.moc"
