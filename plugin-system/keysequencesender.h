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
    ~KeySequenceSender();

    // Failures are logged by the peer link; nothing is retried or queued.
    void send(const QString &text);

private:
    std::unique_ptr<veltor::system::ConnectionPeer> peer;

    KeySequenceSender(const KeySequenceSender &) = delete;
    KeySequenceSender &operator=(const KeySequenceSender &) = delete;
};
