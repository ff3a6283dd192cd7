#include "waylanddisplay.h"

#include <QLoggingCategory>
#include <QSocketNotifier>

#include <wayland-client.h>
#include <xkbcommon/xkbcommon.h>

#include <poll.h>
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <map>

namespace {
Q_LOGGING_CATEGORY(lc, "ch.veltor.kavo-user-agent.keyinjector")

struct Global
{
    uint32_t name;
    std::string interface;
    uint32_t version;
};
} // namespace

struct WaylandDisplay::Private
{
    wl_display *display = nullptr;
    wl_registry *registry = nullptr;
    wl_seat *seat = nullptr;
    uint32_t seatCapabilities = 0;
    wl_keyboard *keyboard = nullptr;
    xkb_context *xkb = nullptr;
    xkb_keymap *layout = nullptr;
    uint32_t group = 0;
    std::vector<Global> globals;
    std::unique_ptr<QSocketNotifier> notifier;
    bool wantLayout = false;
    bool failed = false;

    ~Private()
    {
        notifier.reset();
        if (keyboard)
            wl_keyboard_destroy(keyboard);
        if (seat)
            wl_seat_destroy(seat);
        if (registry)
            wl_registry_destroy(registry);
        if (display)
            wl_display_disconnect(display);
        xkb_keymap_unref(layout);
        xkb_context_unref(xkb);
    }

    bool check(int result)
    {
        if (result < 0 && !failed) {
            failed = true;
            notifier.reset();
            qCWarning(lc).noquote() << "The Wayland connection failed:" << QString::fromStdString(errorText()) + '.';
        }
        return result >= 0;
    }

    std::string errorText() const
    {
        const int code = wl_display_get_error(display);
        if (code == EPROTO) {
            const wl_interface *interface = nullptr;
            uint32_t id = 0;
            const uint32_t protocolCode = wl_display_get_protocol_error(display, &interface, &id);
            return std::string("protocol error ") + std::to_string(protocolCode) + " on "
                   + (interface ? interface->name : "an unknown object");
        }
        return code ? std::strerror(code) : "no error";
    }

    void setLayout(int32_t fd, uint32_t size)
    {
        void *map = mmap(nullptr, size, PROT_READ, MAP_PRIVATE, fd, 0);
        close(fd);
        if (map == MAP_FAILED)
            return;
        xkb_keymap *keymap = xkb_keymap_new_from_buffer(xkb, static_cast<const char *>(map), strnlen(static_cast<const char *>(map), size),
                                                        XKB_KEYMAP_FORMAT_TEXT_V1, XKB_KEYMAP_COMPILE_NO_FLAGS);
        munmap(map, size);
        if (!keymap) {
            qCWarning(lc) << "The compositor's keymap cannot be read.";
            return;
        }
        xkb_keymap_unref(layout);
        layout = keymap;
    }

    // Asking a seat without a keyboard for one is an error (mutter even
    // crashes), so the keyboard is taken up and given back as the seat's
    // capabilities come and go.
    void followKeyboard()
    {
        const bool has = seatCapabilities & WL_SEAT_CAPABILITY_KEYBOARD;
        if (wantLayout && has && !keyboard) {
            keyboard = wl_seat_get_keyboard(seat);
            wl_keyboard_add_listener(keyboard, &keyboardListener, this);
        } else if (keyboard && !has) {
            wl_keyboard_destroy(keyboard);
            keyboard = nullptr;
        }
    }

    static const wl_registry_listener registryListener;
    static const wl_seat_listener seatListener;
    static const wl_keyboard_listener keyboardListener;
};

const wl_registry_listener WaylandDisplay::Private::registryListener = {
    [](void *data, wl_registry *, uint32_t name, const char *interface, uint32_t version) {
        static_cast<Private *>(data)->globals.push_back({name, interface, version});
    },
    [](void *data, wl_registry *, uint32_t name) {
        auto &globals = static_cast<Private *>(data)->globals;
        for (auto it = globals.begin(); it != globals.end(); ++it) {
            if (it->name == name) {
                globals.erase(it);
                break;
            }
        }
    },
};

