#include "keyinjector_kde.h"

#include "fake-input-client-protocol.h"
#include "keyinjector_portal.h"
#include "waylanddisplay.h"

#include <QDBusConnection>
#include <QDBusMessage>
#include <QLoggingCategory>

#include <wayland-client.h>
#include <xkbcommon/xkbcommon.h>

namespace {
Q_LOGGING_CATEGORY(lc, "ch.veltor.kavo-user-agent.keyinjector")
const uint32_t keyboardSince = 4;
const int layoutTimeoutMs = 1000;

// The layout KWin types with when the user has several: it tells it over
// D-Bus only. Asked at each text, so that a switch just before it counts;
// failing that, the last one known.
uint32_t activeLayout(uint32_t lastKnown)
{
    QDBusConnection bus = QDBusConnection::sessionBus();
    if (!bus.isConnected())
        return lastKnown;
    const QDBusMessage reply = bus.call(
        QDBusMessage::createMethodCall(QStringLiteral("org.kde.keyboard"), QStringLiteral("/Layouts"),
                                       QStringLiteral("org.kde.KeyboardLayouts"), QStringLiteral("getLayout")),
        QDBus::Block, layoutTimeoutMs);
    if (reply.type() != QDBusMessage::ReplyMessage || reply.arguments().size() != 1)
        return lastKnown;
    return reply.arguments().constFirst().toUInt();
}
} // namespace

struct FakeInputInjector::Private
{
    std::shared_ptr<WaylandDisplay> display;
    org_kde_kwin_fake_input *fakeInput = nullptr;
    bool warnedLost = false;

    ~Private()
    {
        if (fakeInput)
            org_kde_kwin_fake_input_destroy(fakeInput);
        if (display)
            display->flush();
    }

    void key(uint32_t keycode, bool pressed)
    {
        org_kde_kwin_fake_input_keyboard_key(fakeInput, keycode - 8,
                                             pressed ? WL_KEYBOARD_KEY_STATE_PRESSED : WL_KEYBOARD_KEY_STATE_RELEASED);
    }
};

FakeInputInjector::FakeInputInjector(std::unique_ptr<Private> d)
    : d(std::move(d))
{
}

FakeInputInjector::~FakeInputInjector()
{
    flush();
}

std::unique_ptr<FakeInputInjector> FakeInputInjector::open(std::shared_ptr<WaylandDisplay> display, std::string *whyNot)
{
    auto fail = [whyNot](const std::string &reason) {
        if (whyNot)
            *whyNot = reason;
        return std::unique_ptr<FakeInputInjector>();
    };
    std::unique_ptr<Private> d(new Private);
    d->display = display;
    d->fakeInput = static_cast<org_kde_kwin_fake_input *>(display->bind(&org_kde_kwin_fake_input_interface, keyboardSince));
    if (!d->fakeInput)
        return fail("KWin offers no fake input to this program (is kavo-user-agent.desktop installed?)");
    if (org_kde_kwin_fake_input_get_version(d->fakeInput) < keyboardSince)
        return fail("KWin's fake input has no keyboard (version "
                    + std::to_string(org_kde_kwin_fake_input_get_version(d->fakeInput)) + ")");
    org_kde_kwin_fake_input_authenticate(d->fakeInput, "Kavo User Agent",
                                         "Types the number of an inserted health insurance card.");
    display->watchLayout();
    if (!display->roundtrip())
        return fail("KWin refused fake input: " + display->error());
    return std::unique_ptr<FakeInputInjector>(new FakeInputInjector(std::move(d)));
}

void FakeInputInjector::type(const std::u32string &text)
{
    if (!d->display->flush()) {
        if (!d->warnedLost)
            qCWarning(lc) << "KWin is gone; typed text is dropped from now on.";
        d->warnedLost = true;
        return;
    }
    if (!d->display->layout()) {
        qCWarning(lc) << "KWin has not sent its keymap;" << text.size() << "characters were not typed.";
        return;
    }
    if (xkb_keymap_num_layouts(d->display->layout()) > 1)
        d->display->setLayoutGroup(activeLayout(d->display->layoutGroup()));
    int sent = 0;
    for (char32_t c : typableOnLayout(text, d->display.get())) {
        LayoutKey key;
        if (!findLayoutKey(d->display->layout(), d->display->layoutGroup(), layoutKeysym(c), &key))
            continue;
        for (uint32_t modifier : key.modifierKeycodes)
            d->key(modifier, true);
        d->key(key.keycode, true);
        d->key(key.keycode, false);
        for (auto it = key.modifierKeycodes.rbegin(); it != key.modifierKeycodes.rend(); ++it)
            d->key(*it, false);
        if (++sent % 32 == 0)
            d->display->flush();
    }
    d->display->flush();
}
