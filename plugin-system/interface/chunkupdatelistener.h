#pragma once

class QJsonValue;

// Receives every chunk the host's card readers report. The registry keeps a
// plain pointer and the plug-in owns the listener; the interface has a single
// virtual operation, so it must not be deleted through this type.
class ChunkUpdateListener
{
public:
    virtual void chunkUpdated(const QJsonValue &chunk) = 0;

protected:
    ~ChunkUpdateListener() = default;
};

// Offered by the host to plug-ins in registerChunkListeners(). addListener is
// called by position: it must stay the second virtual operation.
class ChunkUpdateRegistry
{
public:
    virtual ~ChunkUpdateRegistry() = default;
    // The registry does not take ownership.
    virtual void addListener(ChunkUpdateListener *listener) = 0;
};
