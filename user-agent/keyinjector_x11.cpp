#include "keyinjector_x11.h"

#include <QLoggingCategory>
#include <QTimer>

// After the Qt headers: Xlib defines macros such as None, Bool and KeyPress.
#include <X11/XKBlib.h>
#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <X11/extensions/XTest.h>
#include <X11/keysym.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <cstdlib>
#include <map>
#include <set>
#include <thread>
#include <vector>

namespace {
Q_LOGGING_CATEGORY(lc, "ch.veltor.kavo-user-agent.keyinjector")
}

namespace {

using Clock = std::chrono::steady_clock;

// Xlib's default handler ends the process on any protocol error; a failed
// remapping must cost a character, not the agent.
int logXError(Display *display, XErrorEvent *event)
{
    char text[256] = {};
    XGetErrorText(display, event->error_code, text, sizeof(text));
    qCWarning(lc).nospace() << "X request " << int(event->request_code) << "."
                            << int(event->minor_code) << " failed: " << text << ".";
    return 0;
}

KeySym keysymFor(char32_t codePoint)
{
    // Control characters go as the keys that XLookupString turns back into them.
    switch (codePoint) {
    case 0x08: return XK_BackSpace;
    case 0x09: return XK_Tab;
    case 0x0a: return XK_Linefeed;
    case 0x0d: return XK_Return;
    case 0x1b: return XK_Escape;
    case 0x7f: return XK_Delete;
    }
    if ((codePoint >= 0x20 && codePoint < 0x7f) || (codePoint >= 0xa0 && codePoint <= 0xff))
        return codePoint; // Latin-1 keysyms equal their code points
    return 0x01000000 + codePoint;
}

bool isHighSurrogate(char16_t unit) { return unit >= 0xd800 && unit < 0xdc00; }
bool isLowSurrogate(char16_t unit) { return unit >= 0xdc00 && unit < 0xe000; }

} // namespace

struct X11KeyInjector::Private
{
    struct Spare
    {
        KeyCode keycode;
        std::vector<KeySym> original;
        KeySym current = NoSymbol;
    };

    Options options;
    Display *display = nullptr;
    bool hasXkb = false;
    XkbDescPtr xkb = nullptr; // key types and symbols, as of the last readMapping()
    int minKeycode = 0;
    int maxKeycode = 0;
    int symsPerKeycode = 0;
    unsigned numLockMask = 0;
    bool mappingStale = true;
    std::map<KeySym, KeyCode> direct;
    std::vector<Spare> spares;
    std::map<KeySym, size_t> assigned; // keysym -> index into spares
    std::map<KeyCode, Clock::time_point> lastUse;
    Clock::time_point lastEvent;
    QTimer idleTimer;
    char16_t pendingHigh = 0;
    KeyCode held = 0;
    bool warnedNoSpare = false;
    bool relockCaps = false;

    ~Private()
    {
        if (xkb)
            XkbFreeKeyboard(xkb, 0, True);
    }

    void readMapping();
    void setKeysym(Spare &spare, KeySym keysym);
    bool prepareModifiers(KeySym keysym);
    void relockCapsLock();
    KeyCode keycodeFor(KeySym keysym, bool directAllowed);
    KeyCode remapSpare(KeySym keysym);
    void waitUntilOlderThanHold(Clock::time_point used);
    void restore();
    void fakeKey(KeyCode keycode, bool press);
};

void X11KeyInjector::Private::readMapping()
{
    const int count = maxKeycode - minKeycode + 1;
    int perKeycode = 0;
    KeySym *syms = XGetKeyboardMapping(display, KeyCode(minKeycode), count, &perKeycode);
    if (!syms)
        return;
    symsPerKeycode = perKeycode;

    // A keycode bound to a modifier is not spare, even without keysyms.
    std::set<KeyCode> modifierKeys;
    if (XModifierKeymap *modifiers = XGetModifierMapping(display)) {
        for (int i = 0; i < 8 * modifiers->max_keypermod; ++i)
            modifierKeys.insert(modifiers->modifiermap[i]);
        XFreeModifiermap(modifiers);
    }

    direct.clear();
    spares.clear();
    const size_t limit = options.poolLimit > 0 ? size_t(options.poolLimit) : size_t(-1);
    for (int keycode = maxKeycode; keycode >= minKeycode; --keycode) {
        const KeySym *own = syms + size_t(keycode - minKeycode) * size_t(perKeycode);
        bool empty = true;
        for (int i = 0; i < perKeycode; ++i)
            empty = empty && own[i] == NoSymbol;
        if (empty) {
            if (!modifierKeys.count(KeyCode(keycode)) && spares.size() < limit)
                spares.push_back({KeyCode(keycode), std::vector<KeySym>(own, own + perKeycode)});
        } else if (own[0] != NoSymbol) {
            direct[own[0]] = KeyCode(keycode); // the lowest keycode wins
        }
    }
    XFree(syms);
    numLockMask = hasXkb ? XkbKeysymToModifiers(display, XK_Num_Lock) : 0;
    if (xkb)
        XkbFreeKeyboard(xkb, 0, True);
    xkb = hasXkb ? XkbGetMap(display, XkbKeyTypesMask | XkbKeySymsMask, XkbUseCoreKbd) : nullptr;
    mappingStale = false;
}

