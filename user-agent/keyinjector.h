#pragma once

// Platform layer of the keyboard emulator. Kept free of Qt so that the Windows
// backend can be compile-checked on its own with a cross compiler.

#include <memory>
#include <string>

class KeyInjector
{
public:
    virtual ~KeyInjector() = default;

    // Injects one keyboard event carrying a UTF-16 code unit into the window
    // that has the keyboard focus. Called press, release, press, release, ...
    virtual void inject(char16_t unit, bool release) = 0;
};

// The backend of the platform the program was built for, or null when none is
// usable here (no X display, say); *whyNot then says why.
std::unique_ptr<KeyInjector> createPlatformKeyInjector(std::string *whyNot);
