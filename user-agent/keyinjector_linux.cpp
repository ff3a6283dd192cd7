// Chooses the backend of a Linux desktop session and opens it.

#include "keybackend.h"
#include "keyinjector.h"

#ifdef KAVO_KEYBOARD_X11
#include "keyinjector_x11.h"
#endif
#ifdef KAVO_KEYBOARD_WAYLAND
#include "keyinjector_kde.h"
#include "keyinjector_portal.h"
#include "keyinjector_wayland.h"
#include "waylanddisplay.h"
#endif

#include <QLoggingCategory>
#include <QString>

#include <cstdlib>

namespace {
Q_LOGGING_CATEGORY(lc, "ch.veltor.kavo-user-agent.keyinjector")

std::string environment(const char *name)
{
    const char *value = std::getenv(name);
    return value ? value : "";
}

const char *description(KeyBackend backend)
{
    switch (backend) {
    case KeyBackend::VirtualKeyboard: return "the Wayland virtual keyboard";
    case KeyBackend::FakeInput: return "KDE's fake input";
    case KeyBackend::Portal: return "the RemoteDesktop portal";
    case KeyBackend::XTest: return "XTest on the X display";
    }
    return "";
}

} // namespace

std::unique_ptr<KeyInjector> createPlatformKeyInjector(std::string *whyNot)
{
    SessionFacts facts;
    facts.override = environment("KAVO_KEYBOARD_BACKEND");
    facts.x11 = !environment("DISPLAY").empty();
    facts.sessionType = environment("XDG_SESSION_TYPE");

#ifdef KAVO_KEYBOARD_WAYLAND
    std::shared_ptr<WaylandDisplay> wayland;
    std::string waylandWhyNot = "no Wayland display is set (WAYLAND_DISPLAY is empty)";
    const std::string forced = facts.override;
    if (!environment("WAYLAND_DISPLAY").empty() || facts.sessionType == "wayland"
        || forced == keyBackendName(KeyBackend::VirtualKeyboard) || forced == keyBackendName(KeyBackend::FakeInput)) {
        wayland = WaylandDisplay::connect(&waylandWhyNot);
    }
    facts.wayland = bool(wayland);
    facts.virtualKeyboard = wayland && wayland->offers("zwp_virtual_keyboard_manager_v1");
    facts.fakeInput = wayland && wayland->offers("org_kde_kwin_fake_input");
#endif

    std::string reason;
    const std::vector<KeyBackend> backends = chooseKeyBackends(facts, &reason);
    std::vector<std::pair<KeyBackend, std::string>> failures;
    for (KeyBackend backend : backends) {
        std::string why = "not built in";
        std::unique_ptr<KeyInjector> injector;
        switch (backend) {
        case KeyBackend::XTest:
#ifdef KAVO_KEYBOARD_X11
            injector = X11KeyInjector::open(X11KeyInjector::Options(), &why);
#endif
            break;
#ifdef KAVO_KEYBOARD_WAYLAND
        case KeyBackend::VirtualKeyboard:
            if (wayland)
                injector = VirtualKeyboardInjector::open(wayland, VirtualKeyboardInjector::Options(), &why);
            else
                why = waylandWhyNot;
            break;
        case KeyBackend::FakeInput:
            if (wayland)
                injector = FakeInputInjector::open(wayland, &why);
            else
                why = waylandWhyNot;
            break;
        case KeyBackend::Portal:
            injector = PortalKeyInjector::open(wayland, &why);
            break;
#else
        default:
            break;
#endif
        }
        if (!injector) {
            failures.emplace_back(backend, why);
            continue;
        }
        // Say why a better way was passed over.
        for (const auto &failure : failures) {
            qCInfo(lc).noquote().nospace() << "Cannot type through " << description(failure.first) << ": "
                                           << QString::fromStdString(failure.second) << '.';
        }
        qCInfo(lc).noquote().nospace() << "Typing through " << description(backend) << '.';
        return injector;
    }
    if (whyNot) {
        *whyNot = backends.empty() ? reason : failures.size() == 1 ? failures.front().second : std::string();
        for (size_t i = 0; failures.size() > 1 && i < failures.size(); ++i)
            *whyNot += (i ? "; " : "") + std::string(keyBackendName(failures[i].first)) + ": " + failures[i].second;
    }
    return nullptr;
}
