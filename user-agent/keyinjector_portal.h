#pragma once

#include "textkeyinjector.h"

class WaylandDisplay;

// GNOME's way (and KDE's without its desktop entry): the RemoteDesktop portal,
// over the session bus. The portal asks the user once; the session is kept for
// the agent's whole life. It types keysyms through the active layout, so a
// character the layout lacks is skipped with a warning; text that arrives
// while the user is still being asked waits for the answer.
class PortalKeyInjector final : public TextKeyInjector
{
public:
    // layout, if not null, tells which characters the layout has.
    static std::unique_ptr<PortalKeyInjector> open(std::shared_ptr<WaylandDisplay> layout, std::string *whyNot);
    ~PortalKeyInjector() override;

protected:
    void type(const std::u32string &text) override;

private:
    class Session;
    explicit PortalKeyInjector(std::unique_ptr<Session> session);
    std::unique_ptr<Session> session;
};

// The keysym that types a character through a desktop's own layout, where
// line breaks are the Enter key; 0 for none.
uint32_t layoutKeysym(char32_t character);

// Keeps the characters the layout has, warning once about each one it lacks.
std::u32string typableOnLayout(const std::u32string &text, WaylandDisplay *layout);
