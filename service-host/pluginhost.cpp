#include "pluginhost.h"

#include "kavoserviceplugin.h"

#include <QDir>
#include <QFileInfo>
#include <QJsonObject>
#include <QJsonValue>
#include <QLibrary>
#include <QLoggingCategory>
#include <QPluginLoader>

Q_LOGGING_CATEGORY(lcPluginHost, "ch.veltor.kavo-service.host.plugins")

namespace {

// Strategies are never destroyed: the plug-in does not, and the host must not
// delete what the plug-in's allocator made. They are kept here to the end of
// the process, which also keeps leak checkers from reporting them.
std::vector<http::ControllerStrategy *> &retainedStrategies()
{
    // Never destroyed, so that it outlives every static destructor.
    static auto *strategies = new std::vector<http::ControllerStrategy *>;
    return *strategies;
}

} // namespace

PluginHost::PluginHost() = default;

PluginHost::~PluginHost()
{
    // Nobody may call a listener once its plug-in is gone.
    listeners.clear();
    controllerStrategies.clear();
    // Deleting the root objects lets every plug-in close its links. The
    // libraries stay mapped: code of theirs (generated protobuf descriptors,
    // strategies the plug-in never destroys) may still be referred to until
    // the process ends.
    for (auto it = loaders.rbegin(); it != loaders.rend(); ++it)
        delete (*it)->instance();
}

int PluginHost::load(const QString &path)
{
    const QFileInfo info(path);
    if (!info.exists()) {
        qCWarning(lcPluginHost).noquote() << QStringLiteral("No plug-in at %1.").arg(path);
        return 0;
    }
    if (!info.isDir())
        return loadFile(info.absoluteFilePath()) ? 1 : 0;

    int loaded = 0;
    const QDir dir(info.absoluteFilePath());
    const QStringList names = dir.entryList(QDir::Files | QDir::Readable, QDir::Name);
    for (const QString &name : names) {
        if (QLibrary::isLibrary(name) && loadFile(dir.absoluteFilePath(name)))
            ++loaded;
    }
    if (loaded == 0)
        qCWarning(lcPluginHost).noquote() << QStringLiteral("No plug-in found in %1.").arg(dir.absolutePath());
    return loaded;
}

bool PluginHost::loadFile(const QString &fileName)
{
    for (const auto &loader : loaders) {
        if (loader->fileName() == fileName)
            return false; // the same library twice would share one root object
    }

    auto loader = std::make_unique<QPluginLoader>(fileName);
    QObject *root = loader->instance();
    if (!root) {
        qCWarning(lcPluginHost).noquote()
            << QStringLiteral("Cannot load the plug-in %1: %2.").arg(fileName, loader->errorString());
        return false;
    }
    auto *plugin = qobject_cast<KavoServicePlugin *>(root);
    if (!plugin) {
        qCWarning(lcPluginHost).noquote()
            << QStringLiteral("%1 is not a kavo-service plug-in; ignored.").arg(fileName);
        loader->unload();
        return false;
    }

    plugin->initialize();
    const std::vector<http::ControllerStrategy *> offered = plugin->controllerStrategies();
    for (http::ControllerStrategy *strategy : offered) {
        if (strategy) {
            controllerStrategies.push_back(strategy);
            retainedStrategies().push_back(strategy);
        }
    }
    plugin->registerChunkListeners(this);

    const QString iid = loader->metaData().value(QStringLiteral("IID")).toString();
    qCInfo(lcPluginHost).noquote() << QStringLiteral("Loaded the plug-in %1 (%2) with %3 controller strategies.")
                                          .arg(fileName, iid).arg(offered.size());
    loaders.push_back(std::move(loader));
    return true;
}

QStringList PluginHost::loadedFiles() const
{
    QStringList files;
    for (const auto &loader : loaders)
        files.append(loader->fileName());
    return files;
}

std::vector<http::ControllerStrategy *> PluginHost::strategies() const
{
    return controllerStrategies;
}

void PluginHost::addListener(ChunkUpdateListener *listener)
{
    if (listener)
        listeners.push_back(listener);
}

void PluginHost::deliver(const QJsonValue &chunk)
{
    for (ChunkUpdateListener *listener : listeners)
        listener->chunkUpdated(chunk);
}
