#pragma once

#include "keyinjector.h"

#include <QTimer>

#include <string>

// Base of the backends that type whole characters rather than code units: it
// joins surrogate pairs and hands on the characters of one message at once,
// as soon as the emulator has given them all (on the next turn of the event
// loop), so that a backend can prepare its keymap for the whole text.
class TextKeyInjector : public KeyInjector
{
public:
    TextKeyInjector();

    void inject(char16_t unit, bool release) final;

protected:
    // Types the characters pending now. A subclass calls it in its destructor,
    // while its own members still live.
    void flush();
    virtual void type(const std::u32string &text) = 0;

private:
    std::u32string pending;
    char16_t pendingHigh = 0;
    QTimer flushTimer;
};
