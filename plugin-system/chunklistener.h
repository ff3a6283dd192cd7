#pragma once

#include "chunkupdatelistener.h"

#include <memory>

class KeySequenceSender;

// Waits for the administrative content of a health-insurance card (VeKa)
// freshly inserted into a Cherry reader, takes the insured person's number
// from its XML and sends it to the user agent, unless the layered setting
// "ch.veltor.kavo-service.system/convertToKeyEvent" is false.
class ChunkListener final : public ChunkUpdateListener
{
public:
    ChunkListener();
    // Takes another sender, for instance one that records instead of sending.
    explicit ChunkListener(std::unique_ptr<KeySequenceSender> sender);
    ~ChunkListener();

    void chunkUpdated(const QJsonValue &chunk) override;

private:
    std::unique_ptr<KeySequenceSender> sender;

    ChunkListener(const ChunkListener &) = delete;
    ChunkListener &operator=(const ChunkListener &) = delete;
};
