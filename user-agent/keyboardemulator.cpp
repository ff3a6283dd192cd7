#include "keyboardemulator.h"

#include "keyinjector.h"

#include <QLoggingCategory>
#include <QString>

namespace {
Q_LOGGING_CATEGORY(lc, "ch.veltor.kavo-user-agent.keyboardemulator")
}

KeyboardEmulator::KeyboardEmulator()
{
    std::string whyNot;
    injector = createPlatformKeyInjector(&whyNot);
    if (!injector) {
        // The agent keeps running and receiving, so a missing display does not
        // stop it from working once it is restarted in a proper session.
        qCWarning(lc).noquote() << "Keystrokes cannot be injected:"
                                << QString::fromStdString(whyNot) + QLatin1Char('.');
    }
}

KeyboardEmulator::KeyboardEmulator(std::unique_ptr<KeyInjector> injector)
    : injector(std::move(injector))
{
}

KeyboardEmulator::~KeyboardEmulator() = default;

void KeyboardEmulator::sendKeySequence(const QString &text)
{
    if (text.isEmpty())
        return;
    if (!injector) {
        qCWarning(lc) << "No keyboard backend;" << text.size() << "code units were not typed.";
        return;
    }
    for (const QChar c : text) {
        const ushort unit = c.unicode();
        qCDebug(lc) << "Sending unicode value" << unit << ".";
        injector->inject(char16_t(unit), false);
        injector->inject(char16_t(unit), true);
    }
}
