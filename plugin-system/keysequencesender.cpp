#include "keysequencesender.h"

#include "connectionpeer.h"

KeySequenceSender::KeySequenceSender()
    // The user agent derives the socket name from the same three strings.
    : peer(new veltor::system::ConnectionPeer(QStringLiteral("sendKeySequence"), QStringLiteral("Veltor"),
                                              QStringLiteral("m3-plugin-system")))
{
}

KeySequenceSender::~KeySequenceSender() = default;

void KeySequenceSender::send(const QString &text)
{
    // Both results are ignored: the peer logs its own failures, and a lost
    // number is typed by hand more easily than a late one.
    peer->connectOrListen(100);
    peer->sendMessage(text.toLocal8Bit(), 100);
}
