#include "keybackend.h"

#include <algorithm>
#include <cctype>

namespace {

const KeyBackend allBackends[] = {KeyBackend::VirtualKeyboard, KeyBackend::FakeInput, KeyBackend::Portal,
                                  KeyBackend::XTest};

std::string lower(std::string text)
{
    std::transform(text.begin(), text.end(), text.begin(), [](unsigned char c) { return char(std::tolower(c)); });
    return text;
}

} // namespace

const char *keyBackendName(KeyBackend backend)
{
    switch (backend) {
    case KeyBackend::VirtualKeyboard: return "wayland";
    case KeyBackend::FakeInput: return "kde";
    case KeyBackend::Portal: return "portal";
    case KeyBackend::XTest: return "x11";
    }
    return "";
}

std::vector<KeyBackend> chooseKeyBackends(const SessionFacts &facts, std::string *whyNot)
{
    const std::string forced = lower(facts.override);
    if (!forced.empty() && forced != "auto") {
        for (KeyBackend backend : allBackends) {
            if (forced == keyBackendName(backend))
                return {backend};
        }
        if (whyNot)
            *whyNot = "unknown keyboard backend \"" + facts.override
                      + "\" (KAVO_KEYBOARD_BACKEND or --keyboard-backend: auto, wayland, kde, portal or x11)";
        return {};
    }

    std::vector<KeyBackend> chosen;
    // In an X session XTest reaches every window; under Wayland only X ones,
    // so there it is the last resort.
    const bool x11Session = lower(facts.sessionType) == "x11";
    if (facts.x11 && x11Session)
        chosen.push_back(KeyBackend::XTest);
    if (facts.wayland) {
        // A protocol of the compositor itself needs no consent dialog and
        // reaches native and X windows alike.
        if (facts.virtualKeyboard)
            chosen.push_back(KeyBackend::VirtualKeyboard);
        if (facts.fakeInput)
            chosen.push_back(KeyBackend::FakeInput);
        // GNOME offers neither; KDE hides fake input from a program without
        // its desktop entry. Both have the portal.
        if (!facts.virtualKeyboard && !facts.fakeInput)
            chosen.push_back(KeyBackend::Portal);
    }
    if (facts.x11 && !x11Session)
        chosen.push_back(KeyBackend::XTest);
    if (chosen.empty() && whyNot)
        *whyNot = "no X or Wayland display is set (DISPLAY and WAYLAND_DISPLAY are empty)";
    return chosen;
}
