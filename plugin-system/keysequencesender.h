#pragma once

#include <QString>

#include <memory>

namespace veltor {
namespace system {
class ConnectionPeer;
}
}

// Hands a text to the user agent, which types it into the foreground window.
// The link is made on the first send and kept afterwards.
class KeySequenceSender
{
public:
    KeySequenceSender();
    virtual ~KeySequenceSender();

    // Failures are logged by the peer link; nothing is retried or queued.
    // Virtual so that the listener can be driven without a user agent.
    virtual void send(const QString &text);

private:
    std::unique_ptr<veltor::system::ConnectionPeer> peer;

    KeySequenceSender(const KeySequenceSender &) = delete;
    KeySequenceSender &operator=(const KeySequenceSender &) = delete;
};
