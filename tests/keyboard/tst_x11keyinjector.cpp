// Types into a real X client (tests/tools/xtextwindow) on the private Xvfb that
// ctest starts for this test, and compares what the client read.

#include "keyboardemulator.h"
#include "keyinjector_x11.h"

#include <QProcess>
#include <QtTest>

#include <X11/XKBlib.h>
#include <X11/Xlib.h>

namespace {

QString repeated(const QString &text, int times)
{
    QString result;
    for (int i = 0; i < times; ++i)
        result += text;
    return result;
}

} // namespace

class tst_X11KeyInjector : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase();
    void cleanupTestCase();
    void init();
    void cleanup();
    void typing_data();
    void typing();
    void capsLockDoesNotChangeLetters();
    void slowClientWithSmallPool();
    void loneSurrogatesAreSkipped();
    void mappingRestoredWhenIdle();
    void mappingRestoredByDestructor();

private:
    bool startWindow(const QStringList &arguments = QStringList());
    QByteArray typed();
    QVector<KeySym> keyboardMapping();
    bool sharedEmulatorIsIdle();

    Display *display = nullptr;
    QVector<KeySym> initialMapping;
    std::unique_ptr<KeyboardEmulator> emulator;
    QProcess window;
    QByteArray output;
};

void tst_X11KeyInjector::initTestCase()
{
    QVERIFY2(!qEnvironmentVariableIsEmpty("DISPLAY"), "run this test through with-xvfb");
    QVERIFY2(QFileInfo(qEnvironmentVariable("KAVO_XTEXTWINDOW")).isExecutable(), "KAVO_XTEXTWINDOW is not set");
    display = XOpenDisplay(nullptr);
    QVERIFY(display);
    initialMapping = keyboardMapping();
    // One emulator for all typing, as the agent keeps one for its whole run.
    emulator.reset(new KeyboardEmulator);
}

void tst_X11KeyInjector::cleanupTestCase()
{
    emulator.reset();
    if (display)
        XCloseDisplay(display);
}

void tst_X11KeyInjector::init()
{
    output.clear();
}

void tst_X11KeyInjector::cleanup()
{
    if (window.state() != QProcess::NotRunning) {
        window.terminate();
        QVERIFY(window.waitForFinished(5000));
        QCOMPARE(window.exitCode(), 0);
    }
    XkbLockModifiers(display, XkbUseCoreKbd, LockMask, 0);
    XSync(display, False);
}

bool tst_X11KeyInjector::startWindow(const QStringList &arguments)
{
    window.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    window.start(qEnvironmentVariable("KAVO_XTEXTWINDOW"), arguments);
    if (!window.waitForStarted(5000))
        return false;
    QDeadlineTimer deadline(10000);
    while (!output.contains("ready\n") && !deadline.hasExpired()) {
        window.waitForReadyRead(100);
        output += window.readAllStandardOutput();
    }
    if (!output.startsWith("ready\n"))
        return false;
    output.remove(0, 6);
    return true;
}

QByteArray tst_X11KeyInjector::typed()
{
    output += window.readAllStandardOutput();
    return output;
}

QVector<KeySym> tst_X11KeyInjector::keyboardMapping()
{
    int minKeycode = 0, maxKeycode = 0, perKeycode = 0;
    XDisplayKeycodes(display, &minKeycode, &maxKeycode);
    KeySym *syms = XGetKeyboardMapping(display, KeyCode(minKeycode), maxKeycode - minKeycode + 1, &perKeycode);
    QVector<KeySym> mapping(syms, syms + (maxKeycode - minKeycode + 1) * perKeycode);
    XFree(syms);
    return mapping;
}

// The shared emulator gives its spare keycodes back after a pause; until then
// another injector on the same display finds none free.
bool tst_X11KeyInjector::sharedEmulatorIsIdle()
{
    return QTest::qWaitFor([this] { return keyboardMapping() == initialMapping; }, 5000);
}

void tst_X11KeyInjector::typing_data()
{
    QTest::addColumn<QString>("text");

    QTest::addRow("ASCII digits") << QStringLiteral("80756012345678901234");
    QTest::addRow("ASCII letters and punctuation") << QStringLiteral("Hello, World! <a@b.ch> ~^`");
    QTest::addRow("Latin-1 letters") << QStringLiteral("äöüéÀ");
    QTest::addRow("beyond Latin-1") << QStringLiteral("€Ł");
    QTest::addRow("above U+FFFF") << QString::fromUcs4(U"a\U0001F600b\U0001F9C0");
    QTest::addRow("tab") << QStringLiteral("1\t2\t");
    QTest::addRow("line feed and carriage return") << QStringLiteral("a\nb\rc");
    // A keycode remapped while the client still has events for it queued
    // would show here as wrong characters.
    QTest::addRow("different non-ASCII characters in a row")
        << repeated(QStringLiteral("ĀāĂăĄąĆćĈĉ"), 8);
    QTest::addRow("many distinct characters")
        << QStringLiteral("АБВГДЕЖЗИЙКЛМНОПРСТУФХЦЧШЩЪЫЬЭЮЯαβγδεζηθικλμνξοπρστυφχψω");
}

