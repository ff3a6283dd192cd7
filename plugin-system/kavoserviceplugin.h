#pragma once

#include <QObject>

#include <vector>

#include "chunkupdatelistener.h"
#include "controllerstrategy.h"

// Whatever the service host chooses to hand its plug-ins; the system plug-in
// has no use for it.
class HostObject
{
public:
    virtual ~HostObject() = default;
};

// The interface through which the service host drives a plug-in. The host
// calls these operations by their position in the virtual table, so their
// order must never change.
class KavoServicePlugin
{
public:
    virtual ~KavoServicePlugin() = default;

    // Called once, before controllerStrategies().
    virtual void initialize() = 0;
    // The plug-in keeps ownership of the strategies and never destroys the
    // ones it handed out.
    virtual std::vector<http::ControllerStrategy *> controllerStrategies() = 0;
    virtual void registerChunkListeners(ChunkUpdateRegistry *registry) = 0;
    virtual void acceptHostObject(HostObject *object) = 0;
};

Q_DECLARE_INTERFACE(KavoServicePlugin, "ch.veltor.kavo-service.plugin")
