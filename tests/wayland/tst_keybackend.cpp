#include "keybackend.h"
#include "waylanddisplay.h"

#include <QtTest>

#include <xkbcommon/xkbcommon.h>

Q_DECLARE_METATYPE(SessionFacts)

namespace {

QString names(const std::vector<KeyBackend> &backends)
{
    QStringList list;
    for (KeyBackend backend : backends)
        list << QLatin1String(keyBackendName(backend));
    return list.join(QLatin1Char(' '));
}

SessionFacts session(bool wayland, bool x11, const char *type, bool virtualKeyboard = false, bool fakeInput = false,
                     const char *override = "")
{
    SessionFacts facts;
    facts.wayland = wayland;
    facts.x11 = x11;
    facts.sessionType = type;
    facts.virtualKeyboard = virtualKeyboard;
    facts.fakeInput = fakeInput;
    facts.override = override;
    return facts;
}

} // namespace

class tst_KeyBackend : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void choose_data();
    void choose();
    void layoutKey_data();
    void layoutKey();
};

void tst_KeyBackend::choose_data()
{
    QTest::addColumn<SessionFacts>("facts");
    QTest::addColumn<QString>("backends"); // to try, best first
    QTest::addColumn<QString>("whyNot");   // part of the reason when there is none

    QTest::addRow("X11 session") << session(false, true, "x11") << "x11" << "";
    QTest::addRow("X display, no session type") << session(false, true, "") << "x11" << "";
    QTest::addRow("sway with Xwayland") << session(true, true, "wayland", true) << "wayland x11" << "";
    QTest::addRow("wlroots without Xwayland") << session(true, false, "wayland", true) << "wayland" << "";
    QTest::addRow("KDE with the desktop entry") << session(true, true, "wayland", false, true) << "kde x11" << "";
    QTest::addRow("KDE without it, or GNOME") << session(true, true, "wayland") << "portal x11" << "";
    QTest::addRow("GNOME without Xwayland") << session(true, false, "wayland") << "portal" << "";
    QTest::addRow("Wayland display in an X session") << session(true, true, "x11", true) << "x11 wayland" << "";
    QTest::addRow("no display at all") << session(false, false, "tty") << "" << "DISPLAY and WAYLAND_DISPLAY are empty";
    QTest::addRow("override wins") << session(true, true, "wayland", true, false, "x11") << "x11" << "";
    QTest::addRow("override in capitals") << session(false, false, "", false, false, "Portal") << "portal" << "";
    QTest::addRow("override auto") << session(true, true, "wayland", true, false, "auto") << "wayland x11" << "";
    QTest::addRow("unknown override") << session(true, true, "wayland", true, false, "xdotool") << ""
                                      << "unknown keyboard backend \"xdotool\"";
}

void tst_KeyBackend::choose()
{
    QFETCH(SessionFacts, facts);
    QFETCH(QString, backends);
    QFETCH(QString, whyNot);

    std::string reason;
    QCOMPARE(names(chooseKeyBackends(facts, &reason)), backends);
    QVERIFY2(QString::fromStdString(reason).contains(whyNot), reason.c_str());
    QCOMPARE(reason.empty(), whyNot.isEmpty());
}

// KDE's backend presses the key of the user's layout with the modifiers its
// level needs; GNOME's and KDE's skip what the layout lacks.
void tst_KeyBackend::layoutKey_data()
{
    QTest::addColumn<QString>("layout");
    QTest::addColumn<uint>("keysym");
    QTest::addColumn<int>("keycode"); // 0: the layout lacks it
    QTest::addColumn<QList<int>>("modifiers");

    QTest::addRow("digit") << "us" << uint(XKB_KEY_7) << 16 << QList<int>();
    QTest::addRow("capital needs Shift") << "us" << uint(XKB_KEY_A) << 38 << QList<int>{50};
    QTest::addRow("Enter for a line break") << "us" << uint(XKB_KEY_Return) << 36 << QList<int>();
    QTest::addRow("umlaut the US layout lacks") << "us" << uint(XKB_KEY_adiaeresis) << 0 << QList<int>();
    QTest::addRow("umlaut of the Swiss layout") << "ch" << uint(XKB_KEY_adiaeresis) << 48 << QList<int>();
    // through the layout's first ISO_Level3_Shift key, <LVL3>
    QTest::addRow("at sign needs AltGr in Switzerland") << "ch" << uint(XKB_KEY_at) << 11 << QList<int>{92};
}

void tst_KeyBackend::layoutKey()
{
    QFETCH(QString, layout);
    QFETCH(uint, keysym);
    QFETCH(int, keycode);
    QFETCH(QList<int>, modifiers);

    xkb_context *context = xkb_context_new(XKB_CONTEXT_NO_FLAGS);
    const QByteArray name = layout.toLatin1();
    const xkb_rule_names names = {"evdev", "pc105", name.constData(), "", ""};
    xkb_keymap *keymap = xkb_keymap_new_from_names(context, &names, XKB_KEYMAP_COMPILE_NO_FLAGS);
    QVERIFY(keymap);
    LayoutKey key;
    const bool found = findLayoutKey(keymap, 0, keysym, &key);
    xkb_keymap_unref(keymap);
    xkb_context_unref(context);

    QCOMPARE(found, keycode != 0);
    if (found) {
        QCOMPARE(int(key.keycode), keycode);
        QCOMPARE(QList<int>(key.modifierKeycodes.begin(), key.modifierKeycodes.end()), modifiers);
    }
}

QTEST_GUILESS_MAIN(tst_KeyBackend)
#include "tst_keybackend.moc"