const wl_seat_listener WaylandDisplay::Private::seatListener = {
    [](void *data, wl_seat *, uint32_t capabilities) {
        auto *d = static_cast<Private *>(data);
        d->seatCapabilities = capabilities;
        d->followKeyboard();
    },
    [](void *, wl_seat *, const char *) {},
};

const wl_keyboard_listener WaylandDisplay::Private::keyboardListener = {
    [](void *data, wl_keyboard *, uint32_t format, int32_t fd, uint32_t size) {
        if (format == WL_KEYBOARD_KEYMAP_FORMAT_XKB_V1)
            static_cast<Private *>(data)->setLayout(fd, size);
        else
            close(fd);
    },
    [](void *, wl_keyboard *, uint32_t, wl_surface *, wl_array *) {},
    [](void *, wl_keyboard *, uint32_t, wl_surface *) {},
    [](void *, wl_keyboard *, uint32_t, uint32_t, uint32_t, uint32_t) {},
    [](void *data, wl_keyboard *, uint32_t, uint32_t, uint32_t, uint32_t, uint32_t group) {
        static_cast<Private *>(data)->group = group;
    },
    [](void *, wl_keyboard *, int32_t, int32_t) {},
};

WaylandDisplay::WaylandDisplay(std::unique_ptr<Private> d)
    : d(std::move(d))
{
}

WaylandDisplay::~WaylandDisplay() = default;

std::unique_ptr<WaylandDisplay> WaylandDisplay::connect(std::string *whyNot)
{
    std::unique_ptr<Private> d(new Private);
    d->display = wl_display_connect(nullptr);
    if (!d->display) {
        if (whyNot) {
            const char *name = std::getenv("WAYLAND_DISPLAY");
            *whyNot = std::string("cannot connect to the Wayland display \"") + (name && *name ? name : "wayland-0")
                      + "\"";
        }
        return nullptr;
    }
    d->registry = wl_display_get_registry(d->display);
    wl_registry_add_listener(d->registry, &Private::registryListener, d.get());
    if (wl_display_roundtrip(d->display) < 0) {
        if (whyNot)
            *whyNot = "the Wayland display failed: " + d->errorText();
        return nullptr;
    }
    std::unique_ptr<WaylandDisplay> result(new WaylandDisplay(std::move(d)));
    Private *p = result->d.get();
    p->seat = static_cast<wl_seat *>(result->bind(&wl_seat_interface, 5));
    if (p->seat) {
        wl_seat_add_listener(p->seat, &Private::seatListener, p);
        p->check(wl_display_roundtrip(p->display));
    }
    p->notifier.reset(new QSocketNotifier(wl_display_get_fd(p->display), QSocketNotifier::Read));
    QObject::connect(p->notifier.get(), &QSocketNotifier::activated, [p] {
        // Events are few (seat and keymap changes); read them so the
        // compositor never finds our socket full.
        if (p->check(wl_display_dispatch(p->display)))
            p->check(wl_display_flush(p->display));
    });
    return result;
}

wl_display *WaylandDisplay::display() const { return d->display; }
wl_seat *WaylandDisplay::seat() const { return d->seat; }

bool WaylandDisplay::offers(const char *interface) const
{
    for (const Global &global : d->globals) {
        if (global.interface == interface)
            return true;
    }
    return false;
}

void *WaylandDisplay::bind(const wl_interface *interface, uint32_t maxVersion)
{
    for (const Global &global : d->globals) {
        if (global.interface == interface->name)
            return wl_registry_bind(d->registry, global.name, interface, std::min(global.version, maxVersion));
    }
    return nullptr;
}

bool WaylandDisplay::seatHasKeyboard() const { return d->seatCapabilities & WL_SEAT_CAPABILITY_KEYBOARD; }

