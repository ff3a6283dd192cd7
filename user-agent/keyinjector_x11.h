#pragma once

#include "keyinjector.h"

// X11 backend: real key events through the XTest extension, into the focused
// window of the display named by DISPLAY.
//
// X has no key for a bare code unit, so each character is typed through a
// keycode that yields its keysym: the keycode of the user's layout when that
// one gives the keysym without modifiers, otherwise a spare keycode (one with no
// keysyms) remapped to it. A client looks a key event up with the mapping in
// force when it reads the event, so a remapped keycode is held for the
// character for a while and the original mapping is restored only after a pause
// in typing (and in the destructor).
class X11KeyInjector final : public KeyInjector
{
public:
    struct Options
    {
        int poolLimit = 0;         // spare keycodes to use at most; 0 for all
        int holdMs = 1000;         // a keycode used this recently is not remapped...
        int restoreIdleMs = 2000;  // ...and remapped ones are restored after this much quiet
    };

    // Null when the display cannot be opened or lacks XTest; *whyNot says why.
    static std::unique_ptr<X11KeyInjector> open(const Options &options, std::string *whyNot);
    ~X11KeyInjector() override;

    void inject(char16_t unit, bool release) override;

private:
    struct Private;
    explicit X11KeyInjector(std::unique_ptr<Private> d);
    std::unique_ptr<Private> d;
};
