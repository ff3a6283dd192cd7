#pragma once

#include "kavoserviceplugin.h"

#include <QObject>

#include <memory>
#include <vector>

class ChunkListener;

// Root object of the m3-plugin-system plug-in. The service host reaches it
// through qt_plugin_instance() and drives it through KavoServicePlugin.
class SystemPlugin : public QObject, public KavoServicePlugin
{
    Q_OBJECT
    // No Q_PLUGIN_METADATA: the metadata block and the two entry points are
    // written out in systemplugin.cpp, because moc leaves an empty "MetaData"
    // object out of the block and hosts expect to find it.
    Q_INTERFACES(KavoServicePlugin)

public:
    SystemPlugin();
    ~SystemPlugin() override;

    // Each call adds one more system-information strategy.
    void initialize() override;
    // Empty before initialize(). The host keeps the strategies for the life of
    // the plug-in; the plug-in never destroys them.
    std::vector<http::ControllerStrategy *> controllerStrategies() override;
    void registerChunkListeners(ChunkUpdateRegistry *registry) override;
    void acceptHostObject(HostObject *object) override;

private:
    std::vector<http::ControllerStrategy *> strategies;
    std::unique_ptr<ChunkListener> chunkListener;

    Q_DISABLE_COPY(SystemPlugin)
};
