#pragma once

#include "textkeyinjector.h"

class WaylandDisplay;

// Wayland backend for compositors with the virtual-keyboard protocol (sway and
// the other wlroots compositors): any character, through a keymap of our own
// that gives each character its own keycode on a single level, so no modifier
// is ever involved. The keymap grows with the characters typed; a text with
// more distinct characters than keycodes is typed in parts, each with a new
// keymap.
class VirtualKeyboardInjector final : public TextKeyInjector
{
public:
    struct Options
    {
        int keycodes = 247;      // keycodes 9 to 255: Xwayland takes no higher ones
        int holdMs = 500;        // a keycode typed this recently is not given another character
        int freshSeatMs = 500;   // time clients get to take up a keyboard new to the seat
    };

    // Null when the compositor lacks the protocol or refuses; *whyNot says why.
    static std::unique_ptr<VirtualKeyboardInjector> open(std::shared_ptr<WaylandDisplay> display,
                                                         const Options &options, std::string *whyNot);
    ~VirtualKeyboardInjector() override;

protected:
    void type(const std::u32string &text) override;

private:
    struct Private;
    explicit VirtualKeyboardInjector(std::unique_ptr<Private> d);
    std::unique_ptr<Private> d;
};

// The XKB keymap text that puts keysyms[i] on keycode 9 + i, one level each.
std::string singleLevelKeymap(const std::vector<uint32_t> &keysyms);
