#pragma once

#include <QtGlobal>

#include <memory>

class KeyInjector;
class QString;

// Types a text into the window that has the keyboard focus: one key press and
// one key release per UTF-16 code unit, in text order.
class KeyboardEmulator
{
public:
    // Uses the backend of the platform. Without a usable one (no X display, say)
    // it logs one warning and the emulator then drops what it is given.
    KeyboardEmulator();
    explicit KeyboardEmulator(std::unique_ptr<KeyInjector> injector);
    ~KeyboardEmulator();

    void sendKeySequence(const QString &text);

private:
    std::unique_ptr<KeyInjector> injector;
    Q_DISABLE_COPY(KeyboardEmulator)
};
