#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

struct wl_display;
struct wl_interface;
struct wl_seat;
struct xkb_keymap;

// The agent's connection to the session's Wayland compositor: its globals, the
// first seat and, for the backends that type through the user's layout, the
// keymap the compositor hands its clients. Events are read as they come, on the
// thread's event loop.
class WaylandDisplay
{
public:
    // Null when no compositor can be reached; *whyNot then says why.
    static std::unique_ptr<WaylandDisplay> connect(std::string *whyNot);
    ~WaylandDisplay();

    wl_display *display() const;
    wl_seat *seat() const;
    bool offers(const char *interface) const;
    // Binds a global at the lower of its version and maxVersion; null if absent.
    void *bind(const wl_interface *interface, uint32_t maxVersion);
    bool seatHasKeyboard() const;

    // Asks for the seat's keyboard to learn the layout; layout() is null until
    // the compositor has sent it.
    void watchLayout();
    xkb_keymap *layout() const;
    uint32_t layoutGroup() const;
    // For a compositor that tells the active group in its own way: wl_keyboard
    // tells it to the focused client only.
    void setLayoutGroup(uint32_t group);

    // Both false once the connection has failed; error() then says how.
    bool roundtrip();
    bool flush();
    std::string error() const;

private:
    struct Private;
    explicit WaylandDisplay(std::unique_ptr<Private> d);
    std::unique_ptr<Private> d;
};

// One key of the layout and the modifiers that give the wanted keysym on it.
struct LayoutKey
{
    uint32_t keycode = 0; // XKB keycode, evdev + 8
    std::vector<uint32_t> modifierKeycodes;
};

// Finds the key that types keysym in the layout's group; false if it has none.
bool findLayoutKey(xkb_keymap *layout, uint32_t group, uint32_t keysym, LayoutKey *key);
