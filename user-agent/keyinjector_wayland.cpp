#include "keyinjector_wayland.h"

#include "virtual-keyboard-unstable-v1-client-protocol.h"
#include "waylanddisplay.h"

#include <QLoggingCategory>

#include <wayland-client.h>
#include <xkbcommon/xkbcommon.h>

#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <map>
#include <thread>
#include <vector>

namespace {
Q_LOGGING_CATEGORY(lc, "ch.veltor.kavo-user-agent.keyinjector")

using Clock = std::chrono::steady_clock;

const uint32_t firstKeycode = 9;

uint32_t milliseconds()
{
    return uint32_t(std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now().time_since_epoch()).count());
}

void sleepUntil(Clock::time_point until)
{
    const auto now = Clock::now();
    if (until > now)
        std::this_thread::sleep_for(until - now);
}
} // namespace

std::string singleLevelKeymap(const std::vector<uint32_t> &keysyms)
{
    std::string keycodes = "xkb_keycodes \"kavo\" {\n minimum = 8;\n maximum = 255;\n";
    std::string symbols = "xkb_symbols \"kavo\" {\n";
    for (size_t i = 0; i < keysyms.size(); ++i) {
        const std::string key = "<K" + std::to_string(firstKeycode + i) + '>';
        keycodes += ' ' + key + " = " + std::to_string(firstKeycode + i) + ";\n";
        char name[64];
        xkb_keysym_get_name(keysyms[i], name, sizeof(name));
        symbols += " key " + key + " { [ " + name + " ] };\n";
    }
    return "xkb_keymap {\n" + keycodes + "};\n"
           // X wants its four canonical types, though only the first is used.
           "xkb_types \"kavo\" {\n virtual_modifiers NumLock;\n"
           " type \"ONE_LEVEL\" { modifiers = none; level_name[Level1] = \"Any\"; };\n"
           " type \"TWO_LEVEL\" { modifiers = Shift; map[Shift] = Level2;"
           " level_name[Level1] = \"Base\"; level_name[Level2] = \"Shift\"; };\n"
           " type \"ALPHABETIC\" { modifiers = Shift + Lock; map[Shift] = Level2; map[Lock] = Level2;"
           " level_name[Level1] = \"Base\"; level_name[Level2] = \"Caps\"; };\n"
           " type \"KEYPAD\" { modifiers = Shift + NumLock; map[Shift] = Level2; map[NumLock] = Level2;"
           " level_name[Level1] = \"Base\"; level_name[Level2] = \"Number\"; };\n};\n"
           // Xwayland's compiler drops a keymap whose compatibility map is empty.
           "xkb_compatibility \"kavo\" {\n interpret Any + AnyOf(all) {\n"
           "  action = SetMods(modifiers = modMapMods, clearLocks);\n };\n};\n"
           + symbols + "};\n};\n";
}

struct VirtualKeyboardInjector::Private
{
    Options options;
    std::shared_ptr<WaylandDisplay> display;
    zwp_virtual_keyboard_manager_v1 *manager = nullptr;
    zwp_virtual_keyboard_v1 *keyboard = nullptr;
    std::vector<uint32_t> keysyms;      // keycode 9 + i types keysyms[i]
    std::map<uint32_t, uint32_t> keycodes; // and back
    Clock::time_point lastKey;
    Clock::time_point usableFrom;
    bool warnedLost = false;

    ~Private()
    {
        if (keyboard)
            zwp_virtual_keyboard_v1_destroy(keyboard);
        if (manager)
            zwp_virtual_keyboard_manager_v1_destroy(manager);
        if (display)
            display->flush();
    }

    bool uploadKeymap();
    void key(uint32_t keycode);
};

bool VirtualKeyboardInjector::Private::uploadKeymap()
{
    const std::string text = singleLevelKeymap(keysyms);
    const int fd = memfd_create("kavo-keymap", MFD_CLOEXEC);
    if (fd < 0) {
        qCWarning(lc) << "Cannot make a keymap file:" << strerror(errno);
        return false;
    }
    // the compositor reads it NUL-terminated
    const bool written = write(fd, text.c_str(), text.size() + 1) == ssize_t(text.size() + 1);
    if (written)
        zwp_virtual_keyboard_v1_keymap(keyboard, WL_KEYBOARD_KEYMAP_FORMAT_XKB_V1, fd, uint32_t(text.size() + 1));
    close(fd);
    keycodes.clear();
    for (size_t i = 0; i < keysyms.size(); ++i)
        keycodes[keysyms[i]] = uint32_t(firstKeycode + i);
    return written;
}