// Key events carry the modifier state of the moment they are made, and a client
// applies an unconsumed Caps Lock to whatever keysym it looks up. Caps Lock is
// therefore lifted around a cased character (the user's lock comes back right
// after its release). Returns whether the layout's own keycode gives its
// level-0 keysym now, that is without modifiers and in the first group.
bool X11KeyInjector::Private::prepareModifiers(KeySym keysym)
{
    if (!hasXkb)
        return false;
    XkbStateRec state;
    if (XkbGetState(display, XkbUseCoreKbd, &state) != Success)
        return false;
    KeySym lower = NoSymbol, upper = NoSymbol;
    XConvertCase(keysym, &lower, &upper);
    if ((state.locked_mods & LockMask) && lower != upper) {
        XkbLockModifiers(display, XkbUseCoreKbd, LockMask, 0);
        relockCaps = true;
    }
    // Caps Lock leaves characters without case alone.
    return state.group == 0 && (state.mods & ~(numLockMask | LockMask)) == 0;
}

void X11KeyInjector::Private::relockCapsLock()
{
    if (!relockCaps)
        return;
    XkbLockModifiers(display, XkbUseCoreKbd, LockMask, LockMask);
    relockCaps = false;
}

KeyCode X11KeyInjector::Private::keycodeFor(KeySym keysym, bool directAllowed)
{
    if (mappingStale && assigned.empty())
        readMapping();

    const auto own = direct.find(keysym);
    if (own != direct.end() && directAllowed)
        return own->second;
    const auto mapped = assigned.find(keysym);
    if (mapped != assigned.end())
        return spares[mapped->second].keycode;
    return remapSpare(keysym);
}

KeyCode X11KeyInjector::Private::remapSpare(KeySym keysym)
{
    if (spares.empty()) {
        if (!warnedNoSpare)
            qCWarning(lc) << "The keyboard mapping has no spare keycode; characters it lacks are skipped.";
        warnedNoSpare = true;
        return 0;
    }

    // Least recently used first; never-used keycodes before all others.
    size_t pick = 0;
    bool pickUsed = true;
    Clock::time_point pickTime;
    for (size_t i = 0; i < spares.size(); ++i) {
        const auto it = lastUse.find(spares[i].keycode);
        if (it == lastUse.end()) {
            pick = i;
            pickUsed = false;
            break;
        }
        if (i == 0 || it->second < pickTime) {
            pick = i;
            pickTime = it->second;
        }
    }
    if (pickUsed && Clock::now() - pickTime < std::chrono::milliseconds(options.holdMs)) {
        qCDebug(lc) << "All spare keycodes are in use; waiting before remapping one.";
        waitUntilOlderThanHold(pickTime);
    }

    Spare &spare = spares[pick];
    if (spare.current != NoSymbol)
        assigned.erase(spare.current);
    setKeysym(spare, keysym);
    assigned[keysym] = pick;
    return spare.keycode;
}

// Xlib refreshes its copy of the mapping when a client looks up a key after a
// mapping notification, but forgets notifications that arrive while that
// refresh is under way; a client then reads a key remapped just before with
// its old (empty) mapping. So every change is sent for the whole range of the
// pool: any refresh fetches all pool keycodes as they are at that moment, and
// a change made after it is notified after it. XKB requests carry the other
// keys of the range unchanged, types and all; a core request would rebuild
// their types from the core symbols.
void X11KeyInjector::Private::setKeysym(Spare &spare, KeySym keysym)
{
    if (!xkb) {
        // The same keysym on every level, so Shift cannot change it.
        std::vector<KeySym> syms(size_t(symsPerKeycode), keysym);
        XChangeKeyboardMapping(display, spare.keycode, symsPerKeycode,
                               keysym == NoSymbol ? spare.original.data() : syms.data(), 1);
        spare.current = keysym;
        return;
    }
    XkbMapChangesRec changes;
    std::memset(&changes, 0, sizeof(changes));
    if (keysym == NoSymbol) {
        XkbChangeTypesOfKey(xkb, spare.keycode, 0, XkbGroup1Mask, nullptr, &changes);
    } else {
        int types[XkbNumKbdGroups] = {XkbOneLevelIndex};
        XkbChangeTypesOfKey(xkb, spare.keycode, 1, XkbGroup1Mask, types, &changes);
        if (KeySym *syms = XkbResizeKeySyms(xkb, spare.keycode, 1))
            syms[0] = keysym;
    }
    spare.current = keysym;
    KeyCode first = spare.keycode;
    KeyCode last = spare.keycode;
    for (const Spare &other : spares) {
        first = std::min(first, other.keycode);
        last = std::max(last, other.keycode);
    }
    changes.changed = XkbKeySymsMask;
    changes.first_key_sym = first;
    changes.num_key_syms = last - first + 1;
    XkbChangeMap(display, xkb, &changes);
}

