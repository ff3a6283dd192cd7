#pragma once

#include "textkeyinjector.h"

class WaylandDisplay;

// KDE Plasma's way: KWin's fake-input protocol, which KWin offers only to a
// program whose desktop entry asks for it (kavo-user-agent.desktop). It types
// key codes, so each character goes through the user's active layout (which
// KWin tells over D-Bus), with the modifiers its level needs; a character the
// layout lacks is skipped with a warning.
class FakeInputInjector final : public TextKeyInjector
{
public:
    static std::unique_ptr<FakeInputInjector> open(std::shared_ptr<WaylandDisplay> display, std::string *whyNot);
    ~FakeInputInjector() override;

protected:
    void type(const std::u32string &text) override;

private:
    struct Private;
    explicit FakeInputInjector(std::unique_ptr<Private> d);
    std::unique_ptr<Private> d;
};
