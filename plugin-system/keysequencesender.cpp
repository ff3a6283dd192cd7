#include "keysequencesender.h"

#include "connectionpeer.h"
#include "keysequencelink.h"

namespace link = veltor::system::keysequencelink;

KeySequenceSender::KeySequenceSender()
    : peer(new veltor::system::ConnectionPeer(link::channel, link::organization, link::application))
{
}

KeySequenceSender::~KeySequenceSender() = default;

void KeySequenceSender::send(const QString &text)
{
    // Both results are ignored: the peer logs its own failures, and a lost
    // number is typed by hand more easily than a late one.
    peer->connectOrListen(100);
    peer->sendMessage(link::encode(text), 100);
}
