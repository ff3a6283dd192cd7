#include "systemplugin.h"

#include "chunklistener.h"
#include "systemcontrollerstrategy.h"

// The listener's peer opens no socket and reads no settings until the first
// card arrives, so loading the plug-in has no side effects.
SystemPlugin::SystemPlugin()
    : chunkListener(new ChunkListener)
{
}

// The strategies are left alone: the host received them and may still hold
// them while it tears down.
SystemPlugin::~SystemPlugin() = default;

void SystemPlugin::initialize()
{
    strategies.push_back(new SystemControllerStrategy);
}

std::vector<http::ControllerStrategy *> SystemPlugin::controllerStrategies()
{
    return strategies;
}

void SystemPlugin::registerChunkListeners(ChunkUpdateRegistry *registry)
{
    if (!registry)
        return;
    registry->addListener(chunkListener.get());
}

void SystemPlugin::acceptHostObject(HostObject *object)
{
    Q_UNUSED(object)
}