void tst_X11KeyInjector::typing()
{
    QFETCH(QString, text);
    QVERIFY(startWindow());
    emulator->sendKeySequence(text);
    QTRY_COMPARE_WITH_TIMEOUT(QString::fromUtf8(typed()), text, 10000);
}

void tst_X11KeyInjector::capsLockDoesNotChangeLetters()
{
    QVERIFY(startWindow());
    XkbLockModifiers(display, XkbUseCoreKbd, LockMask, LockMask);
    XSync(display, False);
    const QString text = QStringLiteral("abc ABC 123 äé");
    emulator->sendKeySequence(text);
    QTRY_COMPARE_WITH_TIMEOUT(QString::fromUtf8(typed()), text, 10000);

    // The user's Caps Lock is still on afterwards.
    XkbStateRec state;
    QCOMPARE(XkbGetState(display, XkbUseCoreKbd, &state), Success);
    QVERIFY(state.locked_mods & LockMask);
}

// Fewer spare keycodes than distinct characters, and a client that reads late:
// keycodes must be reused, but never under events not yet read.
void tst_X11KeyInjector::slowClientWithSmallPool()
{
    QVERIFY(sharedEmulatorIsIdle());
    QVERIFY(startWindow({QStringLiteral("--delay"), QStringLiteral("20")}));
    X11KeyInjector::Options options;
    options.poolLimit = 3;
    options.holdMs = 300;
    std::string whyNot;
    KeyboardEmulator small(X11KeyInjector::open(options, &whyNot));
    const QString text = repeated(QStringLiteral("ĀāĂăĄą"), 3);
    small.sendKeySequence(text);
    QTRY_COMPARE_WITH_TIMEOUT(QString::fromUtf8(typed()), text, 20000);
}

void tst_X11KeyInjector::loneSurrogatesAreSkipped()
{
    QVERIFY(startWindow());
    QString text = QStringLiteral("a_b_c");
    text[1] = QChar(0xd83d);
    text[3] = QChar(0xde00);
    QTest::ignoreMessage(QtWarningMsg, "Lone high surrogate 55357 skipped.");
    QTest::ignoreMessage(QtWarningMsg, "Lone low surrogate 56832 skipped.");
    emulator->sendKeySequence(text);
    QTRY_COMPARE_WITH_TIMEOUT(QString::fromUtf8(typed()), QStringLiteral("abc"), 10000);
}

void tst_X11KeyInjector::mappingRestoredWhenIdle()
{
    QVERIFY(sharedEmulatorIsIdle());
    QVERIFY(startWindow());
    const QVector<KeySym> before = keyboardMapping();
    X11KeyInjector::Options options;
    options.restoreIdleMs = 300;
    std::string whyNot;
    KeyboardEmulator quick(X11KeyInjector::open(options, &whyNot));
    quick.sendKeySequence(QStringLiteral("€Ł"));
    QVERIFY(keyboardMapping() != before);
    QTRY_COMPARE_WITH_TIMEOUT(QString::fromUtf8(typed()), QStringLiteral("€Ł"), 10000);
    QTRY_VERIFY_WITH_TIMEOUT(keyboardMapping() == before, 5000);

    // And the same characters can be typed again after the restore.
    quick.sendKeySequence(QStringLiteral("Ł€"));
    QTRY_COMPARE_WITH_TIMEOUT(QString::fromUtf8(typed()), QStringLiteral("€ŁŁ€"), 10000);
}

void tst_X11KeyInjector::mappingRestoredByDestructor()
{
    QVERIFY(sharedEmulatorIsIdle());
    QVERIFY(startWindow());
    const QVector<KeySym> before = keyboardMapping();
    {
        KeyboardEmulator shortLived;
        shortLived.sendKeySequence(QStringLiteral("ŦŧŨũ"));
    }
    QCOMPARE(keyboardMapping(), before);
    // Destroyed right after typing, yet the client still read the right keys.
    QTRY_COMPARE_WITH_TIMEOUT(QString::fromUtf8(typed()), QStringLiteral("ŦŧŨũ"), 10000);
}

QTEST_MAIN(tst_X11KeyInjector)
#include "tst_x11keyinjector.moc"