void WaylandDisplay::watchLayout()
{
    if (d->wantLayout || !d->seat)
        return;
    d->wantLayout = true;
    d->xkb = xkb_context_new(XKB_CONTEXT_NO_FLAGS);
    d->followKeyboard();
    roundtrip();
}

xkb_keymap *WaylandDisplay::layout() const { return d->layout; }
uint32_t WaylandDisplay::layoutGroup() const { return d->group; }
void WaylandDisplay::setLayoutGroup(uint32_t group) { d->group = group; }

bool WaylandDisplay::roundtrip() { return !d->failed && d->check(wl_display_roundtrip(d->display)); }
bool WaylandDisplay::flush()
{
    // A compositor that is slow to read fills the socket; wait for it a while.
    for (int tries = 0; !d->failed; ++tries) {
        const int result = wl_display_flush(d->display);
        if (result >= 0 || errno != EAGAIN || tries == 20)
            return d->check(result);
        pollfd writable = {wl_display_get_fd(d->display), POLLOUT, 0};
        poll(&writable, 1, 100);
    }
    return false;
}
std::string WaylandDisplay::error() const { return d->errorText(); }

namespace {

// The keys that, held alone, set exactly one modifier: how a level is reached.
std::map<xkb_mod_mask_t, uint32_t> modifierKeys(xkb_keymap *layout)
{
    std::map<xkb_mod_mask_t, uint32_t> keys;
    xkb_state *state = xkb_state_new(layout);
    for (xkb_keycode_t keycode = xkb_keymap_min_keycode(layout); keycode <= xkb_keymap_max_keycode(layout); ++keycode) {
        xkb_state_update_key(state, keycode, XKB_KEY_DOWN);
        const xkb_mod_mask_t mods = xkb_state_serialize_mods(state, XKB_STATE_MODS_DEPRESSED);
        xkb_state_update_key(state, keycode, XKB_KEY_UP);
        if (mods && (mods & (mods - 1)) == 0 && !keys.count(mods))
            keys[mods] = keycode;
    }
    xkb_state_unref(state);
    return keys;
}

} // namespace

bool findLayoutKey(xkb_keymap *layout, uint32_t group, uint32_t keysym, LayoutKey *key)
{
    if (!layout)
        return false;
    if (group >= xkb_keymap_num_layouts(layout))
        group = 0;
    std::map<xkb_mod_mask_t, uint32_t> modifiers;
    bool modifiersKnown = false;
    for (xkb_level_index_t level = 0; level < 8; ++level) {
        for (xkb_keycode_t keycode = xkb_keymap_min_keycode(layout); keycode <= xkb_keymap_max_keycode(layout);
             ++keycode) {
            if (level >= xkb_keymap_num_levels_for_key(layout, keycode, group))
                continue;
            const xkb_keysym_t *syms = nullptr;
            const int count = xkb_keymap_key_get_syms_by_level(layout, keycode, group, level, &syms);
            if (count != 1 || syms[0] != keysym)
                continue;
            xkb_mod_mask_t masks[16];
            const size_t maskCount = xkb_keymap_key_get_mods_for_level(layout, keycode, group, level, masks, 16);
            for (size_t i = 0; i < maskCount; ++i) {
                if (masks[i] && !modifiersKnown) {
                    modifiers = modifierKeys(layout);
                    modifiersKnown = true;
                }
                std::vector<uint32_t> held;
                for (xkb_mod_mask_t bit = 1; bit && bit <= masks[i]; bit <<= 1) {
                    if (!(masks[i] & bit))
                        continue;
                    const auto found = modifiers.find(bit);
                    if (found == modifiers.end())
                        break;
                    held.push_back(found->second);
                }
                if (size_t(__builtin_popcount(masks[i])) != held.size())
                    continue; // needs a lock, or a modifier no single key sets
                key->keycode = keycode;
                key->modifierKeycodes = held;
                return true;
            }
        }
    }
    return false;
}
