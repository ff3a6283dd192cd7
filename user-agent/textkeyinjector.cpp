#include "textkeyinjector.h"

#include <QLoggingCategory>

namespace {
Q_LOGGING_CATEGORY(lc, "ch.veltor.kavo-user-agent.keyinjector")

// A text this long is typed in parts, so memory stays bounded.
const size_t maxPending = 4096;

bool isHighSurrogate(char16_t unit) { return unit >= 0xd800 && unit < 0xdc00; }
bool isLowSurrogate(char16_t unit) { return unit >= 0xdc00 && unit < 0xe000; }
} // namespace

TextKeyInjector::TextKeyInjector()
{
    flushTimer.setSingleShot(true);
    flushTimer.setInterval(0);
    QObject::connect(&flushTimer, &QTimer::timeout, [this] { flush(); });
}

void TextKeyInjector::inject(char16_t unit, bool release)
{
    if (release)
        return; // every character is typed as a press and a release
    if (pendingHigh && !isLowSurrogate(unit)) {
        qCWarning(lc) << "Lone high surrogate" << ushort(pendingHigh) << "skipped.";
        pendingHigh = 0;
    }
    if (isHighSurrogate(unit)) {
        pendingHigh = unit;
        return;
    }
    char32_t codePoint = unit;
    if (isLowSurrogate(unit)) {
        if (!pendingHigh) {
            qCWarning(lc) << "Lone low surrogate" << ushort(unit) << "skipped.";
            return;
        }
        codePoint = 0x10000 + ((char32_t(pendingHigh) - 0xd800) << 10) + (unit - 0xdc00);
        pendingHigh = 0;
    }
    pending += codePoint;
    if (pending.size() >= maxPending)
        flush();
    else if (!flushTimer.isActive())
        flushTimer.start();
}

void TextKeyInjector::flush()
{
    flushTimer.stop();
    if (pending.empty())
        return;
    std::u32string text;
    text.swap(pending);
    type(text);
}
