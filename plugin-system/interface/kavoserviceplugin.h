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
//
// A plug-in hands over two kinds of objects, in two styles: the host pulls the
// controller strategies (controllerStrategies() returns them), while the
// plug-in pushes its chunk listeners (registerChunkListeners() lets it call
// the registry's addListener()). Either way the host gets plain pointers and
// no ownership: a listener lives as long as the plug-in's root object, and a
// strategy is never destroyed by the plug-in at all. Only the controllers that
// a strategy creates pass to the host, which ends each with release().
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
