#pragma once

#include "chunkupdatelistener.h"

#include <QString>
#include <QStringList>

#include <memory>
#include <vector>

class KavoServicePlugin;
class QJsonValue;
class QPluginLoader;

namespace http {
class ControllerStrategy;
}

// Loads kavo-service plug-ins and keeps what they hand over: their controller
// strategies, in load order, and their chunk listeners, which every chunk is
// delivered to.
class PluginHost final : public ChunkUpdateRegistry
{
public:
    PluginHost();
    ~PluginHost() override;

    // A plug-in file, or a folder whose libraries are loaded in name order.
    // Returns how many plug-ins were loaded; failures are logged and skipped.
    int load(const QString &path);
    QStringList loadedFiles() const;

    std::vector<http::ControllerStrategy *> strategies() const;

    void addListener(ChunkUpdateListener *listener) override;
    void deliver(const QJsonValue &chunk);

private:
    bool loadFile(const QString &fileName);

    std::vector<std::unique_ptr<QPluginLoader>> loaders;
    std::vector<http::ControllerStrategy *> controllerStrategies;
    std::vector<ChunkUpdateListener *> listeners;

    PluginHost(const PluginHost &) = delete;
    PluginHost &operator=(const PluginHost &) = delete;
};
