#pragma once

#include <QByteArray>
#include <QLatin1String>
#include <QString>
#include <QTextCodec>

namespace veltor {
namespace system {

// The link on which the plug-in hands a card number to the user agent, which
// types it: what both ends must agree on. Each end makes a ConnectionPeer of
// these three strings, in this order; any change parts the two, since the
// socket's name is derived from them.
namespace keysequencelink {

inline const QLatin1String channel("sendKeySequence");
inline const QLatin1String organization("Veltor");
inline const QLatin1String application("m3-plugin-system");

// The text travels unframed in the local 8-bit code page.
inline QByteArray encode(const QString &text)
{
    return text.toLocal8Bit();
}

// A decoder keeps its state between reads, so that a character cut in two by
// the link is completed by the next read. Owned by the caller.
inline QTextDecoder *makeDecoder()
{
    return QTextCodec::codecForLocale()->makeDecoder();
}

} // namespace keysequencelink
} // namespace system
} // namespace veltor
