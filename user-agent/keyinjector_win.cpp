// Windows backend: one SendInput call per event, with a keyboard record that
// carries the code unit itself, so the keyboard layout and modifiers play no part.
// No Qt here: this file is compile-checked on its own with a cross compiler.

#include "keyinjector.h"

#include <windows.h>

namespace {

void sendUnicodeKeyEvent(WCHAR unit, bool release)
{
    INPUT input;
    ZeroMemory(&input, sizeof(input));
    input.type = INPUT_KEYBOARD;
    input.ki.wVk = 0;
    input.ki.wScan = unit;
    input.ki.dwFlags = KEYEVENTF_UNICODE | (release ? KEYEVENTF_KEYUP : 0);
    input.ki.time = 0; // the system stamps the event
    input.ki.dwExtraInfo = 0;
    // Input refused by the system (a window of higher integrity has the focus)
    // is lost; there is nobody to tell, so the count is not checked.
    SendInput(1, &input, sizeof(INPUT));
}

class WinKeyInjector final : public KeyInjector
{
public:
    void inject(char16_t unit, bool release) override
    {
        sendUnicodeKeyEvent(static_cast<WCHAR>(unit), release);
    }
};

} // namespace

std::unique_ptr<KeyInjector> createPlatformKeyInjector(std::string *)
{
    return std::unique_ptr<KeyInjector>(new WinKeyInjector);
}