void VirtualKeyboardInjector::Private::key(uint32_t keycode)
{
    const uint32_t time = milliseconds();
    zwp_virtual_keyboard_v1_key(keyboard, time, keycode - 8, WL_KEYBOARD_KEY_STATE_PRESSED);
    zwp_virtual_keyboard_v1_key(keyboard, time, keycode - 8, WL_KEYBOARD_KEY_STATE_RELEASED);
}

VirtualKeyboardInjector::VirtualKeyboardInjector(std::unique_ptr<Private> d)
    : d(std::move(d))
{
}

VirtualKeyboardInjector::~VirtualKeyboardInjector()
{
    flush();
}

std::unique_ptr<VirtualKeyboardInjector> VirtualKeyboardInjector::open(std::shared_ptr<WaylandDisplay> display,
                                                                       const Options &options, std::string *whyNot)
{
    auto fail = [whyNot](const std::string &reason) {
        if (whyNot)
            *whyNot = reason;
        return std::unique_ptr<VirtualKeyboardInjector>();
    };
    if (!display->seat())
        return fail("the Wayland compositor has no seat");
    std::unique_ptr<Private> d(new Private);
    d->display = display;
    d->options = options;
    d->options.keycodes = std::max(1, std::min(options.keycodes, 247));
    d->manager = static_cast<zwp_virtual_keyboard_manager_v1 *>(
        display->bind(&zwp_virtual_keyboard_manager_v1_interface, 1));
    if (!d->manager)
        return fail("the Wayland compositor does not offer zwp_virtual_keyboard_manager_v1");
    const bool seatHadKeyboard = display->seatHasKeyboard();
    d->keyboard = zwp_virtual_keyboard_manager_v1_create_virtual_keyboard(d->manager, display->seat());
    // Digits from the start: a card number then never changes the keymap.
    for (char32_t digit = U'0'; digit <= U'9' && int(d->keysyms.size()) < d->options.keycodes; ++digit)
        d->keysyms.push_back(xkb_utf32_to_keysym(digit));
    d->uploadKeymap();
    zwp_virtual_keyboard_v1_modifiers(d->keyboard, 0, 0, 0, 0);
    if (!d->display->roundtrip())
        return fail("the Wayland compositor refused a virtual keyboard: " + d->display->error());
    // Clients take up a keyboard new to the seat a moment later; a key sent
    // before would reach them only as held in their enter event, which
    // toolkits ignore.
    d->usableFrom = Clock::now() + std::chrono::milliseconds(seatHadKeyboard ? 0 : d->options.freshSeatMs);
    return std::unique_ptr<VirtualKeyboardInjector>(new VirtualKeyboardInjector(std::move(d)));
}

void VirtualKeyboardInjector::type(const std::u32string &text)
{
    if (!d->display->flush()) {
        if (!d->warnedLost)
            qCWarning(lc) << "The Wayland compositor is gone; typed text is dropped from now on.";
        d->warnedLost = true;
        return;
    }
    sleepUntil(d->usableFrom);

    std::vector<uint32_t> keysyms;
    keysyms.reserve(text.size());
    for (char32_t c : text) {
        const xkb_keysym_t keysym = xkb_utf32_to_keysym(c);
        if (keysym == XKB_KEY_NoSymbol)
            qCWarning(lc).nospace() << "No keysym for unicode value " << uint(c) << "; skipped.";
        else
            keysyms.push_back(keysym);
    }

    const size_t capacity = size_t(d->options.keycodes);
    size_t done = 0;
    while (done < keysyms.size()) {
        // As far as the keymap, with what still fits into it, goes.
        std::vector<uint32_t> added;
        size_t end = done;
        for (; end < keysyms.size(); ++end) {
            const uint32_t keysym = keysyms[end];
            if (d->keycodes.count(keysym) || std::find(added.begin(), added.end(), keysym) != added.end())
                continue;
            if (d->keysyms.size() + added.size() == capacity)
                break;
            added.push_back(keysym);
        }
        if (end == done) {
            // Full: start a new keymap. An X client under Xwayland may still
            // have keys of the old one to read, so give it time first.
            d->display->roundtrip();
            sleepUntil(d->lastKey + std::chrono::milliseconds(d->options.holdMs));
            d->keysyms.clear();
            d->keycodes.clear();
            continue;
        }
        if (!added.empty()) {
            d->keysyms.insert(d->keysyms.end(), added.begin(), added.end());
            d->uploadKeymap();
        }
        for (; done < end; ++done) {
            d->key(d->keycodes[keysyms[done]]);
            // libwayland's own buffer is small, and a full one is fatal
            if (done % 64 == 63)
                d->display->flush();
        }
        d->lastKey = Clock::now();
    }
    d->display->flush();
}