// Every spare keycode is taken: let the clients catch up with the events that
// used the oldest one before it gets another keysym.
void X11KeyInjector::Private::waitUntilOlderThanHold(Clock::time_point used)
{
    const auto hold = std::chrono::milliseconds(options.holdMs);
    const auto age = Clock::now() - used;
    if (age >= hold)
        return;
    XSync(display, False);
    std::this_thread::sleep_for(hold - age);
}

void X11KeyInjector::Private::restore()
{
    for (Spare &spare : spares) {
        if (spare.current != NoSymbol)
            setKeysym(spare, NoSymbol);
    }
    assigned.clear();
    XFlush(display);
}

void X11KeyInjector::Private::fakeKey(KeyCode keycode, bool press)
{
    XTestFakeKeyEvent(display, keycode, press ? True : False, CurrentTime);
    lastEvent = Clock::now();
    lastUse[keycode] = lastEvent;
}

X11KeyInjector::X11KeyInjector(std::unique_ptr<Private> d)
    : d(std::move(d))
{
    this->d->idleTimer.setSingleShot(true);
    this->d->idleTimer.setInterval(this->d->options.restoreIdleMs);
    Private *p = this->d.get();
    QObject::connect(&p->idleTimer, &QTimer::timeout, [p] {
        p->restore();
        // Someone may have changed the layout meanwhile; look again next time.
        p->mappingStale = true;
        p->pendingHigh = 0;
    });
}

std::unique_ptr<X11KeyInjector> X11KeyInjector::open(const Options &options, std::string *whyNot)
{
    auto fail = [whyNot](const std::string &reason) {
        if (whyNot)
            *whyNot = reason;
        return std::unique_ptr<X11KeyInjector>();
    };

    const char *name = std::getenv("DISPLAY");
    if (!name || !*name)
        return fail("no X display is set (DISPLAY is empty)");
    Display *display = XOpenDisplay(name);
    if (!display)
        return fail(std::string("cannot open the X display \"") + name + "\"");
    int event = 0, error = 0, major = 0, minor = 0;
    if (!XTestQueryExtension(display, &event, &error, &major, &minor)) {
        XCloseDisplay(display);
        return fail(std::string("the X display \"") + name + "\" lacks the XTest extension");
    }
    XSetErrorHandler(logXError);

    std::unique_ptr<Private> d(new Private);
    d->options = options;
    d->display = display;
    int opcode = 0;
    major = XkbMajorVersion;
    minor = XkbMinorVersion;
    d->hasXkb = XkbQueryExtension(display, &opcode, &event, &error, &major, &minor);
    XDisplayKeycodes(display, &d->minKeycode, &d->maxKeycode);
    return std::unique_ptr<X11KeyInjector>(new X11KeyInjector(std::move(d)));
}

X11KeyInjector::~X11KeyInjector()
{
    if (d->held)
        d->fakeKey(d->held, false);
    d->relockCapsLock();
    if (!d->assigned.empty()) {
        // Restoring now would change keys that a client may not have read yet.
        d->waitUntilOlderThanHold(d->lastEvent);
        d->restore();
    }
    XSync(d->display, False);
    XCloseDisplay(d->display);
}

void X11KeyInjector::inject(char16_t unit, bool release)
{
    // A character outside the BMP arrives as two units; X types it as one key,
    // on the low unit's press and release.
    char32_t codePoint = unit;
    if (isHighSurrogate(unit)) {
        if (!release)
            d->pendingHigh = unit;
        return;
    }
    if (isLowSurrogate(unit)) {
        if (!d->pendingHigh) {
            if (!release)
                qCWarning(lc) << "Lone low surrogate" << ushort(unit) << "skipped.";
            return;
        }
        codePoint = 0x10000 + ((char32_t(d->pendingHigh) - 0xd800) << 10) + (unit - 0xdc00);
        if (release)
            d->pendingHigh = 0;
    } else if (d->pendingHigh) {
        qCWarning(lc) << "Lone high surrogate" << ushort(d->pendingHigh) << "skipped.";
        d->pendingHigh = 0;
    }

    if (!release) {
        if (d->held) { // never leave a key down
            d->fakeKey(d->held, false);
            d->relockCapsLock();
        }
        const KeySym keysym = keysymFor(codePoint);
        d->held = d->keycodeFor(keysym, d->prepareModifiers(keysym));
        if (!d->held) {
            d->relockCapsLock();
            qCWarning(lc).nospace() << "No keycode for unicode value " << uint(codePoint) << "; skipped.";
            return;
        }
        d->fakeKey(d->held, true);
    } else {
        if (!d->held)
            return;
        d->fakeKey(d->held, false);
        d->held = 0;
        d->relockCapsLock();
    }
    XFlush(d->display);
    d->idleTimer.start();

    // Every client gets MappingNotify; drop ours so the queue does not grow.
    while (XPending(d->display)) {
        XEvent ignored;
        XNextEvent(d->display, &ignored);
    }
}
