#pragma once

// Which way keys are typed on Linux, decided from what the session offers.
// Kept free of Qt and of any display connection, so that the decision can be
// tested for every kind of session.

#include <string>
#include <vector>

enum class KeyBackend {
    VirtualKeyboard, // zwp_virtual_keyboard_v1 (sway and other wlroots compositors)
    FakeInput,       // org_kde_kwin_fake_input (KDE Plasma)
    Portal,          // the RemoteDesktop portal (GNOME, and KDE without the desktop entry)
    XTest,           // X11, or X windows under Xwayland only
};

struct SessionFacts
{
    std::string override;       // KAVO_KEYBOARD_BACKEND: empty or "auto" to choose by itself
    bool wayland = false;       // a Wayland display could be reached
    bool x11 = false;           // DISPLAY is set
    std::string sessionType;    // XDG_SESSION_TYPE
    bool virtualKeyboard = false; // the compositor offers zwp_virtual_keyboard_manager_v1
    bool fakeInput = false;       // ... and org_kde_kwin_fake_input
};

// The backends to try, best first; the first that opens is used. Empty when
// nothing can type here; *whyNot then says why.
std::vector<KeyBackend> chooseKeyBackends(const SessionFacts &facts, std::string *whyNot);

// The name of a backend as the override takes it: "wayland", "kde", "portal", "x11".
const char *keyBackendName(KeyBackend backend);
